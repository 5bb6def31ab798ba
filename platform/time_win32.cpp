// Windows: the clock, sleeping, the calendar and threads.
#include "platform.h"
#include "system.h"

#include <windows.h>
#include <mmsystem.h>

#include "win32_text.h"
#include <stdlib.h>

// ---- time and threads ------------------------------------------------------

// The performance counter: the tick count moves in 16 ms steps, too coarse
// for 1 ms timers.
static LONGLONG perf_frequency(void)
{
    static LONGLONG f;
    if (!f) {
        LARGE_INTEGER q;
        f = QueryPerformanceFrequency(&q) && q.QuadPart > 0 ? q.QuadPart : -1;
    }
    return f;
}

uint32_t plat_tick_ms(void)
{
    LONGLONG f = perf_frequency();
    LARGE_INTEGER c;
    if (f <= 0 || !QueryPerformanceCounter(&c))
        return GetTickCount();
    unsigned long long v = (unsigned long long)c.QuadPart, uf = (unsigned long long)f;
    return (uint32_t)((v / uf) * 1000ULL + (v % uf) * 1000ULL / uf);
}

// Sleeps are as short as asked only with the system timer at 1 ms; the
// process keeps that setting until it ends.
static void fine_timer(void)
{
    static volatile LONG asked;
    if (!InterlockedExchange(&asked, 1))
        timeBeginPeriod(1);
}

void plat_sleep_ms(unsigned ms)
{
    fine_timer();
    Sleep(ms);
}

void plat_sleep_us(unsigned us)
{
    fine_timer();
    Sleep((us + 999) / 1000);
}

uint64_t plat_perf_counter(void)
{
    LARGE_INTEGER c;
    return QueryPerformanceCounter(&c) ? (uint64_t)c.QuadPart : (uint64_t)GetTickCount();
}

uint64_t plat_perf_frequency(void)
{
    LONGLONG f = perf_frequency();
    return f > 0 ? (uint64_t)f : 1000u;
}

static void fill_datetime(const SYSTEMTIME& s, plat_datetime* t)
{
    t->year = s.wYear;
    t->month = s.wMonth;
    t->day_of_week = s.wDayOfWeek;
    t->day = s.wDay;
    t->hour = s.wHour;
    t->minute = s.wMinute;
    t->second = s.wSecond;
    t->millisecond = s.wMilliseconds;
}

void plat_local_time(plat_datetime* t)
{
    SYSTEMTIME s;
    GetLocalTime(&s);
    fill_datetime(s, t);
}

void plat_utc_time(plat_datetime* t)
{
    SYSTEMTIME s;
    GetSystemTime(&s);
    fill_datetime(s, t);
}

int plat_set_local_time(const plat_datetime* t)
{
    SYSTEMTIME s;
    s.wYear = (WORD)t->year;
    s.wMonth = (WORD)t->month;
    s.wDayOfWeek = (WORD)t->day_of_week;
    s.wDay = (WORD)t->day;
    s.wHour = (WORD)t->hour;
    s.wMinute = (WORD)t->minute;
    s.wSecond = (WORD)t->second;
    s.wMilliseconds = (WORD)t->millisecond;
    return SetLocalTime(&s) ? 0 : last_error_or(ERROR_PRIVILEGE_NOT_HELD);
}

namespace {
struct thread_start {
    int (*fn)(void*);
    void* arg;
};
}  // namespace

static DWORD WINAPI thread_trampoline(LPVOID p)
{
    thread_start s = *(thread_start*)p;
    free(p);
    DWORD code = (DWORD)s.fn(s.arg);
    return code == STILL_ACTIVE ? 0 : code;  // the join tells them apart
}

int plat_thread_start(plat_thread* t, unsigned stack_size, int (*fn)(void*), void* arg)
{
    *t = nullptr;
    thread_start* s = (thread_start*)malloc(sizeof *s);
    if (!s)
        return ERROR_NOT_ENOUGH_MEMORY;
    s->fn = fn;
    s->arg = arg;
    DWORD id;
    // The system rounds a small stack up to its own minimum.
    HANDLE h = CreateThread(nullptr, stack_size, thread_trampoline, s, 0, &id);
    if (!h) {
        int e = last_error_or(ERROR_NOT_ENOUGH_MEMORY);
        free(s);
        return e;
    }
    *t = (plat_thread)h;
    return 0;
}

int plat_thread_join(plat_thread t)
{
    if (!t)
        return ERROR_INVALID_HANDLE;
    DWORD code = STILL_ACTIVE;
    int rc = 0;
    while (GetExitCodeThread((HANDLE)t, &code) && code == STILL_ACTIVE)
        Sleep(1);
    if (code == STILL_ACTIVE)
        rc = last_error_or(ERROR_INVALID_HANDLE);
    CloseHandle((HANDLE)t);
    return rc;
}

int sys_thread_detached(int (*fn)(void*), void* arg)
{
    plat_thread t;
    int rc = plat_thread_start(&t, 0, fn, arg);
    if (rc == 0)
        CloseHandle((HANDLE)t);
    return rc;
}

// FILETIME counts 100 ns from 1601-01-01.
static const int64_t FILETIME_1970 = 116444736000000000LL;

int64_t plat_utc_ms(void)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    int64_t t = (int64_t)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
    return (t - FILETIME_1970) / 10000;
}

int plat_local_offset_minutes(int64_t utc_ms)
{
    int64_t t = utc_ms * 10000 + FILETIME_1970;
    FILETIME ft, lft;
    ft.dwLowDateTime = (DWORD)t;
    ft.dwHighDateTime = (DWORD)(t >> 32);
    SYSTEMTIME utc, local;
    // The zone's rules for that moment, daylight saving included.
    if (!FileTimeToSystemTime(&ft, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
        !SystemTimeToFileTime(&local, &lft))
        return 0;
    int64_t l = (int64_t)lft.dwHighDateTime << 32 | lft.dwLowDateTime;
    return (int)((l - t) / 600000000LL);
}
