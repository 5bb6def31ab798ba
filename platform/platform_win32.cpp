// Windows implementation of the platform layer (Win32 and Windows Sockets
// 2.2). Serial devices use no overlapped I/O.
#include "platform.h"
#include "serial_list.h"
#include "system.h"
#include "win32_rules.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <setupapi.h>
#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

#include "win32_text.h"
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

int last_error_or(DWORD fallback)
{
    DWORD e = GetLastError();
    return (int)(e ? e : fallback);
}

static HANDLE H(plat_handle h)
{
    return (HANDLE)h;
}

// UTF-8 of wide text, into `size` bytes. 0 or the system's code.
int to_utf8(const wchar_t* w, char* out, unsigned size)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, out, (int)size, nullptr, nullptr);
    return n > 0 ? 0 : last_error_or(ERROR_INSUFFICIENT_BUFFER);
}

// Wide text of UTF-8, allocated; null when memory could not be had.
wchar_t* to_wide(const char* s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    wchar_t* w = n > 0 ? (wchar_t*)malloc((size_t)n * sizeof *w) : nullptr;
    if (w && MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n) <= 0) {
        free(w);
        w = nullptr;
    }
    return w;
}

// ---- serial devices -------------------------------------------------------

int plat_serial_device_path(const char* name, char* path, unsigned size)
{
    int n = snprintf(path, size, "\\\\.\\%s", name);
    return n >= 0 && (unsigned)n < size ? 0 : ERROR_FILENAME_EXCED_RANGE;
}

// The device's settings as the tool runs it, made from what the driver
// reported: the fields the tool has no say on keep values the driver
// accepts. Raw 8 bits, no handshake, no XON/XOFF, every byte delivered, DTR
// and RTS dropped (an RS-485 converter must not hold the bus). The flow
// characters stay distinct, as drivers demand even with flow control off.
static void raw_line(DCB& d, DWORD rx_queue)
{
    d.DCBlength = sizeof d;
    if (!d.BaudRate)
        d.BaudRate = CBR_4800;  // the caller sets its rate next
    d.fBinary = 1;
    d.fParity = 1;
    d.fOutxCtsFlow = 0;
    d.fOutxDsrFlow = 0;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fDsrSensitivity = 0;
    d.fOutX = 0;
    d.fInX = 0;
    d.fErrorChar = 0;
    d.fNull = 0;
    d.fRtsControl = RTS_CONTROL_DISABLE;
    d.fAbortOnError = 0;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    DWORD room = rx_queue ? rx_queue : 4096;
    if (!d.XonLim || !d.XoffLim || d.XonLim > room || d.XoffLim > room) {
        d.XonLim = (WORD)(room / 2);
        d.XoffLim = (WORD)(room / 4);
    }
}

static DWORD input_buffer_size(HANDLE d)
{
    COMMPROP p;
    memset(&p, 0, sizeof p);
    return GetCommProperties(d, &p) ? p.dwCurrentRxQueue : 0;
}

static int get_comm_state(HANDLE d, DCB& dcb)
{
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(d, &dcb) ? 0 : last_error_or(ERROR_GEN_FAILURE);
}

int plat_serial_open(const char* path, plat_handle* h)
{
    *h = PLAT_NO_HANDLE;
    win32_call c = {};
    c.api = W32_CREATE_FILE;
    c.path = path;
    c.access = GENERIC_READ | GENERIC_WRITE;
    c.creation = OPEN_EXISTING;
    c.flags = FILE_ATTRIBUTE_NORMAL;
    int rc = win32_rule_broken(c);
    if (rc)
        return rc;
    HANDLE d = CreateFileA(path, c.access, c.share, nullptr, c.creation, c.flags, nullptr);
    if (d == INVALID_HANDLE_VALUE)
        return last_error_or(ERROR_FILE_NOT_FOUND);
    // A name that opens but is no working serial device (a mapping whose
    // target has gone) fails its first line call: find out now.
    DCB dcb;
    rc = get_comm_state(d, dcb);
    if (!rc) {
        DWORD rx_queue = input_buffer_size(d);
        raw_line(dcb, rx_queue);
        rc = win32_set_comm_state(d, dcb, rx_queue);
    }
    // Reads take what is queued and return; writes are bounded until the
    // caller sets its own time-outs.
    COMMTIMEOUTS t;
    memset(&t, 0, sizeof t);
    t.ReadIntervalTimeout = MAXDWORD;
    t.WriteTotalTimeoutMultiplier = 20;
    t.WriteTotalTimeoutConstant = 20;
    if (!rc)
        rc = win32_set_comm_timeouts(d, t);
    // What the line delivered before anyone listened answers nothing the
    // tool will ask.
    if (!rc) {
        c = {};
        c.api = W32_PURGE;
        c.code = PURGE_RXCLEAR;
        rc = win32_rule_broken(c);
        if (!rc && !PurgeComm(d, c.code))
            rc = last_error_or(ERROR_GEN_FAILURE);
    }
    if (rc) {
        CloseHandle(d);
        return rc;
    }
    *h = (plat_handle)d;
    return 0;
}

