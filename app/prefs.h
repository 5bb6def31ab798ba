// What the window remembers between runs, per user, in a file of the GUI
// toolkit's preferences format: the network lines and device paths added,
// the last port opened, the last address typed and the folder of the last
// Save or Load, the converter of each port and the ports recorded in
// port.out.
#ifndef KP6_PREFS_H
#define KP6_PREFS_H

#include "../device/address.h"
#include "../discovery/comdet.h"

enum { NET_LINES_MAX = 16 };

extern int pref_line_count;
extern char pref_lines[NET_LINES_MAX][COM_NAME_SIZE];
extern char pref_port[COM_NAME_SIZE];            // "" when none
extern char pref_address[ADDRESS_TEXT_MAX + 1];  // "" when none
enum { PREF_FOLDER_SIZE = 1024 };
extern char pref_folder[PREF_FOLDER_SIZE];  // of the last Save or Load; "" when none
enum { PREF_SITE_SIZE = 1024 };
extern char pref_site[PREF_SITE_SIZE];  // the service report's site, as last typed
// How often the bus window and Find ask a failed exchange again.
enum { PREF_RETRIES_DEFAULT = 2, PREF_RETRIES_MAX = 10 };
extern int pref_retries;  // 0 to PREF_RETRIES_MAX

// Told of a file that could not be used (binary, or over 64 KiB), with the
// name it was kept aside under, once for each; null: nobody is.
extern void (*prefs_kept_aside)(const char* path);

// Reads them. A missing file, one that cannot be read or is no file leaves
// them empty, as on a first run; a damaged file is kept aside (and told);
// an entry that cannot be taken (a line over 1,000 characters, an odd
// group) is passed over alone.
void prefs_load(void);
// Reads the file again and writes it with this window's changes merged in:
// lines added or removed here, the port and the address when they changed
// here; the rest as the file has it, so windows open at once lose nothing of
// each other's. A file whose entries would all stay as they are is not written.
// A file that cannot be read or written, or is no file, stays as it was;
// nothing is shown.
void prefs_save(void);

// The remembered lines, kept in the order added; both save at once.
// 1 added (or there already), 0 the list is full.
int prefs_add_line(const char* url);
void prefs_remove_line(const char* url);

// The converter remembered for a port ("rts"), "auto" when none is; a
// choice other than "auto" is remembered, "auto" forgets; both save at once.
const char* prefs_converter(const char* port);
void prefs_set_converter(const char* port, const char* converter);

// Whether a port's traffic is recorded in port.out whenever it is open: 1
// remembers it, 0 forgets; both save at once.
int prefs_port_recorded(const char* port);
void prefs_set_port_recorded(const char* port, int on);

// Where the file is: 0 and the path, or non-zero.
int prefs_path(char* out, unsigned size);

#endif
