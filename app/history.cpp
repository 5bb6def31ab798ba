#include "history.h"

#include <FL/Fl.H>
#include <stdio.h>
#include <stdlib.h>

#include <deque>

#include "../device/backupfile.h"
#include "../device/bus.h"
#include "../device/journal.h"
#include "../i18n/gett.h"
#include "kp6form.h"
#include "settingsfile.h"

history_dialog_t history_dialog;

// One record as the list and the CSV show it.
struct history_row {
    std::string time, user, host, line, address, setting, before, after, result;
};

static std::string number(int v)
{
    return v == JOURNAL_NONE ? "" : std::to_string(v);
}

static history_row row_of(const journal_record& r)
{
    char address[4];
    snprintf(address, sizeof address, "%02X", r.address);
    history_row row = {
        journal_local_time(r), r.user, r.host, r.line, address, "", "", "", r.result};
    if (r.event == JOURNAL_CHANGE) {
        row.setting = r.setting;
        row.before = number(r.before);
        row.after = number(r.after == JOURNAL_NONE ? r.asked : r.after);
        return row;
    }
    row.setting = gettext_easy("read");
    for (int reg = 0; reg < SETTING_COUNT; reg++)
        row.after += std::string(reg ? " " : "") + setting_name(reg) + " " +
                     std::to_string(setting_value(r.found, reg));
    return row;
}

// What the walk keeps: the newest HISTORY_MAX rows about the addresses.
struct history_walk {
    bool wanted[256];
    std::deque<history_row> rows;
};

static int record_told(void* ctx, const journal_record* r, unsigned long)
{
    history_walk* walk = (history_walk*)ctx;
    if (!r || !walk->wanted[r->address])
        return 0;
    walk->rows.push_back(row_of(*r));
    if (walk->rows.size() > HISTORY_MAX)
        walk->rows.pop_front();
    return 0;
}

// The rows shown, newest first, for Export CSV.
static std::vector<history_row> shown;

static std::string browser_text(const std::string& s)
{
    // '@' would start one of the browser's format codes.
    std::string out = "@.";
    for (char c : s)
        out += c == '\t' ? ' ' : c;
    return out;
}

static void export_history(Fl_Widget*, void*)
{
    std::string path, message;
    std::string filter = std::string(gettext_easy("CSV files")) + "\t*.csv\n" +
                         gettext_easy("All files") + "\t*";
    if (!choose_file(1, gettext_easy("Export the history"), filter.c_str(), "kp6-history.csv",
                     path))
        return;
    // Read by tools and people alike: headed in kp6ctl's words.
    std::string text = "time,user,host,line,address,setting,before,after,result\r\n";
    for (const history_row& r : shown) {
        const std::string* cells[] = {&r.time,    &r.user,   &r.host,  &r.line,  &r.address,
                                      &r.setting, &r.before, &r.after, &r.result};
        for (size_t i = 0; i < sizeof cells / sizeof *cells; i++)
            text += (i ? "," : "") + csv_field(*cells[i]);
        text += "\r\n";
    }
    if (save_text(path, text, message) != SAVE_DONE)
        show_failure("History not exported", message);
}

static void close_history(Fl_Widget*, void*)
{
    history_dialog.window->hide();
}

// The verdict on top: intact, damaged where, or nothing recorded yet.
static std::string verdict_words(int rc, int error, const journal_verdict& v,
                                 const std::string& path)
{
    char text[1400];
    if (rc != JOURNAL_OK)
        return journal_problem_text(path, rc, error);
    if (v.state != JOURNAL_INTACT)
        snprintf(text, sizeof text, gettext_easy("journal damaged at record %lu"), v.at);
    else if (!v.records)
        snprintf(text, sizeof text, gettext_easy("The journal holds no records yet: %s"),
                 path.c_str());
    else
        snprintf(text, sizeof text, gettext_easy("journal intact: %lu records"), v.records);
    return text;
}

static void make_history_dialog(void)
{
    const int W = 960, H = 440;
    Fl_Double_Window* win = new Fl_Double_Window(W, H, gettext_easy("History"));
    history_dialog.window = win;
    history_dialog.verdict = new Fl_Box(8, 8, W - 16, 24);
    history_dialog.verdict->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
    history_dialog.verdict->labelsize(12);
    history_dialog.verdict->labelfont(FL_HELVETICA_BOLD);
    Fl_Hold_Browser* list = new Fl_Hold_Browser(8, 36, W - 16, H - 76);
    list->textsize(12);
    static int widths[] = {140, 110, 102, 62, 82, 322, 0};
    list->column_widths(widths);
    list->column_char('\t');
    history_dialog.list = list;
    Fl_Group* bottom = new Fl_Group(0, H - 36, W, 36);
    history_dialog.export_csv = new Fl_Button(8, H - 32, 120, 24, gettext_easy("Export CSV"));
    history_dialog.export_csv->labelsize(12);
    history_dialog.export_csv->callback(export_history);
    history_dialog.close = new Fl_Button(W - 104, H - 32, 96, 24, gettext_easy("Close"));
    history_dialog.close->labelsize(12);
    history_dialog.close->callback(close_history);
    Fl_Box* room = new Fl_Box(132, H - 32, W - 240, 24);
    bottom->end();
    bottom->resizable(room);
    win->end();
    win->resizable(list);
    win->size_range(480, 200);
}

void history_show(const std::vector<unsigned char>& addresses)
{
    std::string path;
    journal_path(path);
    history_walk walk = {};
    for (unsigned char a : addresses)
        walk.wanted[a] = true;
    journal_verdict v = {};
    int error = 0;
    int rc = path.empty() ? JOURNAL_NO_PLACE
                          : journal_walk(path, record_told, &walk, nullptr, &v, &error);
    if (!history_dialog.window)
        make_history_dialog();
    history_dialog.verdict->copy_label(verdict_words(rc, error, v, path).c_str());
    shown.assign(walk.rows.rbegin(), walk.rows.rend());
    Fl_Hold_Browser* list = history_dialog.list;
    list->clear();
    // The heading, a line of its own above the records.
    const char* heading[] = {gettext_easy("Time"),    gettext_easy("User"),
                             gettext_easy("Line"),    gettext_easy("Address"),
                             gettext_easy("Setting"), gettext_easy("Before -> after"),
                             gettext_easy("Result")};
    std::string head;
    for (const char* h : heading)
        head += std::string(head.empty() ? "" : "\t") + "@b" + browser_text(h);
    list->add(head.c_str());
    for (const history_row& r : shown) {
        std::string change = r.before.empty() ? r.after : r.before + " → " + r.after;
        if (r.setting != gettext_easy("read") && r.before.empty())
            change = "→ " + r.after;
        list->add((browser_text(r.time) + "\t" + browser_text(r.user) + "\t" +
                   browser_text(r.line) + "\t" + r.address + "\t" + browser_text(r.setting) + "\t" +
                   browser_text(change) + "\t" + browser_text(r.result))
                      .c_str());
    }
    if (shown.empty())
        list->add(browser_text(gettext_easy("No records for these addresses")).c_str());
    history_dialog.export_csv->activate();
    if (shown.empty())
        history_dialog.export_csv->deactivate();
    Fl_Double_Window* win = history_dialog.window;
    win->set_modal();
    win->show();
    while (win->shown())
        Fl::wait();
}

int HistoryButton_OnClick(Fl_Widget*)
{
    history_show({window_address()});
    return 0;
}
