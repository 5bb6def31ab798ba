// Linux: serial devices and pseudo-terminals (the far end of a line the
// simulator and the tests hold).
#include "platform.h"
#include "posix_util.h"
#include "system.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
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

int plat_serial_exists(const char* name)
{
    struct stat st;
    if (stat(name, &st) != 0)
        return errno_or(ENOENT);
    return S_ISCHR(st.st_mode) ? 0 : -1;
}

int plat_serial_open(const char* path, plat_handle* h)
{
    *h = PLAT_NO_HANDLE;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno_or(EIO);
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
        return errno_or(EIO);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(h, TCSANOW, &tio) != 0)
        return errno_or(EIO);
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
        return errno_or(EIO);
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
        return errno_or(EIO);
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
        return errno_or(EINVAL);
    if (tcsetattr(h, TCSANOW, &tio) != 0)
        return errno_or(EIO);
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
        return errno_or(EIO);
    return 0;
}

int plat_serial_in_queue(plat_handle h, unsigned* count)
{
    return ioctl_count(h, FIONREAD, count);
}

int plat_serial_out_queue(plat_handle h, unsigned* count)
{
    int rc = ioctl_count(h, TIOCOUTQ, count);
    if (rc)
        return rc;
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
        int end = plat_wait_end(&d);
        if (end)
            return end;
        struct pollfd p = {h, POLLOUT, 0};
        poll_bounded(&p, 1, (unsigned)plat_deadline_left(&d));
    }
    return 0;
}

int plat_serial_modem_status(plat_handle h, unsigned* bits)
{
    static const unsigned long lines[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD};
    int m = 0;
    *bits = 0;
    if (ioctl(h, TIOCMGET, &m) != 0)
        return errno_or(EIO);
    *bits = sys_modem_bits((unsigned long)m, lines);
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
    return ioctl(h, TIOCSRS485, &rs) != 0 ? errno_or(ENOTTY) : 0;
}

int plat_serial_line_errors(plat_handle h, plat_line_errors* e)
{
    struct serial_icounter_struct c;
    memset(&c, 0, sizeof c);
    if (ioctl(h, TIOCGICOUNT, &c) != 0)
        return errno_or(ENOTTY);
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
    unsigned queued = plat_serial_drain(h);
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
        return errno_or(EIO);
    char name[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        int e = errno_or(EIO);
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
        return errno_or(EIO);
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
