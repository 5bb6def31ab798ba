#include "buswin.h"

#include <FL/Fl.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Return_Button.H>
#include <FL/filename.H>
#include <stdarg.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "../device/exchange.h"
#include "../device/journal.h"
#include "../device/line.h"
#include "../device/report.h"
#include "../device/scan.h"
#include "../device/settings.h"
#include "../i18n/gett.h"
#include "../i18n/words.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "busdialogs.h"
#include "busreport.h"
#include "bustable.h"
#include "history.h"
#include "kp6form.h"
#include "prefs.h"
#include "settingsfile.h"

bus_window_t bus_window;

// The table follows the rows.
static void show_rows(void)
{
    Fl_Table_Row* t = bus_window.table;
    if ((int)bus_state.rows.size() != t->rows())
        t->rows((int)bus_state.rows.size());
    t->redraw();
}

static void set_status(const std::string& text)
{
    bus_window.status->copy_label(text.c_str());
}

// While a read or write runs, only Stop (Escape) works, here and in the
// main window, whose port the bus window uses.
static void set_busy(int busy)
{
    bus_state.busy = busy;
    bus_state.stopping = 0;
    Fl_Widget* idle[] = {bus_window.range, bus_window.read,    bus_window.again, bus_window.retries,
                         bus_window.clear, bus_window.compare, bus_window.write, bus_window.record,
                         bus_window.save,  bus_window.report};
    for (Fl_Widget* w : idle)
        busy ? w->deactivate() : w->activate();
    busy ? bus_window.stop->activate() : bus_window.stop->deactivate();
    busy ? MainForm->deactivate() : MainForm->activate();
    if (!busy) {
        bus_window.progress->value(0);
        bus_window.progress->label("");
    }
}

// Between exchanges the windows' events are handled: they repaint, and
// Escape is seen. The main window closed meanwhile stops the run too.
static int events_between(void)
{
    Fl::check();
    if (!MainForm->shown())
        bus_state.stopping = 1;
    return bus_state.stopping;
}

// The same, but the controller in hand is finished whatever is pressed.
static int events_only(void)
{
    events_between();
    return 0;
}

typedef std::chrono::steady_clock run_clock;
static run_clock::time_point run_started;

// What a run changes of the exchanges' settings, kept to be put back: the
// main window's actions keep their single try.
static struct {
    int (*stop)(void);
    exchange_options options;
} kept;

static int chosen_retries(void)
{
    return (int)(bus_window.retries->value() + 0.5);
}

// The journal of the run going on, and the first read it could not record.
static journal_writer run_journal;
static std::string unrecorded_read;

// A row is told before its read and again, one step further, with its
// outcome: only that second tell is a read.
static struct {
    int address;
    unsigned done;
} told_before = {-1, 0};

// A read or write may begin: none runs, and the main window's port is open.
static int run_may_begin(void)
{
    if (bus_state.busy)
        return 0;
    if (port)
        return 1;
    show_alert(gettext_easy("Please open port"));
    return 0;
}

// A read or write begins: busy, asked `stop` between exchanges, with the
// Retries chosen and the journal the run records in.
static void run_begins(int (*stop)(void))
{
    run_journal = window_journal();
    unrecorded_read.clear();
    told_before = {-1, 0};
    set_busy(1);
    run_started = run_clock::now();
    kept.stop = settings_stop;
    settings_stop = stop;
    exchange_options o = exchange_get_options();
    o.retries = chosen_retries();
    o.silent_on_loss = 1;  // a clean line's read keeps its time
    kept.options = exchange_set_options(o);
}

// It ends, whatever it ended with: the controls and the exchanges' settings
// back, the rows shown, `status` said (null: left as it was), and a line
// `lost` told (with `more` under the cause) and closed as the main window
// closes it.
static void run_ends(const char* status, int lost, const std::string& more = std::string())
{
    if (!unrecorded_read.empty())
        show_alert(unrecorded_read.c_str());
    unrecorded_read.clear();
    settings_stop = kept.stop;
    exchange_set_options(kept.options);
    set_busy(0);
    show_rows();
    if (status)
        set_status(status);
    if (!lost)
        return;
    char why[400];
    port_lost_report(port, why, sizeof why);  // asked before the port is closed
    show_failure("The line was lost", why + more);
    close_lost_port();
}