int plat_serial_set_timeouts(plat_handle h, const plat_timeouts* t)
{
    COMMTIMEOUTS c;
    c.ReadIntervalTimeout = t->read_interval;
    c.ReadTotalTimeoutMultiplier = t->read_multiplier;
    c.ReadTotalTimeoutConstant = t->read_constant;
    c.WriteTotalTimeoutMultiplier = t->write_multiplier;
    c.WriteTotalTimeoutConstant = t->write_constant;
    return win32_set_comm_timeouts(H(h), c);
}

int plat_serial_get_line(plat_handle h, plat_line* line)
{
    DCB dcb;
    int rc = get_comm_state(H(h), dcb);
    if (rc)
        return rc;
    line->baud = dcb.BaudRate;
    line->byte_size = dcb.ByteSize;
    line->parity = dcb.Parity;  // NOPARITY 0 ... SPACEPARITY 4, as ours
    line->stop_bits = dcb.StopBits == TWOSTOPBITS ? 2 : 0;
    line->cts_flow = dcb.fOutxCtsFlow ? 1 : 0;
    return 0;
}

int plat_serial_set_line(plat_handle h, const plat_line* line)
{
    if (line->byte_size < 5 || line->byte_size > 8 || line->parity > 4 ||
        (line->stop_bits != 0 && line->stop_bits != 2) || line->baud == 0)
        return ERROR_INVALID_PARAMETER;
    DCB dcb;
    int rc = get_comm_state(H(h), dcb);
    if (rc)
        return rc;
    dcb.BaudRate = (DWORD)line->baud;
    dcb.ByteSize = line->byte_size;
    dcb.Parity = line->parity;
    dcb.StopBits = line->stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutxCtsFlow = line->cts_flow ? 1 : 0;
    return win32_set_comm_state(H(h), dcb, input_buffer_size(H(h)));
}

int plat_serial_escape(plat_handle h, int code)
{
    // SETRTS 3, CLRRTS 4, SETDTR 5, CLRDTR 6: the system's own numbers.
    if (code < PLAT_SETRTS || code > PLAT_CLRDTR)
        return ERROR_INVALID_PARAMETER;
    DCB dcb;
    win32_call c = {};
    c.api = W32_ESCAPE;
    c.code = (DWORD)code;
    c.dcb = get_comm_state(H(h), dcb) == 0 ? &dcb : nullptr;
    int rc = win32_rule_broken(c);
    if (rc)
        return rc;
    return EscapeCommFunction(H(h), (DWORD)code) ? 0 : last_error_or(ERROR_GEN_FAILURE);
}

// The driver's direction control is not the Win32 serial interface's.
int plat_serial_rs485(plat_handle, int)
{
    return ERROR_NOT_SUPPORTED;
}

// ClearCommError reports each error once, to whichever call asks first:
// what the other calls are told is kept here, per device, for
// plat_serial_line_errors.
static struct {
    HANDLE h;
    unsigned long count[3];  // parity, framing, overrun
} line_errors[32];

static int line_errors_slot(HANDLE h, int make)
{
    for (int i = 0; i < 32; i++)
        if (line_errors[i].h == h)
            return i;
    for (int i = 0; make && i < 32; i++)
        if (!line_errors[i].h) {
            line_errors[i].h = h;
            return i;
        }
    return -1;
}

static int comm_status(plat_handle h, COMSTAT* stat)
{
    DWORD errors = 0;
    memset(stat, 0, sizeof *stat);
    if (!ClearCommError(H(h), &errors, stat)) {
        memset(stat, 0, sizeof *stat);
        return last_error_or(ERROR_GEN_FAILURE);
    }
    int i = errors & (CE_RXPARITY | CE_FRAME | CE_OVERRUN | CE_RXOVER) ? line_errors_slot(H(h), 1)
                                                                       : -1;
    if (i >= 0) {
        line_errors[i].count[0] += (errors & CE_RXPARITY) != 0;
        line_errors[i].count[1] += (errors & CE_FRAME) != 0;
        line_errors[i].count[2] += (errors & (CE_OVERRUN | CE_RXOVER)) != 0;
    }
    return 0;
}

