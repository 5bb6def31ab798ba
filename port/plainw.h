// The port layer: 16 port slots (serial devices, TCP server ports, network
// lines, stubs) and the traffic log "port.out".
#ifndef KP6_PLAINW_H
#define KP6_PLAINW_H

#include <stdint.h>

#include "../discovery/net_url.h"
#include "../platform/platform.h"

enum { PORT_COUNT = 16, PORT_NAME_SIZE = 100, RX_SIZE = 10000 };

// Port kinds. A network line is a serial line reached through a device
// server, named by a URL (net_url.h).
enum { KIND_SERIAL = 0, KIND_STUB = 3, KIND_TCPS = 4, KIND_NET = 5 };

// One slot: what every kind of port has. What a kind keeps besides (a
// serial line's device, direction control and echo, a server's sockets, a
// network line's connection) is that kind's own, in its file.
struct Entry {
    char name[PORT_NAME_SIZE];  // the name as opened
    unsigned char* rx_buf;      // receive ring of RX_SIZE bytes
    // The number from the name. The slot is in use while it is non-zero or
    // `held` is set: a device named with the number 0 (ttyUSB0) leaves it 0.
    unsigned short base;
    unsigned short rx_head;  // ring write index
    unsigned short rx_tail;  // ring read index
    unsigned char kind;      // KIND_SERIAL, KIND_STUB, KIND_TCPS or KIND_NET
    unsigned char held;      // 1 while the slot holds what its kind opened
};

extern Entry Port[PORT_COUNT];
extern unsigned char started;
extern uint16_t pl_port_log;
extern int32_t p_errors, fr_errors;
extern int from_put;

// Table and lifecycle.
void start_net(unsigned char);
void close_net();
int open_port(unsigned short* port, char* name, char mode);
// Why the last open_port failed. Its own refusals (results 1, 3 and 9) may
// share their numbers with the system's codes (9 is also EBADF); this tells
// them apart. Each value, then what open_port returned with it:
enum {
    OPEN_DONE,          // 0: it did not fail (0)
    OPEN_NO_SLOT,       // 1: all 16 slots are in use (1)
    OPEN_EMPTY_NAME,    // 2: the name is empty (3)
    OPEN_NOT_STARTED,   // 3: start_net has not run (9)
    OPEN_SERVER_SETUP,  // 4: a TCP server port could not be set up (-1)
    OPEN_SYSTEM_ERROR   // 5: the system's code, as plat_error_text words it
};
int open_port_why(void);
int free_port(unsigned short port, unsigned char);
unsigned short port_by_base(unsigned short base);
// The name the port's slot was last opened with: "" for 0, a handle above
// 16 and a slot never opened.
const char* port_name(unsigned short port);
// 1 for a port whose slot was last opened as a serial device (a slot never
// opened counts as one), 0 for any other and for 0 or a handle above 16.
int port_is_serial(unsigned short port);
// A serial port's line as its device has it now (rate, bits, parity): 0 and
// the line, or non-zero (nothing claimed) for any other port.
int port_line(unsigned short port, plat_line* out);

// Network lines. How long opening one may take, connecting, name
// resolution and the RFC 2217 settings' acknowledgements included, in ms
// (3000 unless a tool lengthens it).
enum { NET_CONNECT_MS = 3000 };
extern unsigned net_connect_ms;
// A line lost since it opened (a network line that closed or failed, a
// serial device the system says is gone): 1, and in *code 0 when the
// server closed it, else the system's code. 0 for a line still there and
// for any other port.
int port_gone(unsigned short port, int* code);
// What the last network line found wrong with its server, beyond the
// system's code: why opening one failed (an rfc2217:// server that never
// took up the negotiation, a tcp:// server that opened with Telnet's), or a
// raw line found speaking Telnet later, an rfc2217:// server that speaks
// Telnet but refuses the COM port option. NET_FAULT_NONE after an open that
// found nothing.
enum { NET_FAULT_NONE = 0, NET_FAULT_NO_NEGOTIATION, NET_FAULT_TELNET, NET_FAULT_NO_COM_PORT };
int net_fault(void);
// Has what the port received so far acknowledged at once: on an RFC 2217
// line an IAC NOP goes out, which carries the acknowledgement and reaches
// no device, so a server that holds its next bytes back until then
// (Nagle's rule) sends them now. Other ports: nothing.
void port_acknowledge(unsigned short port);
// The round trip measured while the line connected, in microseconds (0 for
// any other port): the connection's set-up for raw TCP, the settings'
// acknowledgement for RFC 2217.
uint32_t port_round_trip_us(unsigned short port);

// Receive path. Bytes move into a port's ring only when one of these runs.
int port_avail(unsigned short port);
int peek_port(unsigned short port, int idx);
int recv_port(unsigned short port, unsigned char* buf, int n);
int getc_port_ms(unsigned short port, unsigned char* out, unsigned short ms);
void clear_buf(unsigned short port);
int win_put_into_buf(Entry* slot);
// Sleeps until the port has something to service (input on the device; data,
// a client or a close at a TCP server) or `ms` pass, taking nothing: 1
// something is there, 0 time-out. A stub, handle 0, a freed slot or a hung-up
// device has nothing to wait on and only sleeps a little.
int port_wait(unsigned short port, unsigned ms);

