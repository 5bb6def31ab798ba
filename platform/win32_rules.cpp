#include "win32_rules.h"
#include "win32_text.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

volatile LONG win32_net_starts;

enum { RULE_COUNT = 23 };

// Names the rule on standard error the first time it is broken.
static int broken(int rule, const char* call, const char* what, int code)
{
    static volatile LONG told[RULE_COUNT];
    if (rule >= 0 && rule < RULE_COUNT && !InterlockedExchange(&told[rule], 1)) {
        fprintf(stderr, "kp6: %s refused by the layer's own check: %s\n", call, what);
        fflush(stderr);
    }
    return code;
}

static int check_dcb(const DCB& d, DWORD rx_queue)
{
    const char* call = "SetCommState";
    const int bad = ERROR_INVALID_PARAMETER;
    if (d.DCBlength != sizeof(DCB))
        return broken(0, call, "DCBlength is not the size of the record", bad);
    if (!d.fBinary)
        return broken(1, call, "fBinary must be TRUE", bad);
    if (d.XonChar == d.XoffChar)
        return broken(2, call, "XonChar equals XoffChar", bad);
    if (d.BaudRate == 0)
        return broken(3, call, "BaudRate is 0", bad);
    if (d.ByteSize < 5 || d.ByteSize > 8)
        return broken(4, call, "ByteSize is not 5 to 8", bad);
    if (d.Parity > SPACEPARITY)
        return broken(5, call, "Parity is not NOPARITY to SPACEPARITY", bad);
    if (d.StopBits > TWOSTOPBITS)
        return broken(6, call, "StopBits is not ONESTOPBIT to TWOSTOPBITS", bad);
    if ((d.ByteSize == 5 && d.StopBits == TWOSTOPBITS) ||
        (d.ByteSize > 5 && d.StopBits == ONE5STOPBITS))
        return broken(7, call, "5 data bits with 2 stop bits, or 6 to 8 with 1.5", bad);
    if (d.fDtrControl > DTR_CONTROL_HANDSHAKE)
        return broken(8, call, "fDtrControl is not a DTR_CONTROL_ value", bad);
    // The driver keeps both limits inside its input buffer.
    if (rx_queue && ((DWORD)d.XonLim > rx_queue || (DWORD)d.XoffLim > rx_queue))
        return broken(9, call, "XonLim or XoffLim exceeds the input buffer", bad);
    return 0;
}

static int check_timeouts(const COMMTIMEOUTS& t)
{
    const char* call = "SetCommTimeouts";
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant == MAXDWORD)
        return broken(10, call, "all three read time-outs are MAXDWORD", ERROR_INVALID_PARAMETER);
    // Without a total time-out a write waits as long as flow control holds
    // the line: the layer promises bounded writes.
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0)
        return broken(11, call, "writes left without a time-out", ERROR_INVALID_PARAMETER);
    return 0;
}

static int check_escape(DWORD code, const DCB* dcb)
{
    const char* call = "EscapeCommFunction";
    const int bad = ERROR_INVALID_PARAMETER;
    if (code < SETXOFF || code == 7 || code > CLRBREAK)
        return broken(12, call, "not an escape code the function knows", bad);
    // A line the driver drives by handshake is not the caller's to switch.
    if (dcb && (code == SETRTS || code == CLRRTS) &&
        (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE || dcb->fRtsControl == RTS_CONTROL_TOGGLE))
        return broken(13, call, "RTS switched while the driver controls it", bad);
    if (dcb && (code == SETDTR || code == CLRDTR) && dcb->fDtrControl == DTR_CONTROL_HANDSHAKE)
        return broken(14, call, "DTR switched while the driver controls it", bad);
    return 0;
}

