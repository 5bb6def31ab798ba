// The request/answer exchange with the controller, over the port layer
// alone (no window): tests, tools and the window's actions share it.
#ifndef KP6_EXCHANGE_H
#define KP6_EXCHANGE_H

// Command bytes of the parameter frame.
enum { CMD_READ_ER = 0xCA, CMD_WRITE_ER = 0xCB, CMD_WRITE_IR = 0xC9 };

// Parameter words: the register's address in bits 0 to 23, the data byte
// in bits 24 to 31.
enum : unsigned int {
    WORD_ER72 = 0x00010072,
    WORD_ER74 = 0x00010074,
    WORD_ER75 = 0x00010075,
    WORD_ER77 = 0x00010077,
    WORD_ER78 = 0x00010078,
    WORD_ER79 = 0x00010079,
    WORD_IR24_8 = 0x08000024  // IR24 with the value 8, written before the others
};

// How long the controller has for each answer: the window's second, unless
// a tool sets answer_timeout_ms (a scan wants it short).
enum { ANSWER_TIMEOUT_MS = 1000 };
extern unsigned long answer_timeout_ms;

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

// Polls the port until `count` bytes wait or answer_timeout_ms pass (from
// the end of the `sent` bytes on the line, with answer_after_frame): 1 they
// are there, 0 time-out (at once when the line is gone: port_gone), -1 an
// interrupt ended the wait (plat_wait_interrupted). Between polls the
// thread sleeps until the port has something or the deadline is due; it
// never yields to the window.
int wait_answer(unsigned short port, int count, int sent);

// Non-zero: each answer's time-out starts once the frame before it has
// crossed the line (its line time at the port's rate), so that a short
// time-out is listened to whole. A scan sets it; the window's exchanges
// keep their second from the send.
extern int answer_after_frame;

// Non-zero: wait_answer polls without sleeping, as the tool once did. Only
// the benchmark sets it, to compare the two.
extern int answer_wait_spins;

// Non-zero (the default): wait_answer has part of an answer acknowledged
// at once (port_acknowledge). Only the benchmark clears it, to show what
// that is worth.
extern int answer_part_acknowledged;

// One exchange: selection frame, C0, parameter frame, 05 value x.
// 1: `word` holds the answer's value byte; -1: failed, `word` unchanged,
// and exchange_fault says why. Repeated up to exchange_retries times
// when it may be (see exchange_may_repeat).
int device_exchange(unsigned short port, unsigned char address, unsigned int& word,
                    unsigned char command);

// Why the last exchange (device_exchange or device_test) failed.
enum {
    FAULT_NONE,          // it did not
    FAULT_NO_ANSWER,     // nothing came within the time-out
    FAULT_SELECT_REPLY,  // the selection was answered with another byte than C0
    FAULT_ACK,           // the parameter answer began with another byte than 05
    FAULT_SHORT,         // fewer than three answer bytes came within the time-out
    FAULT_LINE_LOST,     // the network line closed or failed
    FAULT_INTERRUPTED,   // an interrupt ended the wait (a tool's Ctrl-C)
    FAULT_EXTRA,         // more bytes followed the answer
    FAULT_COLLISION      // the answers stayed garbled when asked again: two controllers may
                         // share the address (device_test answers 1 and says so here too)
};
// Where in the exchange it failed.
enum { STAGE_SELECT = 1, STAGE_PARAMETER, STAGE_TEST };

struct exchange_fault {
    int kind;               // FAULT_*
    int stage;              // STAGE_*
    unsigned char command;  // the parameter frame's command byte (0 for a Test)
    unsigned char seen[3];  // the answer's bytes as far as they came
    int seen_count;
    unsigned long timeout_ms;  // the time-out that ran out
    int line_code;   // FAULT_LINE_LOST: 0 the far end closed (or a device went), else the system's
                     // code
    char line[100];  // FAULT_LINE_LOST: the line's name
};
extern exchange_fault exchange_last_fault;

// The reason in a technician's words ("no answer in 1000 ms", "acknowledged
// with 15, not 05", "the connection to URL was closed", "the line PORT was
// lost"); empty for FAULT_NONE. Returns the text's length. The wordings
// below are the window's and kp6ctl's alike, in the window's language
// (words()).
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

// Sets the converter `type` (converter_type) on a port just opened: 0
// (CONVERTER_SET), or why not, with the system's code in *code. A port
// refused is left as it was; the caller closes it.
enum { CONVERTER_SET, CONVERTER_NOT_SERIAL, CONVERTER_NO_RS485, CONVERTER_NO_MODEM_LINES };
int converter_set(unsigned short port, int type, int* code);
// Why converter_set(NAME's port, CONVERTER) refused with `rc` and `code`:
// "the converter rts cannot be switched: the driver of NAME refuses the
// modem lines (...)". Returns the text's length.
int converter_fault_text(const char* name, const char* converter, int rc, int code, char* out,
                         unsigned size);
