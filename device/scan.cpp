#include "scan.h"

#include <vector>

#include "../port/plainw.h"
#include "exchange.h"

unsigned long scan_timeout_ms(unsigned short port)
{
    return SCAN_TIMEOUT_MS + 2 * ((port_round_trip_us(port) + 999) / 1000);
}

// What the last scan left: the addresses still silent, whether it saw the
// line lose frames, and how many passes over the silent ones it made.
static std::vector<unsigned char> silent;
static int loss_seen, passes_made;

// Sets the exchanges' options a scan runs under; returns those it found,
// to be set again whole.
static exchange_options scan_options_set(unsigned long timeout_ms, int silence)
{
    exchange_options o = exchange_get_options();
    o.answer_timeout_ms = timeout_ms;
    o.answer_after_frame = 1;  // each address is listened to for the whole time-out
    o.repeat_silence = silence;
    o.whole_answers = 1;  // a second controller's answer follows the first
    return exchange_set_options(o);
}

// Told to stop before an address was asked.
enum { STOPPED_UNASKED = SCAN_LINE_LOST + 1 };

// Asks one address: SCAN_DONE or why the scan ends (STOPPED_UNASKED before
// it was asked, SCAN_STOPPED after); *found when a controller answered.
static int ask(unsigned short port, unsigned char a, scan_each each, void* ctx, int* found)
{
    *found = 0;
    if (each(ctx, a, SCAN_ASKING, 0))
        return STOPPED_UNASKED;
    unsigned int word = WORD_ER78;
    unsigned long repeats = exchange_repeats;
    if (device_exchange(port, a, word, CMD_READ_ER) != 1) {
        const exchange_fault& f = exchange_last_fault;
        if (port_gone(port, nullptr))
            return SCAN_LINE_LOST;
        // Garbled to the last (a garbled answer is always asked again): two
        // controllers, not a lossy line.
        if (exchange_fault_garbled(f) && f.kind != FAULT_SHORT) {
            if (each(ctx, a, SCAN_GARBLED, 0))
                return SCAN_STOPPED;
        } else if (f.kind == FAULT_NO_ANSWER && f.stage == STAGE_SELECT) {
            silent.push_back(a);
        } else if (f.kind == FAULT_NO_ANSWER || f.kind == FAULT_SHORT) {
            loss_seen = 1;  // selected, then the answer lost
        }
        return SCAN_DONE;
    }
    // Answered only when asked again: the line loses frames.
    loss_seen = loss_seen || exchange_repeats > repeats;
    *found = 1;
    return each(ctx, a, SCAN_ANSWERED, (unsigned char)word) ? SCAN_STOPPED : SCAN_DONE;
}

// One pass over the addresses still silent: the number found, or -1 with
// *result.
static int silent_pass(unsigned short port, scan_each each, void* ctx, int* result)
{
    std::vector<unsigned char> asked;
    asked.swap(silent);
    int found_now = 0;
    passes_made++;
    for (size_t i = 0; i < asked.size(); i++) {
        int found;
        int rc = ask(port, asked[i], each, ctx, &found);
        found_now += found;
        if (rc != SCAN_DONE) {
            *result = rc == STOPPED_UNASKED ? SCAN_STOPPED : rc;
            silent.insert(silent.end(), asked.begin() + (long)i + 1, asked.end());
            return -1;
        }
    }
    return found_now;
}

// The passes SCAN_SILENT_ON_LOSS makes while the line has shown loss (or
// nobody answered): the number found, or -1 with *result.
static int silent_passes(unsigned short port, int nobody, scan_each each, void* ctx, int* result)
{
    int found = 0;
    while (passes_made < exchange_get_options().retries && !silent.empty() &&
           (loss_seen || nobody)) {
        int n = silent_pass(port, each, ctx, result);
        if (n < 0)
            return -1;
        found += n;
        if (n == 0)
            break;
        nobody = 0;
    }
    return found;
}

int bus_scan(unsigned short port, unsigned char from, unsigned char to, unsigned long timeout_ms,
             scan_each each, void* ctx, unsigned* next)
{
    int at_once = !exchange_get_options().silent_on_loss && exchange_get_options().retries > 0;
    exchange_options kept = scan_options_set(timeout_ms, at_once);
    silent.clear();
    loss_seen = passes_made = 0;
    int result = SCAN_DONE, found = 0, one = 0;
    unsigned a = from;
    while (a <= to) {
        result = ask(port, (unsigned char)a, each, ctx, &one);
        found += one;
        // Stopped before the address was asked, or the line lost there: it
        // is the first not asked.
        if (result == STOPPED_UNASKED)
            result = SCAN_STOPPED;
        else if (result != SCAN_LINE_LOST)
            a++;
        if (result != SCAN_DONE)
            break;
    }
    *next = a;
    if (result == SCAN_DONE && !at_once)
        silent_passes(port, found == 0, each, ctx, &result);
    if (at_once)
        silent.clear();  // asked again already
    exchange_set_options(kept);
    return result;
}

int bus_scan_silent_again(unsigned short port, unsigned long timeout_ms,
                          unsigned long repeats_before, scan_each each, void* ctx, int* result)
{
    *result = SCAN_DONE;
    if (!exchange_get_options().silent_on_loss || passes_made > 0 ||
        exchange_repeats <= repeats_before)
        return 0;
    exchange_options kept = scan_options_set(timeout_ms, 0);
    loss_seen = 1;
    int found = silent_passes(port, 0, each, ctx, result);
    exchange_set_options(kept);
    return found;
}
