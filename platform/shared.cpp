// Code both systems share, over the calls of platform.h and the few of
// system.h each system's file provides.
#include "system.h"

int plat_error_timed_out(void)
{
    return sys_errors.timed_out;
}

int plat_error_invalid(void)
{
    return sys_errors.invalid;
}

int plat_error_not_supported(void)
{
    return sys_errors.not_supported;
}

int plat_error_connection_closed(void)
{
    return sys_errors.connection_closed;
}

int plat_error_would_block(void)
{
    return sys_errors.would_block;
}

int plat_error_name_too_long(void)
{
    return sys_errors.name_too_long;
}

int plat_error_no_memory(void)
{
    return sys_errors.no_memory;
}

uint32_t sys_line_time_ms(plat_handle h, unsigned long bytes, uint32_t margin_ms)
{
    plat_line line = {4800, 8, 0, 0, 0};  // as the port opens
    if (plat_serial_get_line(h, &line) != 0 || !line.baud)
        line.baud = 4800;
    return (uint32_t)plat_line_time_ms(&line, bytes) + margin_ms;
}

unsigned plat_serial_drain(plat_handle h)
{
    unsigned queued = 0;
    plat_serial_out_queue(h, &queued);
    if (queued) {
        plat_deadline d;
        plat_deadline_start(&d, sys_line_time_ms(h, queued, 250));
        while (queued && plat_wait_slice(&d)) {
            plat_sleep_ms(1);
            plat_serial_out_queue(h, &queued);
        }
    }
    return queued;
}

unsigned sys_modem_bits(unsigned long m, const unsigned long lines[4])
{
    static const unsigned ours[4] = {PLAT_MS_CTS, PLAT_MS_DSR, PLAT_MS_RING, PLAT_MS_RLSD};
    unsigned bits = 0;
    for (int i = 0; i < 4; i++)
        if (m & lines[i])
            bits |= ours[i];
    return bits;
}

int sys_file_may_open(const char* path, int* kind, int missing)
{
    int rc = plat_file_kind(path, kind);
    if (rc)
        return rc == missing ? 0 : rc;
    return *kind == PLAT_FILE_REGULAR ? 0 : -1;
}

int plat_error_interrupted(void)
{
    return sys_errors.interrupted;
}

void plat_deadline_start(plat_deadline* d, unsigned long ms)
{
    uint64_t f = plat_perf_frequency();
    d->end = plat_perf_counter() + (uint64_t)ms / 1000 * f + (uint64_t)(ms % 1000) * f / 1000;
}

unsigned long plat_deadline_left(const plat_deadline* d)
{
    uint64_t now = plat_perf_counter(), f = plat_perf_frequency();
    if (now >= d->end)
        return 0;
    uint64_t left = d->end - now;
    return (unsigned long)(left / f * 1000 + (left % f * 1000 + f - 1) / f);
}

int plat_deadline_expired(const plat_deadline* d)
{
    return plat_perf_counter() >= d->end;
}

static volatile int wait_interrupts;

void plat_set_wait_interrupts(int count)
{
    wait_interrupts = count;
}

int plat_wait_interrupted(void)
{
    return wait_interrupts > 0 && plat_termination_requested() >= wait_interrupts;
}

unsigned plat_wait_slice(const plat_deadline* d)
{
    if (plat_wait_interrupted())
        return 0;
    unsigned long left = plat_deadline_left(d);
    return left < PLAT_WAIT_SLICE_MS ? (unsigned)left : (unsigned)PLAT_WAIT_SLICE_MS;
}

int plat_sha256_hex(const void* data, unsigned long n, char out[PLAT_SHA256_HEX])
{
    unsigned char d[PLAT_SHA256_SIZE];
    int rc = plat_sha256(data, n, d);
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < PLAT_SHA256_SIZE; i++) {
        out[2 * i] = rc ? '0' : digits[d[i] >> 4];
        out[2 * i + 1] = rc ? '0' : digits[d[i] & 15];
    }
    out[2 * PLAT_SHA256_SIZE] = 0;
    return rc;
}

int plat_serial_port_info(const char* name, plat_port_info* info)
{
    int rc;
    plat_serial_ports_info(&name, 1, info, &rc);
    return rc;
}
