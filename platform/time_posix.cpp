// Linux: the clock, sleeping and waiting with a bound, the calendar and
// threads.
#include "platform.h"
#include "posix_util.h"
#include "system.h"

#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

// ---- time and threads ------------------------------------------------------

uint32_t plat_tick_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

void plat_sleep_ms(unsigned ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void plat_sleep_us(unsigned us)
{
    struct timespec ts;
    ts.tv_sec = us / 1000000;
    ts.tv_nsec = (long)(us % 1000000) * 1000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint64_t plat_perf_counter(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

uint64_t plat_perf_frequency(void)
{
    return 1000000000u;
}

static void fill_datetime(const struct tm* tm, long nsec, plat_datetime* t)
{
    t->year = tm->tm_year + 1900;
    t->month = tm->tm_mon + 1;
    t->day_of_week = tm->tm_wday;
    t->day = tm->tm_mday;
    t->hour = tm->tm_hour;
    t->minute = tm->tm_min;
    t->second = tm->tm_sec;
    t->millisecond = (int)(nsec / 1000000L);
}

// The time now, split into its fields by `split` (localtime_r, gmtime_r).
static void time_now(struct tm* (*split)(const time_t*, struct tm*), plat_datetime* t)
{
    struct timespec ts;
    struct tm tm;
    clock_gettime(CLOCK_REALTIME, &ts);
    split(&ts.tv_sec, &tm);
    fill_datetime(&tm, ts.tv_nsec, t);
}

void plat_local_time(plat_datetime* t)
{
    time_now(localtime_r, t);
}

void plat_utc_time(plat_datetime* t)
{
    time_now(gmtime_r, t);
}

int plat_set_local_time(const plat_datetime* t)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = t->year - 1900;
    tm.tm_mon = t->month - 1;
    tm.tm_mday = t->day;
    tm.tm_hour = t->hour;
    tm.tm_min = t->minute;
    tm.tm_sec = t->second;
    tm.tm_isdst = -1;
    time_t secs = mktime(&tm);
    // mktime rolls a day that does not exist (31 February) into the next
    // month; such a date is refused, not set.
    if (secs == (time_t)-1 || tm.tm_mday != t->day || tm.tm_mon != t->month - 1)
        return EINVAL;
    struct timespec ts;
    ts.tv_sec = secs;
    ts.tv_nsec = (long)t->millisecond * 1000000L;
    return clock_settime(CLOCK_REALTIME, &ts) != 0 ? errno_or(EPERM) : 0;
}

int poll_bounded(struct pollfd* p, nfds_t n, unsigned ms)
{
    plat_deadline d;
    plat_deadline_start(&d, ms);
    for (;;) {
        unsigned slice = plat_wait_slice(&d);
        int r = poll(p, n, (int)slice);
        if (r > 0 || (r < 0 && errno != EINTR))
            return r;
        if (!slice || plat_wait_slice(&d) == 0)
            return 0;
    }
}

namespace {
struct thread_start {
    int (*fn)(void*);
    void* arg;
};
}  // namespace

static void* thread_trampoline(void* p)
{
    thread_start s = *(thread_start*)p;
    free(p);
    s.fn(s.arg);
    return nullptr;
}

int plat_thread_start(plat_thread* t, unsigned stack_size, int (*fn)(void*), void* arg)
{
    *t = nullptr;
    thread_start* s = (thread_start*)malloc(sizeof *s);
    pthread_t* tid = (pthread_t*)malloc(sizeof *tid);
    if (!s || !tid) {
        free(s);
        free(tid);
        return ENOMEM;
    }
    s->fn = fn;
    s->arg = arg;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // The system's minimum is far above what small thread bodies ask for;
    // sanitizer runtimes need room of their own as well.
    size_t size = stack_size < 65536 ? 65536 : stack_size;
    if (size < (size_t)PTHREAD_STACK_MIN)
        size = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, size);
    int rc = pthread_create(tid, &attr, thread_trampoline, s);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free(s);
        free(tid);
        return rc;
    }
    *t = tid;
    return 0;
}

int plat_thread_join(plat_thread t)
{
    if (!t)
        return EINVAL;
    pthread_t* tid = (pthread_t*)t;
    int rc = pthread_join(*tid, nullptr);
    free(tid);
    return rc;
}

int sys_thread_detached(int (*fn)(void*), void* arg)
{
    thread_start* s = (thread_start*)malloc(sizeof *s);
    if (!s)
        return ENOMEM;
    s->fn = fn;
    s->arg = arg;
    pthread_attr_t ta;
    pthread_attr_init(&ta);
    pthread_attr_setdetachstate(&ta, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    int rc = pthread_create(&t, &ta, thread_trampoline, s);
    pthread_attr_destroy(&ta);
    if (rc)
        free(s);
    return rc;
}

int64_t plat_utc_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int plat_local_offset_minutes(int64_t utc_ms)
{
    time_t secs = (time_t)(utc_ms >= 0 ? utc_ms / 1000 : (utc_ms - 999) / 1000);
    struct tm tm;
    if (!localtime_r(&secs, &tm))
        return 0;
    return (int)(tm.tm_gmtoff / 60);
}
