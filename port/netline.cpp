// A network line: a serial line reached through a device server, named by
// a URL. "tcp://HOST:PORT" (or "socket://") is raw TCP; "rfc2217://HOST:PORT"
// is Telnet with the COM Port Control option (telnet.cpp), which sets the
// server's line to 4800 8N1 as a serial device's is set.
#include <stdlib.h>
#include <string.h>

#include "kinds.h"
#include "telnet.h"

unsigned net_connect_ms = NET_CONNECT_MS;

struct net_mode;

// What a slot holding a network line keeps besides the common Entry: its
// connection (PLAT_NO_SOCKET once it has closed or failed: the line then
// answers as a pulled-out device), its mode, whether and how the line was
// lost (0 the server closed it, else the system's code), the Telnet
// receive state, the round trip measured while connecting, in
// microseconds, 1 on a raw line until its first bytes have been looked at
// for Telnet, and what the current wait took: bytes that carry nothing for
// the caller (Telnet commands, line bytes before the line is open) and
// line bytes.
struct net_state {
    plat_socket conn;
    const net_mode* mode;
    unsigned char gone;
    int error;
    telnet_rx telnet;
    uint32_t rtt_us;
    unsigned char fresh;
    uint32_t noise, line;
};
static net_state lines[PORT_COUNT];

static net_state& state(const Entry* e)
{
    return lines[slot_index(e)];
}

// Where raw TCP and RFC 2217 differ.
struct net_mode {
    // Takes the line's bytes out of the `*n` received in `buf`, in place,
    // and leaves their count in *n: 1 when the line ends here.
    int (*take)(Entry* e, unsigned char* buf, unsigned* n);
    // The bytes to send for a block of *n (their count left in *n): `buf`
    // itself, a new buffer the caller frees, or null when there is no room.
    unsigned char* (*wire)(unsigned char* buf, unsigned* n);
    // What opening the line takes once it has connected: 0 or the code.
    int (*opening)(Entry* e, const plat_deadline* d);
    // port_acknowledge; null where nothing could be sent.
    void (*acknowledge)(Entry* e);
};

static int net_claims(const char* name)
{
    return port_name_is_url(name);
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
    net_state& s = state(e);
    if (s.conn != PLAT_NO_SOCKET)
        plat_tcp_close(s.conn);
    s.conn = PLAT_NO_SOCKET;
    s.gone = 1;
    s.error = code;
}

static int net_gone(Entry* e, int* code)
{
    return gone_answer(state(e).gone, state(e).error, code);
}

// Sends all of `n` bytes as they are within `limit_ms`; 0 or the code of
// the failure (a time-out and an interrupt included).
static int send_all(plat_socket s, const unsigned char* buf, unsigned n, uint32_t limit_ms)
{
    plat_deadline d;
    plat_deadline_start(&d, limit_ms);
    unsigned done = 0;
    while (done < n) {
        unsigned sent = 0;
        int rc = plat_tcp_send(s, buf + done, n - done, &sent);
        if (rc && rc != plat_error_would_block())
            return rc;
        done += sent;
        if (done == n)
            break;
        int end = plat_wait_end(&d);
        if (end)
            return end;
        unsigned long left = plat_deadline_left(&d);
        plat_tcp_wait_writable(&s, 1, left < 10 ? (unsigned)left : 10);
    }
    return 0;
}

static int last_fault;  // what net_fault tells

int net_fault(void)
{
    return last_fault;
}

// More Telnet bytes than any negotiation sends, and many times the line
// bytes among them, within one wait: the server floods commands. Counted
// over the whole wait, so that a data byte now and then between floods
// changes nothing.
enum { NET_FLOOD_RUN = 1024, NET_FLOOD_RATIO = 16 };

static int flooding(const Entry* e)
{
    const net_state& s = state(e);
    return s.noise > NET_FLOOD_RUN && s.noise / NET_FLOOD_RATIO >= s.line;
}

// A new wait begins: the flood guard counts afresh.
static void wait_begins(Entry* e)
{
    state(e).noise = state(e).line = 0;
}

