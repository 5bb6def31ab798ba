#include "plainw.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../timers/biostimw.h"
#include "../timers/timersw.h"

Entry Port[PORT_COUNT];
unsigned char started;
uint16_t pl_port_log;
int32_t p_errors, fr_errors;
int from_put;

static FILE* log;  // "port.out"; null when it could not be opened

const char xbytes[17] = "0123456789ABCDEF";

// Room for every name a slot holds behind the system's device prefix, so a
// stable link (/dev/serial/by-id/...) opens as well as a short name.
enum { DEVICE_PATH_SIZE = PORT_NAME_SIZE + 8, TCP_MESSAGE_SIZE = 100 };

int utf8_to_cp866(const char* utf8, char* out, int size)
{
    const unsigned char* s = (const unsigned char*)utf8;
    int n = 0;
    while (*s && n < size - 1) {
        unsigned cp = *s++;
        if (cp >= 0x80) {
            if ((cp & 0xE0) == 0xC0 && (*s & 0xC0) == 0x80)
                cp = ((cp & 0x1F) << 6) | (*s++ & 0x3F);
            else {
                // Not a two-byte sequence: skip its continuation bytes.
                while ((*s & 0xC0) == 0x80)
                    s++;
                cp = 0xFFFF;
            }
        }
        unsigned char b;
        if (cp < 0x80)
            b = (unsigned char)cp;
        else if (cp >= 0x410 && cp <= 0x43F)  // А..п
            b = (unsigned char)(0x80 + (cp - 0x410));
        else if (cp >= 0x440 && cp <= 0x44F)  // р..я
            b = (unsigned char)(0xE0 + (cp - 0x440));
        else if (cp == 0x401)  // Ё
            b = 0xF0;
        else if (cp == 0x451)  // ё
            b = 0xF1;
        else
            b = '?';
        out[n++] = (char)b;
    }
    if (size > 0)
        out[n] = 0;
    return n;
}

// printf to the log with a UTF-8 format written out in code page 866.
static void log_printf(const char* utf8_format, ...)
{
    if (!log)
        return;
    char format[256];
    utf8_to_cp866(utf8_format, format, sizeof format);
    va_list ap;
    va_start(ap, utf8_format);
    vfprintf(log, format, ap);
    va_end(ap);
}

// The number in a port name: its first run of digits, cut to 16 bits.
static unsigned short name_number(const char* text)
{
    while (*text && (*text < '0' || *text > '9'))
        text++;
    return (unsigned short)strtoul(text, nullptr, 10);
}

// The mask the technician asks for in KP6_PORT_LOG: decimal or 0x-hex;
// anything else means no logging.
static uint16_t log_mask_from_env(void)
{
    const char* v = getenv("KP6_PORT_LOG");
    if (!v || !*v)
        return 0;
    int base = 10;
    if (v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v += 2;
    }
    char* end;
    unsigned long m = strtoul(v, &end, base);
    if (end == v || *end || m > 0xFFFF || *v == '-' || *v == '+')
        return 0;
    return (uint16_t)m;
}

static void release(Entry& e);
static int open_net(Entry& e, const char* name);
static void service_net(Entry* e);
static void send_net(unsigned short port, Entry* e, const unsigned char* buf, int n);
static int net_wait(Entry* e, unsigned ms);

unsigned net_connect_ms = NET_CONNECT_MS;

void start_net(unsigned char)
{
    if (started)
        return;
    // Ports an earlier run left open, and the rings of stubs, are released
    // before the table is cleared; nothing else points to them, and a device
    // left held would stay locked for the rest of the process.
    for (Entry& e : Port) {
        release(e);
        free(e.rx_buf);
    }
    memset(Port, 0, sizeof Port);
    for (Entry& e : Port) {
        e.handle = PLAT_NO_HANDLE;
        e.listener = PLAT_NO_SOCKET;
        e.conn = PLAT_NO_SOCKET;
    }
    log = plat_fopen("port.out", "ab");
    log_printf("\r\nВход в программу\r\n");
    if (log)
        fflush(log);
    p_errors = 0;
    fr_errors = 0;
    from_put = 0;
    pl_port_log = log_mask_from_env();
    started = 1;
}

void close_net()
{
    if (!started)
        return;
    if (pl_port_log)
        log_printf("\r\nОшибок паритета=%d, пакетов( стоп-бит)=%d\r\n", (int)p_errors,
                   (int)fr_errors);
    if (log)
        fclose(log);
    log = nullptr;
    started = 0;
}

static int slot_taken(const Entry& e)
{
    return e.base != 0 || e.held;
}

static int open_serial(Entry& e, const char* name)
{
    char path[DEVICE_PATH_SIZE];
    int rc = plat_serial_device_path(name, path, sizeof path);
    if (rc)
        return rc;
    plat_handle h;
    rc = plat_serial_open(path, &h);
    if (rc)
        return rc;
    // The driver gives up on a read at once and a write of n bytes may take
    // 20 ms + 20 ms per byte.
    const plat_timeouts t = {2, 2, 2, 20, 20};
    rc = plat_serial_set_timeouts(h, &t);
    if (!rc) {
        const plat_line line = {4800, 8, 0, 0, 0};
        rc = plat_serial_set_line(h, &line);
    }
    if (rc) {
        plat_serial_close(h);
        return rc;
    }
    e.handle = h;
    e.held = 1;
    return 0;
}

