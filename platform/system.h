// Inside platform/: what the code both systems share (tcp_connect.cpp,
// shared.cpp) asks of each system's file, and what shared.cpp gives those
// files in turn. Each system's file keeps its own calls; what is the same
// on both is written once over these.
#ifndef KP6_PLATFORM_SYSTEM_H
#define KP6_PLATFORM_SYSTEM_H

#include "platform.h"

// This system's codes for the failures plat_error_... name.
struct sys_error_codes {
    int timed_out, invalid, not_supported, connection_closed, would_block, name_too_long, no_memory,
        interrupted;
};
extern const sys_error_codes sys_errors;

// How long `bytes` take on a serial device's line as it is set
// (plat_line_time_ms; a rate that reads as none counts as 4800), plus
// `margin_ms`.
uint32_t sys_line_time_ms(plat_handle h, unsigned long bytes, uint32_t margin_ms);

// The PLAT_MS_ bits of a modem-status word `m` of the system's, whose bits
// for CTS, DSR, ring and RLSD `lines` gives in that order.
unsigned sys_modem_bits(unsigned long m, const unsigned long lines[4]);

// Whether `path` may be opened as a regular file: 0 when it is one, or
// when the look fails with `missing` (non-zero: a file the open will make);
// -1 when it is something else (its kind in `kind`); else the look's code.
int sys_file_may_open(const char* path, int* kind, int missing);

struct addrinfo;  // the resolver's list, the same on both systems
// The addresses of `host` at `service` (a port number): with `literal`
// only a literal address, asking no one; else through the resolver, which
// may take long. 0 and the list, or the resolver's code as
// plat_error_text words it.
int sys_lookup(const char* host, const char* service, int literal, struct addrinfo** res);
struct addrinfo* sys_next_address(const struct addrinfo* a);
void sys_free_addresses(struct addrinfo* res);
// One connection attempt to one address, within `ms`: 0 and a connected,
// non-blocking socket, or the system's code.
int sys_connect_one(const struct addrinfo* a, unsigned ms, plat_socket* s);
// Runs `fn(arg)` on a thread of its own that nobody joins, with the
// system's usual stack: 0, or the system's code.
int sys_thread_detached(int (*fn)(void*), void* arg);

#endif
