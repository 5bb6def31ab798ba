// Find: the bus asked address by address, as kp6ctl scan asks it, in a
// dialog that shows the address being asked and those that answered.
#ifndef KP6_FIND_H
#define KP6_FIND_H

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Return_Button.H>

// The dialog, while it is open.
struct find_dialog_t {
    Fl_Double_Window* window;
    Fl_Progress* progress;   // labelled with the address being asked
    Fl_Hold_Browser* found;  // one line an address that answered
    Fl_Box* status;          // how the search ended
    Fl_Return_Button* ok;    // active once it has ended with something found
    Fl_Button* cancel;
};
extern find_dialog_t find_dialog;

// The Find button's action: the dialog, modal, until it is closed.
int FindButton_OnClick(Fl_Widget* w);

#endif