// The answers the Telnet filter asked for, as far as the connection takes
// them now; the rest goes with the next receive. Never waits: a server that
// floods requests and reads nothing must not hold the caller.
static int send_replies(Entry* e)
{
    net_state& s = state(e);
    if (!s.telnet.reply_len || s.conn == PLAT_NO_SOCKET)
        return 0;
    unsigned sent = 0;
    int rc = plat_tcp_send(s.conn, s.telnet.reply, s.telnet.reply_len, &sent);
    if (rc && rc != plat_error_would_block())
        return rc;
    s.telnet.reply_len = (unsigned char)(s.telnet.reply_len - sent);
    memmove(s.telnet.reply, s.telnet.reply + sent, s.telnet.reply_len);
    return 0;
}

// An RFC 2217 line's bytes pass the Telnet filter, whose answers go out.
static int rfc2217_take(Entry* e, unsigned char* buf, unsigned* n)
{
    *n = telnet_filter(&state(e).telnet, buf, *n, buf);
    int rc = send_replies(e);
    if (rc)
        net_lost(e, rc);
    return 0;
}

// A raw line's first bytes are looked at for Telnet's negotiation: a
// server that speaks it is no raw line, and its bytes are no answer.
static int raw_take(Entry* e, unsigned char* buf, unsigned* n)
{
    net_state& s = state(e);
    if (!s.fresh)
        return 0;
    s.fresh = 0;
    if (!telnet_negotiates(buf, *n))
        return 0;
    last_fault = NET_FAULT_TELNET;
    net_lost(e, plat_error_not_supported());
    return 1;
}

// Takes what the connection holds, at most `room` line bytes and RX_SIZE
// bytes in all, through the mode's `take`. The line's bytes go to `out`
// (when given; `dropped`: they are no answer, and count as noise) and
// their count is returned; a close or failure ends the line. A server that
// sends commands only is read a bounded amount (less while it floods); the
// caller's wait comes between two reads.
static unsigned net_receive(Entry* e, unsigned char* out, unsigned room, int dropped = 0)
{
    enum { CHUNK = 2048 };
    unsigned char buf[CHUNK];
    unsigned total = 0, taken = 0;
    const unsigned most = flooding(e) ? (unsigned)CHUNK : (unsigned)RX_SIZE;
    net_state& s = state(e);
    int src = send_replies(e);
    if (src)
        net_lost(e, src);
    while (s.conn != PLAT_NO_SOCKET && room > 0 && taken < most) {
        // A Telnet stream never gives more line bytes than it has bytes, so
        // taking no more than the room keeps the rest in the system, held
        // back by TCP's flow control. One receive that does not wait tells
        // all: bytes, nothing yet, or the close (0) or failure.
        unsigned n = room < (unsigned)CHUNK ? room : (unsigned)CHUNK, got = 0;
        int rc = plat_tcp_recv(s.conn, buf, n, &got);
        if (rc == 0 && got == 0) {
            net_lost(e, 0);
            break;
        }
        if (rc) {
            if (rc != plat_error_would_block())
                net_lost(e, rc);
            break;
        }
        plat_tcp_quickack(s.conn);
        taken += got;
        unsigned k = got;
        if (s.mode->take(e, buf, &k))
            break;
        s.noise += got - k;
        if (dropped)
            s.noise += k;
        else
            s.line += k;
        if (out)
            memcpy(out + total, buf, k);
        total += k;
        room -= k;
        // The system held no more: asking again would only cost a call
        // (under Wine, a round trip to its server).
        if (got < n)
            break;
    }
    return total;
}

static int net_service(Entry* e)
{
    unsigned room = (unsigned)(RX_SIZE - 1 - ring_unread(e));
    if (room == 0 || state(e).conn == PLAT_NO_SOCKET)
        return 0;
    unsigned char* buf = (unsigned char*)malloc(room);
    if (!buf)
        return 0;
    unsigned k = net_receive(e, buf, room);
    ring_append(e, buf, k);
    free(buf);
    return 0;
}

static void net_clear(unsigned short port, Entry* e)
{
    net_service(e);  // what has arrived so far; the server is not asked
    ring_drop(port, e);
    wait_begins(e);  // a request and its answer follow
}