int plat_serial_line_errors(plat_handle h, plat_line_errors* e)
{
    COMSTAT stat;
    int rc = comm_status(h, &stat);
    if (rc)
        return rc;
    int i = line_errors_slot(H(h), 0);
    if (i >= 0) {
        if (e->asked) {
            e->parity += line_errors[i].count[0];
            e->framing += line_errors[i].count[1];
            e->overrun += line_errors[i].count[2];
        }
        memset(line_errors[i].count, 0, sizeof line_errors[i].count);
    }
    e->asked = 1;
    return 0;
}

int plat_serial_in_queue(plat_handle h, unsigned* count)
{
    COMSTAT stat;
    int rc = comm_status(h, &stat);
    *count = stat.cbInQue;
    return rc;
}

int plat_serial_out_queue(plat_handle h, unsigned* count)
{
    COMSTAT stat;
    int rc = comm_status(h, &stat);
    *count = stat.cbOutQue;
    return rc;
}

int plat_serial_read(plat_handle h, unsigned char* buf, unsigned n, unsigned* done)
{
    *done = 0;
    // Asking for no more than is queued keeps ReadFile from waiting out
    // whatever read time-outs the device has.
    COMSTAT stat;
    int rc = comm_status(h, &stat);
    if (rc)
        return rc;
    DWORD want = stat.cbInQue < n ? stat.cbInQue : n;
    if (want == 0)
        return 0;
    DWORD got = 0;
    if ((rc = win32_io_rule(buf, want, &got)))
        return rc;
    if (!ReadFile(H(h), buf, want, &got, nullptr))
        return last_error_or(ERROR_READ_FAULT);
    *done = got;
    return 0;
}

int plat_serial_write(plat_handle h, const unsigned char* buf, unsigned n, unsigned* done)
{
    DWORD written = 0;
    *done = 0;
    // The device's write time-outs bound the call; what they cut short
    // comes back as a time-out.
    int rc = win32_io_rule(buf, n, &written);
    if (rc)
        return rc;
    BOOL ok = WriteFile(H(h), buf, n, &written, nullptr);
    *done = written;
    if (!ok)
        return last_error_or(ERROR_WRITE_FAULT);
    return written == n ? 0 : ERROR_TIMEOUT;
}

int plat_serial_modem_status(plat_handle h, unsigned* bits)
{
    DWORD m = 0;
    *bits = 0;
    if (!GetCommModemStatus(H(h), &m))
        return last_error_or(ERROR_GEN_FAILURE);
    if (m & MS_CTS_ON)
        *bits |= PLAT_MS_CTS;
    if (m & MS_DSR_ON)
        *bits |= PLAT_MS_DSR;
    if (m & MS_RING_ON)
        *bits |= PLAT_MS_RING;
    if (m & MS_RLSD_ON)
        *bits |= PLAT_MS_RLSD;
    return 0;
}

int plat_serial_event_mask(plat_handle h, unsigned* mask)
{
    DWORD m = 0;
    *mask = 0;
    if (!GetCommMask(H(h), &m))
        return last_error_or(ERROR_GEN_FAILURE);
    *mask = m;
    return 0;
}

void plat_serial_close(plat_handle h)
{
    if (h == PLAT_NO_HANDLE || h == nullptr)
        return;
    // What was handed to the driver goes out first, within a bound.
    sys_drain_output(h);
    int i = line_errors_slot(H(h), 0);
    if (i >= 0)
        memset(&line_errors[i], 0, sizeof line_errors[i]);
    CloseHandle(H(h));  // unread input goes with the handle
}

int plat_serial_wait_input(plat_handle h, unsigned ms)
{
    if (h == PLAT_NO_HANDLE || h == nullptr)
        return -1;
    plat_deadline d;
    plat_deadline_start(&d, ms);
    for (;;) {
        COMSTAT stat;
        if (comm_status(h, &stat) != 0)
            return -1;
        if (stat.cbInQue > 0)
            return 1;
        if (!plat_wait_slice(&d))
            return 0;
        Sleep(1);
    }
}

int plat_serial_lost(plat_handle h)
{
    // A device that was pulled out fails every query from then on.
    COMSTAT stat;
    return h == PLAT_NO_HANDLE || h == nullptr || comm_status(h, &stat) != 0 ? 1 : 0;
}

// ---- the far end of a line ------------------------------------------------------

int plat_pty_open(plat_handle* master, char*, unsigned)
{
    *master = PLAT_NO_HANDLE;
    return ERROR_NOT_SUPPORTED;
}

int plat_pty_settings(plat_handle, char* text, unsigned size)
{
    if (size)
        text[0] = 0;
    return ERROR_NOT_SUPPORTED;
}

int plat_wait_readable(plat_handle h, int ms)
{
    return plat_serial_wait_input(h, ms < 0 ? INFINITE : (unsigned)ms);
}

int plat_symlink(const char*, const char*)
{
    return ERROR_NOT_SUPPORTED;
}

