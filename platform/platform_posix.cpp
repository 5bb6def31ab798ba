// POSIX (Linux) implementation of the platform layer.
#include "platform.h"
#include "serial_list.h"
#include "system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

// ---- serial devices -------------------------------------------------------

static void drop_dtr_rts(int fd)
{
    // Linux raises both lines on open; an RS-485 converter would then hold
    // the bus. Pseudo-terminals have no modem lines, so failures are ignored.
    int bits = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &bits);
}

static void ask_low_latency(int fd)
{
    // USB-serial converters otherwise hold received bytes for up to 16 ms.
    struct serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &ss);
    }
}

int plat_serial_device_path(const char* name, char* path, unsigned size)
{
    const char* fmt = name[0] == '/' ? "%s" : "/dev/%s";
    int n = snprintf(path, size, fmt, name);
    return n >= 0 && (unsigned)n < size ? 0 : ENAMETOOLONG;
}

int plat_serial_open(const char* path, plat_handle* h)
{
    *h = PLAT_NO_HANDLE;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno ? errno : EIO;
    if (!isatty(fd)) {
        close(fd);
        return ENOTTY;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return e;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        int e = errno;
        close(fd);
        return e ? e : EIO;
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        int e = errno;
        close(fd);
        return e ? e : EIO;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        int e = errno;
        close(fd);
        return e ? e : EIO;
    }
    drop_dtr_rts(fd);
    ask_low_latency(fd);
    // What the line delivered before anyone listened answers nothing the
    // tool will ask.
    tcflush(fd, TCIFLUSH);
    *h = fd;
    return 0;
}

// Write time-outs per open descriptor; reads never wait (they take what the
// driver holds), which is what short read time-outs amount to here.
enum { TIMEOUT_SLOTS = 64 };
static struct {
    int fd_plus_one;  // 0: a free entry
    plat_timeouts t;
} timeout_table[TIMEOUT_SLOTS];

static int timeout_slot(int fd, int create)
{
    int free_slot = -1;
    for (int i = 0; i < TIMEOUT_SLOTS; i++) {
        if (timeout_table[i].fd_plus_one == fd + 1)
            return i;
        if (free_slot < 0 && timeout_table[i].fd_plus_one == 0)
            free_slot = i;
    }
    if (create && free_slot >= 0)
        timeout_table[free_slot].fd_plus_one = fd + 1;
    return create ? free_slot : -1;
}

int plat_serial_set_timeouts(plat_handle h, const plat_timeouts* t)
{
    struct termios tio;
    if (tcgetattr(h, &tio) != 0)
        return errno ? errno : EIO;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(h, TCSANOW, &tio) != 0)
        return errno ? errno : EIO;
    int i = timeout_slot(h, 1);
    if (i < 0)
        return ENFILE;
    timeout_table[i].t = *t;
    return 0;
}

static const struct {
    unsigned long rate;
    speed_t code;
} baud_table[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

int plat_serial_get_line(plat_handle h, plat_line* line)
{
    struct termios tio;
    if (tcgetattr(h, &tio) != 0)
        return errno ? errno : EIO;
    speed_t sp = cfgetospeed(&tio);
    line->baud = 0;
    for (const auto& b : baud_table)
        if (b.code == sp)
            line->baud = b.rate;
    switch (tio.c_cflag & CSIZE) {
    case CS5: line->byte_size = 5; break;
    case CS6: line->byte_size = 6; break;
    case CS7: line->byte_size = 7; break;
    default: line->byte_size = 8; break;
    }
    if (!(tio.c_cflag & PARENB))
        line->parity = 0;
    else if (tio.c_cflag & CMSPAR)
        line->parity = (tio.c_cflag & PARODD) ? 3 : 4;
    else
        line->parity = (tio.c_cflag & PARODD) ? 1 : 2;
    line->stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    line->cts_flow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    return 0;
}

int plat_serial_set_line(plat_handle h, const plat_line* line)
{
    struct termios tio;
    if (tcgetattr(h, &tio) != 0)
        return errno ? errno : EIO;
    speed_t sp = 0;
    int found = 0;
    for (const auto& b : baud_table)
        if (b.rate == line->baud) {
            sp = b.code;
            found = 1;
        }
    if (!found)
        return EINVAL;
    tcflag_t size;
    switch (line->byte_size) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return EINVAL;
    }
    tcflag_t par;
    switch (line->parity) {
    case 0: par = 0; break;
    case 1: par = PARENB | PARODD; break;
    case 2: par = PARENB; break;
    case 3: par = PARENB | CMSPAR | PARODD; break;
    case 4: par = PARENB | CMSPAR; break;
    default: return EINVAL;
    }
    if (line->stop_bits != 0 && line->stop_bits != 2)
        return EINVAL;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= size | par | CLOCAL | CREAD;
    if (line->stop_bits == 2)
        tio.c_cflag |= CSTOPB;
    if (line->cts_flow)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    if (par)
        tio.c_iflag |= INPCK;
    if (cfsetispeed(&tio, sp) != 0 || cfsetospeed(&tio, sp) != 0)
        return errno ? errno : EINVAL;
    if (tcsetattr(h, TCSANOW, &tio) != 0)
        return errno ? errno : EIO;
    return 0;
}

