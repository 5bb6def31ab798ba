// What the window remembers between runs, per user, in the GUI toolkit's
// user preferences: the network lines added, the last port opened, the
// last address typed and the folder of the last Save or Load.
#ifndef KP6_PREFS_H
#define KP6_PREFS_H

#include "../device/exchange.h"
#include "../discovery/comdet.h"

enum { NET_LINES_MAX = 16 };

extern int pref_line_count;
extern char pref_lines[NET_LINES_MAX][COM_NAME_SIZE];
extern char pref_port[COM_NAME_SIZE];            // "" when none
extern char pref_address[ADDRESS_TEXT_MAX + 1];  // "" when none
enum { PREF_FOLDER_SIZE = 1024 };
extern char pref_folder[PREF_FOLDER_SIZE];  // of the last Save or Load; "" when none

// Reads them. A file that is missing, unreadable or damaged leaves them
// empty, as on a first run, and shows nothing.
void prefs_load(void);
// Writes them all. A file that cannot be written stays as it was; nothing
// is shown.
void prefs_save(void);

// The remembered lines, kept in the order added; both save at once.
// 1 added (or there already), 0 the list is full.
int prefs_add_line(const char* url);
void prefs_remove_line(const char* url);

// Where the file is: 0 and the path, or non-zero.
int prefs_path(char* out, unsigned size);

#endif