int plat_remove(const char* path)
{
    wchar_t* w = to_wide(path);
    int rc = !w               ? ERROR_NOT_ENOUGH_MEMORY
             : DeleteFileW(w) ? 0
                              : last_error_or(ERROR_FILE_NOT_FOUND);
    free(w);
    return rc;
}

static volatile LONG termination_requests, termination_signal;

// Ctrl-C and Ctrl-Break count as an interrupt (2), closing the console or
// ending the session as a hang-up (1), as the POSIX signals would.
static BOOL WINAPI on_console_event(DWORD type)
{
    LONG sig = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? 2
               : type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT ||
                       type == CTRL_SHUTDOWN_EVENT
                   ? 1
                   : 0;
    if (!sig)
        return FALSE;
    InterlockedCompareExchange(&termination_signal, sig, 0);
    InterlockedIncrement(&termination_requests);
    // A closing console ends the process as soon as this returns: hold it
    // for the few seconds the system grants, while the program finishes
    // (its own exit ends this thread too).
    if (sig == 1)
        Sleep(4500);
    return TRUE;
}

void plat_catch_termination(void)
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int plat_termination_requested(void)
{
    return (int)InterlockedCompareExchange(&termination_requests, 0, 0);
}

int plat_termination_signal(void)
{
    return (int)InterlockedCompareExchange(&termination_signal, 0, 0);
}

// ---- TCP sockets -------------------------------------------------------------

static SOCKET S(plat_socket s)
{
    return (SOCKET)s;
}

static int wsa_error(void)
{
    int e = WSAGetLastError();
    return e ? e : WSAEINVAL;
}

int plat_net_start(void)
{
    WSADATA data;
    int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc == 0)
        InterlockedIncrement(&win32_net_starts);
    return rc;
}

void plat_net_stop(void)
{
    if (win32_socket_rule(W32_WSA_CLEANUP))
        return;
    WSACleanup();
    InterlockedDecrement(&win32_net_starts);
}

int plat_tcp_socket(plat_socket* s)
{
    *s = PLAT_NO_SOCKET;
    int rc = win32_socket_rule(W32_SOCKET);
    if (rc)
        return rc;
    SOCKET k = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (k == INVALID_SOCKET) {
        *s = PLAT_NO_SOCKET;
        return wsa_error();
    }
    // Programs the tool starts do not inherit its sockets.
    SetHandleInformation((HANDLE)k, HANDLE_FLAG_INHERIT, 0);
    *s = (plat_socket)k;
    return 0;
}

int plat_tcp_nonblocking(plat_socket s)
{
    u_long on = 1;
    return ioctlsocket(S(s), FIONBIO, &on) != 0 ? wsa_error() : 0;
}

static int set_int_option(plat_socket s, int level, int option)
{
    int one = 1;
    return setsockopt(S(s), level, option, (const char*)&one, sizeof one) != 0 ? wsa_error() : 0;
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
    // No SO_REUSEADDR here: on Windows it would let a second program take
    // a port another one listens on.
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    return bind(S(s), (struct sockaddr*)&a, sizeof a) != 0 ? wsa_error() : 0;
}

int plat_tcp_listen(plat_socket s, int backlog)
{
    return listen(S(s), backlog) != 0 ? wsa_error() : 0;
}

int plat_tcp_accept(plat_socket s, plat_socket* client, unsigned char addr[4])
{
    struct sockaddr_in a;
    int len = sizeof a;
    // The accepted socket is non-blocking like its listener.
    SOCKET c = accept(S(s), (struct sockaddr*)&a, &len);
    if (c == INVALID_SOCKET) {
        *client = PLAT_NO_SOCKET;
        return wsa_error();
    }
    SetHandleInformation((HANDLE)c, HANDLE_FLAG_INHERIT, 0);
    memcpy(addr, &a.sin_addr.s_addr, 4);
    *client = (plat_socket)c;
    return 0;
}

int plat_tcp_local_port(plat_socket s, unsigned short* port)
{
    struct sockaddr_in a;
    int len = sizeof a;
    if (getsockname(S(s), (struct sockaddr*)&a, &len) != 0)
        return wsa_error();
    *port = ntohs(a.sin_port);
    return 0;
}

int plat_tcp_available(plat_socket s, unsigned* count)
{
    u_long n = 0;
    *count = 0;
    if (ioctlsocket(S(s), FIONREAD, &n) != 0)
        return wsa_error();
    *count = (unsigned)n;
    return 0;
}

int plat_tcp_recv(plat_socket s, unsigned char* buf, unsigned n, unsigned* got)
{
    *got = 0;
    int rc = win32_socket_rule(W32_SEND_RECV, buf, n);
    if (rc)
        return rc;
    int r = recv(S(s), (char*)buf, (int)n, 0);
    if (r == SOCKET_ERROR)
        return wsa_error();
    *got = (unsigned)r;
    return 0;
}