int win32_rule_broken(const win32_call& c)
{
    const int bad = ERROR_INVALID_PARAMETER;
    switch (c.api) {
    case W32_CREATE_FILE:
        // Serial devices: the device namespace, exclusive, existing, no
        // template; this layer's reads and writes are not overlapped.
        if (!c.path || strncmp(c.path, "\\\\.\\", 4) != 0 || strlen(c.path) >= MAX_PATH)
            return broken(15, "CreateFileA", "not a device path below MAX_PATH", bad);
        if (c.share != 0 || c.creation != OPEN_EXISTING || c.template_given ||
            (c.flags & FILE_FLAG_OVERLAPPED) || c.access != (GENERIC_READ | GENERIC_WRITE))
            return broken(16, "CreateFileA",
                          "a communications device opens exclusive, OPEN_EXISTING, no "
                          "template, not overlapped",
                          bad);
        return 0;
    case W32_SET_COMM_STATE: return c.dcb ? check_dcb(*c.dcb, c.rx_queue) : bad;
    case W32_SET_TIMEOUTS: return c.timeouts ? check_timeouts(*c.timeouts) : bad;
    case W32_ESCAPE: return check_escape(c.code, c.dcb);
    case W32_PURGE:
        if (c.code == 0 ||
            (c.code & ~(DWORD)(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)))
            return broken(17, "PurgeComm", "flags other than PURGE_ values", bad);
        return 0;
    case W32_READ_WRITE:
        // Without an OVERLAPPED record the count pointer is required.
        if (c.overlapped_given || !c.done || (c.size && !c.buffer) || c.size > MAXDWORD)
            return broken(18, "ReadFile/WriteFile",
                          "a synchronous call needs its count pointer and a buffer", bad);
        return 0;
    case W32_WSA_CLEANUP:
    case W32_SOCKET:
        if (InterlockedCompareExchange(&win32_net_starts, 0, 0) <= 0)
            return broken(19, "Windows Sockets", "used without a WSAStartup in force",
                          WSANOTINITIALISED);
        return 0;
    case W32_SEND_RECV:
        if (InterlockedCompareExchange(&win32_net_starts, 0, 0) <= 0)
            return broken(19, "Windows Sockets", "used without a WSAStartup in force",
                          WSANOTINITIALISED);
        if (c.size > INT_MAX || (c.size && !c.buffer))
            return broken(20, "send/recv", "length beyond an int, or no buffer", WSAEINVAL);
        return 0;
    case W32_SELECT:
        if (c.size == 0 || c.size > FD_SETSIZE)
            return broken(21, "select", "a set of no sockets or more than FD_SETSIZE", WSAEINVAL);
        if (c.timeout &&
            (c.timeout->tv_sec < 0 || c.timeout->tv_usec < 0 || c.timeout->tv_usec >= 1000000))
            return broken(22, "select", "time-out out of range", WSAEINVAL);
        return 0;
    }
    return bad;
}

// ---- the checked calls -------------------------------------------------------

int win32_set_comm_state(HANDLE d, DCB& dcb, DWORD rx_queue)
{
    win32_call c = {};
    c.api = W32_SET_COMM_STATE;
    c.dcb = &dcb;
    c.rx_queue = rx_queue;
    int rc = win32_rule_broken(c);
    if (rc)
        return rc;
    return SetCommState(d, &dcb) ? 0 : last_error_or(ERROR_GEN_FAILURE);
}

int win32_set_comm_timeouts(HANDLE d, COMMTIMEOUTS& t)
{
    win32_call c = {};
    c.api = W32_SET_TIMEOUTS;
    c.timeouts = &t;
    int rc = win32_rule_broken(c);
    if (rc)
        return rc;
    return SetCommTimeouts(d, &t) ? 0 : last_error_or(ERROR_GEN_FAILURE);
}

int win32_io_rule(const void* buf, unsigned long long n, const DWORD* done)
{
    win32_call c = {};
    c.api = W32_READ_WRITE;
    c.buffer = buf;
    c.size = n;
    c.done = done;
    return win32_rule_broken(c);
}

int win32_socket_rule(win32_api api, const void* buf, unsigned long long n,
                      const struct timeval* timeout)
{
    win32_call c = {};
    c.api = api;
    c.buffer = buf;
    c.size = n;
    c.timeout = timeout;
    return win32_rule_broken(c);
}