// The progress bar: how far, and the time left as the pace so far gives it.
static void show_progress(unsigned done, unsigned total)
{
    if (total == 0)
        return;
    bus_window.progress->maximum((float)total);
    bus_window.progress->value((float)done);
    char text[120];
    double spent = std::chrono::duration<double>(run_clock::now() - run_started).count();
    if (done == 0)
        snprintf(text, sizeof text, "%u / %u", done, total);
    else
        snprintf(text, sizeof text, bus_tr(N_("%u / %u, %.0f s left")), done, total,
                 spent * (total - done) / done + 0.5);
    bus_window.progress->copy_label(text);
}

// The table and the progress bar are drawn again at most ten times a
// second: drawing after each exchange would cost the line time.
static run_clock::time_point last_drawn;

static int row_told(void*, const bus_row& row, unsigned done, unsigned total)
{
    int outcome = told_before.address == row.address && done == told_before.done + 1;
    told_before = {row.address, done};
    if (outcome && row.state == ROW_READ) {
        line_health h = {};
        int error = 0;
        int rc = journal_found(run_journal, row.address, row.settings,
                               health_of(row.address, &h) ? &h : nullptr, &error);
        if (rc != JOURNAL_OK && unrecorded_read.empty())
            unrecorded_read = printed(gettext_easy("%s read, but the journal could not record "
                                                   "it: %s"),
                                      hex2(row.address).c_str(),
                                      journal_problem_text(run_journal.path, rc, error).c_str());
    }
    run_clock::time_point now = run_clock::now();
    if (now - last_drawn >= std::chrono::milliseconds(100) || done == total) {
        last_drawn = now;
        show_rows();
        show_progress(done, total);
    }
    return events_between();
}

// Compares every row again with the file (a file of one entry is a
// template for every row; the rows the file alone names made afresh).
static void compare_again(void)
{
    if (!bus_state.file.empty())
        bus_compare_rows(bus_state.rows, bus_state.file);
}

// The range typed: "01-FF", "10-1F", or one address.
static int typed_range(unsigned char* from, unsigned char* to)
{
    unsigned char list[ADDRESS_LIST_MAX];
    int bad_at = 0, bad_len = 0;
    int n = address_list_parse(bus_window.range->value(), list, &bad_at, &bad_len);
    if (n < 1 || list[n - 1] - list[0] != n - 1) {
        show_alert(gettext_easy("Type the addresses to scan as a range: 01-FF"));
        return 0;
    }
    *from = list[0];
    *to = list[n - 1];
    return 1;
}

static void read_bus(void)
{
    unsigned char from, to;
    if (!run_may_begin() || !typed_range(&from, &to))
        return;
    run_begins(events_between);
    bus_state.rows.clear();
    show_rows();
    set_status(gettext_easy("Reading the bus..."));
    int result = bus_read(port, from, to, bus_state.rows, row_told, nullptr);
    compare_again();
    int found = 0;
    for (const bus_row& r : bus_state.rows)
        found += r.state != ROW_MISSING && r.state != ROW_GARBLED;
    const char* said = result == SCAN_LINE_LOST ? gettext_easy("The line was lost; found: %d")
                       : result == SCAN_STOPPED ? gettext_easy("Stopped; found: %d")
                                                : gettext_easy("Found: %d");
    run_ends(printed(said, found).c_str(), result == SCAN_LINE_LOST);
}

// The selected rows' indices (those of controllers, not of the file alone).
static std::vector<size_t> selected_rows(void)
{
    std::vector<size_t> out;
    for (size_t i = 0; i < bus_state.rows.size(); i++)
        if (bus_window.table->row_selected((int)i) && bus_state.rows[i].state != ROW_MISSING)
            out.push_back(i);
    return out;
}

// Read again: the selected rows, one controller after another.
static void read_selected(void)
{
    if (!run_may_begin())
        return;
    std::vector<size_t> chosen = selected_rows();
    if (chosen.empty()) {
        set_status(gettext_easy("Select the rows to read"));
        return;
    }
    std::vector<bool> pick(bus_state.rows.size(), false);
    for (size_t i : chosen)
        pick[i] = true;
    run_begins(events_between);
    int result = bus_read_rows(port, bus_state.rows, &pick, row_told, nullptr);
    compare_again();
    unsigned done = 0;
    for (size_t i : chosen)
        done += bus_state.rows[i].state == ROW_READ;
    run_ends(printed(gettext_easy("Read again: %u of %u"), done, (unsigned)chosen.size()).c_str(),
             result == SCAN_LINE_LOST);
}

