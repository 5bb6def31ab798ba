// The bus window: every controller on the main window's line in one table,
// read at once, compared with a backup file, a file's values written to the
// selected rows, the table exported as CSV or saved as one backup file.
#ifndef KP6_BUSWIN_H
#define KP6_BUSWIN_H

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Spinner.H>
#include <FL/Fl_Table_Row.H>

#include "bustable.h"

// The window's controls, once it has been opened (null before).
struct bus_window_t {
    Fl_Double_Window* window;
    Fl_Input* range;        // the addresses scanned, "01-FF"
    Fl_Button* read;        // Read the bus, F5
    Fl_Button* again;       // Read again: the selected rows
    Fl_Button* stop;        // Escape
    Fl_Spinner* retries;    // how often a failed exchange is asked again, 0 to 10
    Fl_Button* clear;       // Clear health: the line's counts start again
    Fl_Progress* progress;  // labelled with the count and the time left
    Fl_Table_Row* table;    // one row a controller; Ctrl+A selects every row
    Fl_Box* status;         // how the last action ended; the selected row's state and health
    Fl_Button* compare;     // Compare with..., Ctrl+O
    Fl_Button* write;       // Write file to selected, Ctrl+W
    Fl_Button* record;      // Export..., Ctrl+E
    Fl_Button* save;        // Save..., Ctrl+S
    Fl_Button* history;     // History..., Ctrl+H: the journal for the rows' addresses
    Fl_Button* report;      // Report..., Ctrl+P: the service report as a PDF
};
extern bus_window_t bus_window;

// Ctrl+B and the main window's "Bus..." button: opens (or raises) the
// window and reads the bus.
int BusButton_OnClick(Fl_Widget* w);

#endif
