#include "gui_support.h"

#include <FL/Fl_Button.H>
#include <FL/x.H>

#include "../support/testsupport.h"

bool pump_until(const std::function<bool()>& cond, int ms)
{
    return eventually([&] {
        Fl::wait(0.005);
        return cond();
    }, ms);
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
    if (Fl_Window* m = Fl::modal()) {
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
