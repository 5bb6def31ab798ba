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
#include <FL/Fl_Table_Row.H>

#include <string>
#include <vector>

#include "../device/backupfile.h"
#include "../device/bus.h"

// The window's controls, once it has been opened (null before).
struct bus_window_t {
    Fl_Double_Window* window;
    Fl_Input* range;        // the addresses scanned, "01-FF"
    Fl_Button* read;        // Read the bus, F5
    Fl_Button* again;       // Read again: the selected rows
    Fl_Button* stop;        // Escape
    Fl_Progress* progress;  // labelled with the count and the time left
    Fl_Table_Row* table;    // one row a controller; Ctrl+A selects every row
    Fl_Box* status;         // how the last action ended
    Fl_Button* compare;     // Compare with..., Ctrl+O
    Fl_Button* write;       // Write file to selected, Ctrl+W
    Fl_Button* record;      // Export..., Ctrl+E
    Fl_Button* save;        // Save..., Ctrl+S
};
extern bus_window_t bus_window;

// What the table shows, and the file it was compared with.
struct bus_state_t {
    std::vector<bus_row> rows;
    std::vector<backup_entry> file;  // empty: not compared
    std::string file_name;           // its name without the folder
    int busy;                        // a read or write runs
    int stopping;                    // Escape was pressed during it
};
extern bus_state_t bus_state;

// Ctrl+B and the main window's "Bus..." button: opens (or raises) the
// window and reads the bus.
int BusButton_OnClick(Fl_Widget* w);

// The text of one cell as the table shows it; *differs is set when the
// cell differs from the compared file.
std::string bus_cell_text(const bus_row& r, int col, int* differs);

// Columns of the table.
enum {
    BUS_COL_ADDRESS,
    BUS_COL_TYPE,
    BUS_COL_INVERSE,
    BUS_COL_ER79,
    BUS_COL_ER72,
    BUS_COL_ER74,
    BUS_COL_ER75,
    BUS_COL_ER77,
    BUS_COL_STATE,
    BUS_COL_EXCHANGES,
    BUS_COL_RETRIES,
    BUS_COL_FAILED,
    BUS_COL_ANSWER,
    BUS_COL_COMPARED,
    BUS_COLS
};

#endif
