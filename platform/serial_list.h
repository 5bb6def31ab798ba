// The serial-device snapshot both systems fill: the names KP6_PORTS lists,
// then the machine's own, enumerated as registry values are.
#ifndef KP6_SERIAL_LIST_H
#define KP6_SERIAL_LIST_H

#include "platform.h"

enum { SERIAL_LIST_MAX = 256, SERIAL_TEXT = 80 };

// Allocates the snapshot and puts the KP6_PORTS names first, so that a cap
// on the list never drops them. 0 or the system's code for no memory.
int serial_list_start(plat_serial_key* key);
// Appends one value; one too long is kept as an empty entry, which
// enumeration skips, as a registry value too long for its buffer is. 0 once
// the list is full, else 1.
int serial_list_add(plat_serial_key* key, const char* value, const char* port);

#endif