static int net_wait(Entry* e, unsigned ms)
{
    net_state& s = state(e);
    if (s.conn == PLAT_NO_SOCKET)
        return idle_wait(ms);
    // A flood keeps the connection readable: a pause, so that reading it
    // costs little, and no wait outlasts its caller's deadline.
    if (flooding(e)) {
        idle_wait(ms);
        return 1;
    }
    // Readable: data, Telnet commands only, or the close, which the next
    // service of the port finds.
    return plat_tcp_wait_readable(&s.conn, 1, ms);
}

// The whole block, FF doubled on an RFC 2217 line, within the time a slow
// link needs for it (2 KB a millisecond) and a second more; a connection
// that cannot take it is lost.
static void net_send(unsigned short port, Entry* e, unsigned char* buf, int n, int record_failure)
{
    net_state& s = state(e);
    if (s.conn == PLAT_NO_SOCKET) {
        if (record_failure)
            err_log(port, s.error ? s.error : plat_error_connection_closed());
        return;
    }
    unsigned len = (unsigned)n;
    unsigned char* out = s.mode->wire(buf, &len);
    if (!out)
        return;
    int rc = send_all(s.conn, out, len, len / 2048 + 1000);
    if (out != buf)
        free(out);
    if (rc) {
        net_lost(e, rc);
        if (record_failure)
            err_log(port, rc);
    }
}

static unsigned char* raw_wire(unsigned char* buf, unsigned*)
{
    return buf;
}

static unsigned char* rfc2217_wire(unsigned char* buf, unsigned* n)
{
    unsigned char* escaped = (unsigned char*)malloc(2 * (size_t)*n + 1);
    if (escaped)
        *n = telnet_escape(buf, *n, escaped);
    return escaped;
}

// RFC 2217: the option agreed, then 4800 8N1 set and acknowledged by the
// deadline; DTR and RTS asked low, without waiting (servers in front of
// pseudo-terminals never acknowledge SET-CONTROL). 0 or the code.
static int negotiate_com_port(Entry* e, const plat_deadline* d)
{
    net_state& s = state(e);
    unsigned char frame[64];
    unsigned n = telnet_opening(frame);
    int rc = send_all(s.conn, frame, n, (uint32_t)plat_deadline_left(d));
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
        net_receive(e, sink, sizeof sink, 1);
        if (s.conn == PLAT_NO_SOCKET)
            return s.error ? s.error : plat_error_connection_closed();
        if (s.telnet.refused & TN_BIT_COM_PORT) {
            last_fault = NET_FAULT_NO_COM_PORT;
            return plat_error_not_supported();
        }
        if (!settings_sent && s.telnet.com_port_agreed) {
            static const unsigned char baud[4] = {0, 0, 0x12, 0xC0};  // 4800
            static const unsigned char eight = 8, none = 1, one = 1;
            static const unsigned char dtr_off = CPC_CONTROL_DTR_OFF, rts_off = CPC_CONTROL_RTS_OFF;
            n = telnet_com_port(CPC_SET_BAUDRATE, baud, 4, frame);
            n += telnet_com_port(CPC_SET_DATASIZE, &eight, 1, frame + n);
            n += telnet_com_port(CPC_SET_PARITY, &none, 1, frame + n);
            n += telnet_com_port(CPC_SET_STOPSIZE, &one, 1, frame + n);
            n += telnet_com_port(CPC_SET_CONTROL, &dtr_off, 1, frame + n);
            n += telnet_com_port(CPC_SET_CONTROL, &rts_off, 1, frame + n);
            sent_at = plat_perf_counter();
            rc = send_all(s.conn, frame, n, (uint32_t)plat_deadline_left(d));
            if (rc)
                return rc;
            settings_sent = 1;
        }
        if (settings_sent && (s.telnet.cpc_seen & wanted) == wanted) {
            s.rtt_us = elapsed_us(sent_at);
            return 0;
        }
        int end = plat_wait_end(d);
        if (end == plat_error_timed_out() && !s.telnet.heard)
            last_fault = NET_FAULT_NO_NEGOTIATION;  // silence, or bytes without a Telnet command
        if (end)
            return end;
        net_wait(e, (unsigned)plat_deadline_left(d));
    }
}

