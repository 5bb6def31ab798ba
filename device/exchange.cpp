#include "exchange.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "../platform/platform.h"
#include "../port/plainw.h"
#include "crc.h"

static_assert(sizeof exchange_last_fault.line == PORT_NAME_SIZE, "a line's whole name");

static exchange_options options;

const exchange_options& exchange_get_options(void)
{
    return options;
}

exchange_options exchange_set_options(const exchange_options& o)
{
    exchange_options was = options;
    options = o;
    return was;
}

int wait_answer(unsigned short port, int count, int sent)
{
    unsigned long extra = options.answer_after_frame ? port_line_ms(port, sent) : 0;
    plat_deadline deadline;  // kept across every wake-up, never started over
    plat_deadline_start(&deadline, options.answer_timeout_ms + extra);
    int acknowledged = 0;
    for (int have; (have = port_avail(port)) < count;) {
        int end = plat_wait_end(&deadline);
        if (end == plat_error_interrupted())
            return -1;
        if (end || port_gone(port, nullptr))
            return 0;  // nothing more can come in time
        // Part of the answer is here: a server that holds the rest back
        // until this part is acknowledged gets the acknowledgement now.
        if (have > acknowledged && options.part_acknowledged) {
            port_acknowledge(port);
            acknowledged = have;
        }
        if (!options.wait_spins)
            port_wait(port, (unsigned)plat_deadline_left(&deadline));
    }
    return 1;
}

// ---- the exchange ------------------------------------------------------------

static void send_frame(unsigned short port, unsigned char* frame, int n)
{
    uint64_t t0 = plat_perf_counter();
    put_port(port, frame, n);
    health_frame_sent(port, t0, n);
}

exchange_fault exchange_last_fault;
unsigned long exchange_count, exchange_repeats;

void exchange_count_repeat(void)
{
    exchange_repeats++;
    health_retry();
    if (options.on_repeat && exchange_last_fault.kind != FAULT_NONE)
        options.on_repeat(exchange_last_fault);
}

// After a failed attempt: 1 when it goes out again (counted and told).
static int repeat(int attempt)
{
    if (attempt >= options.retries || !exchange_may_repeat(exchange_last_fault))
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

// The time-out ran out, or an interrupt ended the wait (`waited`, as
// wait_answer says); the bytes waiting are what came of the answer (a byte
// just late is no part of it).
static int timed_out(unsigned short port, int waited, int stage, unsigned char command)
{
    int got = stage == STAGE_PARAMETER ? port_avail(port) : 0;
    if (got > 2)
        got = 2;
    failed(port,
           waited < 0 ? FAULT_INTERRUPTED
           : got      ? FAULT_SHORT
                      : FAULT_NO_ANSWER,
           stage, command);
    exchange_fault& f = exchange_last_fault;
    for (int i = 0; i < got && i < 3; i++)
        f.seen[f.seen_count++] = (unsigned char)peek_port(port, i);
    return -1;
}

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
    return options.answer_timeout_ms < gap ? (unsigned)options.answer_timeout_ms : gap;
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
               plat_perf_counter() - clean_at <
                   plat_perf_frequency() * options.answer_timeout_ms / 1000;
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
    int waited = wait_answer(port, 1, 5);
    if (waited != 1)
        return timed_out(port, waited, STAGE_SELECT, command);
    health_answer_came();
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
    waited = wait_answer(port, 3, 5);
    if (waited != 1)
        return timed_out(port, waited, STAGE_PARAMETER, command);
    health_answer_came();
    recv_port(port, answer, 3);
    if (answer[0] != 0x05) {
        failed(port, FAULT_ACK, STAGE_PARAMETER, command);
        memcpy(exchange_last_fault.seen, answer, 3);
        exchange_last_fault.seen_count = 3;
        return -1;
    }
    if (port_avail(port) > 0 || (options.whole_answers && more_bytes(port))) {
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
    plat_deadline_start(&d, options.answer_timeout_ms);
    for (;;) {
        drop_rest(port);
        if (!port_wait(port, gap) || port_gone(port, nullptr) || plat_deadline_expired(&d))
            break;
    }
    drop_rest(port);
}

int exchange_may_repeat(const exchange_fault& f)
{
    if (f.kind == FAULT_NONE || f.kind == FAULT_LINE_LOST || f.kind == FAULT_INTERRUPTED)
        return 0;
    if (f.kind == FAULT_NO_ANSWER && f.stage != STAGE_PARAMETER && !options.repeat_silence)
        return 0;
    if (f.command != CMD_WRITE_ER && f.command != CMD_WRITE_IR)
        return 1;
    return f.stage == STAGE_SELECT || (f.stage == STAGE_PARAMETER && f.seen_count == 0);
}

void exchange_set_fault(int kind, int stage, unsigned char command)
{
    exchange_fault& f = exchange_last_fault;
    f = exchange_fault();
    f.kind = kind;
    f.stage = stage;
    f.command = command;
    f.timeout_ms = options.answer_timeout_ms;
}

// After a failed attempt, whether it goes out again: as the retries
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
    health_begin(address);
    port_in_hand = port;
    int doubled = 0;
    for (int attempt = 0;; attempt++) {
        tail_of_earlier = 0;
        if (exchange_once(port, address, word, command) == 1)
            return 1;
        health_fault(exchange_last_fault);
        if (tail_of_earlier || !again(attempt, &doubled)) {
            health_failed();
            return -1;
        }
    }
}

int converter_set(unsigned short port, int type, int* code)
{
    *code = 0;
    if (type <= 0)
        return CONVERTER_SET;
    if (!port_is_serial(port))
        return CONVERTER_NOT_SERIAL;
    if (type == CONVERTER_KERNEL) {
        *code = port_rs485(port);
        return *code ? CONVERTER_NO_RS485 : CONVERTER_SET;
    }
    port_control(port, (char)type);
    *code = port_control_fault(port);
    return *code ? CONVERTER_NO_MODEM_LINES : CONVERTER_SET;
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
        health_garbled();
        attempt_doubled = 0;
        let_settle(port);
    }
    return came;
}

int device_test(unsigned short port, unsigned char address)
{
    exchange_count++;
    health_begin(address);
    port_in_hand = port;
    clean_before = 0;
    for (int attempt = 0, doubled_before = 0;; attempt++) {
        clear_buf(port);  // a late answer to an earlier request is no reply to this one
        uint64_t t0 = plat_perf_counter();
        trk_hdr(port, (char)address, 0x81);
        health_frame_sent(port, t0, address ? 4 : 0);
        int waited = wait_answer(port, 1, address ? 4 : 0);
        if (waited == 1) {
            health_answer_came();
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
            health_fault(exchange_last_fault);
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
        failed(port, waited < 0 ? FAULT_INTERRUPTED : FAULT_NO_ANSWER, STAGE_TEST, 0);
        health_fault(exchange_last_fault);
        if (!repeat(attempt)) {
            health_failed();
            return 0;
        }
    }
}

unsigned long exchange_shortest_timeout_ms(unsigned short port, int test)
{
    // An exchange's longest pair is the parameter frame and its three
    // answer bytes; a Test's is its header and one byte.
    int frame = test ? 4 : 5, answer = test ? 1 : 3;
    return port_line_ms(port, options.answer_after_frame ? answer : frame + answer);
}
