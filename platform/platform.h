// The few operating-system services the tool needs, behind one small
// interface. Everything outside platform/ reaches the system only through
// these functions; one source file per operating system implements them.
#ifndef KP6_PLATFORM_H
#define KP6_PLATFORM_H

#include <stdint.h>
#include <stdio.h>

// An open serial device: a file descriptor on POSIX, a HANDLE on Windows
// (the system's header stays out of here). PLAT_NO_HANDLE when none.
#ifdef _WIN32
typedef void* plat_handle;
#define PLAT_NO_HANDLE ((plat_handle)(intptr_t)-1)  // INVALID_HANDLE_VALUE
#else
typedef int plat_handle;
#define PLAT_NO_HANDLE (-1)
#endif

// ---- serial devices -------------------------------------------------------

// Line settings of a serial device, in the terms the port layer uses.
struct plat_line {
    unsigned long baud;       // bits per second
    unsigned char byte_size;  // 5 to 8 data bits
    unsigned char parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    unsigned char stop_bits;  // 0 one stop bit, 2 two stop bits
    unsigned char cts_flow;   // 1: transmission waits for CTS
};

// Time-outs in milliseconds, in the usual interval/multiplier/constant form.
struct plat_timeouts {
    unsigned read_interval;
    unsigned read_multiplier;
    unsigned read_constant;
    unsigned write_multiplier;
    unsigned write_constant;
};

// Modem-line switches for plat_serial_escape.
enum { PLAT_SETRTS = 3, PLAT_CLRRTS = 4, PLAT_SETDTR = 5, PLAT_CLRDTR = 6 };

// The device path of a port name: "\\.\COM3" on Windows; "/dev/ttyUSB0"
// for "ttyUSB0" on POSIX, where a name beginning with '/' is a path already.
// 0, or the code for a name too long when it does not fit `size` bytes.
int plat_serial_device_path(const char* name, char* path, unsigned size);
// Opens a device path for exclusive use: no controlling terminal, no other
// opener (also not one that comes later), raw mode, DTR and RTS dropped, and
// low latency asked of the driver; input that waited is discarded. Returns 0
// and the handle, or the system's error code (never 0).
int plat_serial_open(const char* path, plat_handle* h);
// Sets the read and write time-outs. 0 or the system's error code.
int plat_serial_set_timeouts(plat_handle h, const plat_timeouts* t);
// Reads and applies line settings. 0 or the system's error code.
int plat_serial_get_line(plat_handle h, plat_line* line);
int plat_serial_set_line(plat_handle h, const plat_line* line);
// How long `bytes` take on a line set as `line`, rounded up: each byte a
// start bit, its data bits, the parity bit if any and its stop bits (10
// bit times at 8N1). 0 when the rate is not known.
unsigned long plat_line_time_ms(const plat_line* line, unsigned long bytes);
// Switches one modem line (PLAT_SETRTS ...). 0 or the system's error code.
int plat_serial_escape(plat_handle h, int code);
// Bytes waiting in the driver's input and output queues. A failed query
// leaves *count at 0 and returns the system's error code. Where the driver
// can tell that the transmitter (FIFO, shift register) is not yet empty, the
// output count is one more than the driver's queue, so 0 means the last
// bit is out; elsewhere (pseudo-terminals) it is the queue alone.
int plat_serial_in_queue(plat_handle h, unsigned* count);
int plat_serial_out_queue(plat_handle h, unsigned* count);
// Reads what is there, never waiting; *done is what was delivered.
int plat_serial_read(plat_handle h, unsigned char* buf, unsigned n, unsigned* done);
// Writes the block within the write time-outs, but never waits longer than
// the block and the output queued ahead of it take on the line at the
// device's rate, plus half a second; *done is what was taken. 0 when all of
// it was taken, else the system's code (a time-out included).
int plat_serial_write(plat_handle h, const unsigned char* buf, unsigned n, unsigned* done);
// Waits until what was handed to the driver has gone out, but no longer
// than it needs on the line (12 bit times a byte at the device's rate; a
// rate that reads as none counts as 4800) plus 250 ms: output held by flow
// control must not hold the caller for ever. Returns what is still queued.
unsigned plat_serial_drain(plat_handle h);

