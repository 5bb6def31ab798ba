// Windows: serial devices, through Win32 without overlapped I/O;
// pseudo-terminals, which the system lacks.
#include "platform.h"
#include "system.h"
#include "win32_rules.h"

#include <windows.h>

#include "win32_text.h"
#include <stdio.h>
#include <string.h>

static HANDLE H(plat_handle h)
{
    return (HANDLE)h;
}

// ---- serial devices -------------------------------------------------------

int plat_serial_device_path(const char* name, char* path, unsigned size)
{
    int n = snprintf(path, size, "\\\\.\\%s", name);
    return n >= 0 && (unsigned)n < size ? 0 : ERROR_FILENAME_EXCED_RANGE;
}

int plat_serial_exists(const char* name)
{
    // COM12 or \\.\COM12: a name of the system's device space.
    const char* device = strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
    char target[1024];
    if (QueryDosDeviceA(device, target, sizeof target))
        return 0;
    return last_error_or(ERROR_FILE_NOT_FOUND);
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
    d.fBinary = d.fParity = 1;
    d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = 0;
    d.fOutX = d.fInX = 0;
    d.fErrorChar = d.fNull = d.fAbortOnError = 0;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fRtsControl = RTS_CONTROL_DISABLE;
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
    static const unsigned long lines[4] = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
    DWORD m = 0;
    *bits = 0;
    if (!GetCommModemStatus(H(h), &m))
        return last_error_or(ERROR_GEN_FAILURE);
    *bits = sys_modem_bits(m, lines);
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
    plat_serial_drain(h);
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