// Rows whose controller was written since they were read (here or in the
// main window) are read again before they are compared; with no port they
// stay out of the comparison.
static int read_stale_rows(void)
{
    std::vector<bool> pick(bus_state.rows.size(), false);
    int stale = 0;
    for (size_t i = 0; i < bus_state.rows.size(); i++)
        stale += pick[i] = bus_row_stale(bus_state.rows[i]) != 0;
    if (!stale || !port)
        return SCAN_DONE;
    run_begins(events_between);
    set_status(gettext_easy("Reading again the rows written since they were read..."));
    int result = bus_read_rows(port, bus_state.rows, &pick, row_told, nullptr);
    int lost = result == SCAN_LINE_LOST;
    run_ends(lost ? gettext_easy("The line was lost") : nullptr, lost);
    return result;
}

static void compare_with_file(void)
{
    if (bus_state.busy)
        return;
    std::string path, message;
    if (!choose_file(0, gettext_easy("Compare with"), settings_filter().c_str(), nullptr, path))
        return;
    std::vector<backup_entry> entries;
    if (!load_backup(path, entries, message)) {
        show_failure("File not compared", message);
        return;
    }
    bus_state.file = entries;
    bus_state.file_name = fl_filename_name(path.c_str());
    bus_table_fit(bus_window.table);  // the last column is headed with the file's name
    if (read_stale_rows() == SCAN_LINE_LOST)
        return;
    compare_again();
    show_rows();
    int same = 0, differ = 0, missing = 0;
    for (const bus_row& r : bus_state.rows) {
        same += r.compared == COMPARED_SAME;
        differ += r.compared == COMPARED_DIFFERS;
        missing += r.state == ROW_MISSING;
    }
    set_status(printed(gettext_easy("%s: %d match, %d differ, %d missing"),
                       bus_state.file_name.c_str(), same, differ, missing));
}

// The change records of one controller written by bus_write_row (its
// `result`); a record that cannot be appended leaves its message in
// `unrecorded`, and nothing more is sent.
static void journal_record_write(const bus_row& r, int result, const device_settings* before,
                                 device_settings asked, std::string& unrecorded)
{
    std::string cause = result == RESTORE_DONE ? "" : english_fault();
    int step = 0;  // the settings_write step that failed or stopped, if any
    if (result == RESTORE_WRITE_FAILED || result == RESTORE_STOPPED)
        step = r.failed_step;
    else if (result == RESTORE_NOT_READ_BACK)
        cause.clear();  // all sent: acknowledged, not read back
    const device_settings* back = result == RESTORE_DONE || result == RESTORE_READS_OTHERWISE
                                      ? &r.settings
                                      : nullptr;
    er78_for_write(asked.er78, &asked.er78);  // as sent
    int error = 0;
    journal_sequence(run_journal, r.address, before, asked, back, step, cause, &error, &unrecorded);
}

