#include "find.h"

#include <FL/Fl.H>
#include <stdio.h>

#include "../device/bus.h"
#include "../device/exchange.h"
#include "../device/line.h"
#include "../device/scan.h"
#include "../i18n/gett.h"
#include "../platform/platform.h"
#include "kp6form.h"
#include "prefs.h"

find_dialog_t find_dialog;

static struct {
    int cancelled;  // Escape, Cancel or the window closed
    int ended;
    int accepted;  // Return, OK or a double click once it has ended
    int chosen;    // the index of the address accepted
    int count;     // lines listed
    int found;     // controllers among them
    unsigned char addresses[256];
    bool garbled[256];  // a line of garbled answers: no controller to choose
    char asking[128];
    double started;  // plat_perf_counter's seconds when the first address was asked
} finding;

static void find_cancel(Fl_Widget*, void*)
{
    finding.cancelled = 1;
    find_dialog.window->hide();
}

static void find_accept(Fl_Widget*, void*)
{
    if (!finding.ended || find_dialog.found->value() <= 0 ||
        finding.garbled[find_dialog.found->value() - 1])
        return;
    finding.accepted = 1;
    finding.chosen = find_dialog.found->value() - 1;
    find_dialog.window->hide();
}

static void found_clicked(Fl_Widget* w, void*)
{
    if (Fl::event_clicks())
        find_accept(w, nullptr);
}

// Between exchanges the window's events are handled, so that it repaints
// and Escape or Cancel stops the search before the next address.
static int find_told(void*, unsigned char a, int answered, unsigned char er78)
{
    if (answered < 0) {
        // The time left at the pace measured so far, once there is one.
        double now = (double)plat_perf_counter() / (double)plat_perf_frequency();
        if (a == SCAN_FIRST)
            finding.started = now;
        int asked = a - SCAN_FIRST;
        if (asked >= 4) {
            int left = (int)((now - finding.started) / asked * (SCAN_LAST + 1 - a) + 0.5);
            snprintf(finding.asking, sizeof finding.asking,
                     gettext_easy("Asking %02X, about %d s left"), a, left);
        } else {
            snprintf(finding.asking, sizeof finding.asking, gettext_easy("Asking %02X"), a);
        }
        find_dialog.progress->label(finding.asking);
        find_dialog.progress->value(a);
    } else {
        // Garbled answers are listed so marked, never as a controller.
        bool garbled = answered == SCAN_GARBLED;
        finding.garbled[finding.count] = garbled;
        finding.addresses[finding.count++] = a;
        const char* type = meter_key(er78_meter(er78));  // null: no radio for it
        char line[200];
        if (garbled)
            snprintf(line, sizeof line, "%02X  %s", a,
                     gettext_easy("garbled answers: two controllers may share this address"));
        else
            snprintf(line, sizeof line, "%02X  %s%s%s", a, type ? gettext_easy(type) : "",
                     type && er78_inverse(er78) ? ", " : "",
                     er78_inverse(er78) ? gettext_easy("Invers Gun") : "");
        find_dialog.found->add(line);
        if (!garbled && ++finding.found == 1)
            find_dialog.found->value(finding.count);
    }
    Fl::check();
    return finding.cancelled;
}

static void make_find_dialog(void)
{
    const int W = 420, H = 300;  // room for a line of garbled answers
    Fl_Double_Window* win = new Fl_Double_Window(W, H, gettext_easy("Find controllers"));
    find_dialog.window = win;
    find_dialog.progress = new Fl_Progress(8, 8, W - 16, 24);
    find_dialog.progress->minimum(SCAN_FIRST);
    find_dialog.progress->maximum(SCAN_LAST + 1);
    find_dialog.progress->labelsize(12);
    find_dialog.progress->selection_color(FL_SELECTION_COLOR);
    find_dialog.found = new Fl_Hold_Browser(8, 56, W - 16, 128, gettext_easy("Answered"));
    find_dialog.found->align(FL_ALIGN_TOP_LEFT);
    find_dialog.found->labelsize(12);
    find_dialog.found->textsize(12);
    find_dialog.found->when(FL_WHEN_RELEASE_ALWAYS | FL_WHEN_ENTER_KEY);
    find_dialog.found->callback(found_clicked);
    find_dialog.status = new Fl_Box(8, 188, W - 16, 72);  // a cause wraps
    find_dialog.status->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_TOP);
    find_dialog.status->labelsize(12);
    find_dialog.ok = new Fl_Return_Button(W - 208, H - 32, 96, 24, gettext_easy("OK"));
    find_dialog.ok->labelsize(12);
    find_dialog.ok->callback(find_accept);
    find_dialog.ok->deactivate();
    find_dialog.cancel = new Fl_Button(W - 104, H - 32, 96, 24, gettext_easy("Cancel"));
    find_dialog.cancel->labelsize(12);
    find_dialog.cancel->callback(find_cancel);
    win->end();
    win->callback(find_cancel);  // Escape and the window's close button
    win->set_modal();
    win->position(MainForm->x() + (MainForm->w() - W) / 2, MainForm->y() + 20);
    win->show();
}

int FindButton_OnClick(Fl_Widget*)
{
    if (port == 0)
        return 0;
    finding = {};
    make_find_dialog();
    unsigned next = SCAN_FIRST;
    // As often asked again as the bus window asks; the main window's own
    // actions keep their single try.
    exchange_options o = exchange_get_options();
    o.retries = pref_retries;
    o.silent_on_loss = 1;  // a clean line's Find keeps its time
    exchange_options kept = exchange_set_options(o);
    int result = bus_scan(port, SCAN_FIRST, SCAN_LAST, scan_timeout_ms(port), find_told, nullptr,
                          &next);
    exchange_set_options(kept);
    if (!finding.cancelled) {
        finding.ended = 1;
        char status[600];
        const char* ended = gettext_easy("Done");
        if (result == SCAN_LINE_LOST) {
            // Said here once, in the dialog, as the main window says it; the
            // port closes at once.
            char why[400] = "";
            port_lost_report(port, why, sizeof why);
            snprintf(status, sizeof status,
                     gettext_easy("The line was lost at %02X (%s); found: %d"), next, why,
                     finding.found);
            snprintf(finding.asking, sizeof finding.asking, gettext_easy("Line lost at %02X"),
                     next);
            ended = finding.asking;
            close_lost_port();
        } else if (finding.found == 0) {
            snprintf(status, sizeof status, gettext_easy("Nothing answered from %02X to %02X"),
                     SCAN_FIRST, SCAN_LAST);
        } else {
            snprintf(status, sizeof status, gettext_easy("Found: %d"), finding.found);
        }
        find_dialog.status->copy_label(status);
        find_dialog.progress->label(ended);
        if (result != SCAN_LINE_LOST)
            find_dialog.progress->value(SCAN_LAST + 1);
        if (finding.found)
            find_dialog.ok->activate();
        while (find_dialog.window->shown())
            Fl::wait();
    }
    Fl_Double_Window* win = find_dialog.window;
    find_dialog = find_dialog_t();
    delete win;
    if (finding.accepted) {
        char text[8];
        snprintf(text, sizeof text, "%02X", finding.addresses[finding.chosen]);
        MainForm->AddressInput->value(text);
    }
    return 0;
}
