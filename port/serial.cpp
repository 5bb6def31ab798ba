// A serial device: any name that no other kind claims (COM3, ttyUSB0, a
// path). Line settings, direction control for half-duplex RS-485
// converters, and the echo such a converter hears of its own sending.
#include <stdlib.h>
#include <string.h>

#include "kinds.h"

// Room for every name a slot holds behind the system's device prefix, so a
// stable link (/dev/serial/by-id/...) opens as well as a short name.
enum { DEVICE_PATH_SIZE = PORT_NAME_SIZE + 8 };
// The longest block whose echo is looked for: every frame of the protocol.
enum { ECHO_FRAME_MAX = 16 };

// What a slot holding a serial device keeps besides the common Entry: its
// device, direction control and echo count (serial_device), and the rest.
struct serial_state : serial_device {
    // The line's echo of its own sending, where no echo_skip is set: the
    // last block written while its echo may still come, its length, how
    // many of its bytes have come back first and in order (held out of the
    // ring), and until when those wait for the rest.
    unsigned char echo_frame[ECHO_FRAME_MAX];
    unsigned char echo_len;
    unsigned char echo_heard;
    plat_deadline echo_until;
    // Where echo_skip counts an echo (turn_type 1 to 4): the bytes it
    // stands for, in the order they went out, its first echo_skip ones still
    // to come back.
    unsigned char sent[256];
    // The driver's line errors, counted as the port is serviced (`asked`
    // set when the driver keeps counts).
    plat_line_errors line_errors;
    // 1 once the system says the device is gone, and the code of the call
    // that found it.
    unsigned char gone;
    int error;
};
static serial_state serial[PORT_COUNT];

static serial_state& state(const Entry* e)
{
    return serial[slot_index(e)];
}

static plat_handle device(const Entry* e)
{
    return state(e).handle;
}

serial_device& serial_device_of(unsigned short port)
{
    return serial[port - 1];
}

static int serial_claims(const char*)
{
    return 1;
}

static int serial_open(Entry* e, char* name, int*)
{
    e->kind = KIND_SERIAL;
    serial_state& s = state(e);
    s = serial_state();  // nothing of an earlier port in this slot
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
    s.handle = h;
    e->held = 1;
    // The errors before the port was ours are not its line's.
    plat_serial_line_errors(h, &s.line_errors);
    return 0;
}

static void serial_release(Entry* e)
{
    serial_state& s = state(e);
    if (s.turn_type == CONVERTER_KERNEL)
        plat_serial_rs485(s.handle, 0);
    plat_serial_close(s.handle);
    s.handle = PLAT_NO_HANDLE;
}

// ---- receiving ------------------------------------------------------------------

// After a failed call on the device: when the system says it is gone
// (hung up, pulled out), the line is lost, as a network line whose
// connection ended, and exchanges on it fail at once.
static void check_lost(Entry* e, int code)
{
    serial_state& s = state(e);
    if (!s.gone && plat_serial_lost(s.handle)) {
        s.gone = 1;
        s.error = code;
    }
}

static int serial_gone(Entry* e, int* code)
{
    return gone_answer(state(e).gone, state(e).error, code);
}

// Reads what the serial driver holds into a new buffer (the caller frees
// it); null when it holds nothing. *got is what the read delivered.
static unsigned char* read_driver_queue(Entry* e, unsigned* got)
{
    unsigned q = 0;
    *got = 0;
    int rc = plat_serial_in_queue(device(e), &q);
    if (rc)
        check_lost(e, rc);
    if (q == 0)
        return nullptr;
    unsigned char* buf = (unsigned char*)malloc(q);
    if (buf && (rc = plat_serial_read(device(e), buf, q, got)) != 0)
        check_lost(e, rc);
    return buf;
}

// ---- the echo of a two-wire converter ------------------------------------------------

// Where no echo_skip says so, a converter may still hear its own sending:
// the first bytes after a block that repeat the whole block, in order, are
// its echo and are dropped. Bytes that begin like it wait, out of the ring,
// until they part from it or the rest of the block has had its line time;
// then they are data after all. A protocol answer never begins with a
// frame's first byte, so only a Test's answer (any byte) may wait so.
static void echo_expect(Entry* e, const unsigned char* buf, int n)
{
    serial_state& s = state(e);
    s.echo_heard = 0;
    s.echo_len = n > 0 && n <= ECHO_FRAME_MAX ? (unsigned char)n : 0;
    for (int i = 0; i < s.echo_len; i++)
        s.echo_frame[i] = buf[i];
}