// What a port's device says it is: "Acme USB RS485 Converter, serial A10K5XYZ";
// empty when it says nothing.
struct plat_port_info;
void port_about_text(const plat_port_info& info, char* out, unsigned size);

// How many times a failed exchange is repeated before it counts as failed
// (0: never, the window's way); how many exchanges and Tests were made and
// how many repeats they needed, so far.
extern int exchange_retries;
extern unsigned long exchange_count, exchange_repeats;
// Told of each repeat before it goes out, with the fault that caused it
// (a tool shows it); null: nobody is.
extern void (*exchange_on_repeat)(const exchange_fault& f);

// The line's health, kept for every exchange and Test on the line, per bus
// address, in both programs: how often a controller needed asking again and
// how quickly it answers.
struct line_health {
    unsigned long exchanges;  // exchanges and Tests made with this address
    unsigned long retries;    // repeats they needed
    unsigned long failed;     // exchanges that failed in the end
    // Faults by cause, of every attempt (a repeated one too): nothing came;
    // the controller refused (answered 15); the answer was garbled (another
    // byte where C0 or 05 belongs, bytes missing, more bytes than an
    // answer). A lost line is none.
    unsigned long no_answer, refused, garbled;
    unsigned long answers;  // answers timed
    // From the end of the frame sent to the answer's last byte, rounded: the
    // median of the last HEALTH_TIMES answers, the slowest of all.
    unsigned median_ms, slowest_ms;
};
enum { HEALTH_TIMES = 64 };
// Forgets every address.
void health_reset(void);
// 1 and the address's health when any exchange or Test was made with it
// since the last reset, else 0 (and *out zero).
int health_of(unsigned char address, line_health* out);
// "42 exchanges, 3 retries, 0 failed, answer 11 ms median, 14 ms slowest",
// then the faults by cause when there were any ("; 3 faults: 2 no answer,
// 1 garbled"). Returns the text's length.
int health_text(const line_health& h, char* out, unsigned size);

// The answer byte of a controller that refuses a request.
enum { ANSWER_REFUSED = 0x15 };

// Whether an exchange that failed so may go out again: not once the line
// is lost, a write not once an answer to its parameter frame has begun (the
// controller may hold the value already), and silence after the selection
// not while exchange_repeat_silence is 0. 1 yes, 0 no.
int exchange_may_repeat(const exchange_fault& f);
// 1 (the default): a selection that got no answer is repeated too. A scan
// sets 0: most addresses are silent because nobody is there, and only a
// garbled answer is worth asking again.
extern int exchange_repeat_silence;

// Two controllers at one address answer with more bytes than one does.
// Every exchange fails an attempt as FAULT_EXTRA when bytes beyond its
// answer are there when it takes the answer, and a garbled attempt goes out
// again at least once whatever exchange_retries says; when the second is
// garbled too and both had bytes beyond their answers, the exchange fails
// as FAULT_COLLISION.
// Non-zero: a parameter answer is followed by the quiet check too (a scan,
// whose one exchange per address is its last).
extern int exchange_whole_answers;

// Answers taken clean that more bytes followed after all: found at the
// start of the next exchange with the same address (which then fails as
// FAULT_EXTRA at once, sending nothing) or by exchange_quiet_check. A
// sequence that sees it move asks again; only its own code knows what.
extern unsigned long exchange_tails;
// The quiet check after a controller's last answer of a sequence: waits two
// byte times and 5 ms for a byte. 1 one came (dropped with what followed,
// counted garbled and in exchange_tails), 0 the line stayed quiet.
int exchange_quiet_check(unsigned short port);
// Counts a repeat of the exchange in hand's address and tells
// exchange_on_repeat (when exchange_last_fault holds a fault), as a repeat
// inside device_exchange is: for a sequence that asks again itself.
void exchange_count_repeat(void);
// Whether a fault is a garbled answer, counted as garbled in the line's
// health: another byte where C0 or 05 belongs (not a refusal), bytes
// missing, more bytes than an answer, a collision. 1 yes, 0 no.
int exchange_fault_garbled(const exchange_fault& f);
// Sets exchange_last_fault for a sequence that judged its exchanges itself
// (FAULT_COLLISION, FAULT_EXTRA).
void exchange_set_fault(int kind, int stage, unsigned char command);

// Sends the 4-byte header frame 60 address mode csm8, unless address is 0.
void trk_hdr(unsigned short handle, char address, unsigned char mode);

// The Test: drops what is waiting, sends a header with mode 81 (none for
// address 0), then takes any byte within the time-out as the answer:
// 1 something answered, 0 nothing did (exchange_last_fault says how;
// repeated as an exchange is). More than one byte (at once or within the
// quiet gap) is asked again; twice is 1 with FAULT_COLLISION.
int device_test(unsigned short port, unsigned char address);

// The shortest answer time-out that can work on `port` at its rate: the
// longest frame and its answer on the line (the answer alone with
// answer_after_frame), of an exchange or, `test` non-zero, of a Test. 0
// where the rate is not known (a network line).
unsigned long exchange_shortest_timeout_ms(unsigned short port, int test);

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

#endif