// Writes the compared file's values to the selected rows, each as kp6ctl
// restore writes a controller, after the user has seen what changes.
static void write_selected(void)
{
    if (!run_may_begin())
        return;
    if (bus_state.file.empty()) {
        show_alert(gettext_easy("Compare with a file first (Ctrl+O)"));
        return;
    }
    // What would change is told from what the controllers hold now.
    if (read_stale_rows() == SCAN_LINE_LOST)
        return;
    compare_again();
    show_rows();
    std::vector<size_t> chosen = selected_rows();
    std::vector<size_t> targets;
    std::vector<std::string> lines;
    std::string garbled;  // two controllers may answer there: never written
    for (size_t i : chosen) {
        const bus_row& r = bus_state.rows[i];
        if (r.state == ROW_GARBLED) {
            lines.push_back(hex2(r.address) + ": " + gettext_easy("garbled answers: not written"));
            garbled += (garbled.empty() ? "" : ", ") + hex2(r.address);
            continue;
        }
        const backup_entry* e = bus_file_entry(r.address);
        if (!e) {
            lines.push_back(hex2(r.address) + ": " + gettext_easy("not in the file: not written"));
            continue;
        }
        unsigned char b;
        // Nothing goes out while a value cannot be written.
        if (!er78_for_write(e->settings.er78, &b)) {
            show_alert(printed(gettext_easy("%s: the file's ER78 holds no known type (code %X)"),
                               hex2(e->address).c_str(), e->settings.er78 & 0x0F)
                           .c_str());
            return;
        }
        targets.push_back(i);
        lines.push_back(bus_change_line(r, e->settings));
    }
    if (targets.empty()) {
        std::string why;
        for (const std::string& l : lines)
            why += (why.empty() ? "" : "\n") + l;
        show_alert(why.empty() ? gettext_easy("Select the rows to write (Ctrl+A: every row)")
                               : why.c_str());
        return;
    }
    if (!bus_preview_confirm(bus_window.window, lines) || !window_journal_ready(window_journal()))
        return;
    run_begins(events_only);
    unsigned done = 0, written = 0;
    int lost = 0;
    std::string untouched, otherwise, unrecorded;
    for (size_t i : targets) {
        bus_row& r = bus_state.rows[i];
        if (bus_state.stopping || lost || !unrecorded.empty()) {
            untouched += (untouched.empty() ? "" : ", ") + hex2(r.address);
            r.not_written = 1;  // its state and cause stay as they were
            continue;
        }
        device_settings before = r.settings;
        int known = bus_row_has_settings(r) && !bus_row_stale(r);
        device_settings asked = bus_file_entry(r.address)->settings;
        int result = bus_write_row(port, r, asked);
        journal_record_write(r, result, known ? &before : nullptr, asked, unrecorded);
        written += r.state == ROW_WRITTEN;
        if (r.state == ROW_READS_OTHERWISE)
            otherwise += (otherwise.empty() ? "" : ", ") + hex2(r.address);
        lost = result != RESTORE_DONE && port_gone(port, nullptr);
        show_progress(++done, (unsigned)targets.size());
        show_rows();
        events_between();
    }
    compare_again();
    std::string said = printed(gettext_easy("Written: %u of %u"), written,
                               (unsigned)targets.size());
    if (!otherwise.empty())
        said += "; " +
                printed(gettext_easy("written, reads back otherwise: %s"), otherwise.c_str());
    if (!garbled.empty())
        said += "; " + printed(gettext_easy("garbled answers, not written: %s"), garbled.c_str());
    // A journal that failed is told instead of the line lost with it.
    lost = lost && unrecorded.empty();
    run_ends(said.c_str(), lost,
             "\n" + printed(gettext_easy("Not written: %s"), untouched.c_str()));
    if (!unrecorded.empty())
        show_alert((unrecorded + "\n" +
                    printed(gettext_easy("Not written: %s"),
                            untouched.empty() ? "-" : untouched.c_str()))
                       .c_str());
    else if (!lost && !untouched.empty())
        show_alert(printed(gettext_easy("Stopped; not written: %s"), untouched.c_str()).c_str());
}

static void export_record(void)
{
    if (bus_state.busy)
        return;
    std::string path, message;
    std::string filter = std::string(gettext_easy("CSV files")) + "\t*.csv\n" +
                         gettext_easy("All files") + "\t*";
    if (!choose_file(1, gettext_easy("Export the bus"), filter.c_str(), "kp6-bus.csv", path))
        return;
    const char* name = bus_state.file.empty() ? nullptr : bus_state.file_name.c_str();
    std::string text = bus_csv_header(name);
    for (const bus_row& r : bus_state.rows) {
        line_health h = {};
        // The record is read by tools and people alike: its words are kp6ctl's,
        // whatever the window's language.
        text += bus_csv_row(r, health_of(r.address, &h) ? &h : nullptr, name);
    }
    if (save_text(path, text, message) != SAVE_DONE)
        show_failure("Record not written", message);
    else
        set_status(printed(gettext_easy("Exported: %s"), path.c_str()));
}

static void save_rows(void)
{
    if (bus_state.busy)
        return;
    std::vector<backup_entry> entries;
    for (const bus_row& r : bus_state.rows)
        if (bus_row_has_settings(r))
            entries.push_back({r.address, r.settings});
    if (entries.empty()) {
        show_alert(gettext_easy("No controller has been read"));
        return;
    }
    std::string path, message;
    if (!choose_file(1, gettext_easy("Save the bus"), settings_filter().c_str(), "kp6-bus.json",
                     path))
        return;
    std::string text = backup_text(entries, port_name(port), nullptr);
    if (save_text(path, text, message) != SAVE_DONE)
        show_failure("Settings not saved", message);
    else
        set_status(printed(gettext_easy("Saved %d controllers: %s"), (int)entries.size(),
                           path.c_str()));
}