// The bytes held as a possible echo join the ring: it was none.
static int echo_release(Entry* e)
{
    serial_state& s = state(e);
    int held = s.echo_heard;
    ring_append(e, s.echo_frame, s.echo_heard);
    s.echo_len = s.echo_heard = 0;
    return held > 0;
}

static unsigned serial_line_ms(Entry* e, int n);

static uint32_t echo_wait_ms(Entry* e)
{
    const serial_state& s = state(e);
    return serial_line_ms(e, s.echo_len - s.echo_heard) + 50;
}

// New bytes: an echo's part held, the rest into the ring. 1 when the ring
// got something.
static int echo_take(Entry* e, const unsigned char* b, unsigned n)
{
    serial_state& s = state(e);
    int appended = 0;
    unsigned at = 0;
    for (; s.echo_len && at < n; at++) {
        if (b[at] != s.echo_frame[s.echo_heard]) {
            appended |= echo_release(e);
            break;
        }
        if (s.echo_heard++ == 0)
            plat_deadline_start(&s.echo_until, echo_wait_ms(e));
        if (s.echo_heard == s.echo_len) {
            echo_log(slot_port(e), s.echo_frame, s.echo_len);
            s.echo_len = s.echo_heard = 0;
        }
    }
    if (at < n) {
        ring_append(e, b + at, n - at);
        appended = 1;
    }
    return appended;
}

// The front of a read that repeats what was sent, where echo_skip counts
// an echo: the count dropped. A converter that hears nothing of its own
// sending answers at once, so the first byte that differs ends the echo and
// is the answer's.
static unsigned echo_skip_take(Entry* e, const unsigned char* b, unsigned n)
{
    serial_state& s = state(e);
    unsigned k = 0;
    while (k < n && k < s.echo_skip && b[k] == s.sent[k])
        k++;
    if (k < n && k < s.echo_skip)
        s.echo_skip = 0;  // a byte that differs: the echo is over
    else
        s.echo_skip = (unsigned char)(s.echo_skip - k);
    memmove(s.sent, s.sent + k, s.echo_skip);
    return k;
}

// What a converter that echoes will send back: appended to what is still
// to come, as the count grows (and wraps) as before.
static void echo_skip_expect(Entry* e, const unsigned char* buf, int n)
{
    serial_state& s = state(e);
    for (int i = 0; i < n && s.echo_skip + i < (int)sizeof s.sent; i++)
        s.sent[s.echo_skip + i] = buf[i];
    s.echo_skip = (unsigned char)(s.echo_skip + n);
}

static int echo_overdue(Entry* e)
{
    const serial_state& s = state(e);
    return s.echo_heard && plat_deadline_expired(&s.echo_until);
}

// The driver's new line errors, into the layer's statistics (overruns
// spoil a frame as a bad stop bit does).
static void count_line_errors(Entry* e)
{
    serial_state& s = state(e);
    if (!s.line_errors.asked)
        return;
    plat_line_errors was = s.line_errors;
    if (plat_serial_line_errors(device(e), &s.line_errors) != 0)
        return;
    p_errors += (int32_t)(s.line_errors.parity - was.parity);
    fr_errors += (int32_t)(s.line_errors.framing - was.framing + s.line_errors.overrun -
                           was.overrun);
}

static int serial_line_errors(Entry* e, plat_line_errors* out)
{
    count_line_errors(e);
    *out = state(e).line_errors;
    return !state(e).line_errors.asked;
}

static int serial_service(Entry* slot)
{
    count_line_errors(slot);
    int result = echo_overdue(slot) ? echo_release(slot) : 0;
    unsigned got;
    unsigned char* buf = read_driver_queue(slot, &got);
    if (!buf)
        return result;
    unsigned skip = echo_skip_take(slot, buf, got);
    if (got > skip)
        result |= echo_take(slot, buf + skip, got - skip);
    free(buf);
    return result;
}

static int serial_wait(Entry* e, unsigned ms)
{
    // Bytes held as a possible echo are data once their time is up.
    const serial_state& s = state(e);
    if (s.echo_heard) {
        unsigned long left = plat_deadline_left(&s.echo_until);
        if (left == 0)
            return 1;
        if (ms > left)
            ms = (unsigned)left;
    }
    int ready = plat_serial_wait_input(device(e), ms);
    if (ready == 0)
        return 0;
    if (ready < 0)
        check_lost(e, 0);
    // A hung-up device reads as ready for ever with nothing queued.
    unsigned q = 0;
    plat_serial_in_queue(device(e), &q);
    return q ? 1 : idle_wait(ms);
}

