// The bus window's questions: what a write would change, asked before it
// is sent, the modal run the service report's question shares, and the
// label size they and the window share.
#ifndef KP6_BUSDIALOGS_H
#define KP6_BUSDIALOGS_H

#include <FL/Fl_Double_Window.H>

#include <string>
#include <vector>

#include "bustable.h"

// The bus window's and its questions' label size and spacing, and the
// width a label needs at that size.
enum { BUS_LABEL_SIZE = 12, BUS_GAP = 4 };
int bus_label_width(const char* label);

// What writing `want` would change at row `r`, in one line.
std::string bus_change_line(const bus_row& r, const device_settings& want);
// The changes controller by controller, over `over`; Return writes (1),
// Escape does not (0).
int bus_preview_confirm(Fl_Window* over, const std::vector<std::string>& lines);

// A question window's buttons, and its run: modal, centred over `over`,
// until a button or Escape closes it; 1 when bus_dialog_ok did.
void bus_dialog_ok(Fl_Widget* w, void*);
void bus_dialog_cancel(Fl_Widget* w, void*);
int bus_dialog_run(Fl_Double_Window* win, Fl_Window* over);

#endif
