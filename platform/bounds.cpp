// The bounds of the waits, over the calls each system gives (and the
// tests' fake platform too): why a bounded wait ends, and how long bytes
// take on a serial line.
#include "platform.h"

int plat_wait_end(const plat_deadline* d)
{
    if (plat_wait_interrupted())
        return plat_error_interrupted();
    return !d || plat_deadline_expired(d) ? plat_error_timed_out() : 0;
}

unsigned long plat_line_time_ms(const plat_line* line, unsigned long bytes)
{
    if (!line->baud)
        return 0;
    // In half bits, for one and a half stop bits (stop_bits 1).
    unsigned stop = line->stop_bits == 0 ? 2 : line->stop_bits == 1 ? 3 : 4;
    unsigned long long half_bits = 2u * (1u + line->byte_size + (line->parity ? 1u : 0u)) + stop;
    unsigned long long per = 2ULL * line->baud;
    return (unsigned long)((bytes * half_bits * 1000ULL + per - 1) / per);
}
