// Bus addresses as a technician types them: the window's address field,
// kp6ctl's addresses and lists of them, a backup file's.
#ifndef KP6_ADDRESS_H
#define KP6_ADDRESS_H

#include <string>

// The address field takes at most four digits after an optional 0x.
enum { ADDRESS_DIGITS_MAX = 4, ADDRESS_TEXT_MAX = 2 + ADDRESS_DIGITS_MAX };

// Whether `text` may stand in the address field: hexadecimal digits in
// either case after an optional 0x or 0X, at most ADDRESS_DIGITS_MAX of
// them, value at most FF (leading zeros allowed). The empty text and a
// bare 0x pass too, so that a user can clear the field and type anew.
// 1 yes, 0 no.
int address_text_ok(const char* text);

// The bus address in an address text (see address_text_ok); the empty
// text, a bare 0x and any text the field would not take give 0.
unsigned char address_from_text(const char* text);

// Bus addresses as typed: items separated by commas, each an address 01
// to FF (as the address field takes it: 1f, 0x1F) or a range of two joined
// by - or : (10-1F, 10:1F), lowest first. Blanks around items are allowed.
enum { ADDRESS_LIST_MAX = 255 };
enum { ADDRESS_LIST_BAD_ITEM = -1, ADDRESS_LIST_BACKWARDS = -2 };
// The addresses go to `out` in the order given, each once: their number
// (1 to ADDRESS_LIST_MAX); or ADDRESS_LIST_BAD_ITEM (an item is no
// address, or is empty) or ADDRESS_LIST_BACKWARDS (a range runs downwards),
// with the offending item's offset and length in *bad_at and *bad_len.
int address_list_parse(const char* text, unsigned char* out, int* bad_at, int* bad_len);
// One bus address, 01 to FF, as an item of a list: 1 and *out, or 0.
int bus_address_parse(const char* text, unsigned char* out);

// A bus address: what the window's address field takes, not empty, not 00.
bool parse_address(const std::string& text, unsigned char* out);
std::string hex2(unsigned v);  // "0A"

#endif