static void serial_clear(unsigned short port, Entry* e)
{
    echo_release(e);  // dropped with the rest
    ring_drop(port, e);
    // The driver's queue is emptied by reading it; echo accounting stays.
    unsigned got;
    unsigned char* buf = read_driver_queue(e, &got);
    if (!buf)
        return;
    if (traffic_recorded())
        clear_log(port, buf, (int)got);
    free(buf);
}

// ---- sending ----------------------------------------------------------------------

// Whether the converter echoes what is sent, by turn_type.
static int echoes(unsigned t)
{
    return t >= 1 && t <= 4;
}

// One serial write with the direction switching of the port's turn_type.
// A failed write is recorded only with turn_type 0 or 5.
static void serial_send(unsigned short port, Entry* e, unsigned char* buf, int n,
                        int record_failure)
{
    unsigned t = state(e).turn_type;
    unsigned done;
    if (!echoes(t))
        echo_expect(e, buf, n);
    if (t == 0 || t == 5) {
        int rc = plat_serial_write(device(e), buf, (unsigned)n, &done);
        if (rc && record_failure)
            err_log(port, rc);
        if (rc)
            check_lost(e, rc);
        return;
    }
    trans_turn_send(port, (int)t);
    int rc = plat_serial_write(device(e), buf, (unsigned)n, &done);
    if (rc)
        check_lost(e, rc);
    // Everything out before the line turns, within the bound the platform
    // sets at the device's own rate.
    plat_serial_drain(device(e));
    trans_turn_receive(port, (int)t);
    if (echoes(t))
        echo_skip_expect(e, buf, n);
}

static int serial_sent(Entry* e)
{
    unsigned q = 0;
    plat_serial_out_queue(device(e), &q);
    return q == 0;
}

static int serial_line(Entry* e, plat_line* out)
{
    return plat_serial_get_line(device(e), out);
}

static unsigned serial_line_ms(Entry* e, int n)
{
    plat_line line;
    if (serial_line(e, &line) != 0)
        return 0;
    return (unsigned)plat_line_time_ms(&line, (unsigned long)n);
}

// ---- line settings and direction control ----------------------------------------

static int serial_init(Entry* e, unsigned long baud, unsigned char data_bits, unsigned char parity,
                       unsigned char stop_bits)
{
    plat_line line = {4800, 8, 0, 0, 0};
    plat_serial_get_line(device(e), &line);
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
    return plat_serial_set_line(device(e), &line);
}

static void serial_control(unsigned short port, Entry* e, char type)
{
    state(e).turn_type = (unsigned char)type;
    if (type == 5) {
        plat_line line;
        if (plat_serial_get_line(device(e), &line) == 0) {
            line.cts_flow = 1;
            plat_serial_set_line(device(e), &line);
        }
        plat_serial_escape(device(e), PLAT_SETRTS);
        return;
    }
    trans_turn_receive(port, type);
}

static int serial_escape(Entry* e, int code)
{
    return plat_serial_escape(device(e), code);
}

static void serial_modem_status(Entry* e, unsigned* bits)
{
    plat_serial_modem_status(device(e), bits);
}

static void serial_event_mask(Entry* e, unsigned* mask)
{
    plat_serial_event_mask(device(e), mask);
}

static unsigned char serial_direction(const Entry* e)
{
    return state(e).turn_type;
}

static int serial_rs485(Entry* e)
{
    int rc = plat_serial_rs485(device(e), 1);
    if (rc == 0)
        state(e).turn_type = CONVERTER_KERNEL;  // given back as the port closes
    return rc;
}

const port_kind serial_kind = {KIND_SERIAL,
                               serial_claims,
                               serial_open,
                               nullptr /* answers_free */,
                               serial_release,
                               nullptr /* admit */,
                               serial_service,
                               serial_wait,
                               serial_clear,
                               serial_send,
                               serial_gone,
                               nullptr /* round_trip_us */,
                               nullptr /* acknowledge */,
                               serial_sent,
                               serial_line_ms,
                               serial_init,
                               serial_control,
                               serial_escape,
                               serial_modem_status,
                               serial_event_mask,
                               serial_line_errors,
                               serial_line,
                               serial_direction,
                               serial_rs485};