// Switches the driver's own RS-485 mode on (RTS raised while sending,
// dropped after it) or off: Linux's TIOCSRS485. 0, or the system's code
// where the driver has none (a pseudo-terminal, most USB adapters; always
// on Windows).
int plat_serial_rs485(plat_handle h, int on);
// Modem status bits for plat_serial_modem_status.
enum { PLAT_MS_CTS = 0x10, PLAT_MS_DSR = 0x20, PLAT_MS_RING = 0x40, PLAT_MS_RLSD = 0x80 };
int plat_serial_modem_status(plat_handle h, unsigned* bits);
// The device's event mask; systems without one report 0.
int plat_serial_event_mask(plat_handle h, unsigned* mask);
// The line errors of one open serial device, kept by its caller (zeroed
// when the device opens): parity, framing and overrun errors counted since
// the first call, and what the platform needs to tell new ones apart.
struct plat_line_errors {
    unsigned long parity, framing, overrun;
    unsigned long driver[3];  // the driver's own totals at the last call
    int asked;                // 1 once they have been read
};
// Adds to *e the errors the driver has seen since the last call (the first
// call only takes its totals): Linux's counts (TIOCGICOUNT), where the
// driver keeps them; on Windows each error ClearCommError flags, also to
// the other calls here that ask it. 0, or the system's code where the
// driver keeps no counts (a pseudo-terminal): nothing is claimed then.
int plat_serial_line_errors(plat_handle h, plat_line_errors* e);
// Lets output already handed to the driver go out (bounded by its line
// time at the device's rate, plus a margin; what is left then is dropped),
// discards unread input, then closes.
void plat_serial_close(plat_handle h);
// Sleeps until the device has input to read or `ms` pass, without taking
// anything: 1 input waiting, 0 time-out, -1 the handle failed (hung up).
int plat_serial_wait_input(plat_handle h, unsigned ms);
// Whether the system says the device is gone: hung up (a pseudo-terminal
// whose far end closed, a USB converter pulled out) or removed. Asked after
// a call on it failed: 1 gone, 0 still there.
int plat_serial_lost(plat_handle h);

// ---- the far end of a line (tools beside the tool) ---------------------------

// The far end of a line is POSIX's; on Windows plat_pty_open and
// plat_symlink report ERROR_NOT_SUPPORTED.
// Opens a new pseudo-terminal in raw mode: the master side for the caller,
// the path of the slave side for the program it talks to.
int plat_pty_open(plat_handle* master, char* slave_path, unsigned size);
// Waits up to `ms` for bytes: 1 readable, 0 nothing came, -1 the other
// side has hung up (or the handle failed).
int plat_wait_readable(plat_handle h, int ms);
// The line's terminal settings as the program at the other end left them,
// in stty's words: "4800 8N1 start=^Q stop=^S" with "crtscts", "ixon",
// "ixoff" added when on. 0 or the system's code.
int plat_pty_settings(plat_handle master, char* text, unsigned size);
int plat_symlink(const char* target, const char* link);
int plat_remove(const char* path);
// From now on SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break,
// closing the console) only count requests the program polls, and SIGPIPE
// is ignored: a write to a pipe whose reader has gone fails instead.
void plat_catch_termination(void);
// The number of SIGPIPE, which a program reports as if that signal had
// ended it (exit 141) when its standard output's reader has gone.
enum { PLAT_SIGPIPE = 13 };
// How many requests came so far (0: none).
int plat_termination_requested(void);
// The first request's signal number (2 for Ctrl-C, 1 for a closed
// console), 0 before any.
int plat_termination_signal(void);

// ---- TCP sockets -------------------------------------------------------------

// A file descriptor on POSIX, a SOCKET on Windows.
#ifdef _WIN32
typedef uintptr_t plat_socket;
#define PLAT_NO_SOCKET (~(plat_socket)0)  // INVALID_SOCKET
#else
typedef int plat_socket;
#define PLAT_NO_SOCKET (-1)
#endif

// Starts and stops the system's socket library (Windows Sockets 2.2; no-ops
// elsewhere). Calls pair up and may nest: each successful start is matched
// by one stop. 0 or the system's code.
int plat_net_start(void);
void plat_net_stop(void);