// A raw line's server speaks first only when it speaks Telnet: it opens
// with its negotiation as it accepts. What comes within a moment (100 ms
// and twice the round trip, within the bound) is looked at and dropped, as
// a serial device's waiting input is. 0, or the code for a server that
// speaks Telnet.
static int raw_opening(Entry* e, const plat_deadline* d)
{
    net_state& s = state(e);
    plat_deadline moment;
    plat_deadline_start(&moment, 100 + 2 * (s.rtt_us / 1000));
    if (plat_deadline_left(&moment) > plat_deadline_left(d))
        moment = *d;
    s.fresh = 1;
    for (;;) {
        unsigned char sink[RX_SIZE];
        net_receive(e, sink, sizeof sink, 1);
        if (last_fault == NET_FAULT_TELNET)
            return plat_error_not_supported();
        int end = plat_wait_end(&moment);
        if (end == plat_error_interrupted())
            return end;
        if (end || !s.fresh || s.conn == PLAT_NO_SOCKET)
            return 0;
        plat_tcp_wait_readable(&s.conn, 1, (unsigned)plat_deadline_left(&moment));
    }
}

// An IAC NOP on an RFC 2217 line: it carries the acknowledgement of what
// has come and reaches no device. A raw line has nothing it could send.
static void rfc2217_acknowledge(Entry* e)
{
    static const unsigned char nop[2] = {TN_IAC, TN_NOP};
    int rc = send_all(state(e).conn, nop, 2, 1000);
    if (rc)
        net_lost(e, rc);
}

// By the URL's mode, NET_RAW and NET_RFC2217 in turn.
static_assert(NET_RFC2217 == NET_RAW + 1, "the modes' table follows their numbers");
static const net_mode modes[] = {{raw_take, raw_wire, raw_opening, nullptr},
                                 {rfc2217_take, rfc2217_wire, negotiate_com_port,
                                  rfc2217_acknowledge}};

static int net_open(Entry* e, char* name, int*)
{
    net_url url;
    if (net_url_parse(name, &url, nullptr, 0) != 1)
        return plat_error_invalid();
    last_fault = NET_FAULT_NONE;
    int rc = plat_net_start();
    if (rc)
        return rc;
    plat_deadline d;  // the connect, the look-up and the negotiation, all in one
    plat_deadline_start(&d, net_connect_ms);
    uint64_t t0 = plat_perf_counter();
    plat_socket c;
    rc = plat_tcp_connect(url.host, url.port, (unsigned)plat_deadline_left(&d), &c);
    if (rc) {
        plat_net_stop();
        return rc;
    }
    e->kind = KIND_NET;
    net_state& s = state(e);
    s = net_state();  // nothing of a line lost in this slot before
    s.conn = c;
    s.mode = &modes[url.mode - NET_RAW];
    s.rtt_us = elapsed_us(t0);
    telnet_rx_init(&s.telnet);
    plat_tcp_ack_each(c);  // where the system has it; without, net_acknowledge
    rc = s.mode->opening(e, &d);
    if (rc) {
        if (s.conn != PLAT_NO_SOCKET)
            plat_tcp_close(s.conn);
        s.conn = PLAT_NO_SOCKET;
        plat_net_stop();
        return rc;
    }
    e->held = 1;
    return 0;
}

static void net_release(Entry* e)
{
    net_state& s = state(e);
    if (s.conn != PLAT_NO_SOCKET)
        plat_tcp_close(s.conn);
    s.conn = PLAT_NO_SOCKET;
    plat_net_stop();
}

static uint32_t net_round_trip_us(Entry* e)
{
    return state(e).rtt_us;
}

static void net_acknowledge(Entry* e)
{
    const net_state& s = state(e);
    if (s.mode->acknowledge && s.conn != PLAT_NO_SOCKET)
        s.mode->acknowledge(e);
}

const port_kind net_kind = {KIND_NET,       net_claims,
                            net_open,       nullptr /* answers_free */,
                            net_release,    nullptr /* admit */,
                            net_service,    net_wait,
                            net_clear,      net_send,
                            net_gone,       net_round_trip_us,
                            net_acknowledge};
