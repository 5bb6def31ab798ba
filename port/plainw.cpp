#include "plainw.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "../timers/timersw.h"
#include "kinds.h"

Entry Port[PORT_COUNT];
unsigned char started;
uint16_t pl_port_log;
int32_t p_errors, fr_errors;
int from_put;

// The kinds, in the order they are asked whether a name is theirs.
static const port_kind* const kinds[] = {&stub_kind, &tcps_kind, &net_kind, &serial_kind};

// A slot's kind. A slot never opened reads kind 0, a serial device.
static const port_kind* kind_of(const Entry* e)
{
    for (const port_kind* k : kinds)
        if (k->id == e->kind)
            return k;
    return &stub_kind;  // unreachable: every kind in a slot is listed
}

// The kind a name opens: the first that claims it.
static const port_kind* kind_for(const char* name)
{
    for (const port_kind* k : kinds)
        if (k->claims(name))
            return k;
    return &stub_kind;  // unreachable: the last kind takes any name
}

// The number in a port name: its first run of digits, cut to 16 bits.
static unsigned short name_number(const char* text)
{
    while (*text && (*text < '0' || *text > '9'))
        text++;
    return (unsigned short)strtoul(text, nullptr, 10);
}

static void release(Entry& e);

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
    log_run_start();
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
    log_run_end();
    started = 0;
}

static int slot_taken(const Entry& e)
{
    return e.base != 0 || e.held;
}

// Closes what the slot holds, by its kind.
static void release(Entry& e)
{
    if (!e.held)
        return;
    const port_kind* k = kind_of(&e);
    if (k->release)
        k->release(&e);
    e.held = 0;
}

static int open_why;  // open_port_why

int open_port_why(void)
{
    return open_why;
}

// Notes why open_port fails and returns its result.
static int open_failed(int why, int rc)
{
    open_why = why;
    return rc;
}