// Each returns 0 or the system's error code.
int plat_tcp_socket(plat_socket* s);
int plat_tcp_nonblocking(plat_socket s);
int plat_tcp_keepalive(plat_socket s);
int plat_tcp_nodelay(plat_socket s);
// Binds to every IPv4 interface at `port` (0: the system picks one).
int plat_tcp_bind_any(plat_socket s, unsigned short port);
int plat_tcp_listen(plat_socket s, int backlog);
// Accepts one waiting client, non-blocking like its listener; `addr` gets
// the client's IPv4 address in network order.
int plat_tcp_accept(plat_socket s, plat_socket* client, unsigned char addr[4]);
// The local port a socket is bound to (for tests and messages).
int plat_tcp_local_port(plat_socket s, unsigned short* port);
// Bytes waiting to be received; a failed query leaves *count at 0.
int plat_tcp_available(plat_socket s, unsigned* count);
// Neither waits. recv: *got 0 means the peer has closed. send never raises
// a signal when the peer has gone.
int plat_tcp_recv(plat_socket s, unsigned char* buf, unsigned n, unsigned* got);
int plat_tcp_send(plat_socket s, const unsigned char* buf, unsigned n, unsigned* sent);
// Sleeps until one of `count` sockets is readable (data, a client waiting
// to be accepted, a close or an error) or `ms` pass: 1 one is, 0 time-out.
// With no sockets it simply sleeps.
int plat_tcp_wait_readable(const plat_socket* s, int count, unsigned ms);
// The same for writing: 1 one of them can take data (or has failed),
// 0 time-out.
int plat_tcp_wait_writable(const plat_socket* s, int count, unsigned ms);
// Shuts down both directions and closes.
void plat_tcp_close(plat_socket s);
// Connects to `host` (a name, an IPv4 address, or an IPv6 address without
// brackets) at `port`, name resolution included, within `ms` in all,
// trying each address the resolver gives. Returns 0 and a connected,
// non-blocking socket with TCP_NODELAY and keep-alive, or the system's
// code: the connection's (refused, unreachable), the resolver's (which
// plat_error_text words: negative on POSIX, WSA codes on Windows) or
// plat_error_timed_out()'s when the bound ran out.
int plat_tcp_connect(const char* host, unsigned short port, unsigned ms, plat_socket* s);
// Acknowledges what has been received at once rather than after the
// system's delay (TCP_QUICKACK on Linux, which lapses: call it after each
// receive). A server that holds small writes back until its last one is
// acknowledged (Nagle's rule) then never waits for us. Where the system
// has no such switch it does nothing. 0 or the system's code.
int plat_tcp_quickack(plat_socket s);
// Asks the system to acknowledge every segment at once for as long as the
// connection lasts (SIO_TCP_SET_ACK_FREQUENCY 1 on Windows, where the system
// has it). Where there is only plat_tcp_quickack's lapsing switch it does
// nothing. 0, or the system's code when it cannot.
int plat_tcp_ack_each(plat_socket s);
// The code for "would block: nothing there yet".
int plat_error_would_block(void);

// The system's codes for a name or path that is too long, and for memory
// that could not be had.
int plat_error_name_too_long(void);
int plat_error_no_memory(void);
// ... for a time-out, an invalid name (a bad URL), a protocol the peer
// does not speak, and a connection the peer closed.
int plat_error_timed_out(void);
int plat_error_invalid(void);
int plat_error_not_supported(void);
int plat_error_connection_closed(void);
// The system's own words for one of its codes, as a user is shown them
// ("No such file or directory"); always terminated, cut to `size`.
void plat_error_text(int code, char* out, unsigned size);
// What kind of failure a code of the system (or its resolver) is, for the
// failures a technician meets on a line; PLAT_ERR_OTHER for any other.
enum {
    PLAT_ERR_OTHER,
    PLAT_ERR_REFUSED,      // nobody listens at that port
    PLAT_ERR_TIMED_OUT,    // no answer within the bound
    PLAT_ERR_NO_NAME,      // the name is not known
    PLAT_ERR_RESET,        // the peer reset the connection
    PLAT_ERR_UNREACHABLE,  // no route to the host or its network
    PLAT_ERR_NO_FILE,      // no such file (a path that names nothing)
    PLAT_ERR_NO_DEVICE,    // no such device
    PLAT_ERR_ACCESS,       // not allowed, or held by another program
    PLAT_ERR_BUSY,         // held by another program
    PLAT_ERR_IO            // the device failed (often: unplugged)
};
int plat_error_kind(int code);

