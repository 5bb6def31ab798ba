#include "exchange.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "../i18n/words.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "crc.h"

static_assert(sizeof exchange_last_fault.line == PORT_NAME_SIZE, "a line's whole name");

unsigned long answer_timeout_ms = ANSWER_TIMEOUT_MS;

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The value of an address text, or -1 when the field would not take it.
static int address_value(const char* text)
{
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;
    int v = 0, digits = 0;
    for (; *p; p++) {
        int d = hex_digit(*p);
        if (d < 0 || ++digits > ADDRESS_DIGITS_MAX)
            return -1;
        v = v * 16 + d;
        if (v > 0xFF)  // a third significant digit would wrap to another address
            return -1;
    }
    return v;
}

int address_text_ok(const char* text)
{
    return address_value(text) >= 0;
}

unsigned char address_from_text(const char* text)
{
    int v = address_value(text);
    return v < 0 ? 0 : (unsigned char)v;
}

int answer_wait_spins;
int answer_after_frame;
int answer_part_acknowledged = 1;

int wait_answer(unsigned short port, int count, int sent)
{
    unsigned long extra = answer_after_frame ? port_line_ms(port, sent) : 0;
    plat_deadline deadline;  // kept across every wake-up, never started over
    plat_deadline_start(&deadline, answer_timeout_ms + extra);
    int acknowledged = 0;
    for (int have; (have = port_avail(port)) < count;) {
        if (plat_wait_interrupted())
            return -1;
        if (plat_deadline_expired(&deadline) || port_gone(port, nullptr))
            return 0;  // nothing more can come in time
        // Part of the answer is here: a server that holds the rest back
        // until this part is acknowledged gets the acknowledgement now.
        if (have > acknowledged && answer_part_acknowledged) {
            port_acknowledge(port);
            acknowledged = have;
        }
        if (!answer_wait_spins)
            port_wait(port, (unsigned)plat_deadline_left(&deadline));
    }
    return 1;
}

// ---- the line's health ----------------------------------------------------

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

// A frame of `n` bytes began to go out at `t0` (plat_perf_counter) and
// put_port has returned: it has crossed the line once its line time has
// passed, whichever is later.
static void frame_sent(unsigned short port, uint64_t t0, int n)
{
    uint64_t crossed = t0 + (uint64_t)port_line_ms(port, n) * plat_perf_frequency() / 1000;
    uint64_t now = plat_perf_counter();
    frame_end = crossed > now ? crossed : now;
}

static void send_frame(unsigned short port, unsigned char* frame, int n)
{
    uint64_t t0 = plat_perf_counter();
    put_port(port, frame, n);
    frame_sent(port, t0, n);
}

// The answer to the last frame is here.
static void answer_came(void)
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

static void count_fault(const exchange_fault& f)
{
    unsigned long line_health::*cause = fault_cause[f.kind];
    if ((f.kind == FAULT_SELECT_REPLY || f.kind == FAULT_ACK) && f.seen[0] == ANSWER_REFUSED)
        cause = &line_health::refused;
    if (cause)
        health[health_address].h.*cause += 1;
}

// ---- the exchange ------------------------------------------------------------

exchange_fault exchange_last_fault;
int exchange_retries;
unsigned long exchange_count, exchange_repeats;
void (*exchange_on_repeat)(const exchange_fault& f);

void exchange_count_repeat(void)
{
    exchange_repeats++;
    health[health_address].h.retries++;
    if (exchange_on_repeat && exchange_last_fault.kind != FAULT_NONE)
        exchange_on_repeat(exchange_last_fault);
}

// After a failed attempt: 1 when it goes out again (counted and told).
static int repeat(int attempt)
{
    if (attempt >= exchange_retries || !exchange_may_repeat(exchange_last_fault))
        return 0;
    exchange_count_repeat();
    return 1;
}

static unsigned short port_in_hand;  // of the exchange in hand

// Notes why an attempt failed: -1. Silence or a short answer on a line
// that is gone is the lost line.
static int failed(unsigned short port, int kind, int stage, unsigned char command)
{
    exchange_set_fault(kind, stage, command);
    exchange_fault& f = exchange_last_fault;
    int code = 0;
    if (kind != FAULT_ACK && kind != FAULT_SELECT_REPLY && kind != FAULT_INTERRUPTED &&
        port_gone(port, &code)) {
        f.kind = FAULT_LINE_LOST;
        f.line_code = code;
        snprintf(f.line, sizeof f.line, "%s", port_name(port));
    }
    return -1;
}