int plat_tcp_send(plat_socket s, const unsigned char* buf, unsigned n, unsigned* sent)
{
    *sent = 0;
    int rc = win32_socket_rule(W32_SEND_RECV, buf, n);
    if (rc)
        return rc;
    int r = send(S(s), (const char*)buf, (int)n, 0);
    if (r == SOCKET_ERROR)
        return wsa_error();
    *sent = (unsigned)r;
    return 0;
}

static int wait_sockets(const plat_socket* s, int count, unsigned ms, bool writing)
{
    fd_set set;
    FD_ZERO(&set);
    for (int i = 0; i < count && set.fd_count < FD_SETSIZE; i++)
        if (s[i] != PLAT_NO_SOCKET)
            FD_SET(S(s[i]), &set);
    // In slices, so that an interrupt (which wakes no select) is seen.
    plat_deadline d;
    plat_deadline_start(&d, ms);
    const fd_set all = set;
    for (;;) {
        unsigned slice = plat_wait_slice(&d);
        if (all.fd_count == 0) {
            if (!slice)
                return 0;
            Sleep(slice);  // select refuses empty sets here
            continue;
        }
        struct timeval tv;
        tv.tv_sec = 0;
        tv.tv_usec = (long)slice * 1000;
        if (win32_socket_rule(W32_SELECT, nullptr, all.fd_count, &tv))
            return 1;  // as a failed socket: the caller's next call reports it
        set = all;
        fd_set* r = writing ? nullptr : &set;
        fd_set* w = writing ? &set : nullptr;
        int ready = select(0, r, w, nullptr, &tv);
        if (ready != 0 || !slice)
            return ready > 0 ? 1 : 0;
    }
}

int plat_tcp_wait_readable(const plat_socket* s, int count, unsigned ms)
{
    return wait_sockets(s, count, ms, false);
}

int plat_tcp_wait_writable(const plat_socket* s, int count, unsigned ms)
{
    return wait_sockets(s, count, ms, true);
}

void plat_tcp_close(plat_socket s)
{
    if (s == PLAT_NO_SOCKET || win32_socket_rule(W32_SOCKET))
        return;
    shutdown(S(s), SD_BOTH);
    closesocket(S(s));
}

// ---- connecting: this system's part of tcp_connect.cpp ---------------------------

int sys_lookup(const char* host, const char* service, int literal, struct addrinfo** res)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = literal ? AI_NUMERICHOST : 0;
    *res = nullptr;
    int rc = getaddrinfo(host, service, &hints, res);
    if (rc)
        *res = nullptr;
    return rc;
}

struct addrinfo* sys_next_address(const struct addrinfo* a)
{
    return a->ai_next;
}

void sys_free_addresses(struct addrinfo* res)
{
    freeaddrinfo(res);
}

int sys_connect_one(const struct addrinfo* a, unsigned ms, plat_socket* s)
{
    SOCKET k = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (k == INVALID_SOCKET)
        return wsa_error();
    SetHandleInformation((HANDLE)k, HANDLE_FLAG_INHERIT, 0);
    u_long on = 1;
    int e = 0;
    if (ioctlsocket(k, FIONBIO, &on) != 0)
        e = wsa_error();
    else if (connect(k, a->ai_addr, (int)a->ai_addrlen) != 0)
        e = wsa_error();
    if (e == WSAEWOULDBLOCK) {
        fd_set w, x;
        plat_deadline d;
        plat_deadline_start(&d, ms);
        int r = 0;
        for (unsigned slice = 1; r == 0 && slice;) {
            // In slices, so that an interrupt (which wakes no select) is seen.
            slice = plat_wait_slice(&d);
            FD_ZERO(&w);
            FD_ZERO(&x);
            FD_SET(k, &w);
            FD_SET(k, &x);
            struct timeval tv;
            tv.tv_sec = 0;
            tv.tv_usec = (long)slice * 1000;
            r = select(0, nullptr, &w, &x, &tv);
        }
        if (r == 0) {
            e = plat_wait_interrupted() ? WSAEINTR : WSAETIMEDOUT;
        } else if (r < 0) {
            e = wsa_error();
        } else {
            int len = sizeof e;
            e = 0;
            if (getsockopt(k, SOL_SOCKET, SO_ERROR, (char*)&e, &len) != 0)
                e = wsa_error();
            else if (!e && FD_ISSET(k, &x))
                e = WSAECONNREFUSED;
        }
    }
    if (e) {
        closesocket(k);
        return e;
    }
    *s = (plat_socket)k;
    return 0;
}

int plat_tcp_quickack(plat_socket)
{
    return 0;
}