// ---- the machine's serial devices -----------------------------------------

// Where the serial devices are listed. Tests point this at a fake tree (on
// Windows: a key under the current user, read like the machine's serial
// key); a null or empty root restores the system's own.
void plat_set_serial_root(const char* root);

// A snapshot of the serial-device list: ordered (value name, port name)
// pairs, the machine's own: on Linux the ttys of the device class that have
// a device with a UART behind it (serial core's type not 0) or no type at
// all; on Windows the values of the registry key
// HARDWARE\DEVICEMAP\SERIALCOMM. A caller may put entries of its own
// ahead of them.
struct plat_serial_key {
    int count;
    char (*value_names)[80];
    char (*port_names)[80];
};
// An empty snapshot, allocated: 0, or the system's code for no memory.
int plat_serial_key_start(plat_serial_key* key);
// Appends one entry; one too long is kept as an empty entry, which
// enumeration skips, as a registry value too long for its buffer is. 0 once
// the list is full, else 1.
int plat_serial_key_add(plat_serial_key* key, const char* value, const char* port);
// Appends the machine's own devices to a started snapshot.
void plat_serial_key_read(plat_serial_key* key);
// A snapshot of the machine's own devices alone: start and read. 0 when the
// list could be read (it may be empty), else non-zero.
int plat_serial_key_open(plat_serial_key* key);
// Value number `index`: 0 when it exists and both texts fit their buffers
// (sizes in bytes, terminator included), else non-zero.
int plat_serial_key_enum(const plat_serial_key* key, int index, char* value_name,
                         unsigned value_size, char* data, unsigned data_size);
void plat_serial_key_close(plat_serial_key* key);

// What a serial port says it is, to tell adapters apart: its USB device's
// manufacturer, product and serial number, and its stable name (on Linux
// the link to it in /dev/serial/by-id, or the folder KP6_SERIAL_BY_ID
// names); on Windows the device's friendly name in `product` ("USB Serial
// Port (COM5)"). Each is empty when unknown or too long for its field;
// what a device gives may hold any byte, so it is shown only made safe
// (text_shown_safe).
struct plat_port_info {
    char manufacturer[64], product[128], serial[64];
    char stable[256];
};
// 0 and what is known of the port listed as `name` (a name of the list,
// "ttyUSB0", "COM5"); non-zero when nothing is.
int plat_serial_port_info(const char* name, plat_port_info* info);
// The same for `n` ports at once, in one walk of the machine's devices:
// infos[i] and rc[i] (0 when something is known) for names[i].
void plat_serial_ports_info(const char* const* names, int n, plat_port_info* infos, int* rc);

// ---- files -------------------------------------------------------------------

// The folder holding the running program, without a trailing separator.
// 0 or the system's error code.
int plat_executable_dir(char* out, unsigned size);
// The folder under which the GUI toolkit keeps a user's preferences (a
// program's in VENDOR/APPLICATION.prefs there), found as the toolkit finds
// it: the AppData folder of the shell's folder list on Windows, ~/.fltk
// elsewhere; '/' separates. 0 or the system's error code.
int plat_user_prefs_dir(char* out, unsigned size);

// The user's documents folder: on Windows the shell's, elsewhere the XDG
// documents folder (user-dirs.dirs) when it exists, else the home. 0 or
// the system's error code.
int plat_documents_dir(char* out, unsigned size);
// The language the user's system asks the programs to speak, as its ISO
// 639 code ("ru", "en"), or "" where it names none (the C or POSIX
// locale, or nothing set). On POSIX the first set of LC_ALL, LC_MESSAGES
// and LANG; on Windows the user's interface language.
void plat_ui_language(char* out, unsigned size);
// Whether a serial device of that name (a path such as /dev/pts/3 or
// /dev/serial/by-id/..., or COM12) is there, found without opening it: 0,
// or the system's code for why not (-1: it is there but no device).
int plat_serial_exists(const char* name);

// 1 when standard error is a terminal a person watches, else 0.
int plat_stderr_is_terminal(void);