// The journal's records about the rows' controllers.
static void show_history(void)
{
    if (bus_state.busy)
        return;
    std::vector<unsigned char> addresses;
    for (const bus_row& r : bus_state.rows)
        addresses.push_back(r.address);
    history_show(addresses);
}

typedef void (*bus_action)(void);

// Buttons run for a click, their shortcut or the space bar; not inside
// another window's dialog.
static void on_action(Fl_Widget*, void* action)
{
    if (Fl::modal() && Fl::modal() != bus_window.window)
        return;
    ((bus_action)action)();
}

static void stop_run(void)
{
    bus_state.stopping = 1;
    set_status(gettext_easy("Stopping..."));
}

static void selection_told(Fl_Widget* w, void*)
{
    Fl_Table_Row* t = (Fl_Table_Row*)w;
    int row = t->callback_row();
    if (t->callback_context() != Fl_Table::CONTEXT_CELL || row < 0 ||
        row >= (int)bus_state.rows.size())
        return;
    const bus_row& r = bus_state.rows[row];
    // A double click Reads the controller in the main window.
    if (Fl::event() == FL_PUSH && Fl::event_clicks() && !bus_state.busy && r.state != ROW_MISSING) {
        Fl::event_clicks(0);
        read_in_window(r.address);
        return;
    }
    // Its whole state (the cell may cut it), then its health.
    line_health h = {};
    char text[600] = "";
    if (health_of(r.address, &h))
        health_text(h, text, sizeof text);
    set_status(hex2(r.address) + ": " + bus_row_state_text(r, bus_tr) + "\n" + text);
}

static void clear_health(void)
{
    health_reset();
    show_rows();
    set_status(gettext_easy("Line health cleared"));
}

static void retries_chosen(Fl_Widget*, void*)
{
    pref_retries = chosen_retries();
    prefs_save();
}

// Closing the window while a run goes on stops it first; Escape only
// stops, so that a table is not lost by a key pressed once too often.
static void window_closing(Fl_Widget* w, void*)
{
    if (bus_state.busy) {
        stop_run();
        return;
    }
    if ((Fl::event() == FL_SHORTCUT || Fl::event() == FL_KEYBOARD) && Fl::event_key() == FL_Escape)
        return;
    w->hide();
}

static int button_width(const char* label)
{
    return std::max(80, bus_label_width(label) + 24);
}

// A button at *x wide enough for its words; *x moves past it.
static Fl_Button* action_button(int* x, int y, const char* label, int key, bus_action a)
{
    int w = button_width(label);
    Fl_Button* b = new Fl_Button(*x, y, w, 24, label);
    b->labelsize(BUS_LABEL_SIZE);
    b->shortcut(key);
    b->callback(on_action, (void*)a);
    *x += w + BUS_GAP;
    return b;
}

// The service report of the rows since the window was opened.
static void make_report(void)
{
    if (bus_state.busy)
        return;
    std::string status;
    if (bus_report_make(bus_window.window, status))
        set_status(status);
}

