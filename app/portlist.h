// The window's port list, made afresh each time it opens, and its last
// item "Other port...", whose dialog adds and removes remembered lines.
#ifndef KP6_PORTLIST_H
#define KP6_PORTLIST_H

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Return_Button.H>

#include "../discovery/comdet.h"
#include "prefs.h"

// The entries of the list, in its order: discovery's (KP6_PORTS with
// them), each followed by its stable name where it has one, then the
// remembered network lines not among them. list_about: what each entry's
// device says it is ("Acme USB RS485 Converter, serial A10K5XYZ"), drawn
// beside the name; "" when nothing.
enum { LIST_MAX = 2 * COM_MAX + NET_LINES_MAX, LIST_ABOUT_SIZE = 320 };
extern int list_count;
extern char list_names[LIST_MAX][COM_NAME_SIZE];
extern char list_about[LIST_MAX][LIST_ABOUT_SIZE];

// Fills `c` from what the machine has now, with "Other port..." last.
// The entry named `keep` stays chosen while it is listed; otherwise the
// first entry is chosen, or none when there is none.
void port_list_fill(Fl_Choice* c, const char* keep);
// The chosen entry's index in list_names, or -1.
int port_list_chosen(Fl_Choice* c);
// Chooses the entry named `name`: 1, or 0 when it is not listed.
int port_list_choose(Fl_Choice* c, const char* name);
// Whether `event`, about to reach the main window, opens the list (a
// press on it, or the space bar while it has the focus); it is then made
// afresh first.
int port_list_opening(Fl_Choice* c, int event);

// Writes `name` shortened in the middle with an ellipsis ("rfc2217://…:27002")
// so that it fits `width` pixels in the current font, whole when it fits.
void elide_middle(const char* name, int width, char* out, int size);

// Writes `name` into `out` so that the menu shows it literally. Returns 0
// when it does not fit.
int menu_escape(const char* name, char* out, int size);

// Told of the entry chosen in a list, null for none (the window follows
// it with the port's converter). Null: nobody is.
extern void (*port_list_followed)(const char* name);

// The "Other port..." dialog, while it is open.
struct net_line_dialog_t {
    Fl_Double_Window* window;
    Fl_Choice* list;  // the port list it was opened from, filled again
    Fl_Input* url;
    Fl_Box* why;             // what is wrong with the URL typed
    Fl_Hold_Browser* lines;  // the remembered lines
    Fl_Button* remove;
    Fl_Return_Button* ok;
    Fl_Button* cancel;
};
extern net_line_dialog_t net_line;

// Opens it modal over `list`'s window and returns once it is closed;
// `list` is filled again with the lines as they are then.
void net_line_dialog(Fl_Choice* list);

#endif
