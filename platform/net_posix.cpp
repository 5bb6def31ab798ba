// Linux: TCP sockets, this system's part of the bounded connect, and the
// system's codes in words.
#include "platform.h"
#include "posix_util.h"
#include "system.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// ---- TCP sockets -------------------------------------------------------------

int plat_net_start(void)
{
    return 0;
}

void plat_net_stop(void) {}

int plat_tcp_socket(plat_socket* s)
{
    *s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return *s < 0 ? errno_or(EIO) : 0;
}

int plat_tcp_nonblocking(plat_socket s)
{
    int fl = fcntl(s, F_GETFL);
    if (fl < 0 || fcntl(s, F_SETFL, fl | O_NONBLOCK) != 0)
        return errno_or(EIO);
    return 0;
}

static int set_int_option(plat_socket s, int level, int option)
{
    int one = 1;
    return setsockopt(s, level, option, &one, sizeof one) != 0 ? errno_or(EIO) : 0;
}

int plat_tcp_keepalive(plat_socket s)
{
    return set_int_option(s, SOL_SOCKET, SO_KEEPALIVE);
}

int plat_tcp_nodelay(plat_socket s)
{
    return set_int_option(s, IPPROTO_TCP, TCP_NODELAY);
}

int plat_tcp_bind_any(plat_socket s, unsigned short port)
{
    // A port left in TIME_WAIT by an earlier run may be bound again, as on
    // other systems; one that another program listens on still may not.
    set_int_option(s, SOL_SOCKET, SO_REUSEADDR);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    return bind(s, (struct sockaddr*)&a, sizeof a) != 0 ? errno_or(EIO) : 0;
}

int plat_tcp_listen(plat_socket s, int backlog)
{
    return listen(s, backlog) != 0 ? errno_or(EIO) : 0;
}

int plat_tcp_accept(plat_socket s, plat_socket* client, unsigned char addr[4])
{
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    // Linux does not pass the listener's non-blocking mode on.
    *client = accept4(s, (struct sockaddr*)&a, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (*client < 0) {
        *client = PLAT_NO_SOCKET;
        return errno_or(EIO);
    }
    memcpy(addr, &a.sin_addr.s_addr, 4);
    return 0;
}

int plat_tcp_local_port(plat_socket s, unsigned short* port)
{
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    if (getsockname(s, (struct sockaddr*)&a, &len) != 0)
        return errno_or(EIO);
    *port = ntohs(a.sin_port);
    return 0;
}

int plat_tcp_available(plat_socket s, unsigned* count)
{
    return ioctl_count(s, FIONREAD, count);
}

int plat_tcp_recv(plat_socket s, unsigned char* buf, unsigned n, unsigned* got)
{
    *got = 0;
    ssize_t r;
    do
        r = recv(s, buf, n, MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return errno_or(EIO);
    *got = (unsigned)r;
    return 0;
}

int plat_tcp_send(plat_socket s, const unsigned char* buf, unsigned n, unsigned* sent)
{
    *sent = 0;
    ssize_t r;
    do
        r = send(s, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return errno_or(EIO);
    *sent = (unsigned)r;
    return 0;
}

static int wait_sockets(const plat_socket* s, int count, unsigned ms, short events)
{
    enum { MAX_WAIT = 32 };
    struct pollfd p[MAX_WAIT];
    int n = 0;
    for (int i = 0; i < count && n < MAX_WAIT; i++)
        if (s[i] >= 0)
            p[n++] = {s[i], events, 0};
    return poll_bounded(p, (nfds_t)n, ms) > 0 ? 1 : 0;
}

int plat_tcp_wait_readable(const plat_socket* s, int count, unsigned ms)
{
    return wait_sockets(s, count, ms, POLLIN);
}

int plat_tcp_wait_writable(const plat_socket* s, int count, unsigned ms)
{
    return wait_sockets(s, count, ms, POLLOUT);
}

void plat_tcp_close(plat_socket s)
{
    if (s < 0)
        return;
    shutdown(s, SHUT_RDWR);
    close(s);
}

// ---- connecting: this system's part of tcp_connect.cpp ---------------------------

int sys_lookup(const char* host, const char* service, int literal, struct addrinfo** res)
{
    // No AI_ADDRCONFIG: on a machine with loopback alone it would refuse
    // "localhost".
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = (literal ? AI_NUMERICHOST : 0) | AI_NUMERICSERV;
    *res = nullptr;
    int rc = getaddrinfo(host, service, &hints, res);
    if (rc == 0)
        return 0;
    *res = nullptr;
    // The resolver's own (negative) code, or errno where it says the system
    // failed.
    return rc != EAI_SYSTEM ? rc : errno_or(EIO);
}

struct addrinfo* sys_next_address(const struct addrinfo* a)
{
    return a->ai_next;
}

void sys_free_addresses(struct addrinfo* res)
{
    freeaddrinfo(res);
}

// One connection attempt to one address, within `ms`.
int sys_connect_one(const struct addrinfo* a, unsigned ms, plat_socket* s)
{
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0)
        return errno_or(EIO);
    int r;
    do
        r = connect(fd, a->ai_addr, a->ai_addrlen);
    while (r < 0 && errno == EINTR);
    int e = r == 0 ? 0 : errno;
    if (e == EINPROGRESS) {
        struct pollfd p = {fd, POLLOUT, 0};
        r = poll_bounded(&p, 1, ms);
        if (r == 0) {
            e = plat_wait_end(nullptr);
        } else {
            socklen_t len = sizeof e;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0)
                e = errno_or(EIO);
        }
    }
    if (e) {
        close(fd);
        return e;
    }
    *s = fd;
    return 0;
}

int plat_tcp_quickack(plat_socket s)
{
    return set_int_option(s, IPPROTO_TCP, TCP_QUICKACK);
}

int plat_tcp_ack_each(plat_socket)
{
    return 0;  // TCP_QUICKACK after each receive does it here
}

const sys_error_codes sys_errors = {ETIMEDOUT,   EINVAL,       EPROTONOSUPPORT, ECONNRESET,
                                    EWOULDBLOCK, ENAMETOOLONG, ENOMEM,          EINTR};

void plat_error_text(int code, char* out, unsigned size)
{
    if (!size)
        return;
    // The resolver's codes are negative, the system's positive. Only the
    // GUI (or main) thread asks, so the shared buffers are safe.
    snprintf(out, size, "%s", code < 0 ? gai_strerror(code) : strerror(code));
}

int plat_error_kind(int code)
{
    static const struct {
        int code, kind;
    } kinds[] = {{ECONNREFUSED, PLAT_ERR_REFUSED},
                 {ETIMEDOUT, PLAT_ERR_TIMED_OUT},
                 {EAI_NONAME, PLAT_ERR_NO_NAME},
                 {ECONNRESET, PLAT_ERR_RESET},
                 {EHOSTUNREACH, PLAT_ERR_UNREACHABLE},
                 {ENOENT, PLAT_ERR_NO_FILE},
                 {ENODEV, PLAT_ERR_NO_DEVICE},
                 {EACCES, PLAT_ERR_ACCESS},
                 {EBUSY, PLAT_ERR_BUSY},
                 {EIO, PLAT_ERR_IO}};
    for (const auto& k : kinds)
        if (k.code == code)
            return k.kind;
    return PLAT_ERR_OTHER;
}
