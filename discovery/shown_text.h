// Text from outside the program (what a device says of itself) made safe
// to show.
#ifndef KP6_SHOWN_TEXT_H
#define KP6_SHOWN_TEXT_H

// Text a device gave about itself (a maker's name, a by-id link's name),
// made safe to show on one line: control characters as \n, \t, \r or \xHH
// (C1 controls and bytes that are no UTF-8 as \xHH too), a backslash as \\.
// Cut at a character's end when `out` is too small. 1 when anything was
// escaped, else 0.
int text_shown_safe(const char* in, char* out, unsigned size);

#endif