// The time-out ran out, or an interrupt ended the wait; the bytes waiting
// are what came of the answer (a byte just late is no part of it).
static int timed_out(unsigned short port, int stage, unsigned char command)
{
    int got = stage == STAGE_PARAMETER ? port_avail(port) : 0;
    if (got > 2)
        got = 2;
    failed(port,
           plat_wait_interrupted() ? FAULT_INTERRUPTED
           : got                   ? FAULT_SHORT
                                   : FAULT_NO_ANSWER,
           stage, command);
    exchange_fault& f = exchange_last_fault;
    for (int i = 0; i < got && i < 3; i++)
        f.seen[f.seen_count++] = (unsigned char)peek_port(port, i);
    return -1;
}

int exchange_whole_answers;

// The evidence of a second controller: bytes beyond an answer that the
// exchange's own clears drop.
static int attempt_doubled;          // this attempt's answer had more bytes than one controller's
static int tail_of_earlier;          // this attempt found the tail of the answer before it
static int clean_before;             // the last exchange's answer was taken clean ...
static unsigned char clean_address;  // ... from this address
static uint64_t clean_at;            // ... this recently (bytes much later are no tail of it)
unsigned long exchange_tails;

static void drop_rest(unsigned short port)
{
    if (port_avail(port) > 0)
        attempt_doubled = 1;
    clear_buf(port);
}

// How long a quiet line stays without a byte between two answers: two
// byte times and 5 ms, never past the answer time-out (what comes later is
// no part of an answer).
static unsigned quiet_gap(unsigned short port)
{
    unsigned gap = port_line_ms(port, 2) + 5;
    return answer_timeout_ms < gap ? (unsigned)answer_timeout_ms : gap;
}

// Whether more than `have` bytes wait: there already, or coming within the
// quiet gap.
static int more_bytes(unsigned short port, int have = 0)
{
    plat_deadline d;
    plat_deadline_start(&d, quiet_gap(port));
    for (;;) {
        if (port_avail(port) > have)
            return 1;
        if (plat_deadline_expired(&d) || port_gone(port, nullptr))
            return 0;
        port_wait(port, (unsigned)plat_deadline_left(&d));
    }
}

static int exchange_once(unsigned short port, unsigned char address, unsigned int& word,
                         unsigned char command)
{
    // Bytes that came after the last answer taken clean, from this very
    // address, are a second answer to it: that answer is in doubt, and this
    // exchange sends nothing (the sequence decides).
    int tail = port_avail(port) > 0 && clean_before && clean_address == address &&
               plat_perf_counter() - clean_at < plat_perf_frequency() * answer_timeout_ms / 1000;
    clean_before = 0;
    attempt_doubled = 0;
    clear_buf(port);
    if (tail) {
        exchange_tails++;
        tail_of_earlier = 1;
        return failed(port, FAULT_EXTRA, STAGE_SELECT, command);
    }
    unsigned char select[5] = {0x60, address, 0x00, 0, 0xC0};
    select[3] = csm8(select, 3);
    send_frame(port, select, 5);
    if (wait_answer(port, 1, 5) != 1)
        return timed_out(port, STAGE_SELECT, command);
    answer_came();
    unsigned char answer[3];
    recv_port(port, answer, 1);
    drop_rest(port);  // whatever followed the answer
    if (answer[0] != 0xC0 || attempt_doubled) {
        failed(port, answer[0] != 0xC0 ? FAULT_SELECT_REPLY : FAULT_EXTRA, STAGE_SELECT, command);
        exchange_last_fault.seen[0] = answer[0];
        exchange_last_fault.seen_count = 1;
        return -1;
    }
    unsigned char param[5] = {command, (unsigned char)word, (unsigned char)(word >> 8),
                              (unsigned char)(word >> 16), (unsigned char)(word >> 24)};
    send_frame(port, param, 5);
    if (wait_answer(port, 3, 5) != 1)
        return timed_out(port, STAGE_PARAMETER, command);
    answer_came();
    recv_port(port, answer, 3);
    if (answer[0] != 0x05) {
        failed(port, FAULT_ACK, STAGE_PARAMETER, command);
        memcpy(exchange_last_fault.seen, answer, 3);
        exchange_last_fault.seen_count = 3;
        return -1;
    }
    if (port_avail(port) > 0 || (exchange_whole_answers && more_bytes(port))) {
        drop_rest(port);
        failed(port, FAULT_EXTRA, STAGE_PARAMETER, command);
        memcpy(exchange_last_fault.seen, answer, 3);
        exchange_last_fault.seen_count = 3;
        return -1;
    }
    word = answer[1];
    exchange_last_fault = exchange_fault();
    clean_before = 1;
    clean_address = address;
    clean_at = plat_perf_counter();
    return 1;
}