int plat_tcp_ack_each(plat_socket s)
{
    // mstcpip.h's SIO_TCP_SET_ACK_FREQUENCY, which MinGW's headers lack:
    // acknowledge after this many segments instead of the delayed timer.
    const DWORD set_ack_frequency = 0x98000017, every = 1;
    DWORD unused = 0;
    int rc = win32_socket_rule(W32_SOCKET);
    if (rc)
        return rc;
    return WSAIoctl(S(s), set_ack_frequency, (void*)&every, sizeof every, nullptr, 0, &unused,
                    nullptr, nullptr) != 0
               ? wsa_error()
               : 0;
}

const sys_error_codes sys_errors = {
    WSAETIMEDOUT,   ERROR_INVALID_NAME,         WSAEPROTONOSUPPORT,      WSAECONNRESET,
    WSAEWOULDBLOCK, ERROR_FILENAME_EXCED_RANGE, ERROR_NOT_ENOUGH_MEMORY, WSAEINTR};

// The socket library's codes in the words POSIX systems give them (Wine's
// message table has none of them, and the system's own words differ from
// one version to the next).
static const struct {
    int code;
    const char* text;
} socket_texts[] = {
    {WSAEINTR, "Interrupted system call"},
    {WSAEBADF, "Bad file descriptor"},
    {WSAEACCES, "Permission denied"},
    {WSAEFAULT, "Bad address"},
    {WSAEINVAL, "Invalid argument"},
    {WSAEMFILE, "Too many open files"},
    {WSAEWOULDBLOCK, "Resource temporarily unavailable"},
    {WSAEINPROGRESS, "Operation now in progress"},
    {WSAEALREADY, "Operation already in progress"},
    {WSAENOTSOCK, "Socket operation on non-socket"},
    {WSAEMSGSIZE, "Message too long"},
    {WSAEPROTONOSUPPORT, "Protocol not supported"},
    {WSAEOPNOTSUPP, "Operation not supported"},
    {WSAEAFNOSUPPORT, "Address family not supported by protocol"},
    {WSAEADDRINUSE, "Address already in use"},
    {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
    {WSAENETDOWN, "Network is down"},
    {WSAENETUNREACH, "Network is unreachable"},
    {WSAENETRESET, "Network dropped connection on reset"},
    {WSAECONNABORTED, "Software caused connection abort"},
    {WSAECONNRESET, "Connection reset by peer"},
    {WSAENOBUFS, "No buffer space available"},
    {WSAEISCONN, "Transport endpoint is already connected"},
    {WSAENOTCONN, "Transport endpoint is not connected"},
    {WSAESHUTDOWN, "Cannot send after transport endpoint shutdown"},
    {WSAETIMEDOUT, "Connection timed out"},
    {WSAECONNREFUSED, "Connection refused"},
    {WSAEHOSTDOWN, "Host is down"},
    {WSAEHOSTUNREACH, "No route to host"},
    {WSASYSNOTREADY, "Network subsystem is unavailable"},
    {WSANOTINITIALISED, "Network not started"},
    {WSAHOST_NOT_FOUND, "Name or service not known"},
    {WSATRY_AGAIN, "Temporary failure in name resolution"},
    {WSANO_RECOVERY, "Non-recoverable failure in name resolution"},
    {WSANO_DATA, "No address associated with hostname"},
};

void plat_error_text(int code, char* out, unsigned size)
{
    if (!size)
        return;
    for (const auto& t : socket_texts)
        if (t.code == code) {
            snprintf(out, size, "%s", t.text);
            return;
        }
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             (DWORD)code, 0, out, size, nullptr);
    // The system's texts end in CR LF and a full stop; a line of its own is
    // the caller's to make.
    while (n > 0 && (out[n - 1] == '\r' || out[n - 1] == '\n' || out[n - 1] == '.'))
        out[--n] = 0;
    if (n == 0)
        snprintf(out, size, "error %d", code);
}

int plat_error_kind(int code)
{
    static const struct {
        int code, kind;
    } kinds[] = {
        {WSAECONNREFUSED, PLAT_ERR_REFUSED},      {WSAETIMEDOUT, PLAT_ERR_TIMED_OUT},
        {ERROR_SEM_TIMEOUT, PLAT_ERR_TIMED_OUT},  {WSAHOST_NOT_FOUND, PLAT_ERR_NO_NAME},
        {WSANO_DATA, PLAT_ERR_NO_NAME},           {WSAECONNRESET, PLAT_ERR_RESET},
        {WSAECONNABORTED, PLAT_ERR_RESET},        {WSAEHOSTUNREACH, PLAT_ERR_UNREACHABLE},
        {WSAENETUNREACH, PLAT_ERR_UNREACHABLE},   {ERROR_FILE_NOT_FOUND, PLAT_ERR_NO_FILE},
        {ERROR_PATH_NOT_FOUND, PLAT_ERR_NO_FILE}, {ERROR_DEV_NOT_EXIST, PLAT_ERR_NO_DEVICE},
        {ERROR_ACCESS_DENIED, PLAT_ERR_ACCESS},   {ERROR_SHARING_VIOLATION, PLAT_ERR_BUSY},
        {ERROR_GEN_FAILURE, PLAT_ERR_IO},         {ERROR_BAD_COMMAND, PLAT_ERR_IO}};
    for (const auto& k : kinds)
        if (k.code == code)
            return k.kind;
    return PLAT_ERR_OTHER;
}

