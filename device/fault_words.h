// The faults of the line and its exchanges in a technician's words: why a
// port did not open, why a converter could not be set, why an exchange
// failed, what a device says it is. The window and kp6ctl word them alike,
// in the window's language (words()).
#ifndef KP6_FAULT_WORDS_H
#define KP6_FAULT_WORDS_H

struct exchange_fault;
struct plat_port_info;

// The reason in a technician's words ("no answer in 1000 ms", "acknowledged
// with 15, not 05", "the connection to URL was closed", "the line PORT was
// lost"); empty for FAULT_NONE. Returns the text's length.
int exchange_fault_text(const exchange_fault& f, char* out, unsigned size);
// A lost line: "the line NAME was lost", or for a network line "the
// connection to URL was closed" (": " and the cause when `code`, the
// system's, is not 0).
int line_lost_text(const char* name, int code, char* out, unsigned size);
// Why open_port(name) failed with `rc`, just now: "cannot open NAME:
// connection refused", or what the server spoke instead of the URL's
// scheme ("URL speaks Telnet (try rfc2217://)").
int open_fault_text(const char* name, int rc, char* out, unsigned size);
// What the last network line's server spoke instead of the scheme of `name`
// (net_fault), or 0 and nothing when it spoke as it should.
int net_scheme_text(const char* name, char* out, unsigned size);
// A code of the system in the tool's words where it has some ("connection
// refused", "timed out", "name not found"), else the system's own.
void error_words(int code, char* out, unsigned size);

// Why converter_set(NAME's port, CONVERTER) refused with `rc` and `code`:
// "the converter rts cannot be switched: the driver of NAME refuses the
// modem lines (...)". Returns the text's length.
int converter_fault_text(const char* name, const char* converter, int rc, int code, char* out,
                         unsigned size);
// What a port's device says it is: "Acme USB RS485 Converter, serial A10K5XYZ";
// empty when it says nothing.
void port_about_text(const plat_port_info& info, char* out, unsigned size);

#endif
