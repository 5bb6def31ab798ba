// The request/answer exchange with the controller, over the port layer
// alone (no window): tests, tools and the window's actions share it.
#ifndef KP6_EXCHANGE_H
#define KP6_EXCHANGE_H

// The exchange's callers use the addresses, the faults' words and the
// line's health beside it.
#include "address.h"
#include "fault_words.h"
#include "health.h"

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

// Why the last exchange (device_exchange or device_test) failed.
enum {
    FAULT_NONE,          // it did not
    FAULT_NO_ANSWER,     // nothing came within the time-out
    FAULT_SELECT_REPLY,  // the selection was answered with another byte than C0
    FAULT_ACK,           // the parameter answer began with another byte than 05
    FAULT_SHORT,         // fewer than three answer bytes came within the time-out
    FAULT_LINE_LOST,     // the line was lost: a network line closed or failed, a device went
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

// How the exchanges run: one value, set whole and put back whole, so that
// what a scan or a run changes cannot outlast it. The defaults are the
// window's; {ms, retries} gives those two and the defaults for the rest.
enum { ANSWER_TIMEOUT_MS = 1000 };
struct exchange_options {
    // How long the controller has for each answer: the window's second,
    // unless a tool sets another (a scan wants it short).
    unsigned long answer_timeout_ms = ANSWER_TIMEOUT_MS;
    // How many times a failed exchange is repeated before it counts as
    // failed (0: never, the window's way).
    int retries = 0;
    // Non-zero: each answer's time-out starts once the frame before it has
    // crossed the line (its line time at the port's rate), so that a short
    // time-out is listened to whole. A scan sets it; the window's exchanges
    // keep their second from the send.
    int answer_after_frame = 0;
    // 1: a selection that got no answer is repeated too. A scan sets 0:
    // most addresses are silent because nobody is there, and only a garbled
    // answer is worth asking again.
    int repeat_silence = 1;
    // Non-zero: a parameter answer is followed by the quiet check too (a
    // scan, whose one exchange per address is its last); see
    // exchange_quiet_check.
    int whole_answers = 0;
    // Non-zero: a scan with retries asks its silent addresses again only
    // once the line has shown it loses frames (the window's way); 0: each
    // one at once, as any failed exchange (kp6ctl's). See bus_scan.
    int silent_on_loss = 0;
    // Non-zero: wait_answer polls without sleeping, as the tool once did.
    // Only the benchmark sets it, to compare the two.
    int wait_spins = 0;
    // Non-zero: wait_answer has part of an answer acknowledged at once
    // (port_acknowledge). Only the benchmark clears it, to show what that
    // is worth.
    int part_acknowledged = 1;
    // Told of each repeat before it goes out, with the fault that caused
    // it (a tool shows it); null: nobody is.
    void (*on_repeat)(const exchange_fault& f) = nullptr;
};
const exchange_options& exchange_get_options(void);
// Sets `o` whole; returns the options it replaced, to be set again when
// the step that needed `o` ends.
exchange_options exchange_set_options(const exchange_options& o);

// Polls the port until `count` bytes wait or the answer time-out passes
// (from the end of the `sent` bytes on the line, with answer_after_frame):
// 1 they are there, 0 time-out (at once when the line is gone: port_gone),
// -1 an interrupt ended the wait (plat_wait_interrupted). Between polls the
// thread sleeps until the port has something or the deadline is due; it
// never yields to the window.
int wait_answer(unsigned short port, int count, int sent);

// One exchange: selection frame, C0, parameter frame, 05 value x.
// 1: `word` holds the answer's value byte; -1: failed, `word` unchanged,
// and exchange_last_fault says why. Repeated up to the options' retries
// times when it may be (see exchange_may_repeat).
int device_exchange(unsigned short port, unsigned char address, unsigned int& word,
                    unsigned char command);

// Sets the converter `type` (converter_type) on a port just opened: 0
// (CONVERTER_SET), or why not, with the system's code in *code. A port
// refused is left as it was; the caller closes it.
enum { CONVERTER_SET, CONVERTER_NOT_SERIAL, CONVERTER_NO_RS485, CONVERTER_NO_MODEM_LINES };
int converter_set(unsigned short port, int type, int* code);

// How many exchanges and Tests were made and how many repeats they
// needed, so far.
extern unsigned long exchange_count, exchange_repeats;

// The answer byte of a controller that refuses a request.
enum { ANSWER_REFUSED = 0x15 };

// Whether an exchange that failed so may go out again: not once the line
// is lost, a write not once an answer to its parameter frame has begun (the
// controller may hold the value already), and silence after the selection
// not while the options' repeat_silence is 0. 1 yes, 0 no.
int exchange_may_repeat(const exchange_fault& f);

// Two controllers at one address answer with more bytes than one does.
// Every exchange fails an attempt as FAULT_EXTRA when bytes beyond its
// answer are there when it takes the answer, and a garbled attempt goes out
// again at least once whatever the retries say; when the second is
// garbled too and both had bytes beyond their answers, the exchange fails
// as FAULT_COLLISION. The options' whole_answers adds the quiet check
// after each parameter answer.
// Answers taken clean that more bytes followed after all: found at the
// start of the next exchange with the same address (which then fails as
// FAULT_EXTRA at once, sending nothing) or by exchange_quiet_check. A
// sequence that sees it move asks again; only its own code knows what.
extern unsigned long exchange_tails;
// The quiet check after a controller's last answer of a sequence: waits two
// byte times and 5 ms for a byte. 1 one came (dropped with what followed,
// counted garbled and in exchange_tails), 0 the line stayed quiet.
int exchange_quiet_check(unsigned short port);
// Counts a repeat of the exchange in hand's address and tells the
// options' on_repeat (when exchange_last_fault holds a fault), as a repeat
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

#endif
