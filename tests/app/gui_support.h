// Helpers for tests that drive the window with real X events.
#ifndef KP6_GUI_SUPPORT_H
#define KP6_GUI_SUPPORT_H

#include <FL/Fl.H>
#include <FL/Fl_Window.H>

#include <gtest/gtest.h>
#include <unistd.h>

#include "../../app/dialogs.h"
#include "../../i18n/gett.h"
#include "../../platform/platform.h"
#include "../../port/plainw.h"
#include "../../timers/timersw.h"
#include "../support/testsupport.h"

#include <functional>
#include <string>
#include <vector>

// Runs the event loop until `cond` holds or `ms` pass.
bool pump_until(const std::function<bool()>& cond, int ms);
// Runs xdotool with `args` while the event loop keeps going.
void xdotool(const std::string& args);
// Clicks `button` (1 left, 2 middle, 3 right) in the middle of `w`.
void click(Fl_Widget* w, int button = 1);
// Asks the X window `id` to close, as a window manager's close button does.
void ask_to_close(unsigned long id);
// The X window of `win`, for xdotool's --window.
unsigned long xid(Fl_Window* win);

// Runs `xdotool ARGS` once a window titled `title` is shown ("%w" in ARGS
// names it), from whatever event loop runs then, a dialog's own included;
// `fill`, when given, is first put in its first input field (a file
// dialog's name field completes names as they are typed).
void when_window(const std::string& title, const std::string& args, const std::string& fill = "");
// The same for a second window, once the first has been driven (a dialog
// that leads to another).
void then_window(const std::string& title, const std::string& args, const std::string& fill = "");
// Runs the event loop until what when_window started has ended: false
// when no such window came within `ms`.
bool window_driven(int ms);

// Dismisses every alert box that opens while it lives, keeping their texts.
struct AlertCatcher {
    std::vector<std::string> texts;    // message of each alert
    std::vector<std::string> buttons;  // label of its button
    std::vector<std::string> titles;   // title of its window
    AlertCatcher();
    ~AlertCatcher();
};

// A window over ports named in KP6_PORTS only, with the port layer started
// in a scratch folder.
class WindowTest : public ::testing::Test {
protected:
    ScratchDir dir;
    TempDir no_devices, home;  // the remembered lines, port and address go to home

    void SetUp() override
    {
        set_env("HOME", home.path.c_str());
        set_env("KP6_JOURNAL", home.file("journal.jsonl").c_str());  // never the user's own
        // The toolkit's own file dialog, whatever the machine has.
        Fl::option(Fl::OPTION_FNFC_USES_GTK, false);
        plat_set_serial_root(no_devices.path.c_str());
        free_mo_file();
        install_event(1);  // the clock the exchanges' timers read
    }
    void TearDown() override
    {
        close_window();
        free_mo_file();
        set_env("KP6_PORTS", nullptr);
        set_env("KP6_JOURNAL", nullptr);
        plat_set_serial_root(nullptr);
        remove_event(1);
    }
    // The window, its port and the port layer gone.
    void close_window()
    {
        if (MainForm) {
            MainForm->hide();
            Fl::wait(0.01);
            delete MainForm;
            MainForm = nullptr;
        }
        if (port)
            free_port(port, 0);
        port = 0;
        close_net();
    }
    // The window closed and built again, as at the next start.
    void rebuild(const std::string& ports)
    {
        close_window();
        build(ports);
    }
    void build(const std::string& ports)
    {
        set_env("KP6_PORTS", ports.c_str());
        MainForm = make_tool_window(gettext_easy("KP-6"));
        MainForm->show();
        start_net(1);
        ASSERT_TRUE(pump_until([] { return MainForm->shown() && MainForm->visible(); }, 10000));
        Fl::flush();
    }
    static bool port_controls_active(bool on)
    {
        xMainForm* f = MainForm;
        Fl_Widget* list[] = {f->CloseButton, f->WriteButton, f->ReadButton,     f->AddressInput,
                             f->TestButton,  f->TypeGroup,   f->InversGunCheck, f->ER79_Input,
                             f->ER72_Input,  f->ER74_Input,  f->ER75_Input,     f->ER77_Input};
        for (Fl_Widget* w : list)
            if ((w->active() != 0) != on)
                return false;
        return (f->ComChoice->active() != 0) != on && (f->OpenButton->active() != 0) != on;
    }
};

#endif