// After a garbled answer the rest of it may still be on its way (two
// controllers answering at once send more than one): the line is let go
// quiet, no byte for two byte times and 5 ms, before the exchange goes out
// again, so that the tail is not taken for the next answer. At most the
// answer time-out.
static void let_settle(unsigned short port)
{
    if (exchange_last_fault.kind == FAULT_SHORT)
        clear_buf(port);  // the answer's own bytes
    unsigned gap = quiet_gap(port);
    plat_deadline d;
    plat_deadline_start(&d, answer_timeout_ms);
    for (;;) {
        drop_rest(port);
        if (!port_wait(port, gap) || port_gone(port, nullptr) || plat_deadline_expired(&d))
            break;
    }
    drop_rest(port);
}

int exchange_repeat_silence = 1;

int exchange_may_repeat(const exchange_fault& f)
{
    if (f.kind == FAULT_NONE || f.kind == FAULT_LINE_LOST || f.kind == FAULT_INTERRUPTED)
        return 0;
    if (f.kind == FAULT_NO_ANSWER && f.stage != STAGE_PARAMETER && !exchange_repeat_silence)
        return 0;
    if (f.command != CMD_WRITE_ER && f.command != CMD_WRITE_IR)
        return 1;
    return f.stage == STAGE_SELECT || (f.stage == STAGE_PARAMETER && f.seen_count == 0);
}

// Another byte where C0 or 05 belongs (not a refusal), bytes missing, or
// more bytes than an answer.
int exchange_fault_garbled(const exchange_fault& f)
{
    return fault_cause[f.kind] == &line_health::garbled &&
           !((f.kind == FAULT_SELECT_REPLY || f.kind == FAULT_ACK) && f.seen[0] == ANSWER_REFUSED);
}

void exchange_set_fault(int kind, int stage, unsigned char command)
{
    exchange_fault& f = exchange_last_fault;
    f = exchange_fault();
    f.kind = kind;
    f.stage = stage;
    f.command = command;
    f.timeout_ms = answer_timeout_ms;
}

// After a failed attempt, whether it goes out again: as exchange_retries
// allows, and a garbled one once in any case, since noise garbles an
// answer once, two controllers every time.
static int again(int attempt, int* doubled_before)
{
    const exchange_fault& f = exchange_last_fault;
    int doubled = attempt_doubled;
    if (exchange_fault_garbled(f) && *doubled_before && !doubled) {
        let_settle(port_in_hand);  // the rest of this answer decides
        doubled = attempt_doubled;
    }
    if (exchange_fault_garbled(f) && *doubled_before && doubled) {
        exchange_set_fault(FAULT_COLLISION, f.stage, f.command);
        return 0;
    }
    *doubled_before = doubled;
    int go = repeat(attempt);
    if (!go && attempt == 0 && exchange_fault_garbled(f) && exchange_may_repeat(f)) {
        exchange_count_repeat();
        go = 1;
    }
    if (go) {
        if (f.kind != FAULT_NO_ANSWER)
            let_settle(port_in_hand);
        *doubled_before = *doubled_before || attempt_doubled;
        return 1;
    }
    return 0;
}

int device_exchange(unsigned short port, unsigned char address, unsigned int& word,
                    unsigned char command)
{
    exchange_count++;
    health_address = address;
    health[address].h.exchanges++;
    port_in_hand = port;
    int doubled = 0;
    for (int attempt = 0;; attempt++) {
        tail_of_earlier = 0;
        if (exchange_once(port, address, word, command) == 1)
            return 1;
        count_fault(exchange_last_fault);
        if (tail_of_earlier || !again(attempt, &doubled)) {
            health[address].h.failed++;
            return -1;
        }
    }
}

void trk_hdr(unsigned short handle, char address, unsigned char mode)
{
    if (address == 0)
        return;
    unsigned char frame[4] = {0x60, (unsigned char)address, mode, 0};
    frame[3] = csm8(frame, 3);
    put_port(handle, frame, 4);
}