// Transmit path.
void put_port(unsigned short port, unsigned char* buf, int n);
void send_port(unsigned short port, unsigned char b);
int port_sent(unsigned short port);
// Milliseconds `n` bytes take on a serial port's line at the device's rate
// (ten bit times each), rounded up; 0 for every other kind of port.
unsigned port_line_ms(unsigned short port, int n);
void err_log(unsigned short port, long code);

// Line settings and direction control of serial ports.
int init_port(unsigned short port, unsigned long baud, unsigned char data_bits,
              unsigned char parity, unsigned char stop_bits);
void port_control(unsigned int port, char type);
void trans_turn_send(unsigned short port, int type);
void trans_turn_receive(unsigned short port, int type);
// The converters a serial line's direction may be switched by, by name:
// the turn_type each gives port_control (auto 0: no line switched; rts 3,
// rts-inverted 4, dtr 6, dtr-inverted 7, dtr-echo 1, dtr-echo-inverted 2,
// handshake 5), or -1 for a name not known.
// kernel, CONVERTER_KERNEL, is the driver's own RS-485 mode (port_rs485);
// port_control with it switches no line.
enum { CONVERTER_KERNEL = 8 };
int converter_type(const char* name);
// The converter numbered i from 0, in the order offered; null past the last.
const char* converter_name(int i);
// Every converter's name, joined: "auto, rts, ..., kernel".
const char* converter_names(void);
// Asks a serial port's driver for its own RS-485 mode (RTS on while
// sending), given back as the port closes: 0, or the system's code where it
// has none. Other kinds of port have none either.
int port_rs485(unsigned short port);
// After port_control: 0 when the port's driver takes its modem-line
// switches (or none are needed), else the system's code of the one it
// refused (a pseudo-terminal, some USB adapters have no modem lines).
int port_control_fault(unsigned short port);
// The line errors a serial port's driver has seen since the port opened
// (parity, framing, overrun; each also added to p_errors, or fr_errors for
// framing and overrun, as it is noticed): 0 and them, or 1 for a port whose
// driver keeps no counts (a pseudo-terminal) or any other kind of port,
// when nothing is claimed.
int port_line_errors(unsigned short port, plat_line_errors* out);
int set_flags(unsigned short port, unsigned char lines);
int clr_flags(unsigned short port, unsigned char lines);
int my_set_flags(unsigned short port, unsigned char lines);
int my_clr_flags(unsigned short port, unsigned char lines);
int get_flags(unsigned short port, unsigned char* status);
int get_comm_mask(int port);

// Traffic log "port.out". The record writers write only for ports whose bit
// is set in pl_port_log (bit n-1 for handle n).
extern const char xbytes[17];
// The log's file, in the working folder unless a path says otherwise:
// "port.out" unless a tool names another, or null for none at all. Read
// when the layer starts.
extern const char* pl_log_name;
// Told of every record the writers make, for every port, whether or not
// its bit is set or a file is open (a tool shows the frames): bytes sent,
// received, or dropped by a clear; a received record with no data is a
// time-out waiting for `len` bytes. Null: nobody is.
// TRAFFIC_ECHO: a converter's echo of the block just sent, dropped.
enum { TRAFFIC_SENT, TRAFFIC_RECEIVED, TRAFFIC_DROPPED, TRAFFIC_ECHO };
extern void (*pl_traffic_hook)(unsigned int handle, int what, const unsigned char* data, int len);
// Whether any record is wanted (a port's bit or the hook): 1 yes, 0 no.
int traffic_recorded(void);
void write_log(unsigned int handle, unsigned char* data, int len);
void read_log(unsigned int handle, unsigned char* data, int expected, int got);
void clear_log(unsigned int handle, unsigned char* data, int len);
// A dropped echo: a buffer-clear record in the file, TRAFFIC_ECHO to the hook.
void echo_log(unsigned int handle, unsigned char* data, int len);
void put_msg(const char* text);
void put_byte(unsigned char b);
void x_byte(char* out, unsigned char b);
void open_log();
void close_log();
// Why the log's file is not being written: 0 while it is (or none is
// kept); LOG_NOT_FILE when pl_log_name names a FIFO, a device or a folder
// (*kind: PLAT_FILE_FIFO ...), refused without being waited on or written;
// else the system's code of the open or the write that failed, after which
// nothing more is written. Cleared when the layer starts.
enum { LOG_NOT_FILE = -1 };
int log_fault(int* kind);

// Provided by the application: receives the layer's text messages (code
// page 866) with the number 10.
void put_text_log(char* text, int n);

// Converts UTF-8 text to code page 866 (the log's and the TCP messages'
// encoding); characters it cannot map become '?'. Returns the length.
int utf8_to_cp866(const char* utf8, char* out, int size);

#endif
