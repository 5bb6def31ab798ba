// The bus window's service report: the site and technician asked, then
// the journal since the window was opened, for the table's rows, with
// their comparison and the line's health, as a PDF.
#ifndef KP6_BUSREPORT_H
#define KP6_BUSREPORT_H

#include <FL/Fl_Window.H>

#include <string>

// The window was opened: the report's period begins now.
void bus_report_opened(void);
// Asks (over `over`) and writes the report: 1 with `status` the words for
// the window's status line, 0 when it was not made (said already, or
// cancelled).
int bus_report_make(Fl_Window* over, std::string& status);

#endif