int open_port(unsigned short* port, char* name, char mode)
{
    open_why = OPEN_DONE;
    if (!started)
        return open_failed(OPEN_NOT_STARTED, 9);
    int slot = -1;
    for (int i = 0; i < PORT_COUNT && slot < 0; i++)
        if (!slot_taken(Port[i]))
            slot = i;
    if (slot < 0)
        return open_failed(OPEN_NO_SLOT, 1);
    if (!name[0])
        return open_failed(OPEN_EMPTY_NAME, 3);
    if (mode)
        return 0;
    Entry& e = Port[slot];
    if (strlen(name) >= sizeof e.name) {
        *port = 0;
        return open_failed(OPEN_SYSTEM_ERROR, plat_error_name_too_long());
    }
    strcpy(e.name, name);
    const port_kind* k = kind_for(name);
    int why = OPEN_SYSTEM_ERROR;
    int rc = k->open(&e, name, &why);
    if (rc) {
        if (why == OPEN_SYSTEM_ERROR)
            *port = 0;
        return open_failed(why, rc);
    }
    // A stub leaves its slot free, so the slot may come back with its ring.
    if (!e.rx_buf)
        e.rx_buf = (unsigned char*)malloc(RX_SIZE);
    if (!e.rx_buf) {
        release(e);
        *port = 0;
        return open_failed(OPEN_SYSTEM_ERROR, plat_error_no_memory());
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

const char* port_name(unsigned short port)
{
    return port == 0 || port > PORT_COUNT ? "" : Port[port - 1].name;
}

int port_is_serial(unsigned short port)
{
    return port != 0 && port <= PORT_COUNT && kind_of(&Port[port - 1]) == &serial_kind;
}

// ---- slots as the data path sees them ----------------------------------------

// The slot behind a handle, or null for 0, a handle above 16 and a freed
// slot. A kind that leaves its slot free (the stub) keeps answering, in use
// or not.
static Entry* slot_of(unsigned short port)
{
    if (port == 0 || port > PORT_COUNT)
        return nullptr;
    Entry* e = &Port[port - 1];
    if (!e->rx_buf)
        return nullptr;
    if (slot_taken(*e))
        return e;
    const port_kind* k = kind_of(e);
    return k->answers_free && k->answers_free(e) ? e : nullptr;
}

// A slot that sends or receives: serial device, TCP server or network line.
// Only a slot that holds what it opened has something to pass to the system.
static Entry* data_slot(unsigned short port)
{
    Entry* e = slot_of(port);
    return e && e->held ? e : nullptr;
}

// The kind of a slot that sends or receives, null for any other.
static const port_kind* data_kind(unsigned short port, Entry** e)
{
    *e = data_slot(port);
    return *e ? kind_of(*e) : nullptr;
}

// ---- receive path -----------------------------------------------------------------

int ring_unread(const Entry* e)
{
    int c = (int)e->rx_head - (int)e->rx_tail;
    return c < 0 ? c + RX_SIZE : c;
}

// Appends to the ring. With RX_SIZE - 1 bytes unread the ring is full and
// further bytes are dropped: the oldest unread data (the start of a reply)
// is kept, and the unread count never wraps to 0.
void ring_append(Entry* e, const unsigned char* b, unsigned n)
{
    for (unsigned i = 0; i < n && ring_unread(e) < RX_SIZE - 1; i++) {
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

int win_put_into_buf(Entry* slot)
{
    // A stub or a slot with nothing open has no handle of its own to read.
    if (!slot->held || !slot->rx_buf)
        return 0;
    const port_kind* k = kind_of(slot);
    return k->service ? k->service(slot) : 0;
}

// The slot of a port that receives, after pulling in what is waiting.
static Entry* serviced(unsigned short port)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    if (!k)
        return nullptr;
    if (k->admit)
        k->admit(e);
    win_put_into_buf(e);
    return e;
}

int port_avail(unsigned short port)
{
    Entry* e = serviced(port);
    return e ? ring_unread(e) : 0;
}

int peek_port(unsigned short port, int idx)
{
    Entry* e = serviced(port);
    if (!e || idx < 0 || idx >= ring_unread(e))
        return 0;
    int at = e->rx_tail + idx;
    if (at >= RX_SIZE)
        at -= RX_SIZE;
    return e->rx_buf[at];
}

int recv_port(unsigned short port, unsigned char* buf, int n)
{
    Entry* e = serviced(port);
    if (!e || n < 0 || n > ring_unread(e))
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
        if (stimer_exp(deadline) || plat_wait_interrupted())
            return 0;
    }
}

static const unsigned IDLE_WAIT_MS = 1;

int idle_wait(unsigned ms)
{
    plat_sleep_ms(ms < IDLE_WAIT_MS ? ms : IDLE_WAIT_MS);
    return 0;
}

int port_wait(unsigned short port, unsigned ms)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    if (!k || !k->wait)
        return idle_wait(ms);
    return k->wait(e, ms);
}

void ring_drop(unsigned short port, Entry* e)
{
    int c = ring_unread(e);
    if (c == 0)
        return;
    if (traffic_recorded()) {
        unsigned char* buf = (unsigned char*)malloc((size_t)c);
        if (buf) {
            uint16_t mask = pl_port_log;
            auto hook = pl_traffic_hook;
            pl_port_log = 0;  // its own read is no read record
            pl_traffic_hook = nullptr;
            recv_port(port, buf, c);
            pl_port_log = mask;
            pl_traffic_hook = hook;
            clear_log(port, buf, c);
            free(buf);
        }
    }
    e->rx_tail = e->rx_head;
}

void clear_buf(unsigned short port)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    if (!k)
        return;
    if (k->clear)
        k->clear(port, e);
    else
        ring_drop(port, e);
}

// ---- transmit path ------------------------------------------------------------------

void put_port(unsigned short port, unsigned char* buf, int n)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    if (!k || n < 0)
        return;
    if (k->send)
        k->send(port, e, buf, n, 1);
    write_log(port, buf, n);
}

void send_port(unsigned short port, unsigned char b)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    if (!k)
        return;
    if (k->send)
        k->send(port, e, &b, 1, 0);
    if (from_put == 0)
        write_log(port, &b, 1);
}

int port_sent(unsigned short port)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    return k && k->sent ? k->sent(e) : 1;
}

unsigned port_line_ms(unsigned short port, int n)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    return k && k->line_ms && n > 0 ? k->line_ms(e, n) : 0;
}

// ---- line settings and direction control ----------------------------------------

// The modem-line switch that puts the line into the transmit and into the
// receive state, by turn_type; 0 switches nothing.
static const unsigned char turn_send_code[8] = {0,           PLAT_SETDTR, PLAT_CLRDTR, PLAT_SETRTS,
                                                PLAT_CLRRTS, 0,           PLAT_SETDTR, PLAT_CLRDTR};
static const unsigned char turn_receive_code[8] = {0,           PLAT_CLRDTR, PLAT_SETDTR,
                                                   PLAT_CLRRTS, PLAT_SETRTS, 0,
                                                   PLAT_CLRDTR, PLAT_SETDTR};

int init_port(unsigned short port, unsigned long baud, unsigned char data_bits,
              unsigned char parity, unsigned char stop_bits)
{
    Entry* e = slot_of(port);
    if (!e)
        return 2;
    const port_kind* k = kind_of(e);
    if (!e->held || !k->init)
        return 0;
    return k->init(e, baud, data_bits, parity, stop_bits);
}

