// What the Win32 layer hands the system, checked against the rules the
// system's documentation states for each call. Real drivers refuse what
// breaks them; Wine mostly does not, so the layer checks every call itself,
// in every build, and a broken rule fails the same way everywhere.
#ifndef KP6_WIN32_RULES_H
#define KP6_WIN32_RULES_H

#include <winsock2.h>
#include <windows.h>

enum win32_api {
    W32_CREATE_FILE,     // path, access, share, creation, flags, template_given
    W32_SET_COMM_STATE,  // dcb, rx_queue (0: not known)
    W32_SET_TIMEOUTS,    // timeouts
    W32_ESCAPE,          // code, dcb (the device's current settings)
    W32_PURGE,           // code
    W32_READ_WRITE,      // buffer, size, done, overlapped_given
    W32_WSA_CLEANUP,     // (the socket library's starts)
    W32_SOCKET,          // (the socket library's starts)
    W32_SEND_RECV,       // buffer, size
    W32_SELECT           // size (sockets in the set), timeout
};

struct win32_call {
    win32_api api;
    const char* path;
    DWORD access, share, creation, flags;
    bool template_given, overlapped_given;
    const DCB* dcb;
    DWORD rx_queue;
    const COMMTIMEOUTS* timeouts;
    DWORD code;
    const void* buffer;
    unsigned long long size;
    const void* done;
    const struct timeval* timeout;
};

// The socket library's successful starts not yet matched by a stop.
extern volatile LONG win32_net_starts;

// 0 when the call keeps every rule checked, else the code the system gives
// for a bad parameter (ERROR_INVALID_PARAMETER, or WSAEINVAL and
// WSANOTINITIALISED for sockets); the broken rule is named on standard
// error, once per rule.
int win32_rule_broken(const win32_call& c);

// The checked calls: the rules, then the call. 0 or the system's code.
int win32_set_comm_state(HANDLE d, DCB& dcb, DWORD rx_queue);
int win32_set_comm_timeouts(HANDLE d, COMMTIMEOUTS& t);
// The rules of a synchronous ReadFile or WriteFile of `n` bytes, and of a
// socket call (api W32_WSA_CLEANUP to W32_SELECT): 0 or the code the
// system gives; the call itself is the caller's.
int win32_io_rule(const void* buf, unsigned long long n, const DWORD* done);
int win32_socket_rule(win32_api api, const void* buf = nullptr, unsigned long long n = 0,
                      const struct timeval* timeout = nullptr);

#endif
