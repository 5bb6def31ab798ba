// The bus window's table: what it shows, the texts of its cells and the
// table widget.
#ifndef KP6_BUSTABLE_H
#define KP6_BUSTABLE_H

#include <FL/Fl_Table_Row.H>

#include <string>
#include <vector>

#include "../device/backupfile.h"
#include "../device/bus.h"
#include "../device/text.h"

// What the table shows, and the file it was compared with.
struct bus_state_t {
    std::vector<bus_row> rows;
    std::vector<backup_entry> file;  // empty: not compared
    std::string file_name;           // its name without the folder
    int busy;                        // a read or write runs
    int stopping;                    // Escape was pressed during it
};
extern bus_state_t bus_state;

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

// A catalogue key's text, looked up once for each window made (each look-up
// writes a timing line, and the table draws its texts again and again).
const char* bus_tr(const char* key);
// Forgets the texts looked up: the catalogue may have changed.
void bus_texts_forget(void);
// A controller's type as the table names it.
std::string bus_type_text(unsigned char er78);
// The compared file's entry for a row: the template, or the entry of its
// address; null when none.
const backup_entry* bus_file_entry(unsigned char address);
// The table of rows (bus_state.rows), with its columns, one row selected or
// many, Ctrl+A selecting every row; a cell cut short has its whole text as
// its tooltip.
Fl_Table_Row* make_bus_table(int x, int y, int w, int h);
// Widens each column to its heading's longest word and makes the headings'
// row high enough for them wrapped (again once the compared file names
// the last column).
void bus_table_fit(Fl_Table_Row* t);

#endif