// What a path names.
enum { PLAT_FILE_REGULAR, PLAT_FILE_FOLDER, PLAT_FILE_FIFO, PLAT_FILE_DEVICE, PLAT_FILE_OTHER };
// The kind of what `path` names, found without opening it, so that a FIFO
// or a device is never touched: 0 and *kind, or the system's error code.
int plat_file_kind(const char* path, int* kind);
// Opens a regular file for reading. Anything else is refused without being
// read or waited on, also when it took the file's place after the check:
// 0 and the stream; -1 and *kind when `path` is not a regular file; else
// the system's error code.
int plat_file_open_regular(const char* path, FILE** f, int* kind);
// Opens a file for appending, made when missing, never waiting on it: 0
// and the stream; -1 and *kind when `path` names no regular file (a FIFO,
// a device, a folder), which is then neither written nor waited on; else
// the system's error code.
int plat_file_open_append(const char* path, FILE** f, int* kind);
// The system's code for the stdio call on a file that has just failed (a
// full disk, a file grown past its limit), never 0.
int plat_file_error(void);
// Whether two paths name one and the same file or device: 1 yes, 0 no (or
// either cannot be found).
int plat_file_same(const char* a, const char* b);
// Makes the folder `path` and each missing folder above it ('/' or, on
// Windows, '\\' separates). 0 when it is there in the end, else the
// system's code (a file standing in the way, a denied permission).
int plat_make_folders(const char* path);
// Writes a stream's buffer out and waits until the system holds it on
// disk. 0 or the system's error code.
int plat_file_commit(FILE* f);
// Cuts the open file back to `size` bytes (what a failed append wrote of
// its line goes). 0 or the system's code.
int plat_file_cut(FILE* f, long size);
// Puts the file `from` in the place of `to` in one step, replacing a file
// that is there. 0 or the system's error code.
int plat_file_replace(const char* from, const char* to);
// Where a write to `path` lands: `path` itself, or for a symbolic link the
// file its links lead to in the end (which need not exist yet). 0 or the
// system's code (a loop of links, a name too long for `size`).
int plat_file_final_path(const char* path, char* out, unsigned size);
// Whether the file `path` may be written over: 0 when it may or does not
// exist; the system's code for a denied permission when this user may not
// write it or it is read-only for everyone (also for an administrator).
int plat_file_writable(const char* path);
// Gives the open file `f` the permissions of the file `like` and, where
// the system lets this user, its owner; nothing when `like` does not exist
// (or on a system where a new file takes its folder's). 0 or the system's
// code.
int plat_file_same_mode(FILE* f, const char* like);

// Opens a file for reading and appending (every write lands at its end),
// made when missing, never waiting on it: 0 and the stream; -1 and *kind
// when `path` names no regular file, which is then neither read, written
// nor waited on; else the system's error code.
int plat_file_open_update(const char* path, FILE** f, int* kind);
// Takes an exclusive lock on the whole open file, trying again until `ms`
// pass while another holder has it: 0, or the system's code (a time-out's
// when the bound ran out). The lock is the system's own (flock,
// LockFileEx), so another program honours it; it goes with the file's
// close.
int plat_file_lock(FILE* f, unsigned long ms);
void plat_file_unlock(FILE* f);
// The file `name` in the folder a program keeps its user's data in:
// $XDG_DATA_HOME/POSIX_FOLDER/NAME (else ~/.local/share/...) on POSIX,
// %APPDATA%\WINDOWS_FOLDER\NAME on Windows. 0, or the system's code (no
// home, a name too long).
int plat_user_data_file(const char* posix_folder, const char* windows_folder, const char* name,
                        char* out, unsigned size);

// ---- text: UTF-8 everywhere in the program -------------------------------------

// Makes the program's arguments UTF-8: on Windows they are taken once from
// the system's wide (UTF-16) command line, since the ANSI ones lose every
// character the code page lacks; elsewhere they stay as they are.
void plat_utf8_args(int* argc, char*** argv);
// An environment variable's value in UTF-8: 0 and the value, else non-zero
// (not set, or longer than `size` bytes with its terminator).
int plat_getenv(const char* name, char* out, unsigned size);
// fopen of a UTF-8 path (on Windows through the wide function, so any name
// opens whatever the code page).
FILE* plat_fopen(const char* path, const char* mode);
// Writes UTF-8 text to stdout or stderr: a Windows console gets it through
// the wide console function, so it shows as typed; a file, a pipe and every
// POSIX terminal get the bytes, at once (the stream is flushed). 0,
// PLAT_OUTPUT_CLOSED when the stream is a pipe whose reader has gone, else
// the system's code (a full disk, a file too large: plat_error_text words it).
enum { PLAT_OUTPUT_CLOSED = -2 };
int plat_write_text(FILE* f, const char* text);

