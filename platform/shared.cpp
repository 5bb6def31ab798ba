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
    plat_line line;
    unsigned long baud = plat_serial_get_line(h, &line) == 0 && line.baud ? line.baud : 4800;
    return (uint32_t)((unsigned long long)bytes * 12000ULL / baud) + margin_ms;
}

unsigned sys_drain_output(plat_handle h)
{
    unsigned queued = 0;
    plat_serial_out_queue(h, &queued);
    if (queued) {
        uint32_t start = plat_tick_ms(), bound = sys_line_time_ms(h, queued, 250);
        while (queued && plat_tick_ms() - start < bound) {
            plat_sleep_ms(1);
            plat_serial_out_queue(h, &queued);
        }
    }
    return queued;
}