// Closes what the slot holds: the device, or the server's clients and its
// listening socket.
static void release(Entry& e)
{
    if (!e.held)
        return;
    if (e.kind == KIND_TCPS) {
        for (plat_socket& c : e.clients) {
            if (c != PLAT_NO_SOCKET)
                plat_tcp_close(c);
            c = PLAT_NO_SOCKET;
        }
        plat_tcp_close(e.listener);
        e.listener = PLAT_NO_SOCKET;
        plat_net_stop();  // once per server port, as it was started
    } else if (e.kind == KIND_NET) {
        if (e.conn != PLAT_NO_SOCKET)
            plat_tcp_close(e.conn);
        e.conn = PLAT_NO_SOCKET;
        plat_net_stop();
    } else {
        plat_serial_close(e.handle);
    }
    e.handle = PLAT_NO_HANDLE;
    e.held = 0;
}

int open_port(unsigned short* port, char* name, char mode)
{
    if (!started)
        return 9;
    int slot = -1;
    for (int i = 0; i < PORT_COUNT && slot < 0; i++)
        if (!slot_taken(Port[i]))
            slot = i;
    if (slot < 0)
        return 1;
    if (!name[0])
        return 3;
    if (mode)
        return 0;
    Entry& e = Port[slot];
    if (strlen(name) >= sizeof e.name) {
        *port = 0;
        return plat_error_name_too_long();
    }
    strcpy(e.name, name);
    if (strcmp(name, "STUB") == 0) {
        e.kind = KIND_STUB;
    } else if (strncmp(name, "TCPS_", 5) == 0) {
        if (tcps_open_port(&e, name) != 0)
            return -1;
    } else if (port_name_is_url(name)) {
        int rc = open_net(e, name);
        if (rc) {
            *port = 0;
            return rc;
        }
    } else {
        e.kind = KIND_SERIAL;
        int rc = open_serial(e, name);
        if (rc) {
            *port = 0;
            return rc;
        }
    }
    e.echo_skip = 0;
    e.turn_type = 0;
    // A stub leaves its slot free, so the slot may come back with its ring.
    if (!e.rx_buf)
        e.rx_buf = (unsigned char*)malloc(RX_SIZE);
    if (!e.rx_buf) {
        release(e);
        *port = 0;
        return plat_error_no_memory();
    }
    e.base = name_number(name);
    e.rx_head = 0;
    e.rx_tail = 0;
    *port = (unsigned short)(slot + 1);
    return 0;
}

int free_port(unsigned short port, unsigned char)
{
    if (port == 0 || port > PORT_COUNT)
        return 1;
    Entry& e = Port[port - 1];
    if (!slot_taken(e))
        return 1;
    release(e);
    free(e.rx_buf);
    e.rx_buf = nullptr;
    e.base = 0;
    return 1;
}

unsigned short port_by_base(unsigned short base)
{
    if (!started)
        return 0;
    for (int i = 0; i < PORT_COUNT; i++)
        if (Port[i].base == base)
            return (unsigned short)(i + 1);
    return 0;
}

// ---- slots as the data path sees them ----------------------------------------

// The slot behind a handle, or null for 0, a handle above 16 and a freed
// slot. A stub keeps answering as a stub, in use or not.
static Entry* slot_of(unsigned short port)
{
    if (port == 0 || port > PORT_COUNT)
        return nullptr;
    Entry* e = &Port[port - 1];
    if (e->kind == KIND_STUB)
        return e->rx_buf ? e : nullptr;
    return slot_taken(*e) && e->rx_buf ? e : nullptr;
}

// A slot that sends or receives: serial device or TCP server. Only a slot
// that holds what it opened has a handle to pass to the system.
static Entry* data_slot(unsigned short port)
{
    Entry* e = slot_of(port);
    return e && e->kind != KIND_STUB && e->held ? e : nullptr;
}

static Entry* serial_slot(unsigned short port)
{
    Entry* e = data_slot(port);
    return e && e->kind == KIND_SERIAL ? e : nullptr;
}

// ---- TCP server ports -----------------------------------------------------------

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

int tcps_open_port(Entry* slot, char* name)
{
    if (plat_net_start() != 0)
        return -1;
    for (plat_socket& c : slot->clients)
        c = PLAT_NO_SOCKET;
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
    slot->listener = s;
    slot->held = 1;
    return 0;
}