int plat_serial_escape(plat_handle h, int code)
{
    int bits, req;
    switch (code) {
    case PLAT_SETRTS:
        bits = TIOCM_RTS;
        req = TIOCMBIS;
        break;
    case PLAT_CLRRTS:
        bits = TIOCM_RTS;
        req = TIOCMBIC;
        break;
    case PLAT_SETDTR:
        bits = TIOCM_DTR;
        req = TIOCMBIS;
        break;
    case PLAT_CLRDTR:
        bits = TIOCM_DTR;
        req = TIOCMBIC;
        break;
    default: return EINVAL;
    }
    if (ioctl(h, req, &bits) != 0)
        return errno ? errno : EIO;
    return 0;
}

int plat_serial_in_queue(plat_handle h, unsigned* count)
{
    int n = 0;
    *count = 0;
    if (ioctl(h, FIONREAD, &n) != 0)
        return errno ? errno : EIO;
    *count = n > 0 ? (unsigned)n : 0;
    return 0;
}

int plat_serial_out_queue(plat_handle h, unsigned* count)
{
    int n = 0;
    *count = 0;
    if (ioctl(h, TIOCOUTQ, &n) != 0)
        return errno ? errno : EIO;
    *count = n > 0 ? (unsigned)n : 0;
    // The driver's queue may be empty while the UART's FIFO and shift
    // register still send; a driver that can tell (pseudo-terminals
    // cannot) says so here, and the last byte counts as still queued.
    unsigned lsr = 0;
    if (ioctl(h, TIOCSERGETLSR, &lsr) == 0 && !(lsr & TIOCSER_TEMT))
        (*count)++;
    return 0;
}

