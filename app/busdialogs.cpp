#include "busdialogs.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>

#include "../device/address.h"
#include "../device/bus.h"
#include "../device/settings.h"
#include "../i18n/gett.h"

// How a setting reads for the preview: a number, or the type by name.
static std::string setting_text(int reg, unsigned char v)
{
    if (reg == REG_ER78)
        return bus_type_text(v) +
               (er78_inverse(v) ? ", " + std::string(gettext_easy("Invers Gun")) : "");
    return std::to_string(v);
}

// One change of the preview: "ER79 15 → 9".
static std::string change_item(int reg, unsigned char now, unsigned char want, bus_words)
{
    return setting_name(reg) + (" " + setting_text(reg, now)) + " \xE2\x86\x92 " +
           setting_text(reg, want);
}

// What writing `want` would change at row `r`, in one line.
std::string bus_change_line(const bus_row& r, const device_settings& want)
{
    std::string line = hex2(r.address) + ": ";
    if (!bus_row_has_settings(r))
        return line + gettext_easy("not read: all six settings written");
    unsigned differ = bus_compare(r.settings, want);
    if (!differ)
        return line + gettext_easy("nothing changes");
    return line + differences_text(r.settings, want, differ, change_item, "; ");
}

static int answer;  // of the question shown: 1 go on, 0 not

int bus_label_width(const char* label)
{
    fl_font(FL_HELVETICA, BUS_LABEL_SIZE);
    return (int)fl_width(label);
}

void bus_dialog_ok(Fl_Widget* w, void*)
{
    answer = 1;
    w->window()->hide();
}

void bus_dialog_cancel(Fl_Widget* w, void*)
{
    Fl_Window* win = w->as_window() ? w->as_window() : w->window();
    win->hide();
}

int bus_dialog_run(Fl_Double_Window* win, Fl_Window* over)
{
    win->callback(bus_dialog_cancel);
    win->set_modal();
    win->position(over->x() + (over->w() - win->w()) / 2, over->y() + 40);
    answer = 0;
    win->show();
    while (win->shown())
        Fl::wait();
    return answer;
}

// The changes controller by controller; Return writes, Escape does not.
int bus_preview_confirm(Fl_Window* over, const std::vector<std::string>& lines)
{
    const int W = 520, H = 320;
    Fl_Double_Window* win = new Fl_Double_Window(W, H, gettext_easy("Write file to selected"));
    Fl_Hold_Browser* list = new Fl_Hold_Browser(8, 28, W - 16, H - 72,
                                                gettext_easy("What would change:"));
    list->align(FL_ALIGN_TOP_LEFT);
    list->labelsize(BUS_LABEL_SIZE);
    list->textsize(BUS_LABEL_SIZE);
    for (const std::string& l : lines)
        list->add(l.c_str());
    Fl_Return_Button* ok = new Fl_Return_Button(W - 208, H - 32, 96, 24, gettext_easy("Write"));
    ok->labelsize(BUS_LABEL_SIZE);
    ok->callback(bus_dialog_ok);
    Fl_Button* cancel = new Fl_Button(W - 104, H - 32, 96, 24, gettext_easy("Cancel"));
    cancel->labelsize(BUS_LABEL_SIZE);
    cancel->callback(bus_dialog_cancel);
    win->end();
    win->resizable(list);
    int yes = bus_dialog_run(win, over);
    delete win;
    return yes;
}
