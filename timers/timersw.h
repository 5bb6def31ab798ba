// Millisecond clock kept by a background thread, and 512 polled timers.
#ifndef KP6_TIMERSW_H
#define KP6_TIMERSW_H

#include <atomic>
#include <stdint.h>

struct timer_rec {
    unsigned char active;  // 1 while a timer runs in the slot
    uint32_t expires;      // value of rttimer at which it expires
};

enum { TIMER_COUNT = 512 };

// Published by the event thread, read by the GUI thread without a lock.
extern std::atomic<uint32_t> rttimer;
extern std::atomic<uint16_t> srttimer;
extern std::atomic<unsigned char> enable_timer_thread;
extern timer_rec timers[TIMER_COUNT];

// Starts the clock and the event thread and clears the table; called again
// while the thread runs, it only clears the table.
void install_event(short);
void remove_event(short);
int event_thread(void*);

short set_timer(unsigned long ms);
int timer_exp(short id);
void kill_timer(short id);
void adjust_timer(short id, unsigned long ms);
// Milliseconds until a running timer expires; 0 once it has expired and for
// a free slot or an identifier out of range. Only looks: freeing an expired
// timer stays timer_exp's business.
unsigned long timer_left(short id);
int ltimer_exp(unsigned long deadline);
int stimer_exp(unsigned short deadline);
void timer_delay(short ms);

#endif
