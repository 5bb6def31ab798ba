// Helpers for tests that drive the window with real X events.
#ifndef KP6_GUI_SUPPORT_H
#define KP6_GUI_SUPPORT_H

#include <FL/Fl.H>
#include <FL/Fl_Window.H>

#include <functional>
#include <string>
#include <vector>

// Runs the event loop until `cond` holds or `ms` pass.
bool pump_until(const std::function<bool()>& cond, int ms);
// Runs xdotool with `args` while the event loop keeps going.
void xdotool(const std::string& args);
// Clicks `button` (1 left, 2 middle, 3 right) in the middle of `w`.
void click(Fl_Widget* w, int button = 1);
// The X window of `win`, for xdotool's --window.
unsigned long xid(Fl_Window* win);

// Dismisses every alert box that opens while it lives, keeping their texts.
struct AlertCatcher {
    std::vector<std::string> texts;    // message of each alert
    std::vector<std::string> buttons;  // label of its button
    AlertCatcher();
    ~AlertCatcher();
};

#endif