// ---- the machine's serial devices -----------------------------------------

static const char REG_SERIAL_PATH[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// A test's own list: a key of that name under the current user, whose
// values stand for the machine's. Empty: the machine's own key.
static char serial_root[MAX_PATH];

void plat_set_serial_root(const char* root)
{
    snprintf(serial_root, sizeof serial_root, "%s", root ? root : "");
}

static void read_registry(plat_serial_key* key)
{
    // Current systems (major version above 4) list their ports under one
    // key; the probe of older ones is not needed by any system this builds
    // for, so both read the same key.
    OSVERSIONINFOA v;
    memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;  // 148
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&v);
#pragma GCC diagnostic pop
    HKEY root = serial_root[0] ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    const char* path = serial_root[0] ? serial_root : REG_SERIAL_PATH;
    HKEY k;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return;
    for (DWORD n = 0; key->count < SERIAL_LIST_MAX; n++) {
        char name[SERIAL_TEXT + 1];
        unsigned char data[SERIAL_TEXT + 1];
        DWORD name_size = SERIAL_TEXT, data_size = SERIAL_TEXT, type = 0;
        LONG r = RegEnumValueA(k, n, name, &name_size, nullptr, &type, data, &data_size);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || type != REG_SZ) {
            serial_list_add(key, "", "");  // keeps its index, as a value too long
            continue;
        }
        const DWORD limit = SERIAL_TEXT;
        name[name_size < limit ? name_size : limit] = 0;
        data[data_size < limit ? data_size : limit] = 0;  // may lack its NUL
        serial_list_add(key, name, (const char*)data);
    }
    RegCloseKey(k);
}

int plat_serial_key_open(plat_serial_key* key)
{
    // Names a technician adds by hand (virtual ports the key lacks) come
    // first.
    int rc = serial_list_start(key);
    if (rc)
        return rc;
    read_registry(key);
    return 0;
}

// The Ports class of devices ({4D36E978-E325-11CE-BFC1-08002BE10318}).
static const GUID ports_class = {0x4D36E978,
                                 0xE325,
                                 0x11CE,
                                 {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// One text property of a device, as UTF-8; empty when it has none.
static void device_text(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property, char* out,
                        unsigned size)
{
    wchar_t w[256];
    DWORD type = 0;
    out[0] = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, dev, property, &type, (BYTE*)w,
                                           sizeof w - sizeof w[0], nullptr) ||
        type != REG_SZ)
        return;
    w[sizeof w / sizeof w[0] - 1] = 0;
    if (to_utf8(w, out, size) != 0)
        out[0] = 0;
}

