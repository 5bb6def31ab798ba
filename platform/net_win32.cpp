// Windows: TCP sockets, this system's part of the bounded connect, and the
// system's codes in words.
#include "platform.h"
#include "system.h"
#include "win32_rules.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "win32_text.h"
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
            e = plat_wait_end(nullptr);
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
