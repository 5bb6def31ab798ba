// The traffic view: every frame the window sends and receives on its port
// (Test, Read, Write, Find, the bus window), as it happens, with the
// decoder's words; filtered by address, paused, cleared, saved as text; and
// the switch that has the port layer record the port in port.out.
#ifndef KP6_TRAFFIC_H
#define KP6_TRAFFIC_H

#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Light_Button.H>

#include <string>

// The view's controls, once it has been opened (null before).
struct traffic_view_t {
    Fl_Double_Window* window;
    Fl_Input* addresses;      // "01,1F"; empty: every address
    Fl_Light_Button* pause;   // on: the list stands still, frames are still kept
    Fl_Button* clear;         // forgets every frame
    Fl_Button* save;          // Save as text..., Ctrl+S
    Fl_Check_Button* record;  // sets the open port's bit in pl_port_log
    Fl_Light_Button* listen;  // Listen only: the port heard, nothing sent; Escape stops
    Fl_Hold_Browser* list;    // a frame a line, the newest last
};
extern traffic_view_t traffic_view;

// It keeps at most this many frames, the oldest forgotten first.
enum { TRAFFIC_FRAMES_MAX = 100000 };

// Ctrl+T and the main window's "Traffic..." button: opens (or raises) the view.
int TrafficButton_OnClick(Fl_Widget* w);

// The port just opened, and the handle of one just closed: the port's bit
// in pl_port_log set when it is remembered as recorded, and put back as it
// was before at the close, so that the next port on the handle starts
// unrecorded (or as KP6_PORT_LOG says).
void traffic_port_opened(void);
void traffic_port_closed(unsigned short handle);

// The frames shown, a line each, as Save as text writes them.
std::string traffic_text(void);

#endif