int plat_serial_read(plat_handle h, unsigned char* buf, unsigned n, unsigned* done)
{
    *done = 0;
    while (*done < n) {
        ssize_t r = read(h, buf + *done, n - *done);
        if (r > 0) {
            *done += (unsigned)r;
            continue;
        }
        if (r == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// poll within `ms` in all: a signal or a slice's end goes on with what is
// left, an interrupt ends it. >0 ready, 0 time-out or interrupted, <0
// failed.
static int poll_bounded(struct pollfd* p, nfds_t n, unsigned ms)
{
    plat_deadline d;
    plat_deadline_start(&d, ms);
    for (;;) {
        unsigned slice = plat_wait_slice(&d);
        int r = poll(p, n, (int)slice);
        if (r > 0 || (r < 0 && errno != EINTR))
            return r;
        if (!slice || plat_wait_slice(&d) == 0)
            return 0;
    }
}

int plat_serial_write(plat_handle h, const unsigned char* buf, unsigned n, unsigned* done)
{
    plat_timeouts t = {0, 0, 0, 20, 20};
    int i = timeout_slot(h, 0);
    if (i >= 0)
        t = timeout_table[i].t;
    uint32_t wait = t.write_multiplier * n + t.write_constant;
    // A line that does not drain (flow control, a stalled reader) must not
    // hold the caller longer than the block and what is queued ahead of it
    // need on the line.
    unsigned queued = 0;
    plat_serial_out_queue(h, &queued);
    uint32_t line_bound = sys_line_time_ms(h, (unsigned long)n + queued, 500);
    if (line_bound < wait)
        wait = line_bound;
    plat_deadline d;
    plat_deadline_start(&d, wait);
    *done = 0;
    while (*done < n) {
        ssize_t w = write(h, buf + *done, n - *done);
        if (w > 0) {
            *done += (unsigned)w;
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        if (plat_deadline_expired(&d))
            return ETIMEDOUT;
        if (plat_wait_interrupted())
            return EINTR;
        struct pollfd p = {h, POLLOUT, 0};
        poll_bounded(&p, 1, (unsigned)plat_deadline_left(&d));
    }
    return 0;
}

int plat_serial_modem_status(plat_handle h, unsigned* bits)
{
    int m = 0;
    *bits = 0;
    if (ioctl(h, TIOCMGET, &m) != 0)
        return errno ? errno : EIO;
    if (m & TIOCM_CTS)
        *bits |= PLAT_MS_CTS;
    if (m & TIOCM_DSR)
        *bits |= PLAT_MS_DSR;
    if (m & TIOCM_RI)
        *bits |= PLAT_MS_RING;
    if (m & TIOCM_CD)
        *bits |= PLAT_MS_RLSD;
    return 0;
}

int plat_serial_event_mask(plat_handle, unsigned* mask)
{
    *mask = 0;
    return 0;
}

int plat_serial_rs485(plat_handle h, int on)
{
    struct serial_rs485 rs;
    memset(&rs, 0, sizeof rs);
    if (on)
        rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    return ioctl(h, TIOCSRS485, &rs) != 0 ? (errno ? errno : ENOTTY) : 0;
}

int plat_serial_line_errors(plat_handle h, plat_line_errors* e)
{
    struct serial_icounter_struct c;
    memset(&c, 0, sizeof c);
    if (ioctl(h, TIOCGICOUNT, &c) != 0)
        return errno ? errno : ENOTTY;
    unsigned long now[3] = {(unsigned long)c.parity, (unsigned long)c.frame,
                            (unsigned long)c.overrun + (unsigned long)c.buf_overrun};
    if (e->asked) {
        e->parity += now[0] - e->driver[0];
        e->framing += now[1] - e->driver[1];
        e->overrun += now[2] - e->driver[2];
    }
    memcpy(e->driver, now, sizeof now);
    e->asked = 1;
    return 0;
}

void plat_serial_close(plat_handle h)
{
    if (h < 0)
        return;
    int i = timeout_slot(h, 0);
    if (i >= 0)
        timeout_table[i].fd_plus_one = 0;
    // Bytes already handed over go out, as long as the line takes for them;
    // what a stalled line still holds then is dropped, or the close itself
    // would wait for it. Unread input is discarded.
    unsigned queued = sys_drain_output(h);
    tcflush(h, queued ? TCIOFLUSH : TCIFLUSH);
    // The next opener must not find the device still reserved.
    ioctl(h, TIOCNXCL);
    close(h);
}

int plat_serial_wait_input(plat_handle h, unsigned ms)
{
    if (h < 0)
        return -1;
    struct pollfd p = {h, POLLIN, 0};
    int r = poll_bounded(&p, 1, ms);
    if (r < 0 || (p.revents & (POLLERR | POLLNVAL)))
        return -1;
    if (r == 0)
        return 0;
    return (p.revents & POLLIN) ? 1 : -1;
}

int plat_serial_lost(plat_handle h)
{
    struct pollfd p = {h, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, 0);
    while (r < 0 && errno == EINTR);
    return h < 0 || r < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) ? 1 : 0;
}

// ---- the far end of a line ------------------------------------------------------

int plat_pty_open(plat_handle* master, char* slave_path, unsigned size)
{
    *master = PLAT_NO_HANDLE;
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno ? errno : EIO;
    char name[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        int e = errno ? errno : EIO;
        close(fd);
        return e;
    }
    if (strlen(name) >= size) {
        close(fd);
        return ENAMETOOLONG;
    }
    strcpy(slave_path, name);
    // The slave starts raw, so nothing is echoed or translated before the
    // program on it has set the line up.
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    *master = fd;
    return 0;
}

// ^Q for 0x11, as stty writes a control character; <undef> for none.
static void control_char(cc_t c, char* out, unsigned size)
{
    if (c == _POSIX_VDISABLE)
        snprintf(out, size, "<undef>");
    else if (c < 0x20 || c == 0x7F)
        snprintf(out, size, "^%c", c == 0x7F ? '?' : c + '@');
    else
        snprintf(out, size, "%c", c);
}

int plat_pty_settings(plat_handle master, char* text, unsigned size)
{
    plat_line line;
    struct termios tio;
    int rc = plat_serial_get_line(master, &line);
    if (rc)
        return rc;
    if (tcgetattr(master, &tio) != 0)
        return errno ? errno : EIO;
    char start[8], stop[8];
    control_char(tio.c_cc[VSTART], start, sizeof start);
    control_char(tio.c_cc[VSTOP], stop, sizeof stop);
    snprintf(text, size, "%lu %u%c%c start=%s stop=%s%s%s%s", line.baud, line.byte_size,
             "NOEMS"[line.parity % 5], line.stop_bits == 2 ? '2' : '1', start, stop,
             line.cts_flow ? " crtscts" : "", (tio.c_iflag & IXON) ? " ixon" : "",
             (tio.c_iflag & IXOFF) ? " ixoff" : "");
    return 0;
}

int plat_wait_readable(plat_handle h, int ms)
{
    struct pollfd p = {h, POLLIN, 0};
    int r = poll(&p, 1, ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    if (r == 0)
        return 0;
    // A hung-up terminal reads as ready with EOF, and says so with POLLERR;
    // a master whose slave has closed still hands out the bytes it holds.
    if (p.revents & (POLLERR | POLLNVAL))
        return -1;
    return (p.revents & POLLIN) ? 1 : -1;
}

int plat_symlink(const char* target, const char* link)
{
    return symlink(target, link) != 0 ? (errno ? errno : EIO) : 0;
}

int plat_remove(const char* path)
{
    return unlink(path) != 0 ? (errno ? errno : EIO) : 0;
}

static volatile sig_atomic_t termination_requests, termination_signal;

static void on_termination(int sig)
{
    if (!termination_signal)
        termination_signal = sig;
    termination_requests = termination_requests + 1;
}

void plat_catch_termination(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_termination;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int plat_termination_requested(void)
{
    return termination_requests;
}

int plat_termination_signal(void)
{
    return termination_signal;
}

// ---- TCP sockets -------------------------------------------------------------

static int errno_or(int fallback)
{
    return errno ? errno : fallback;
}

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
    int n = 0;
    *count = 0;
    if (ioctl(s, FIONREAD, &n) != 0)
        return errno_or(EIO);
    *count = n > 0 ? (unsigned)n : 0;
    return 0;
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
    int err = errno;
    if (rc == 0)
        return 0;
    *res = nullptr;
    // The resolver's own (negative) code, or errno where it says the system
    // failed.
    return rc != EAI_SYSTEM ? rc : err ? err : EIO;
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
            e = plat_wait_interrupted() ? EINTR : ETIMEDOUT;
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

// ---- the machine's serial devices -----------------------------------------

static char serial_root[PATH_MAX];

void plat_set_serial_root(const char* root)
{
    if (!root)
        root = "";
    snprintf(serial_root, sizeof serial_root, "%s", root);
}

static const char* current_serial_root(void)
{
    if (serial_root[0])
        return serial_root;
    const char* env = getenv("KP6_TTY_CLASS");
    return env && env[0] ? env : "/sys/class/tty";
}

// What serial core says of the UART behind a tty: 1 none (type 0), 0 one
// of some kind, -1 no such attribute (not a serial-core tty, e.g. ttyUSB).
static int has_no_uart(const char* dir, const char* entry)
{
    char path[PATH_MAX];
    int len = snprintf(path, sizeof path, "%s/%s/type", dir, entry);
    if (len < 0 || len >= (int)sizeof path)
        return -1;
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    int type = -1;
    int got = fscanf(f, "%d", &type);
    fclose(f);
    if (got != 1)
        return -1;
    return type == 0;
}

// Before kernel 6.5 the legacy 8250 ports sat on the platform bus, present
// or not; a tty there without a type attribute is taken for one of them.
static int on_platform_bus(const char* dir, const char* entry)
{
    char path[PATH_MAX], target[PATH_MAX];
    int len = snprintf(path, sizeof path, "%s/%s/device/subsystem", dir, entry);
    if (len < 0 || len >= (int)sizeof path)
        return 0;
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n < 0)
        return 0;
    target[n] = 0;
    const char* base = strrchr(target, '/');
    base = base ? base + 1 : target;
    return strcmp(base, "platform") == 0;
}

static int is_phantom(const char* dir, const char* entry)
{
    int none = has_no_uart(dir, entry);
    return none >= 0 ? none : on_platform_bus(dir, entry);
}

int plat_serial_key_open(plat_serial_key* key)
{
    int rc = serial_list_start(key);
    if (rc)
        return rc;
    const char* root = current_serial_root();
    if (DIR* d = opendir(root)) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            char dev[PATH_MAX];
            int len = snprintf(dev, sizeof dev, "%s/%s/device", root, e->d_name);
            if (len < 0 || len >= (int)sizeof dev)
                continue;
            if (access(dev, F_OK) != 0 || is_phantom(root, e->d_name))
                continue;
            serial_list_add(key, e->d_name, e->d_name);
        }
        closedir(d);
    }
    return 0;
}

// One attribute of a sysfs folder as plain text: its first line, when it
// fits `size` and holds no control byte; else empty.
static void read_attribute(const char* dir, const char* name, char* out, size_t size)
{
    out[0] = 0;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path)
        return;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t n = read(fd, out, size);
    close(fd);
    if (n <= 0 || (size_t)n >= size) {
        out[0] = 0;
        return;
    }
    out[n] = 0;
    out[strcspn(out, "\n")] = 0;
    for (char* c = out; *c; c++)
        if ((unsigned char)*c < 0x20 || *c == 0x7F) {
            out[0] = 0;
            return;
        }
}

int plat_serial_port_info(const char* name, plat_port_info* info)
{
    memset(info, 0, sizeof *info);
    if (strchr(name, '/'))
        return 1;  // a path or a network line: not one of the class's names
    char dir[PATH_MAX], real[PATH_MAX];
    if (snprintf(dir, sizeof dir, "%s/%s/device", current_serial_root(), name) >= (int)sizeof dir ||
        !realpath(dir, real))
        return 1;
    // The USB device is the first folder up that has a vendor's number.
    for (int up = 0; up < 6; up++) {
        char id[8];
        read_attribute(real, "idVendor", id, sizeof id);
        if (id[0]) {
            read_attribute(real, "manufacturer", info->manufacturer, sizeof info->manufacturer);
            read_attribute(real, "product", info->product, sizeof info->product);
            read_attribute(real, "serial", info->serial, sizeof info->serial);
            break;
        }
        char* slash = strrchr(real, '/');
        if (!slash || slash == real)
            break;
        *slash = 0;
    }
    const char* by_id = getenv("KP6_SERIAL_BY_ID");
    if (!by_id || !by_id[0])
        by_id = "/dev/serial/by-id";
    if (DIR* d = opendir(by_id)) {
        while (struct dirent* e = readdir(d)) {
            char link[PATH_MAX], target[PATH_MAX];
            if (e->d_name[0] == '.' ||
                snprintf(link, sizeof link, "%s/%s", by_id, e->d_name) >= (int)sizeof link)
                continue;
            ssize_t n = readlink(link, target, sizeof target - 1);
            if (n <= 0)
                continue;
            target[n] = 0;
            const char* base = strrchr(target, '/');
            if (strcmp(base ? base + 1 : target, name) == 0 && strlen(link) < sizeof info->stable) {
                strcpy(info->stable, link);
                break;
            }
        }
        closedir(d);
    }
    return !info->manufacturer[0] && !info->product[0] && !info->serial[0] && !info->stable[0];
}

// ---- time and threads ------------------------------------------------------

uint32_t plat_tick_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

void plat_sleep_ms(unsigned ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void plat_sleep_us(unsigned us)
{
    struct timespec ts;
    ts.tv_sec = us / 1000000;
    ts.tv_nsec = (long)(us % 1000000) * 1000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint64_t plat_perf_counter(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

uint64_t plat_perf_frequency(void)
{
    return 1000000000u;
}

static void fill_datetime(const struct tm* tm, long nsec, plat_datetime* t)
{
    t->year = tm->tm_year + 1900;
    t->month = tm->tm_mon + 1;
    t->day_of_week = tm->tm_wday;
    t->day = tm->tm_mday;
    t->hour = tm->tm_hour;
    t->minute = tm->tm_min;
    t->second = tm->tm_sec;
    t->millisecond = (int)(nsec / 1000000L);
}

void plat_local_time(plat_datetime* t)
{
    struct timespec ts;
    struct tm tm;
    clock_gettime(CLOCK_REALTIME, &ts);
    localtime_r(&ts.tv_sec, &tm);
    fill_datetime(&tm, ts.tv_nsec, t);
}

void plat_utc_time(plat_datetime* t)
{
    struct timespec ts;
    struct tm tm;
    clock_gettime(CLOCK_REALTIME, &ts);
    gmtime_r(&ts.tv_sec, &tm);
    fill_datetime(&tm, ts.tv_nsec, t);
}

int plat_set_local_time(const plat_datetime* t)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = t->year - 1900;
    tm.tm_mon = t->month - 1;
    tm.tm_mday = t->day;
    tm.tm_hour = t->hour;
    tm.tm_min = t->minute;
    tm.tm_sec = t->second;
    tm.tm_isdst = -1;
    time_t secs = mktime(&tm);
    // mktime rolls a day that does not exist (31 February) into the next
    // month; such a date is refused, not set.
    if (secs == (time_t)-1 || tm.tm_mday != t->day || tm.tm_mon != t->month - 1)
        return EINVAL;
    struct timespec ts;
    ts.tv_sec = secs;
    ts.tv_nsec = (long)t->millisecond * 1000000L;
    return clock_settime(CLOCK_REALTIME, &ts) != 0 ? errno_or(EPERM) : 0;
}

namespace {
struct thread_start {
    int (*fn)(void*);
    void* arg;
};
}  // namespace

static void* thread_trampoline(void* p)
{
    thread_start s = *(thread_start*)p;
    free(p);
    s.fn(s.arg);
    return nullptr;
}

int plat_thread_start(plat_thread* t, unsigned stack_size, int (*fn)(void*), void* arg)
{
    *t = nullptr;
    thread_start* s = (thread_start*)malloc(sizeof *s);
    pthread_t* tid = (pthread_t*)malloc(sizeof *tid);
    if (!s || !tid) {
        free(s);
        free(tid);
        return ENOMEM;
    }
    s->fn = fn;
    s->arg = arg;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // The system's minimum is far above what small thread bodies ask for;
    // sanitizer runtimes need room of their own as well.
    size_t size = stack_size < 65536 ? 65536 : stack_size;
    if (size < (size_t)PTHREAD_STACK_MIN)
        size = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, size);
    int rc = pthread_create(tid, &attr, thread_trampoline, s);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free(s);
        free(tid);
        return rc;
    }
    *t = tid;
    return 0;
}

int plat_thread_join(plat_thread t)
{
    if (!t)
        return EINVAL;
    pthread_t* tid = (pthread_t*)t;
    int rc = pthread_join(*tid, nullptr);
    free(tid);
    return rc;
}

int sys_thread_detached(int (*fn)(void*), void* arg)
{
    thread_start* s = (thread_start*)malloc(sizeof *s);
    if (!s)
        return ENOMEM;
    s->fn = fn;
    s->arg = arg;
    pthread_attr_t ta;
    pthread_attr_init(&ta);
    pthread_attr_setdetachstate(&ta, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    int rc = pthread_create(&t, &ta, thread_trampoline, s);
    pthread_attr_destroy(&ta);
    if (rc)
        free(s);
    return rc;
}
