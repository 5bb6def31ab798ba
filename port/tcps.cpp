// A TCP server port: "TCPS_" and a port number. It listens on every IPv4
// interface and keeps up to 16 clients; what is sent goes to all of them,
// and what any of them sends lands in the port's one ring. Nothing waits
// in the background: clients are taken on when the port is used.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kinds.h"

enum { TCP_MESSAGE_SIZE = 100, TCP_CLIENTS = 16 };

// Each slot's listening socket while it holds a server port, and its
// accepted clients (PLAT_NO_SOCKET: a free place).
static plat_socket listener[PORT_COUNT];
static plat_socket clients_of[PORT_COUNT][TCP_CLIENTS];

static plat_socket* clients(const Entry* e)
{
    return clients_of[slot_index(e)];
}

static int tcps_claims(const char* name)
{
    return strncmp(name, "TCPS_", 5) == 0;
}

// Formats a message in code page 866, never past its 100 bytes, and hands
// it to the application.
static void tcp_message(const char* utf8_format, ...)
{
    char format[TCP_MESSAGE_SIZE * 2], text[TCP_MESSAGE_SIZE];
    utf8_to_cp866(utf8_format, format, sizeof format);
    va_list ap;
    va_start(ap, utf8_format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    put_text_log(text, 10);
}

// Every failure here is the set-up's, whatever the system said.
static int tcps_open_port(Entry* slot, char* name, int* why)
{
    *why = OPEN_SERVER_SETUP;
    if (plat_net_start() != 0)
        return -1;
    for (int i = 0; i < TCP_CLIENTS; i++)
        clients(slot)[i] = PLAT_NO_SOCKET;
    plat_socket s;
    int rc = plat_tcp_socket(&s);
    if (rc) {
        tcp_message("[%s] Открытие socket: ошибка %d", name, rc);
        plat_net_stop();
        return -1;
    }
    const char* failed = nullptr;
    if ((rc = plat_tcp_nonblocking(s)))
        failed = "[%s] Переключение в неблокирующий режим: ошибка %d";
    else if ((rc = plat_tcp_keepalive(s)))
        failed = "[%s] Включение KeepAlive: ошибка %d";
    else if ((rc = plat_tcp_nodelay(s)))
        failed = "[%s] Включение TCP_NODELAY: ошибка %d";
    else if ((rc = plat_tcp_bind_any(s, (unsigned short)strtol(name + 5, nullptr, 10))))
        failed = "[%s] Bind к интерфейсу по умолчанию: ошибка %d";
    else if ((rc = plat_tcp_listen(s, 5)))
        failed = "[%s] Первичный listen(): ошибка %d";
    if (failed) {
        tcp_message(failed, name, rc);
        plat_tcp_close(s);  // a failed set-up keeps nothing open
        plat_net_stop();
        return -1;
    }
    slot->kind = KIND_TCPS;
    listener[slot_index(slot)] = s;
    slot->held = 1;
    return 0;
}

static void tcps_accept(Entry* slot)
{
    int place = -1;
    for (int i = 0; i < TCP_CLIENTS && place < 0; i++)
        if (clients(slot)[i] == PLAT_NO_SOCKET)
            place = i;
    if (place < 0)
        return;  // the others wait in the listen queue
    plat_socket client;
    unsigned char a[4];
    int rc = plat_tcp_accept(listener[slot_index(slot)], &client, a);
    if (rc == 0) {
        clients(slot)[place] = client;
        // The address bytes in network order, read as a little-endian number.
        unsigned long ip = a[0] | (unsigned long)a[1] << 8 | (unsigned long)a[2] << 16 |
                           (unsigned long)a[3] << 24;
        tcp_message("[%s] Присоед. клиент: ip=%lu sock#=%d", slot->name, ip, place);
    } else if (rc != plat_error_would_block()) {
        tcp_message("[%s] Ошибка accept(): %d", slot->name, rc);
    }
}

static void drop_client(Entry* e, int i)
{
    plat_tcp_close(clients(e)[i]);
    clients(e)[i] = PLAT_NO_SOCKET;
}

// Closes the clients and the listening socket.
static void tcps_release(Entry* e)
{
    for (int i = 0; i < TCP_CLIENTS; i++) {
        plat_socket& c = clients(e)[i];
        if (c != PLAT_NO_SOCKET)
            plat_tcp_close(c);
        c = PLAT_NO_SOCKET;
    }
    plat_tcp_close(listener[slot_index(e)]);
    listener[slot_index(e)] = PLAT_NO_SOCKET;
    plat_net_stop();  // once per server port, as it was started
}

// Takes from each client only what the ring has room for: the rest stays
// in the system's queue, where TCP's flow control holds the sender back.
static void service_clients(Entry* e)
{
    for (int i = 0; i < TCP_CLIENTS; i++) {
        if (clients(e)[i] == PLAT_NO_SOCKET)
            continue;
        unsigned n = 0;
        plat_tcp_available(clients(e)[i], &n);
        // Readable with nothing to read: the client has closed or failed,
        // and the recv below tells which (or finds a byte just arrived).
        if (n == 0 && plat_tcp_wait_readable(&clients(e)[i], 1, 0))
            n = 1;
        unsigned room = (unsigned)(RX_SIZE - 1 - ring_unread(e));
        if (n > room)
            n = room;
        if (n == 0)
            continue;
        unsigned char* buf = (unsigned char*)malloc(n);
        if (!buf)
            return;
        unsigned got = 0;
        int rc = plat_tcp_recv(clients(e)[i], buf, n, &got);
        if (rc == 0 && got == 0)
            drop_client(e, i);  // closed by the client
        else if (rc && rc != plat_error_would_block())
            drop_client(e, i);
        else
            ring_append(e, buf, got);
        free(buf);
    }
}

static int tcps_service(Entry* e)
{
    service_clients(e);
    return 0;
}

static int tcps_wait(Entry* e, unsigned ms)
{
    plat_socket s[1 + TCP_CLIENTS] = {};
    int n = 0, place = 0;
    for (int i = 0; i < TCP_CLIENTS; i++) {
        plat_socket c = clients(e)[i];
        if (c != PLAT_NO_SOCKET)
            s[n++] = c;
        else
            place = 1;
    }
    // With every place taken a waiting client stays in the listen queue and
    // keeps the listener readable.
    if (place)
        s[n++] = listener[slot_index(e)];
    if (!plat_tcp_wait_readable(s, n, ms))
        return 0;
    for (int i = 0; i < TCP_CLIENTS; i++) {
        plat_socket c = clients(e)[i];
        unsigned k = 0;
        if (c != PLAT_NO_SOCKET && (plat_tcp_available(c, &k), k))
            return 1;
    }
    // A client to accept, or one that has closed and stays readable with
    // nothing to take: a pause keeps the caller's loop from spinning on it.
    idle_wait(ms);
    return 1;
}

static void tcps_clear(unsigned short port, Entry* e)
{
    tcps_accept(e);
    ring_drop(port, e);
}

// Every client gets the whole block, or is dropped: a client whose system
// queue stays full (it does not read) may hold the block up for as long as
// a slow link needs for it (2 KB a millisecond) and a second more, no
// longer. The clients are served side by side, so one such client costs
// that time once.
static void tcps_send(unsigned short, Entry* e, unsigned char* buf, int n, int)
{
    tcps_accept(e);
    const unsigned total = (unsigned)n;
    plat_deadline d;
    plat_deadline_start(&d, total / 2048 + 1000);
    unsigned done[TCP_CLIENTS] = {};
    for (int pass = 0;; pass++) {
        plat_socket behind[TCP_CLIENTS];
        int waiting = 0;
        for (int i = 0; i < TCP_CLIENTS; i++) {
            if (clients(e)[i] == PLAT_NO_SOCKET || (pass > 0 && done[i] == total))
                continue;
            unsigned sent = 0;
            int rc = plat_tcp_send(clients(e)[i], buf + done[i], total - done[i], &sent);
            if (rc != 0 && rc != plat_error_would_block()) {
                drop_client(e, i);
                continue;
            }
            done[i] += sent;
            if (done[i] < total)
                behind[waiting++] = clients(e)[i];
        }
        if (waiting == 0)
            return;
        unsigned slice = plat_wait_slice(&d);
        if (!slice) {
            for (int i = 0; i < TCP_CLIENTS; i++)
                if (clients(e)[i] != PLAT_NO_SOCKET && done[i] < total)
                    drop_client(e, i);
            return;
        }
        plat_tcp_wait_writable(behind, waiting, slice < 10 ? slice : 10);
    }
}

plat_socket tcps_listener(unsigned short port)
{
    if (port == 0 || port > PORT_COUNT)
        return PLAT_NO_SOCKET;
    const Entry& e = Port[port - 1];
    return e.held && e.kind == KIND_TCPS ? listener[port - 1] : PLAT_NO_SOCKET;
}

plat_socket tcps_client(unsigned short port, int i)
{
    return tcps_listener(port) == PLAT_NO_SOCKET ? PLAT_NO_SOCKET : clients_of[port - 1][i];
}

const port_kind tcps_kind = {KIND_TCPS,      tcps_claims,
                             tcps_open_port, nullptr /* answers_free */,
                             tcps_release,   tcps_accept /* admit */,
                             tcps_service,   tcps_wait,
                             tcps_clear,     tcps_send};
