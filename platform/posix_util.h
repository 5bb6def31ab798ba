// What the POSIX files of the platform layer share.
#ifndef KP6_POSIX_UTIL_H
#define KP6_POSIX_UTIL_H

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>

// The system's code of the call that just failed, or `fallback` where it
// left none.
static inline int errno_or(int fallback)
{
    return errno ? errno : fallback;
}

// The count an ioctl `req` (FIONREAD, TIOCOUTQ) gives of descriptor `fd`'s
// queue, none below 0: 0 or the system's code.
static inline int ioctl_count(int fd, unsigned long req, unsigned* count)
{
    int n = 0;
    *count = 0;
    if (ioctl(fd, req, &n) != 0)
        return errno_or(EIO);
    *count = n > 0 ? (unsigned)n : 0;
    return 0;
}

// poll within `ms` in all: a signal or a slice's end goes on with what is
// left, an interrupt ends it. >0 ready, 0 time-out or interrupted, <0
// failed.
int poll_bounded(struct pollfd* p, nfds_t n, unsigned ms);

#endif