void port_control(unsigned int port, char type)
{
    Entry* e = port <= PORT_COUNT ? slot_of((unsigned short)port) : nullptr;
    if (!e)
        return;
    const port_kind* k = kind_of(e);
    if (e->held && k->control)
        k->control((unsigned short)port, e, type);
}

// The kind of a port whose modem lines can be switched, null for any other.
static const port_kind* lines_kind(unsigned short port, Entry** e)
{
    const port_kind* k = data_kind(port, e);
    return k && k->escape ? k : nullptr;
}

static void turn(unsigned short port, int type, const unsigned char* codes)
{
    Entry* e;
    const port_kind* k = lines_kind(port, &e);
    if (!k || (unsigned)type > 7 || !codes[type])
        return;
    k->escape(e, codes[type]);
}

// The converters by name: what a technician chooses, and the turn_type it
// gives port_control.
static const struct {
    const char* name;
    int type;
} converters[] = {{"auto", 0},
                  {"rts", 3},
                  {"rts-inverted", 4},
                  {"dtr", 6},
                  {"dtr-inverted", 7},
                  {"dtr-echo", 1},
                  {"dtr-echo-inverted", 2},
                  {"handshake", 5},
                  {"kernel", CONVERTER_KERNEL}};

const char* converter_name(int i)
{
    return i >= 0 && i < (int)(sizeof converters / sizeof *converters) ? converters[i].name
                                                                       : nullptr;
}

static std::string joined_names(void)
{
    std::string names;
    for (const auto& c : converters)
        names += (names.empty() ? "" : ", ") + std::string(c.name);
    return names;
}

const char* converter_names(void)
{
    static const std::string names = joined_names();
    return names.c_str();
}

int converter_type(const char* name)
{
    for (const auto& c : converters)
        if (strcmp(c.name, name) == 0)
            return c.type;
    return -1;
}

int port_rs485(unsigned short port)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    return k && k->rs485 ? k->rs485(e) : plat_error_not_supported();
}

// The direction control of a port whose lines can be switched.
static unsigned direction(const port_kind* k, const Entry* e)
{
    return k->direction ? k->direction(e) : 0;
}

int port_control_fault(unsigned short port)
{
    Entry* e;
    const port_kind* k = lines_kind(port, &e);
    unsigned t = k ? direction(k, e) : 0;
    if (!k || t > 7)
        return 0;
    // The receive state again, as port_control left it.
    int code = t == 5 ? (int)PLAT_SETRTS : turn_receive_code[t];
    return code ? k->escape(e, code) : 0;
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
    Entry* e;
    const port_kind* k = lines_kind(port, &e);
    if (!k)
        return 0;
    // With direction control the lines are not the caller's to switch.
    unsigned t = direction(k, e);
    if (!any_type && t != 0 && t != 5)
        return 0;
    if (lines & 1)
        k->escape(e, on ? PLAT_SETDTR : PLAT_CLRDTR);
    if (lines & 2)
        k->escape(e, on ? PLAT_SETRTS : PLAT_CLRRTS);
    return 1;
}

int port_line_errors(unsigned short port, plat_line_errors* out)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    return k && k->line_errors ? k->line_errors(e, out) : 1;
}

int port_line(unsigned short port, plat_line* out)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    return k && k->line ? k->line(e, out) : 1;
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
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    if (!k || !k->modem_status)
        return 0;
    *status = 0;
    unsigned bits = 0;
    k->modem_status(e, &bits);
    *status = (unsigned char)(bits & (PLAT_MS_CTS | PLAT_MS_DSR | PLAT_MS_RING | PLAT_MS_RLSD));
    return 1;
}

int get_comm_mask(int port)
{
    Entry* e = nullptr;
    const port_kind* k = port > 0 && port <= PORT_COUNT ? data_kind((unsigned short)port, &e)
                                                        : nullptr;
    if (!k || !k->event_mask)
        return 0;
    unsigned mask = 0;
    k->event_mask(e, &mask);
    return (int)mask;
}

// ---- what a line tells -----------------------------------------------------------

int port_gone(unsigned short port, int* code)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    return k && k->gone ? k->gone(e, code) : 0;
}

uint32_t port_round_trip_us(unsigned short port)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    return k && k->round_trip_us ? k->round_trip_us(e) : 0;
}

void port_acknowledge(unsigned short port)
{
    Entry* e;
    const port_kind* k = data_kind(port, &e);
    if (k && k->acknowledge)
        k->acknowledge(e);
}
