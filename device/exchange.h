// The request/answer exchange with the controller, over the port layer
// alone (no window): tests, tools and the window's actions share it.
#ifndef KP6_EXCHANGE_H
#define KP6_EXCHANGE_H

// Command bytes of the parameter frame.
enum {
    CMD_READ_ER = 0xCA,
    CMD_WRITE_ER = 0xCB,
    CMD_WRITE_IR = 0xC9
};

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
// are there, 0 time-out (at once when the line is gone: port_gone). Between
// polls the thread sleeps until the port has something or the timer is due;
// it never yields to the window.
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
// 1: `word` holds the answer's value byte; -1: failed, `word` unchanged.
int device_exchange(unsigned short port, unsigned char address, unsigned int& word,
                    unsigned char command);

// Sends the 4-byte header frame 60 address mode csm8, unless address is 0.
void trk_hdr(unsigned short handle, char address, unsigned char mode);

// The Test: drops what is waiting, sends a header with mode 81 (none for
// address 0), then takes any byte within the time-out as the answer:
// 1 something answered, 0 nothing did.
int device_test(unsigned short port, unsigned char address);

#endif