static void make_bus_window(void)
{
    bus_texts_forget();  // the catalogue may have changed since
    bus_report_opened();
    // The top row: the range, the reads, Stop, Retries, Clear health, then
    // the progress bar in what is left, at least 200 wide.
    const char* range = gettext_easy("Addresses");
    const char* retries = gettext_easy("Retries");
    int top_row = 8 + bus_label_width(range) + 64 + 3 * BUS_GAP + bus_label_width(retries) + 48 +
                  4 * BUS_GAP;
    for (const char* b : {"Read the bus", "Read again", "Stop", "Clear health"})
        top_row += button_width(gettext_easy(b)) + BUS_GAP;
    const int H = 480, W = std::max(980, top_row + 200 + 8);
    Fl_Double_Window* win = new Fl_Double_Window(W, H, gettext_easy("Bus"));
    bus_window.window = win;

    Fl_Group* top = new Fl_Group(0, 0, W, 40);
    int x = 8 + bus_label_width(range) + BUS_GAP;
    bus_window.range = new Fl_Input(x, 8, 64, 24, range);
    bus_window.range->labelsize(BUS_LABEL_SIZE);
    bus_window.range->textsize(BUS_LABEL_SIZE);
    bus_window.range->value("01-FF");
    x += 64 + 2 * BUS_GAP;
    bus_window.read = action_button(&x, 8, gettext_easy("Read the bus"), FL_F + 5, read_bus);
    bus_window.again = action_button(&x, 8, gettext_easy("Read again"), 0, read_selected);
    bus_window.stop = action_button(&x, 8, gettext_easy("Stop"), FL_Escape, stop_run);
    bus_window.stop->deactivate();
    x += bus_label_width(retries) + 2 * BUS_GAP;
    bus_window.retries = new Fl_Spinner(x, 8, 48, 24, retries);
    bus_window.retries->labelsize(BUS_LABEL_SIZE);
    bus_window.retries->textsize(BUS_LABEL_SIZE);
    bus_window.retries->range(0, PREF_RETRIES_MAX);
    bus_window.retries->step(1);
    bus_window.retries->value(pref_retries);
    bus_window.retries->callback(retries_chosen);
    x += 48 + 2 * BUS_GAP;
    bus_window.clear = action_button(&x, 8, gettext_easy("Clear health"), 0, clear_health);
    bus_window.progress = new Fl_Progress(x, 8, W - 8 - x, 24);
    bus_window.progress->labelsize(BUS_LABEL_SIZE);
    bus_window.progress->selection_color(FL_SELECTION_COLOR);
    top->end();
    top->resizable(bus_window.progress);

    Fl_Table_Row* t = make_bus_table(8, 40, W - 16, H - 112);
    t->when(FL_WHEN_CHANGED | FL_WHEN_RELEASE);
    t->callback(selection_told);
    t->end();
    bus_window.table = t;

    // Two lines: the selected row's whole state, then its health.
    bus_window.status = new Fl_Box(8, H - 70, W - 16, 34);
    bus_window.status->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_CLIP);
    bus_window.status->labelsize(BUS_LABEL_SIZE);

    Fl_Group* bottom = new Fl_Group(0, H - 34, W, 34);
    x = 8;
    bus_window.compare = action_button(&x, H - 32, gettext_easy("Compare with..."), FL_CTRL + 'o',
                                       compare_with_file);
    bus_window.write = action_button(&x, H - 32, gettext_easy("Write file to selected"),
                                     FL_CTRL + 'w', write_selected);
    bus_window.record = action_button(&x, H - 32, gettext_easy("Export..."), FL_CTRL + 'e',
                                      export_record);
    bus_window.save = action_button(&x, H - 32, gettext_easy("Save..."), FL_CTRL + 's', save_rows);
    bus_window.history = action_button(&x, H - 32, gettext_easy("History..."), FL_CTRL + 'h',
                                       show_history);
    bus_window.report = action_button(&x, H - 32, gettext_easy("Report..."), FL_CTRL + 'p',
                                      make_report);
    Fl_Box* room = new Fl_Box(x, H - 32, std::max(1, W - 8 - x), 24);
    bottom->end();
    bottom->resizable(room);

    win->end();
    win->resizable(t);
    win->size_range(640, 300);
    win->callback(window_closing);
}

static void read_bus_now(void*)
{
    read_bus();
}

int BusButton_OnClick(Fl_Widget*)
{
    if (port == 0 || bus_state.busy)
        return 0;
    if (!bus_window.window) {
        make_bus_window();
        // Below the main window where the screen has room, else over it.
        Fl_Double_Window* win = bus_window.window;
        int sx, sy, sw, sh;
        Fl::screen_work_area(sx, sy, sw, sh, MainForm->x(), MainForm->y());
        int x = MainForm->x() + win->w() > sx + sw ? sx + sw - win->w() : MainForm->x();
        int y = MainForm->y() + MainForm->h() + 30;
        if (y + win->h() > sy + sh)
            y = sy + sh - win->h();
        win->position(x < sx ? sx : x, y < sy ? sy : y);
    }
    bus_window.window->show();
    bus_window.table->take_focus();
    // Once the window is up: the click (or Ctrl+B) has ended by then.
    Fl::add_timeout(0.0, read_bus_now);
    return 0;
}
