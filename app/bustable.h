// The bus window's table: the texts of its cells and the table widget.
#ifndef KP6_BUSTABLE_H
#define KP6_BUSTABLE_H

#include <FL/Fl_Table_Row.H>

#include <string>

#include "buswin.h"

// A catalogue key's text, looked up once for each window made (each look-up
// writes a timing line, and the table draws its texts again and again).
const char* bus_tr(const char* key);
// Forgets the texts looked up: the catalogue may have changed.
void bus_texts_forget(void);
// printf's text as a string.
std::string bus_printed(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A controller's type as the table names it.
std::string bus_type_text(unsigned char er78);
// The compared file's entry for a row: the template, or the entry of its
// address; null when none.
const backup_entry* bus_file_entry(unsigned char address);
// The table of rows (bus_state.rows), with its columns, one row selected or
// many, Ctrl+A selecting every row.
Fl_Table_Row* make_bus_table(int x, int y, int w, int h);

#endif
