// The line's health, kept for every exchange and Test on the line, per bus
// address, in both programs: how often a controller needed asking again and
// how quickly it answers.
#ifndef KP6_HEALTH_H
#define KP6_HEALTH_H

#include <stdint.h>

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

// What the exchange tells of the address in hand (exchange.cpp alone).
struct exchange_fault;
void health_begin(unsigned char address);  // an exchange or Test begins
// A frame of `n` bytes began to go out at `t0` (plat_perf_counter) and
// put_port has returned: its answer is timed from when it crossed the line.
void health_frame_sent(unsigned short port, uint64_t t0, int n);
void health_answer_came(void);               // the answer to the last frame is here
void health_fault(const exchange_fault& f);  // an attempt failed so
void health_retry(void);
void health_failed(void);   // the exchange failed in the end
void health_garbled(void);  // bytes after an answer taken clean

#endif
