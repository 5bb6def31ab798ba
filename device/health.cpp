#include "health.h"

#include <stdio.h>

#include <algorithm>

#include "../i18n/words.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "exchange.h"

static struct {
    line_health h;
    uint32_t times_us[HEALTH_TIMES];  // the last answers' times, a ring
    uint64_t slowest_us;
} health[256];

static unsigned char health_address;  // of the exchange in hand
static uint64_t frame_end;            // when its last frame had crossed the line

void health_reset(void)
{
    for (auto& r : health)
        r = {};
}

int health_of(unsigned char address, line_health* out)
{
    const auto& r = health[address];
    *out = r.h;
    size_t n = r.h.answers < HEALTH_TIMES ? (size_t)r.h.answers : (size_t)HEALTH_TIMES;
    if (n) {
        uint32_t times[HEALTH_TIMES];
        std::copy(r.times_us, r.times_us + n, times);
        std::nth_element(times, times + n / 2, times + n);
        out->median_ms = (unsigned)((times[n / 2] + 500) / 1000);
        out->slowest_ms = (unsigned)((r.slowest_us + 500) / 1000);
    }
    return r.h.exchanges > 0;
}

// A count in the window's words: a key for one and one for more, each
// with its %lu (a language with more forms words both without them).
static int counted(char* out, size_t size, unsigned long n, const char* one, const char* more)
{
    int k = snprintf(out, size, words(n == 1 ? one : more), n);
    return k < 0 ? 0 : k;
}

int health_text(const line_health& h, char* out, unsigned size)
{
    char text[600], answer[120];
    snprintf(answer, sizeof answer, "%s", words(W_("no answer to time")));
    if (h.answers)
        snprintf(answer, sizeof answer, words(W_("answer %u ms median, %u ms slowest")),
                 h.median_ms, h.slowest_ms);
    char exchanges[80], retries[80], failed[80];
    counted(exchanges, sizeof exchanges, h.exchanges, W_("%lu exchange"), W_("%lu exchanges"));
    counted(retries, sizeof retries, h.retries, W_("%lu retry"), W_("%lu retries"));
    counted(failed, sizeof failed, h.failed, W_("%lu failed"), W_("%lu failed"));
    size_t n = (size_t)snprintf(text, sizeof text, "%s, %s, %s, %s", exchanges, retries, failed,
                                answer);
    const struct {
        unsigned long count;
        const char* name;
    } causes[] = {{h.no_answer, W_("%lu no answer")},
                  {h.refused, W_("%lu refused")},
                  {h.garbled, W_("%lu garbled")}};
    unsigned long faults = h.no_answer + h.refused + h.garbled;
    char list[200] = "";
    size_t l = 0;
    for (const auto& c : causes)
        if (c.count && l < sizeof list) {
            l += (size_t)snprintf(list + l, sizeof list - l, "%s", l ? ", " : "");
            l += (size_t)counted(list + l, sizeof list - l, c.count, c.name, c.name);
        }
    if (faults && n < sizeof text)
        snprintf(text + n, sizeof text - n,
                 words(faults == 1 ? W_("; %lu fault: %s") : W_("; %lu faults: %s")), faults, list);
    return snprintf(out, size, "%s", text);
}

void health_begin(unsigned char address)
{
    health_address = address;
    health[address].h.exchanges++;
}

// It has crossed the line once its line time has passed, or put_port has
// returned, whichever is later.
void health_frame_sent(unsigned short port, uint64_t t0, int n)
{
    uint64_t crossed = t0 + (uint64_t)port_line_ms(port, n) * plat_perf_frequency() / 1000;
    uint64_t now = plat_perf_counter();
    frame_end = crossed > now ? crossed : now;
}

void health_answer_came(void)
{
    uint64_t now = plat_perf_counter();
    uint64_t us = now > frame_end ? (now - frame_end) * 1000000 / plat_perf_frequency() : 0;
    auto& r = health[health_address];
    r.times_us[r.h.answers % HEALTH_TIMES] = (uint32_t)std::min<uint64_t>(us, UINT32_MAX);
    r.h.answers++;
    r.slowest_us = std::max(r.slowest_us, us);
}

// The cause each fault counts under, by FAULT_*; an answer of
// ANSWER_REFUSED where C0 or 05 belongs is a refusal instead.
static unsigned long line_health::*const fault_cause[] = {nullptr,
                                                          &line_health::no_answer,
                                                          &line_health::garbled,
                                                          &line_health::garbled,
                                                          &line_health::garbled,
                                                          nullptr,
                                                          nullptr,
                                                          &line_health::garbled,
                                                          &line_health::garbled};
static_assert(sizeof fault_cause / sizeof *fault_cause == FAULT_COLLISION + 1, "a cause per fault");

static int refusal(const exchange_fault& f)
{
    return (f.kind == FAULT_SELECT_REPLY || f.kind == FAULT_ACK) && f.seen[0] == ANSWER_REFUSED;
}

void health_fault(const exchange_fault& f)
{
    unsigned long line_health::*cause = refusal(f) ? &line_health::refused : fault_cause[f.kind];
    if (cause)
        health[health_address].h.*cause += 1;
}

int exchange_fault_garbled(const exchange_fault& f)
{
    return fault_cause[f.kind] == &line_health::garbled && !refusal(f);
}

void health_retry(void)
{
    health[health_address].h.retries++;
}

void health_failed(void)
{
    health[health_address].h.failed++;
}

void health_garbled(void)
{
    health[health_address].h.garbled++;
}
