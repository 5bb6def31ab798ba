#include "timersw.h"

#include "../platform/platform.h"

std::atomic<uint32_t> rttimer{0};
std::atomic<uint16_t> srttimer{0};
std::atomic<unsigned char> enable_timer_thread{0};
timer_rec timers[TIMER_COUNT];

static plat_thread event_handle;

static void publish(uint32_t tick)
{
    rttimer.store(tick, std::memory_order_relaxed);
    srttimer.store((uint16_t)tick, std::memory_order_relaxed);
}

int event_thread(void*)
{
    if (!enable_timer_thread.load(std::memory_order_relaxed))
        return 1;
    for (;;) {
        plat_sleep_ms(1);
        uint32_t tick = plat_tick_ms();
        unsigned char run = enable_timer_thread.load(std::memory_order_relaxed);
        publish(tick);  // the last sample is published too
        if (!run)
            break;
    }
    return 1;
}

void install_event(short)
{
    // A second call while the thread runs starts afresh but keeps that one
    // thread: a second would run on unjoined after remove_event.
    if (!event_handle) {
        enable_timer_thread.store(1, std::memory_order_relaxed);
        publish(plat_tick_ms());
        if (plat_thread_start(&event_handle, 1024, event_thread, nullptr) != 0)
            event_handle = nullptr;
    }
    for (auto& t : timers)
        t.active = 0;
}

void remove_event(short)
{
    enable_timer_thread.store(0, std::memory_order_relaxed);
    if (event_handle) {
        plat_thread_join(event_handle);
        event_handle = nullptr;
    }
}

static uint32_t now(void)
{
    return rttimer.load(std::memory_order_relaxed);
}

short set_timer(unsigned long ms)
{
    for (int i = 0; i < TIMER_COUNT; i++) {
        if (!timers[i].active) {
            timers[i].active = 1;
            timers[i].expires = now() + (uint32_t)ms;
            return (short)i;
        }
    }
    return -1;
}

int timer_exp(short id)
{
    unsigned short i = (unsigned short)id;
    if (i >= TIMER_COUNT || !timers[i].active)
        return 1;
    if ((int32_t)(now() - timers[i].expires) < 0)
        return 0;
    timers[i].active = 0;
    return 1;
}

void kill_timer(short id)
{
    unsigned short i = (unsigned short)id;
    if (i < TIMER_COUNT && timers[i].active)
        timers[i].active = 0;
}

void adjust_timer(short id, unsigned long ms)
{
    unsigned short i = (unsigned short)id;
    if (i < TIMER_COUNT)
        timers[i].expires = now() + (uint32_t)ms;
}

unsigned long timer_left(short id)
{
    unsigned short i = (unsigned short)id;
    if (i >= TIMER_COUNT || !timers[i].active)
        return 0;
    int32_t left = (int32_t)(timers[i].expires - now());
    return left > 0 ? (unsigned long)left : 0;
}

int ltimer_exp(unsigned long deadline)
{
    return (int32_t)(now() - (uint32_t)deadline) >= 0;
}

int stimer_exp(unsigned short deadline)
{
    return (int16_t)(uint16_t)(srttimer.load(std::memory_order_relaxed) - deadline) >= 0;
}

void timer_delay(short ms)
{
    if (ms > 0)
        plat_sleep_ms((unsigned)ms);
}