// ---- who and where -------------------------------------------------------------

// The user's login name and the machine's name, in UTF-8: 0, or the
// system's code (then `out` is empty).
int plat_user_name(char* out, unsigned size);
int plat_host_name(char* out, unsigned size);

// SHA-256 of `n` bytes, by the system's library (libcrypto; Windows'
// BCrypt): 0 and the 32 bytes, or the system's code.
enum { PLAT_SHA256_SIZE = 32, PLAT_SHA256_HEX = 65 };
int plat_sha256(const void* data, unsigned long n, unsigned char out[PLAT_SHA256_SIZE]);
// The same as 64 lower-case hexadecimal digits and a terminator.
int plat_sha256_hex(const void* data, unsigned long n, char out[PLAT_SHA256_HEX]);

// ---- time and threads ------------------------------------------------------

// Milliseconds of a monotonic clock; wraps at 2^32.
uint32_t plat_tick_ms(void);
void plat_sleep_ms(unsigned ms);
void plat_sleep_us(unsigned us);
// A high-resolution counter for timing lines: nanoseconds on POSIX, the
// performance counter's own ticks on Windows.
uint64_t plat_perf_counter(void);
// The counter's ticks a second.
uint64_t plat_perf_frequency(void);

// ---- waits with a bound ----------------------------------------------------

// Every wait with a bound (an answer, a connect, a name look-up, a
// negotiation, a drain) keeps one deadline, set once: a wait woken early
// (a signal, a byte that was not enough) goes on with what is left of it,
// never with its whole time again.
struct plat_deadline {
    uint64_t end;  // plat_perf_counter's ticks
};
void plat_deadline_start(plat_deadline* d, unsigned long ms);
// Milliseconds left, rounded up: 0 once the deadline has passed.
unsigned long plat_deadline_left(const plat_deadline* d);
int plat_deadline_expired(const plat_deadline* d);

// The interrupt the waits look at: once `count` termination requests have
// come (plat_catch_termination), every bounded wait ends at once, as if its
// time had run out, and the loops around it stop. 0 (the default, the
// window's): requests end no wait. A tool sets 1, or 2 while a step that
// must not be cut short is in hand.
void plat_set_wait_interrupts(int count);
// 1 when the waits are interrupted, else 0.
int plat_wait_interrupted(void);
// The longest a wait sleeps at a time, so that it sees an interrupt soon
// where nothing wakes it (the signal went to another thread; Windows).
enum { PLAT_WAIT_SLICE_MS = 50 };
// How long a wait may sleep now: what is left of `d`, at most the slice;
// 0 when the deadline has passed or the waits are interrupted.
unsigned plat_wait_slice(const plat_deadline* d);
// The system's code for a wait or a connect that an interrupt ended.
int plat_error_interrupted(void);
// Why a bounded wait ends, one rule for every wait: 0 while it goes on;
// plat_error_interrupted() once the waits are interrupted, whatever is
// left of `d`; else plat_error_timed_out() once `d` has passed. A null
// `d`: the wait has ended already, and only why is asked.
int plat_wait_end(const plat_deadline* d);

// The calendar's time now: milliseconds since 1970-01-01 UTC.
int64_t plat_utc_ms(void);
// The local time's offset from UTC at `utc_ms`, in minutes (+180 for
// Moscow), daylight saving included.
int plat_local_offset_minutes(int64_t utc_ms);

struct plat_datetime {
    int year, month, day_of_week, day;
    int hour, minute, second, millisecond;
};
void plat_local_time(plat_datetime* t);
void plat_utc_time(plat_datetime* t);
// Sets the local clock; 0 or the system's code (setting the clock takes
// privileges most users lack).
int plat_set_local_time(const plat_datetime* t);

// A thread running `fn(arg)`; join waits until it has ended.
typedef void* plat_thread;
int plat_thread_start(plat_thread* t, unsigned stack_size, int (*fn)(void*), void* arg);
int plat_thread_join(plat_thread t);

#endif