// The device of the Ports class whose PortName is `name`: its friendly name
// and maker. Windows keeps no stable name beside the COM name.
int plat_serial_port_info(const char* name, plat_port_info* info)
{
    memset(info, 0, sizeof *info);
    wchar_t* want = to_wide(name);
    if (!want)
        return 1;
    HDEVINFO set = SetupDiGetClassDevsW(&ports_class, nullptr, nullptr, DIGCF_PRESENT);
    int found = 0;
    for (DWORD i = 0; set != INVALID_HANDLE_VALUE && !found; i++) {
        SP_DEVINFO_DATA dev = {};
        dev.cbSize = sizeof dev;
        if (!SetupDiEnumDeviceInfo(set, i, &dev))
            break;
        HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        wchar_t port[64];
        DWORD type = 0, n = sizeof port - sizeof port[0];
        if (RegQueryValueExW(key, L"PortName", nullptr, &type, (BYTE*)port, &n) == ERROR_SUCCESS &&
            type == REG_SZ) {
            port[n / sizeof port[0]] = 0;
            found = _wcsicmp(port, want) == 0;
        }
        RegCloseKey(key);
        if (found) {
            device_text(set, &dev, SPDRP_FRIENDLYNAME, info->product, sizeof info->product);
            device_text(set, &dev, SPDRP_MFG, info->manufacturer, sizeof info->manufacturer);
        }
    }
    if (set != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(set);
    free(want);
    return !info->product[0] && !info->manufacturer[0];
}

// ---- time and threads ------------------------------------------------------

// The performance counter: the tick count moves in 16 ms steps, too coarse
// for 1 ms timers.
static LONGLONG perf_frequency(void)
{
    static LONGLONG f;
    if (!f) {
        LARGE_INTEGER q;
        f = QueryPerformanceFrequency(&q) && q.QuadPart > 0 ? q.QuadPart : -1;
    }
    return f;
}

uint32_t plat_tick_ms(void)
{
    LONGLONG f = perf_frequency();
    LARGE_INTEGER c;
    if (f <= 0 || !QueryPerformanceCounter(&c))
        return GetTickCount();
    unsigned long long v = (unsigned long long)c.QuadPart, uf = (unsigned long long)f;
    return (uint32_t)((v / uf) * 1000ULL + (v % uf) * 1000ULL / uf);
}

// Sleeps are as short as asked only with the system timer at 1 ms; the
// process keeps that setting until it ends.
static void fine_timer(void)
{
    static volatile LONG asked;
    if (!InterlockedExchange(&asked, 1))
        timeBeginPeriod(1);
}

void plat_sleep_ms(unsigned ms)
{
    fine_timer();
    Sleep(ms);
}

void plat_sleep_us(unsigned us)
{
    fine_timer();
    Sleep((us + 999) / 1000);
}

uint64_t plat_perf_counter(void)
{
    LARGE_INTEGER c;
    return QueryPerformanceCounter(&c) ? (uint64_t)c.QuadPart : (uint64_t)GetTickCount();
}

uint64_t plat_perf_frequency(void)
{
    LONGLONG f = perf_frequency();
    return f > 0 ? (uint64_t)f : 1000u;
}

static void fill_datetime(const SYSTEMTIME& s, plat_datetime* t)
{
    t->year = s.wYear;
    t->month = s.wMonth;
    t->day_of_week = s.wDayOfWeek;
    t->day = s.wDay;
    t->hour = s.wHour;
    t->minute = s.wMinute;
    t->second = s.wSecond;
    t->millisecond = s.wMilliseconds;
}

void plat_local_time(plat_datetime* t)
{
    SYSTEMTIME s;
    GetLocalTime(&s);
    fill_datetime(s, t);
}

void plat_utc_time(plat_datetime* t)
{
    SYSTEMTIME s;
    GetSystemTime(&s);
    fill_datetime(s, t);
}

int plat_set_local_time(const plat_datetime* t)
{
    SYSTEMTIME s;
    s.wYear = (WORD)t->year;
    s.wMonth = (WORD)t->month;
    s.wDayOfWeek = (WORD)t->day_of_week;
    s.wDay = (WORD)t->day;
    s.wHour = (WORD)t->hour;
    s.wMinute = (WORD)t->minute;
    s.wSecond = (WORD)t->second;
    s.wMilliseconds = (WORD)t->millisecond;
    return SetLocalTime(&s) ? 0 : last_error_or(ERROR_PRIVILEGE_NOT_HELD);
}

namespace {
struct thread_start {
    int (*fn)(void*);
    void* arg;
};
}  // namespace

static DWORD WINAPI thread_trampoline(LPVOID p)
{
    thread_start s = *(thread_start*)p;
    free(p);
    DWORD code = (DWORD)s.fn(s.arg);
    return code == STILL_ACTIVE ? 0 : code;  // the join tells them apart
}

int plat_thread_start(plat_thread* t, unsigned stack_size, int (*fn)(void*), void* arg)
{
    *t = nullptr;
    thread_start* s = (thread_start*)malloc(sizeof *s);
    if (!s)
        return ERROR_NOT_ENOUGH_MEMORY;
    s->fn = fn;
    s->arg = arg;
    DWORD id;
    // The system rounds a small stack up to its own minimum.
    HANDLE h = CreateThread(nullptr, stack_size, thread_trampoline, s, 0, &id);
    if (!h) {
        int e = last_error_or(ERROR_NOT_ENOUGH_MEMORY);
        free(s);
        return e;
    }
    *t = (plat_thread)h;
    return 0;
}

int plat_thread_join(plat_thread t)
{
    if (!t)
        return ERROR_INVALID_HANDLE;
    DWORD code = STILL_ACTIVE;
    int rc = 0;
    while (GetExitCodeThread((HANDLE)t, &code) && code == STILL_ACTIVE)
        Sleep(1);
    if (code == STILL_ACTIVE)
        rc = last_error_or(ERROR_INVALID_HANDLE);
    CloseHandle((HANDLE)t);
    return rc;
}

int sys_thread_detached(int (*fn)(void*), void* arg)
{
    plat_thread t;
    int rc = plat_thread_start(&t, 0, fn, arg);
    if (rc == 0)
        CloseHandle((HANDLE)t);
    return rc;
}
