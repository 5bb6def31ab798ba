#include "gui_support.h"

#include <FL/Fl_Button.H>
#include <FL/Fl_Input.H>
#include <FL/x.H>

#include <memory>

#include "../support/testsupport.h"

bool pump_until(const std::function<bool()>& cond, int ms)
{
    return eventually(
        [&] {
            Fl::wait(0.005);
            return cond();
        },
        ms);
}

void xdotool(const std::string& args)
{
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec xdotool " + args};
    Child c(argv, {}, "");
    int status = -1;
    pump_until([&] { return (status = c.wait_exit(0)) != -1; }, 20000);
    // Let the server deliver what xdotool sent before anyone looks.
    XSync(fl_display, False);
    for (int i = 0; i < 10; i++)
        Fl::wait(0.01);
}

unsigned long xid(Fl_Window* win)
{
    return (unsigned long)fl_xid(win);
}

void ask_to_close(unsigned long id)
{
    Display* d = XOpenDisplay(nullptr);
    if (!d)
        return;
    XEvent e = {};
    e.xclient.type = ClientMessage;
    e.xclient.window = id;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, id, False, NoEventMask, &e);
    XCloseDisplay(d);
}

void click(Fl_Widget* w, int button)
{
    Fl_Window* win = w->window();
    int x = w->x() + w->w() / 2, y = w->y() + w->h() / 2;
    xdotool("mousemove --window " + std::to_string(xid(win)) + " " + std::to_string(x) + " " +
            std::to_string(y) + " sleep 0.05 click " + std::to_string(button));
}

static struct {
    std::string title, args, fill;
    std::unique_ptr<Child> driver;
    int polls;
} driving;
// The window to drive once the one driven now is done (then_window).
static struct {
    std::string title, args, fill;
} next_window;

static AlertCatcher* catcher;

static void collect(Fl_Group* g)
{
    for (int i = 0; i < g->children(); i++) {
        Fl_Widget* c = g->child(i);
        if (!c->visible() || !c->label() || !c->label()[0])
            continue;
        if (dynamic_cast<Fl_Button*>(c))
            catcher->buttons.push_back(c->label());
        else if (c->w() != c->h())  // the square one is the icon
            catcher->texts.push_back(c->label());
    }
}

static void poll_alerts(void*)
{
    Fl_Window* m = Fl::modal();
    // A dialog the test drives itself is no alert.
    if (m && m->label() && driving.title == m->label())
        m = nullptr;
    if (m) {
        catcher->titles.push_back(m->label() ? m->label() : "");
        collect(m);
        m->hide();
    }
    Fl::repeat_timeout(0.02, poll_alerts);
}

AlertCatcher::AlertCatcher()
{
    catcher = this;
    Fl::add_timeout(0.02, poll_alerts);
}

AlertCatcher::~AlertCatcher()
{
    Fl::remove_timeout(poll_alerts);
    catcher = nullptr;
}

// The first input field shown in `g`, or null.
static Fl_Input* first_input(Fl_Group* g)
{
    for (int i = 0; i < g->children(); i++) {
        Fl_Widget* c = g->child(i);
        if (!c->visible())
            continue;
        if (Fl_Input* in = dynamic_cast<Fl_Input*>(c))
            return in;
        if (Fl_Group* inner = c->as_group())
            if (Fl_Input* in = first_input(inner))
                return in;
    }
    return nullptr;
}

static void hide_driven(void* w)
{
    ((Fl_Window*)w)->hide();
}

static void drive_window(void*);

static void drive_next(void*)
{
    if (driving.driver && driving.driver->wait_exit(0) == -1) {
        Fl::repeat_timeout(0.02, drive_next);
        return;
    }
    driving.title = next_window.title;
    driving.args = next_window.args;
    driving.fill = next_window.fill;
    next_window.title.clear();
    driving.driver.reset();
    driving.polls = 0;
    Fl::add_timeout(0.02, drive_window);
}

static void drive_window(void*)
{
    for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w)) {
        if (!w->shown() || !w->label() || driving.title != w->label())
            continue;
        w->wait_for_expose();  // on the screen, or keys would miss it
        Fl_Input* in = driving.fill.empty() ? nullptr : first_input(w);
        if (in) {
            in->value(driving.fill.c_str());
            in->position(in->size());
        }
        std::string args = driving.args;
        size_t at = args.find("%w");
        if (at != std::string::npos)
            args.replace(at, 2, std::to_string(xid(w)));
        driving.driver.reset(new Child({"/bin/sh", "-c", "exec xdotool " + args}, {}, ""));
        // A dialog that does not close fails the test, not the run.
        Fl::add_timeout(15, hide_driven, w);
        if (!next_window.title.empty())
            Fl::add_timeout(0.02, drive_next);
        return;
    }
    if (++driving.polls < 500)
        Fl::repeat_timeout(0.02, drive_window);
}

void when_window(const std::string& title, const std::string& args, const std::string& fill)
{
    driving.title = title;
    driving.args = args;
    driving.fill = fill;
    driving.driver.reset();
    driving.polls = 0;
    Fl::add_timeout(0.02, drive_window);
}

void then_window(const std::string& title, const std::string& args, const std::string& fill)
{
    next_window.title = title;
    next_window.args = args;
    next_window.fill = fill;
}

bool window_driven(int ms)
{
    bool done = pump_until(
        [] {
            return next_window.title.empty() && driving.driver &&
                   driving.driver->wait_exit(0) != -1;
        },
        ms);
    next_window.title.clear();
    Fl::remove_timeout(drive_next);
    Fl::remove_timeout(drive_window);
    Fl::remove_timeout(hide_driven);
    driving.driver.reset();
    driving.title.clear();
    return done;
}