void tcps_accept(Entry* slot)
{
    int place = -1;
    for (int i = 0; i < TCP_CLIENTS && place < 0; i++)
        if (slot->clients[i] == PLAT_NO_SOCKET)
            place = i;
    if (place < 0)
        return;  // the others wait in the listen queue
    plat_socket client;
    unsigned char a[4];
    int rc = plat_tcp_accept(slot->listener, &client, a);
    if (rc == 0) {
        slot->clients[place] = client;
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
    plat_tcp_close(e->clients[i]);
    e->clients[i] = PLAT_NO_SOCKET;
}

// ---- receive path -----------------------------------------------------------------

static int unread(const Entry* e)
{
    int c = (int)e->rx_head - (int)e->rx_tail;
    return c < 0 ? c + RX_SIZE : c;
}

// Appends to the ring. With RX_SIZE - 1 bytes unread the ring is full and
// further bytes are dropped: the oldest unread data (the start of a reply)
// is kept, and the unread count never wraps to 0.
static void append(Entry* e, const unsigned char* b, unsigned n)
{
    for (unsigned i = 0; i < n && unread(e) < RX_SIZE - 1; i++) {
        e->rx_buf[e->rx_head] = b[i];
        if (++e->rx_head == RX_SIZE)
            e->rx_head = 0;
    }
}

static unsigned char take(Entry* e)
{
    unsigned char b = e->rx_buf[e->rx_tail];
    if (++e->rx_tail == RX_SIZE)
        e->rx_tail = 0;
    return b;
}

// Takes from each client only what the ring has room for: the rest stays
// in the system's queue, where TCP's flow control holds the sender back.
static void service_clients(Entry* e)
{
    for (int i = 0; i < TCP_CLIENTS; i++) {
        if (e->clients[i] == PLAT_NO_SOCKET)
            continue;
        unsigned n = 0;
        plat_tcp_available(e->clients[i], &n);
        // Readable with nothing to read: the client has closed or failed,
        // and the recv below tells which (or finds a byte just arrived).
        if (n == 0 && plat_tcp_wait_readable(&e->clients[i], 1, 0))
            n = 1;
        unsigned room = (unsigned)(RX_SIZE - 1 - unread(e));
        if (n > room)
            n = room;
        if (n == 0)
            continue;
        unsigned char* buf = (unsigned char*)malloc(n);
        if (!buf)
            return;
        unsigned got = 0;
        int rc = plat_tcp_recv(e->clients[i], buf, n, &got);
        if (rc == 0 && got == 0)
            drop_client(e, i);  // closed by the client
        else if (rc && rc != plat_error_would_block())
            drop_client(e, i);
        else
            append(e, buf, got);
        free(buf);
    }
}

// Reads what the serial driver holds into a new buffer (the caller frees
// it); null when it holds nothing. *got is what the read delivered.
static unsigned char* read_driver_queue(const Entry* e, unsigned* got)
{
    unsigned q = 0;
    *got = 0;
    plat_serial_in_queue(e->handle, &q);
    if (q == 0)
        return nullptr;
    unsigned char* buf = (unsigned char*)malloc(q);
    if (buf)
        plat_serial_read(e->handle, buf, q, got);
    return buf;
}

int win_put_into_buf(Entry* slot)
{
    // A stub or a slot with nothing open has no handle of its own to read.
    if (!slot->held || !slot->rx_buf)
        return 0;
    if (slot->kind == KIND_TCPS) {
        service_clients(slot);
        return 0;
    }
    if (slot->kind == KIND_NET) {
        service_net(slot);
        return 0;
    }
    unsigned got;
    unsigned char* buf = read_driver_queue(slot, &got);
    if (!buf)
        return 0;
    int result = 0;
    unsigned skip = slot->echo_skip;
    if (got > skip) {
        slot->echo_skip = 0;
        append(slot, buf + skip, got - skip);
        result = 1;
    } else {
        slot->echo_skip = (unsigned char)(skip - got);
    }
    free(buf);
    return result;
}

// The slot of a port that receives, after pulling in what is waiting.
static Entry* serviced(unsigned short port)
{
    Entry* e = data_slot(port);
    if (!e)
        return nullptr;
    if (e->kind == KIND_TCPS)
        tcps_accept(e);
    win_put_into_buf(e);
    return e;
}

int port_avail(unsigned short port)
{
    Entry* e = serviced(port);
    return e ? unread(e) : 0;
}

int peek_port(unsigned short port, int idx)
{
    Entry* e = serviced(port);
    if (!e || idx < 0 || idx >= unread(e))
        return 0;
    int at = e->rx_tail + idx;
    if (at >= RX_SIZE)
        at -= RX_SIZE;
    return e->rx_buf[at];
}

int recv_port(unsigned short port, unsigned char* buf, int n)
{
    Entry* e = serviced(port);
    if (!e || n < 0 || n > unread(e))
        return 0;
    for (int i = 0; i < n; i++)
        buf[i] = take(e);
    read_log(port, buf, n, n);
    return 1;
}

int getc_port_ms(unsigned short port, unsigned char* out, unsigned short ms)
{
    Entry* e = data_slot(port);
    if (!e || (e->base == 0 && !e->held))
        return -1;
    unsigned short deadline = (unsigned short)(srttimer + ms);
    for (;;) {
        if (port_avail(port) != 0)
            return recv_port(port, out, 1);
        int16_t left = (int16_t)(uint16_t)(deadline - srttimer);
        port_wait(port, left > 1 ? (unsigned)left : 1);  // sleeps at least once
        if (stimer_exp(deadline))
            return 0;
    }
}

// ---- waiting for the port ------------------------------------------------------

static const unsigned IDLE_WAIT_MS = 1;

static int idle_wait(unsigned ms)
{
    plat_sleep_ms(ms < IDLE_WAIT_MS ? ms : IDLE_WAIT_MS);
    return 0;
}

static int tcp_wait(Entry* e, unsigned ms)
{
    plat_socket s[1 + TCP_CLIENTS] = {};
    int n = 0, place = 0;
    for (plat_socket c : e->clients) {
        if (c != PLAT_NO_SOCKET)
            s[n++] = c;
        else
            place = 1;
    }
    // With every place taken a waiting client stays in the listen queue and
    // keeps the listener readable.
    if (place)
        s[n++] = e->listener;
    if (!plat_tcp_wait_readable(s, n, ms))
        return 0;
    for (plat_socket c : e->clients) {
        unsigned k = 0;
        if (c != PLAT_NO_SOCKET && (plat_tcp_available(c, &k), k))
            return 1;
    }
    // A client to accept, or one that has closed and stays readable with
    // nothing to take: a pause keeps the caller's loop from spinning on it.
    idle_wait(ms);
    return 1;
}

int port_wait(unsigned short port, unsigned ms)
{
    Entry* e = data_slot(port);
    if (!e)
        return idle_wait(ms);
    if (e->kind == KIND_TCPS)
        return tcp_wait(e, ms);
    if (e->kind == KIND_NET)
        return net_wait(e, ms);
    if (plat_serial_wait_input(e->handle, ms) == 0)
        return 0;
    // A hung-up device reads as ready for ever with nothing queued.
    unsigned q = 0;
    plat_serial_in_queue(e->handle, &q);
    return q ? 1 : idle_wait(ms);
}

void clear_buf(unsigned short port)
{
    Entry* e = data_slot(port);
    if (!e)
        return;
    if (e->kind == KIND_TCPS)
        tcps_accept(e);
    if (e->kind == KIND_NET)
        service_net(e);  // what has arrived so far; the server is not asked
    int c = unread(e);
    if (c != 0) {
        if (pl_port_log) {
            unsigned char* buf = (unsigned char*)malloc((size_t)c);
            if (buf) {
                uint16_t mask = pl_port_log;
                pl_port_log = 0;  // its own read is no read record
                recv_port(port, buf, c);
                pl_port_log = mask;
                clear_log(port, buf, c);
                free(buf);
            }
        }
        e->rx_tail = e->rx_head;
    }
    if (e->kind != KIND_SERIAL)
        return;
    // The driver's queue is emptied by reading it; echo accounting stays.
    unsigned got;
    unsigned char* buf = read_driver_queue(e, &got);
    if (!buf)
        return;
    if (pl_port_log)
        clear_log(port, buf, (int)got);
    free(buf);
}

// ---- transmit path ------------------------------------------------------------------

// Whether the converter echoes what is sent, by turn_type.
static int echoes(unsigned t)
{
    return t >= 1 && t <= 4;
}

// Waits until the driver has sent everything, but no longer than the block
// needs on the line (12 bit times a byte at the device's rate) plus a
// margin: output held by flow control must not freeze the caller for ever.
// The rate is the device's own: `baud` is only what init_port was last
// given, possibly for an earlier port in this slot.
static void wait_drained(unsigned short port, const Entry* e, int n)
{
    plat_line line;
    unsigned long baud = 4800;
    if (plat_serial_get_line(e->handle, &line) == 0 && line.baud)
        baud = line.baud;
    uint32_t limit_ms = (uint32_t)((unsigned long)n * 12000UL / baud) + 250;
    uint32_t start = plat_tick_ms();
    while (!port_sent(port) && plat_tick_ms() - start < limit_ms)
        timer_delay(1);
}

// Every client gets the whole block, or is dropped: a client whose system
// queue stays full (it does not read) may hold the block up for as long as
// a slow link needs for it (2 KB a millisecond) and a second more, no
// longer. The clients are served side by side, so one such client costs
// that time once.
static void send_tcp(Entry* e, unsigned char* buf, int n)
{
    tcps_accept(e);
    const unsigned total = (unsigned)n;
    const uint32_t start = plat_tick_ms(), limit_ms = total / 2048 + 1000;
    unsigned done[TCP_CLIENTS] = {};
    for (int pass = 0;; pass++) {
        plat_socket behind[TCP_CLIENTS];
        int waiting = 0;
        for (int i = 0; i < TCP_CLIENTS; i++) {
            if (e->clients[i] == PLAT_NO_SOCKET || (pass > 0 && done[i] == total))
                continue;
            unsigned sent = 0;
            int rc = plat_tcp_send(e->clients[i], buf + done[i], total - done[i], &sent);
            if (rc != 0 && rc != plat_error_would_block()) {
                drop_client(e, i);
                continue;
            }
            done[i] += sent;
            if (done[i] < total)
                behind[waiting++] = e->clients[i];
        }
        if (waiting == 0)
            return;
        uint32_t spent = plat_tick_ms() - start;
        if (spent >= limit_ms) {
            for (int i = 0; i < TCP_CLIENTS; i++)
                if (e->clients[i] != PLAT_NO_SOCKET && done[i] < total)
                    drop_client(e, i);
            return;
        }
        uint32_t left = limit_ms - spent;
        plat_tcp_wait_writable(behind, waiting, left < 10 ? left : 10);
    }
}

// One serial write with the direction switching of the port's turn_type.
// `block` is put_port's way (echo of n bytes, failed writes recorded);
// otherwise send_port's.
static void send_serial(unsigned short port, Entry* e, unsigned char* buf, int n, int block)
{
    unsigned t = e->turn_type;
    unsigned done;
    if (t == 0 || t == 5) {
        int rc = plat_serial_write(e->handle, buf, (unsigned)n, &done);
        if (rc && block)
            err_log(port, rc);
        return;
    }
    trans_turn_send(port, (int)t);
    plat_serial_write(e->handle, buf, (unsigned)n, &done);
    wait_drained(port, e, n);
    trans_turn_receive(port, (int)t);
    if (echoes(t))
        e->echo_skip = (unsigned char)(e->echo_skip + n);
}

void put_port(unsigned short port, unsigned char* buf, int n)
{
    Entry* e = data_slot(port);
    if (!e || n < 0)
        return;
    if (e->kind == KIND_TCPS)
        send_tcp(e, buf, n);
    else if (e->kind == KIND_NET)
        send_net(port, e, buf, n);
    else
        send_serial(port, e, buf, n, 1);
    write_log(port, buf, n);
}

void send_port(unsigned short port, unsigned char b)
{
    Entry* e = data_slot(port);
    if (!e)
        return;
    if (e->kind == KIND_TCPS)
        send_tcp(e, &b, 1);
    else if (e->kind == KIND_NET)
        send_net(0, e, &b, 1);
    else
        send_serial(port, e, &b, 1, 0);
    if (from_put == 0)
        write_log(port, &b, 1);
}

int port_sent(unsigned short port)
{
    Entry* e = serial_slot(port);
    if (!e)
        return 1;
    unsigned q = 0;
    plat_serial_out_queue(e->handle, &q);
    return q == 0;
}

unsigned port_line_ms(unsigned short port, int n)
{
    Entry* e = serial_slot(port);
    plat_line line;
    if (!e || n <= 0 || plat_serial_get_line(e->handle, &line) != 0 || !line.baud)
        return 0;
    return (unsigned)(((unsigned long long)n * 10000ULL + line.baud - 1) / line.baud);
}

// ---- line settings and direction control ----------------------------------------

// The modem-line switch that puts the line into the transmit and into the
// receive state, by turn_type; 0 switches nothing.
static const unsigned char turn_send_code[8] = {
    0, PLAT_SETDTR, PLAT_CLRDTR, PLAT_SETRTS, PLAT_CLRRTS, 0, PLAT_SETDTR, PLAT_CLRDTR};
static const unsigned char turn_receive_code[8] = {
    0, PLAT_CLRDTR, PLAT_SETDTR, PLAT_CLRRTS, PLAT_SETRTS, 0, PLAT_CLRDTR, PLAT_SETDTR};

int init_port(unsigned short port, unsigned long baud, unsigned char data_bits,
              unsigned char parity, unsigned char stop_bits)
{
    Entry* e = slot_of(port);
    if (!e)
        return 2;
    if (e->kind != KIND_SERIAL || !e->held)
        return 0;
    plat_line line = {4800, 8, 0, 0, 0};
    plat_serial_get_line(e->handle, &line);
    line.baud = baud ? baud : 4800;
    line.byte_size = data_bits;
    if (stop_bits == 1)
        line.stop_bits = 0;
    else if (stop_bits == 2)
        line.stop_bits = 2;
    switch (parity) {
    case 'N': line.parity = 0; break;
    case 'O': line.parity = 1; break;
    case 'E': line.parity = 2; break;
    case 'M': line.parity = 3; break;
    case 'S':
    case 'Z': line.parity = 4; break;
    default: break;
    }
    int rc = plat_serial_set_line(e->handle, &line);
    if (rc)
        return rc;
    e->baud = baud;
    e->data_bits = data_bits;
    e->parity = (char)parity;
    e->stop_bits = stop_bits;
    return 0;
}

void port_control(unsigned int port, char type)
{
    Entry* e = port <= PORT_COUNT ? slot_of((unsigned short)port) : nullptr;
    if (!e)
        return;
    e->turn_type = (unsigned char)type;
    if (e->kind != KIND_SERIAL || !e->held)
        return;
    if (type == 5) {
        plat_line line;
        if (plat_serial_get_line(e->handle, &line) == 0) {
            line.cts_flow = 1;
            plat_serial_set_line(e->handle, &line);
        }
        plat_serial_escape(e->handle, PLAT_SETRTS);
        return;
    }
    trans_turn_receive((unsigned short)port, type);
}

static void turn(unsigned short port, int type, const unsigned char* codes)
{
    Entry* e = serial_slot(port);
    if (!e || (unsigned)type > 7 || !codes[type])
        return;
    plat_serial_escape(e->handle, codes[type]);
}

void trans_turn_send(unsigned short port, int type)
{
    turn(port, type, turn_send_code);
}

void trans_turn_receive(unsigned short port, int type)
{
    turn(port, type, turn_receive_code);
}

// Raises (on) or drops the lines named in `lines`: bit 0 DTR, bit 1 RTS.
static int switch_lines(unsigned short port, unsigned char lines, int on, int any_type)
{
    Entry* e = serial_slot(port);
    if (!e)
        return 0;
    // With direction control the lines are not the caller's to switch.
    if (!any_type && e->turn_type != 0 && e->turn_type != 5)
        return 0;
    if (lines & 1)
        plat_serial_escape(e->handle, on ? PLAT_SETDTR : PLAT_CLRDTR);
    if (lines & 2)
        plat_serial_escape(e->handle, on ? PLAT_SETRTS : PLAT_CLRRTS);
    return 1;
}

int set_flags(unsigned short port, unsigned char lines)
{
    return switch_lines(port, lines, 1, 0);
}

int clr_flags(unsigned short port, unsigned char lines)
{
    return switch_lines(port, lines, 0, 0);
}

int my_set_flags(unsigned short port, unsigned char lines)
{
    return switch_lines(port, lines, 1, 1);
}

int my_clr_flags(unsigned short port, unsigned char lines)
{
    return switch_lines(port, lines, 0, 1);
}

int get_flags(unsigned short port, unsigned char* status)
{
    Entry* e = serial_slot(port);
    if (!e)
        return 0;
    *status = 0;
    unsigned bits = 0;
    plat_serial_modem_status(e->handle, &bits);
    *status = (unsigned char)(bits & (PLAT_MS_CTS | PLAT_MS_DSR | PLAT_MS_RING | PLAT_MS_RLSD));
    return 1;
}

int get_comm_mask(int port)
{
    Entry* e = port > 0 && port <= PORT_COUNT ? serial_slot((unsigned short)port) : nullptr;
    if (!e)
        return 0;
    unsigned mask = 0;
    plat_serial_event_mask(e->handle, &mask);
    return (int)mask;
}

// ---- traffic log ----------------------------------------------------------------------

static int logged(unsigned int handle)
{
    return log && handle >= 1 && handle <= PORT_COUNT && (pl_port_log >> (handle - 1) & 1);
}

// CR LF and the time-stamped start of a record; `what` follows the stamp.
static void record_head(const char* utf8_what, unsigned int handle, long code = 0)
{
    r2_date d;
    r2_time t;
    bios_datetime(&d, &t);
    log_printf("\r\n %02d.%02d.%02d (%02d:%02d:%02d:%03d) ", d.day, d.month, d.year % 100,
               t.hour, t.minute, t.second, wMilli);
    log_printf(utf8_what, handle, code);
}

// The hex dump, CR LF and the bytes themselves.
static void record_bytes(const unsigned char* data, int len)
{
    for (int i = 0; i < len; i++)
        put_byte(data[i]);
    fwrite("\r\n", 1, 2, log);
    if (len > 0)
        fwrite(data, 1, (size_t)len, log);
}

void write_log(unsigned int handle, unsigned char* data, int len)
{
    if (!logged(handle))
        return;
    fwrite("\r\n", 1, 2, log);
    record_head("Запись (порт %d)-> ", handle);
    record_bytes(data, len);
    fflush(log);
}

void read_log(unsigned int handle, unsigned char* data, int expected, int got)
{
    if (!logged(handle))
        return;
    record_head("Чтение  порта %d<- ", handle);
    if (data) {
        record_bytes(data, got);
        if (expected != got)
            log_printf("Т-аут на %d байт получено %d<- ", expected, got);
    } else {
        log_printf("Т-аут на %d байт - данные не получены <- ", expected);
    }
    fflush(log);
}

void clear_log(unsigned int handle, unsigned char* data, int len)
{
    if (!logged(handle))
        return;
    record_head("Очистка буфера порта %d<> ", handle);
    record_bytes(data, len);
    fflush(log);
}

void err_log(unsigned short port, long code)
{
    if (!logged(port))
        return;
    record_head("Ошибка записи в порт %d<> (код %ld)", port, code);
    fflush(log);
}

void put_msg(const char* text)
{
    if (log)
        fputs(text, log);
}

void put_byte(unsigned char b)
{
    char out[3];
    x_byte(out, b);
    out[2] = ' ';
    if (log)
        fwrite(out, 1, 3, log);
}

void x_byte(char* out, unsigned char b)
{
    out[0] = xbytes[b >> 4];
    out[1] = xbytes[b & 15];
}

void open_log()
{
    if (!log)
        log = plat_fopen("port.out", "ab");
}

void close_log()
{
    if (log)
        fclose(log);
    log = nullptr;
}

// ---- network lines ------------------------------------------------------------------

static int lower_char(int c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// The length of the scheme in `name` ("rfc2217" of "rfc2217://..."), or 0.
static size_t scheme_length(const char* name)
{
    size_t n = 0;
    while ((name[n] >= 'a' && name[n] <= 'z') || (name[n] >= 'A' && name[n] <= 'Z') ||
           (name[n] >= '0' && name[n] <= '9') || name[n] == '+' || name[n] == '-' ||
           name[n] == '.')
        n++;
    return n > 0 && strncmp(name + n, "://", 3) == 0 ? n : 0;
}

int port_name_is_url(const char* name)
{
    return name[0] != '/' && strstr(name, "://") != nullptr;
}

static int scheme_is(const char* name, size_t n, const char* scheme)
{
    if (strlen(scheme) != n)
        return 0;
    for (size_t i = 0; i < n; i++)
        if (lower_char((unsigned char)name[i]) != scheme[i])
            return 0;
    return 1;
}

static int host_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '-' || c == '_';
}

static int ipv6_char(char c)
{
    return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') ||
           c == ':' || c == '.';
}

static int bad_url(char* why, unsigned size, const char* format, const char* what = "",
                   size_t what_len = (size_t)-1)
{
    char part[PORT_NAME_SIZE];
    snprintf(part, sizeof part, "%.*s", (int)(what_len < sizeof part ? what_len : sizeof part - 1),
             what);
    if (size)
        snprintf(why, size, format, part);
    return -1;
}

int net_url_parse(const char* name, net_url* url, char* why, unsigned why_size)
{
    if (!port_name_is_url(name))
        return 0;
    size_t sl = scheme_length(name);
    char scheme[32];
    snprintf(scheme, sizeof scheme, "%.*s", (int)(sl ? sl : strstr(name, "://") - name), name);
    if (scheme_is(name, sl, "tcp") || scheme_is(name, sl, "socket"))
        url->mode = NET_RAW;
    else if (scheme_is(name, sl, "rfc2217"))
        url->mode = NET_RFC2217;
    else
        return bad_url(why, why_size,
                       "unknown scheme \"%s\": write tcp://, socket:// or rfc2217://HOST:PORT",
                       scheme);
    const char* p = name + sl + 3;
    const char* host = p;
    size_t host_len;
    if (*p == '[') {
        const char* close = strchr(p, ']');
        if (!close)
            return bad_url(why, why_size, "the IPv6 address has no closing ]");
        host = p + 1;
        host_len = (size_t)(close - host);
        if (host_len == 0)
            return bad_url(why, why_size, "no host between [ and ]");
        for (size_t i = 0; i < host_len; i++)
            if (!ipv6_char(host[i]))
                return bad_url(why, why_size, "\"%s\" is not an IPv6 address", host,
                               host_len);
        if (!memchr(host, ':', host_len))
            return bad_url(why, why_size, "\"%s\" in brackets is not an IPv6 address", host,
                           host_len);
        p = close + 1;
    } else {
        while (*p && *p != ':' && *p != '/')
            p++;
        host_len = (size_t)(p - host);
        if (*p == ':' && strchr(p + 1, ':'))
            return bad_url(why, why_size, "an IPv6 address goes in brackets, as in [::1]:PORT");
        if (host_len == 0)
            return bad_url(why, why_size, "no host: write HOST:PORT after the scheme");
        for (size_t i = 0; i < host_len; i++)
            if (!host_char(host[i])) {
                char c[2] = {host[i], 0};
                return bad_url(why, why_size, "the host has a character it cannot have: \"%s\"",
                               c);
            }
    }
    if (*p != ':')
        return bad_url(why, why_size, "no port: write HOST:PORT, the port a number from 1 to 65535");
    p++;
    size_t digits = strspn(p, "0123456789");
    unsigned long port = digits && digits <= 5 ? strtoul(p, nullptr, 10) : 0;
    if (port < 1 || port > 65535)
        return bad_url(why, why_size, "the port \"%s\" is not a number from 1 to 65535",
                       p, strcspn(p, "/?"));  // all of it: 0x10 is not "0"
    p += digits;
    if (*p == '/' && !p[1])
        p++;  // one closing slash is allowed
    if (*p)
        return bad_url(why, why_size, "\"%s\" after the port is not understood", p);
    memcpy(url->host, host, host_len);
    url->host[host_len] = 0;
    url->port = (unsigned short)port;
    return 1;
}

static uint32_t elapsed_us(uint64_t since)
{
    uint64_t d = plat_perf_counter() - since, f = plat_perf_frequency();
    return (uint32_t)(d / f * 1000000u + d % f * 1000000u / f);
}

// The connection has closed (code 0) or failed: the line answers from now
// on as a device that was pulled out, until it is closed.
static void net_lost(Entry* e, int code)
{
    if (e->conn != PLAT_NO_SOCKET)
        plat_tcp_close(e->conn);
    e->conn = PLAT_NO_SOCKET;
    e->net_gone = 1;
    e->net_error = code;
}

// Sends all of `n` bytes as they are within `limit_ms`; 0 or the code of
// the failure (a time-out included).
static int send_all(plat_socket s, const unsigned char* buf, unsigned n, uint32_t limit_ms)
{
    uint32_t start = plat_tick_ms();
    unsigned done = 0;
    while (done < n) {
        unsigned sent = 0;
        int rc = plat_tcp_send(s, buf + done, n - done, &sent);
        if (rc && rc != plat_error_would_block())
            return rc;
        done += sent;
        if (done == n)
            break;
        uint32_t spent = plat_tick_ms() - start;
        if (spent >= limit_ms)
            return plat_error_timed_out();
        uint32_t left = limit_ms - spent;
        plat_tcp_wait_writable(&s, 1, left < 10 ? left : 10);
    }
    return 0;
}

// The answers the Telnet filter asked for.
static int send_replies(Entry* e)
{
    if (!e->telnet.reply_len || e->conn == PLAT_NO_SOCKET)
        return 0;
    int rc = send_all(e->conn, e->telnet.reply, e->telnet.reply_len, 1000);
    e->telnet.reply_len = 0;
    return rc;
}

// Takes what the connection holds, at most `room` bytes of it, through the
// Telnet filter on an RFC 2217 line. The line's bytes go to `out` (when
// given) and their count is returned; a close or failure ends the line.
static unsigned net_receive(Entry* e, unsigned char* out, unsigned room)
{
    enum { CHUNK = 2048 };
    unsigned char buf[CHUNK];
    unsigned total = 0;
    while (e->conn != PLAT_NO_SOCKET && room > 0) {
        // A Telnet stream never gives more line bytes than it has bytes, so
        // taking no more than the room keeps the rest in the system, held
        // back by TCP's flow control. One receive that does not wait tells
        // all: bytes, nothing yet, or the close (0) or failure.
        unsigned n = room < (unsigned)CHUNK ? room : (unsigned)CHUNK, got = 0;
        int rc = plat_tcp_recv(e->conn, buf, n, &got);
        if (rc == 0 && got == 0) {
            net_lost(e, 0);
            break;
        }
        if (rc) {
            if (rc != plat_error_would_block())
                net_lost(e, rc);
            break;
        }
        plat_tcp_quickack(e->conn);
        unsigned k = got;
        if (e->net_mode == NET_RFC2217) {
            k = telnet_filter(&e->telnet, buf, got, buf);
            int src = send_replies(e);
            if (src)
                net_lost(e, src);
        }
        if (out)
            memcpy(out + total, buf, k);
        total += k;
        room -= k;
    }
    return total;
}

static void service_net(Entry* e)
{
    unsigned room = (unsigned)(RX_SIZE - 1 - unread(e));
    if (room == 0 || e->conn == PLAT_NO_SOCKET)
        return;
    unsigned char* buf = (unsigned char*)malloc(room);
    if (!buf)
        return;
    unsigned k = net_receive(e, buf, room);
    append(e, buf, k);
    free(buf);
}

static int net_wait(Entry* e, unsigned ms)
{
    if (e->conn == PLAT_NO_SOCKET)
        return idle_wait(ms);
    // Readable: data, Telnet commands only, or the close, which the next
    // service of the port finds.
    return plat_tcp_wait_readable(&e->conn, 1, ms);
}

// The whole block, FF doubled on an RFC 2217 line, within the time a slow
// link needs for it (2 KB a millisecond) and a second more; a connection
// that cannot take it is lost.
static void send_net(unsigned short port, Entry* e, const unsigned char* buf, int n)
{
    if (e->conn == PLAT_NO_SOCKET) {
        if (port)
            err_log(port, e->net_error ? e->net_error : plat_error_connection_closed());
        return;
    }
    const unsigned char* out = buf;
    unsigned char* escaped = nullptr;
    unsigned len = (unsigned)n;
    if (e->net_mode == NET_RFC2217) {
        escaped = (unsigned char*)malloc(2 * (size_t)n + 1);
        if (!escaped)
            return;
        len = telnet_escape(buf, (unsigned)n, escaped);
        out = escaped;
    }
    int rc = send_all(e->conn, out, len, len / 2048 + 1000);
    free(escaped);
    if (rc) {
        net_lost(e, rc);
        if (port)
            err_log(port, rc);
    }
}

// RFC 2217: the option agreed, then 4800 8N1 set and acknowledged by
// `deadline`; DTR and RTS asked low, without waiting (servers in front of
// pseudo-terminals never acknowledge SET-CONTROL). 0 or the code.
static int negotiate_com_port(Entry* e, uint32_t start, uint32_t limit_ms)
{
    unsigned char frame[64];
    unsigned n = telnet_opening(frame);
    int rc = send_all(e->conn, frame, n, limit_ms);
    if (rc)
        return rc;
    int settings_sent = 0;
    uint64_t sent_at = 0;
    const unsigned short wanted = 1u << CPC_SET_BAUDRATE | 1u << CPC_SET_DATASIZE |
                                  1u << CPC_SET_PARITY | 1u << CPC_SET_STOPSIZE;
    for (;;) {
        // Line bytes before the line counts as open are dropped, as a
        // serial device's waiting input is.
        unsigned char sink[RX_SIZE];
        net_receive(e, sink, sizeof sink);
        if (e->conn == PLAT_NO_SOCKET)
            return e->net_error ? e->net_error : plat_error_connection_closed();
        if (e->telnet.refused & 4)
            return plat_error_not_supported();
        if (!settings_sent && e->telnet.com_port_agreed) {
            static const unsigned char baud[4] = {0, 0, 0x12, 0xC0};  // 4800
            static const unsigned char eight = 8, none = 1, one = 1;
            static const unsigned char dtr_off = CPC_CONTROL_DTR_OFF,
                                       rts_off = CPC_CONTROL_RTS_OFF;
            n = telnet_com_port(CPC_SET_BAUDRATE, baud, 4, frame);
            n += telnet_com_port(CPC_SET_DATASIZE, &eight, 1, frame + n);
            n += telnet_com_port(CPC_SET_PARITY, &none, 1, frame + n);
            n += telnet_com_port(CPC_SET_STOPSIZE, &one, 1, frame + n);
            n += telnet_com_port(CPC_SET_CONTROL, &dtr_off, 1, frame + n);
            n += telnet_com_port(CPC_SET_CONTROL, &rts_off, 1, frame + n);
            sent_at = plat_perf_counter();
            rc = send_all(e->conn, frame, n, limit_ms);
            if (rc)
                return rc;
            settings_sent = 1;
        }
        if (settings_sent && (e->telnet.cpc_seen & wanted) == wanted) {
            e->rtt_us = elapsed_us(sent_at);
            return 0;
        }
        uint32_t spent = plat_tick_ms() - start;
        if (spent >= limit_ms)
            return plat_error_timed_out();
        plat_tcp_wait_readable(&e->conn, 1, limit_ms - spent);
    }
}

static int open_net(Entry& e, const char* name)
{
    net_url url;
    if (net_url_parse(name, &url, nullptr, 0) != 1)
        return plat_error_invalid();
    int rc = plat_net_start();
    if (rc)
        return rc;
    uint32_t start = plat_tick_ms();
    uint64_t t0 = plat_perf_counter();
    plat_socket s;
    rc = plat_tcp_connect(url.host, url.port, net_connect_ms, &s);
    if (rc) {
        plat_net_stop();
        return rc;
    }
    e.kind = KIND_NET;
    e.conn = s;
    e.net_mode = url.mode;
    e.net_gone = 0;
    e.net_error = 0;
    e.rtt_us = elapsed_us(t0);
    telnet_rx_init(&e.telnet);
    if (url.mode == NET_RFC2217) {
        rc = negotiate_com_port(&e, start, net_connect_ms);
        if (rc) {
            if (e.conn != PLAT_NO_SOCKET)
                plat_tcp_close(e.conn);
            e.conn = PLAT_NO_SOCKET;
            plat_net_stop();
            return rc;
        }
    }
    e.held = 1;
    return 0;
}

int port_gone(unsigned short port, int* code)
{
    Entry* e = data_slot(port);
    if (!e || e->kind != KIND_NET || !e->net_gone)
        return 0;
    if (code)
        *code = e->net_error;
    return 1;
}

uint32_t port_round_trip_us(unsigned short port)
{
    Entry* e = data_slot(port);
    return e && e->kind == KIND_NET ? e->rtt_us : 0;
}
