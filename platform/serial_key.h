// Inside platform/: the bounds of the serial-device snapshot both systems
// fill (plat_serial_key_add in serial_key.cpp).
#ifndef KP6_SERIAL_KEY_H
#define KP6_SERIAL_KEY_H

enum { SERIAL_LIST_MAX = 256, SERIAL_TEXT = 80 };

#endif
