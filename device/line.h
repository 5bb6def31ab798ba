// The line a program works on: a port opened by name with its converter
// set, why it did not open, and the words for a line lost. The window and
// kp6ctl open and report their lines through it alike.
#ifndef KP6_LINE_H
#define KP6_LINE_H

// What device_open_line did.
enum {
    LINE_OPEN,               // open, its converter set
    LINE_NOT_OPENED,         // the layer or the system refused it, or its server spoke another
                             // scheme than the URL's (open_fault_text)
    LINE_INTERRUPTED,        // an interrupt ended the connect (plat_set_wait_interrupts)
    LINE_NOT_SERIAL,         // a converter was asked of a line that is no serial one
    LINE_CONVERTER_REFUSED,  // the driver refused the converter's switching
};

// Opens the port `name` into *port and sets `converter` (a converter_type
// name; null or "auto": none) before anything is sent. LINE_OPEN, or why
// not as a LINE_* code and in `why`, a technician's words (words()). A port
// whose converter was refused is left open for the caller to close as it
// closes its line; otherwise *port is 0.
int device_open_line(const char* name, const char* converter, unsigned short* port, char* why,
                     unsigned size);

// Why the line `name` was lost, as both programs say it: what its server
// spoke instead of its scheme (net_scheme_text), else the last exchange's
// words when it found the line lost, else line_lost_text with `code`
// (port_gone's). Returns the text's length.
int line_lost_report(const char* name, int code, char* out, unsigned size);
// The same for `port`, not yet closed.
int port_lost_report(unsigned short port, char* out, unsigned size);

#endif
