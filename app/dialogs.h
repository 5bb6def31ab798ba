// The tool's window whole: the main window with the buttons that open its
// dialogs joined to them. Each dialog is built on the window and the window
// knows none of them; this file, above both, joins them.
#ifndef KP6_DIALOGS_H
#define KP6_DIALOGS_H

#include "kp6form.h"

// make_main_window's window, its Find, Save, Load, Bus and History buttons working.
xMainForm* make_tool_window(const char* title);

#endif
