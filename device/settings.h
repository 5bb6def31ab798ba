// The controller's six settings: the Read and Write sequences in the
// controller's order, the meaning of the ER78 byte and the check of a
// typed value. No window: the window, kp6ctl and the benchmark share it.
#ifndef KP6_SETTINGS_H
#define KP6_SETTINGS_H

// The six registers, in the order Write sends them (after IR24).
enum { REG_ER78, REG_ER79, REG_ER72, REG_ER74, REG_ER75, REG_ER77, SETTING_COUNT };

struct device_settings {
    unsigned char er78;  // type code in bits 0 to 3, inverse gun in bit 4, as held
    unsigned char er79;  // engine start before the main valve opens, x0.1 s
    unsigned char er72;  // time-out, s
    unsigned char er74;  // topping, x10 g
    unsigned char er75;  // buffer overflow, x10 g
    unsigned char er77;  // sensitivity
};

unsigned char& setting_value(device_settings& s, int reg);
unsigned char setting_value(const device_settings& s, int reg);
const char* setting_name(int reg);  // "ER78" ... ; null outside REG_*

#include <string>

// Metering types of the ER78 byte, kept with their codes and words in one
// table (settings.cpp).
enum { METER_UNKNOWN = -1, METER_MILLILITER, METER_LITER, METER_HAND, METER_COUNT };
// "milliliter", "liter", "hand", "unknown": a METER_* in the words kp6ctl
// prints and takes.
const char* meter_word(int meter);
// The window's key ("Milliliter"), null for METER_UNKNOWN.
const char* meter_key(int meter);
// The METER_* kp6ctl's word names, or METER_UNKNOWN.
int meter_from_word(const std::string& word);
// The words of every type: "milliliter, liter or hand", or with the codes
// they read as: "milliliter (0), liter (2), hand (10)".
std::string meter_words(bool codes);

// Bits 0 to 3 as read: 0 millilitres, 2 litres, 10 hand, else unknown.
int er78_meter(unsigned char er78);
int er78_inverse(unsigned char er78);  // bit 4
// As written: millilitres 0, litres 2, hand 4 (not 10), plus 0x10 for the
// inverse gun. An unknown meter gives the code 0.
unsigned char er78_compose(int meter, int inverse);
// As a controller holds it, Read shows it and a backup file keeps it: the
// same, but hand as 10.
unsigned char er78_held(int meter, int inverse);
// The byte the window writes for the type and inverse gun that an ER78 byte
// reads as (hand, read as 10, goes out as 4; other bits are not sent):
// 1 and the byte, or 0 when its type code is none of the three.
int er78_for_write(unsigned char er78, unsigned char* out);
// Whether two ER78 bytes read as the same known type and inverse gun.
int er78_same_setting(unsigned char a, unsigned char b);

// A setting as typed: decimal digits only (blanks around them allowed),
// 0 to 255. 1 and the value, or 0 when the text is anything else.
int setting_from_text(const char* text, unsigned char* value);
// The message key for a bad value ("Error input ER79"); null for ER78.
const char* setting_input_failure(int reg);

enum { READ_STEPS = 6, WRITE_STEPS = 7 };

// Asked before each exchange of a sequence after its first: non-zero stops
// the sequence there (a tool's interrupt). Null: sequences always run on.
extern int (*settings_stop)(void);

// Reads the six settings, ER78, ER79, ER74, ER75, ER77, ER72, stopping at
// the first failure: 0 all read, else the failed step (1 to READ_STEPS), or
// minus the step settings_stop stopped before.
// The registers of the steps before it hold what was read; the others
// keep their values. Its last answer gets the quiet check; an answer that
// more bytes followed reads all again, once; in doubt again, the step
// fails with FAULT_COLLISION (as settings_confirm and settings_write do).
int settings_read(unsigned short port, unsigned char address, device_settings& s);
int settings_read_register(int step);         // the REG_* read at a step
const char* settings_read_failure(int step);  // "Error read ER78" ...

// A setting whose reads disagreed: what the first said and what the last
// one said.
struct settings_noise {
    int reg;  // REG_*
    unsigned char first, then;
};
enum { SETTINGS_NOISY = 100 };
// Before settings the user did not name are written back: reads each
// register of `mask` (bit 1 << REG_*) again, in the read order, and
// compares the answer's value with what `s` holds from the first read (the
// answer's third byte stays unexamined). A value counts once two of its
// reads agree; a disagreement is asked again, up to the exchange
// options' retries more times. 0: all agree, and `s` holds the agreed
// values; the read step whose exchange failed; minus the step
// settings_stop stopped before;
// SETTINGS_NOISY: the reads still disagree, and *noise names the setting.
int settings_confirm(unsigned short port, unsigned char address, device_settings& s, unsigned mask,
                     settings_noise* noise);
// "ER72 read 30, then 94: the line is noisy; nothing written". Returns the
// text's length.
int settings_noise_text(const settings_noise& n, char* out, unsigned size);

// Writes IR24 = 8, then ER78, ER79, ER72, ER74, ER75, ER77, stopping at
// the first failure: 0 all written, else the failed step (1 is IR24), or
// minus the step settings_stop stopped before (the steps before it were
// acknowledged). IR24's answer gets the quiet check before any setting
// goes out: bytes after it write IR24 again, once, and then fail step 1
// with FAULT_COLLISION; no setting is sent to that address.
int settings_write(unsigned short port, unsigned char address, const device_settings& s);
const char* settings_write_failure(int step);  // "Error write IR24" ...
const char* settings_write_name(int step);     // "IR24", "ER78" ...

// How many write sequences (settings_write) were begun to `address` since
// the program started: a row read before the count moved is stale.
unsigned long settings_written_count(unsigned char address);

#endif
