#include "scan.h"

#include "../port/plainw.h"
#include "exchange.h"

unsigned long scan_timeout_ms(unsigned short port)
{
    return SCAN_TIMEOUT_MS + 2 * ((port_round_trip_us(port) + 999) / 1000);
}

int bus_scan(unsigned short port, unsigned char from, unsigned char to, unsigned long timeout_ms,
             scan_each each, void* ctx, unsigned* next)
{
    unsigned long kept_timeout = answer_timeout_ms;
    int kept_after = answer_after_frame, kept_silence = exchange_repeat_silence;
    int kept_whole = exchange_whole_answers;
    answer_timeout_ms = timeout_ms;
    answer_after_frame = 1;  // each address is listened to for the whole time-out
    // Silence is most often an empty address, asked again only when the
    // tool asks for retries: a controller whose selection was lost.
    exchange_repeat_silence = exchange_retries > 0;
    exchange_whole_answers = 1;  // a second controller's answer follows the first
    int result = SCAN_DONE;
    unsigned a = from;
    for (; a <= to; a++) {
        if (each(ctx, (unsigned char)a, SCAN_ASKING, 0)) {
            result = SCAN_STOPPED;
            break;
        }
        unsigned int word = WORD_ER78;
        if (device_exchange(port, (unsigned char)a, word, CMD_READ_ER) != 1) {
            if (port_gone(port, nullptr)) {
                result = SCAN_LINE_LOST;
                break;
            }
            // Garbled to the last (a garbled answer is always asked again).
            if (exchange_fault_garbled(exchange_last_fault) &&
                each(ctx, (unsigned char)a, SCAN_GARBLED, 0)) {
                result = SCAN_STOPPED;
                a++;
                break;
            }
            continue;
        }
        if (each(ctx, (unsigned char)a, SCAN_ANSWERED, (unsigned char)word)) {
            result = SCAN_STOPPED;
            a++;
            break;
        }
    }
    answer_timeout_ms = kept_timeout;
    answer_after_frame = kept_after;
    exchange_repeat_silence = kept_silence;
    exchange_whole_answers = kept_whole;
    *next = a;
    return result;
}
