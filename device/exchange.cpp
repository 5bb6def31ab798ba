#include "exchange.h"

#include "../port/plainw.h"
#include "../timers/timersw.h"
#include "crc.h"

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
    short timer = set_timer(answer_timeout_ms + extra);
    int acknowledged = 0;
    for (int have; (have = port_avail(port)) < count;) {
        if (timer_exp(timer))
            return 0;  // the slot is free again already
        if (port_gone(port, nullptr)) {  // nothing more can come
            kill_timer(timer);
            return 0;
        }
        // Part of the answer is here: a server that holds the rest back
        // until this part is acknowledged gets the acknowledgement now.
        if (have > acknowledged && answer_part_acknowledged) {
            port_acknowledge(port);
            acknowledged = have;
        }
        if (!answer_wait_spins)
            port_wait(port, (unsigned)timer_left(timer));
    }
    kill_timer(timer);
    return 1;
}

int device_exchange(unsigned short port, unsigned char address, unsigned int& word,
                    unsigned char command)
{
    clear_buf(port);
    unsigned char select[5] = {0x60, address, 0x00, 0, 0xC0};
    select[3] = csm8(select, 3);
    put_port(port, select, 5);
    if (!wait_answer(port, 1, 5))
        return -1;
    unsigned char answer[3];
    recv_port(port, answer, 1);
    if (answer[0] != 0xC0) {
        clear_buf(port);
        return -1;
    }
    clear_buf(port);  // whatever followed the answer
    unsigned char param[5] = {command, (unsigned char)word, (unsigned char)(word >> 8),
                              (unsigned char)(word >> 16), (unsigned char)(word >> 24)};
    put_port(port, param, 5);
    if (!wait_answer(port, 3, 5))
        return -1;
    recv_port(port, answer, 3);
    if (answer[0] != 0x05)
        return -1;
    clear_buf(port);
    word = answer[1];
    return 1;
}

void trk_hdr(unsigned short handle, char address, unsigned char mode)
{
    if (address == 0)
        return;
    unsigned char frame[4] = {0x60, (unsigned char)address, mode, 0};
    frame[3] = csm8(frame, 3);
    put_port(handle, frame, 4);
}

int device_test(unsigned short port, unsigned char address)
{
    clear_buf(port);  // a late answer to an earlier request is no reply to this one
    trk_hdr(port, (char)address, 0x81);
    return wait_answer(port, 1, address ? 4 : 0);
}
