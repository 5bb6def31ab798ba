#include "busreport.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Return_Button.H>
#include <stdio.h>

#include <algorithm>

#include "../device/exchange.h"
#include "../device/journal.h"
#include "../device/report.h"
#include "../i18n/gett.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "busdialogs.h"
#include "bustable.h"
#include "kp6form.h"
#include "prefs.h"
#include "settingsfile.h"

// The report's period begins when the window is made.
static std::string opened_at;

static std::string local_now(void)
{
    plat_datetime t;
    plat_local_time(&t);
    char buf[40];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.000", t.year, t.month, t.day, t.hour,
             t.minute, t.second);
    return buf;
}

void bus_report_opened(void)
{
    opened_at = local_now();
}

static std::string login_name(void)
{
    char name[256];
    return plat_user_name(name, sizeof name) == 0 ? name : "";
}

static struct {
    Fl_Input *site, *technician;
} report_ask;

// The site (remembered) and the technician (the login name, editable);
// Return goes on, Escape does not.
static int ask_report_header(Fl_Window* over, std::string& site, std::string& technician)
{
    const char* labels[] = {gettext_easy("Site"), gettext_easy("Technician")};
    int lw = std::max(bus_label_width(labels[0]), bus_label_width(labels[1])) + 2 * BUS_GAP;
    const char* make = gettext_easy("Make...");
    const int bw = std::max(96, bus_label_width(make) + 40);  // room for the Return mark
    const int W = 460 + lw, H = 112;
    Fl_Double_Window* win = new Fl_Double_Window(W, H, gettext_easy("Service report"));
    report_ask.site = new Fl_Input(8 + lw, 10, W - 16 - lw, 24, labels[0]);
    report_ask.technician = new Fl_Input(8 + lw, 42, W - 16 - lw, 24, labels[1]);
    for (Fl_Input* in : {report_ask.site, report_ask.technician}) {
        in->labelsize(BUS_LABEL_SIZE);
        in->textsize(BUS_LABEL_SIZE);
    }
    report_ask.site->value(pref_site);
    report_ask.technician->value(technician.c_str());
    Fl_Return_Button* ok = new Fl_Return_Button(W - 112 - bw, H - 32, bw, 24, make);
    ok->labelsize(BUS_LABEL_SIZE);
    ok->callback(bus_dialog_ok);
    Fl_Button* cancel = new Fl_Button(W - 104, H - 32, 96, 24, gettext_easy("Cancel"));
    cancel->labelsize(BUS_LABEL_SIZE);
    cancel->callback(bus_dialog_cancel);
    win->end();
    int yes = bus_dialog_run(win, over);
    site = report_ask.site->value();
    technician = report_ask.technician->value();
    delete win;
    return yes;
}

// The service report of the journal since the window was opened, for its
// rows, with their comparison and the line's health as the window has them.
int bus_report_make(Fl_Window* over, std::string& status)
{
    report_data d;
    d.technician = login_name();
    if (!ask_report_header(over, d.site, d.technician))
        return 0;
    snprintf(pref_site, sizeof pref_site, "%s", d.site.c_str());
    prefs_save();
    std::string path, message, journal;
    std::string filter = std::string(gettext_easy("PDF files")) + "\t*.pdf\n" +
                         gettext_easy("All files") + "\t*";
    if (!choose_file(1, gettext_easy("Save the report"), filter.c_str(), "kp6-report.pdf", path))
        return 0;
    std::vector<unsigned char> rows;
    for (const bus_row& r : bus_state.rows)
        rows.push_back(r.address);
    d.since = opened_at;
    int error = 0, kind;
    // A journal that is no file is refused unread, as kp6ctl refuses it.
    if (journal_path(journal) == JOURNAL_OK && plat_file_kind(journal.c_str(), &kind) == 0 &&
        kind != PLAT_FILE_REGULAR) {
        show_failure("Report not written", journal + ": " + gettext_easy("not a file"));
        return 0;
    }
    if (journal_path(journal) != JOURNAL_OK ||
        report_gather(journal, rows.empty() ? nullptr : &rows, d, &error) != REPORT_OK) {
        char why[200] = "";
        if (error)
            plat_error_text(error, why, sizeof why);
        show_failure("Report not written", journal + ": " + why);
        return 0;
    }
    d.line = port_name(port);
    plat_port_info info;
    if (plat_serial_port_info(d.line.c_str(), &info) == 0)
        d.adapter = info.serial;
    d.program = "kp6 " KP6_VERSION;
    for (report_controller& c : d.controllers)
        for (const bus_row& r : bus_state.rows) {
            line_health h;
            char text[600];
            if (r.address != c.address)
                continue;
            c.compared = bus_compared_text(r, bus_tr);
            if (health_of(r.address, &h) && health_text(h, text, sizeof text))
                c.health = text;
        }
    if (report_save(d, path, message) != REPORT_OK) {
        show_failure("Report not written", message);
        return 0;
    }
    status = printed(gettext_easy("Report written: %s"), path.c_str());
    return 1;
}