int exchange_quiet_check(unsigned short port)
{
    int came = more_bytes(port);
    clean_before = 0;
    if (came) {
        exchange_tails++;
        health[health_address].h.garbled++;
        attempt_doubled = 0;
        let_settle(port);
    }
    return came;
}

int device_test(unsigned short port, unsigned char address)
{
    exchange_count++;
    health_address = address;
    health[address].h.exchanges++;
    port_in_hand = port;
    clean_before = 0;
    for (int attempt = 0, doubled_before = 0;; attempt++) {
        clear_buf(port);  // a late answer to an earlier request is no reply to this one
        uint64_t t0 = plat_perf_counter();
        trk_hdr(port, (char)address, 0x81);
        frame_sent(port, t0, address ? 4 : 0);
        if (wait_answer(port, 1, address ? 4 : 0) == 1) {
            answer_came();
            // Any byte answers (left for the caller); more than one, now or
            // within the quiet gap, is two controllers answering, once
            // asked again.
            if (!more_bytes(port, 1)) {
                exchange_last_fault = exchange_fault();
                return 1;
            }
            unsigned char first = (unsigned char)peek_port(port, 0);
            failed(port, FAULT_EXTRA, STAGE_TEST, 0);
            exchange_last_fault.seen[0] = first;
            exchange_last_fault.seen_count = 1;
            count_fault(exchange_last_fault);
            let_settle(port);
            if (doubled_before) {
                exchange_set_fault(FAULT_COLLISION, STAGE_TEST, 0);
                return 1;
            }
            doubled_before = 1;
            exchange_count_repeat();
            continue;
        }
        doubled_before = 0;
        failed(port, plat_wait_interrupted() ? FAULT_INTERRUPTED : FAULT_NO_ANSWER, STAGE_TEST, 0);
        count_fault(exchange_last_fault);
        if (!repeat(attempt)) {
            health[address].h.failed++;
            return 0;
        }
    }
}

unsigned long exchange_shortest_timeout_ms(unsigned short port, int test)
{
    // An exchange's longest pair is the parameter frame and its three
    // answer bytes; a Test's is its header and one byte.
    int frame = test ? 4 : 5, answer = test ? 1 : 3;
    return port_line_ms(port, answer_after_frame ? answer : frame + answer);
}

int bus_address_parse(const char* text, unsigned char* out)
{
    const char* digits = text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? text + 2 : text;
    int v = address_value(text);
    if (!*digits || v <= 0)
        return 0;
    *out = (unsigned char)v;
    return 1;
}

// One item of a list, `len` bytes at `p`, blanks around it dropped.
static int list_item(const char* p, int len, unsigned char* out)
{
    while (len > 0 && *p == ' ')
        p++, len--;
    while (len > 0 && p[len - 1] == ' ')
        len--;
    char item[ADDRESS_TEXT_MAX + 1];
    if (len < 1 || len > ADDRESS_TEXT_MAX)
        return 0;
    memcpy(item, p, (size_t)len);
    item[len] = 0;
    return bus_address_parse(item, out);
}

int address_list_parse(const char* text, unsigned char* out, int* bad_at, int* bad_len)
{
    bool have[256] = {};
    int count = 0;
    for (const char* p = text;; p++) {
        const char* end = strchr(p, ',');
        int len = end ? (int)(end - p) : (int)strlen(p);
        *bad_at = (int)(p - text);
        *bad_len = len;
        const char* dash = (const char*)memchr(p, '-', (size_t)len);
        const char* colon = (const char*)memchr(p, ':', (size_t)len);
        const char* mid = dash ? dash : colon;
        unsigned char low, high;
        if (dash && colon)
            return ADDRESS_LIST_BAD_ITEM;
        if (!list_item(p, mid ? (int)(mid - p) : len, &low))
            return ADDRESS_LIST_BAD_ITEM;
        high = low;
        if (mid && !list_item(mid + 1, len - (int)(mid + 1 - p), &high))
            return ADDRESS_LIST_BAD_ITEM;
        if (high < low)
            return ADDRESS_LIST_BACKWARDS;
        for (int a = low; a <= high; a++)
            if (!have[a]) {
                have[a] = true;
                out[count++] = (unsigned char)a;
            }
        if (!end)
            return count;
        p = end;
    }
}
