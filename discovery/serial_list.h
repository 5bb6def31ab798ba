// The serial-device list discovery reads: the names a technician lists in
// the environment variable KP6_PORTS, then the machine's own.
#ifndef KP6_SERIAL_LIST_H
#define KP6_SERIAL_LIST_H

#include "../platform/platform.h"

// The value names of the entries KP6_PORTS adds begin with this.
#define LISTED_PORTS_VALUE "KP6_PORTS"

// Allocates the snapshot and puts the KP6_PORTS names first, so that a cap
// on the list never drops them: paths and network lines' URLs,
// ':'-separated, a URL (tcp://, socket://, rfc2217://) keeping its own
// colons; elements of 80 characters or more are left out. 0 or the
// system's code for no memory.
int serial_list_start(plat_serial_key* key);

#endif
