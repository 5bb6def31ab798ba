// What the POSIX files of the platform layer share.
#ifndef KP6_POSIX_UTIL_H
#define KP6_POSIX_UTIL_H

#include <errno.h>
#include <poll.h>

// The system's code of the call that just failed, or `fallback` where it
// left none.
static inline int errno_or(int fallback)
{
    return errno ? errno : fallback;
}

// poll within `ms` in all: a signal or a slice's end goes on with what is
// left, an interrupt ends it. >0 ready, 0 time-out or interrupted, <0
// failed.
int poll_bounded(struct pollfd* p, nfds_t n, unsigned ms);

#endif
