// Inside the port layer: what its core (plainw.cpp) and each kind of port
// share. A kind is one file with one table of plain functions and the state
// its slots keep besides the common Entry; the core keeps the slots, their
// lifecycle and their rings, and reaches a kind only through its table.
// Users of the layer see plainw.h alone; the layer's own tests may look
// here too.
#ifndef KP6_PORT_KINDS_H
#define KP6_PORT_KINDS_H

#include "plainw.h"

// One kind of port. An operation a kind does not have is null (a table
// leaves out those at its end), and the core answers as for a port without
// it: nothing to receive or wait on, nothing held back, no line to set or
// switch. Apart from `claims`, `open` and `answers_free`, the core calls a
// kind only for a slot that holds what the kind opened.
struct port_kind {
    unsigned char id;  // the slot's `kind`
    // 1 when `name` names a port of this kind. The core asks the kinds in
    // the order of its list; the one that takes any name comes last.
    int (*claims)(const char* name);
    // Opens `name` in the slot, sets its `kind` and starts the kind's own
    // state afresh: 0, or the failure, and in *why what it is:
    // OPEN_SYSTEM_ERROR as the core sets it (the caller's handle is set to
    // 0), or OPEN_SERVER_SETUP (-1; the handle stays as it was).
    int (*open)(Entry* e, char* name, int* why);
    // Whether the slot answers calls though it holds nothing open (the
    // stub, which leaves its slot free); null: only while it is taken.
    int (*answers_free)(const Entry* e);
    // Closes what the slot holds.
    void (*release)(Entry* e) = nullptr;
    // Before a receive: takes on what waits to join (a server's clients).
    void (*admit)(Entry* e) = nullptr;
    // Moves what has arrived into the ring: win_put_into_buf's result.
    int (*service)(Entry* e) = nullptr;
    // port_wait, for a slot that holds something.
    int (*wait)(Entry* e, unsigned ms) = nullptr;
    // clear_buf: drops the ring (ring_drop) and what waits beyond it.
    void (*clear)(unsigned short port, Entry* e) = nullptr;
    // Sends a block. With `record_failure` a failed send is written to the
    // traffic log (put_port); send_port does not record it.
    void (*send)(unsigned short port, Entry* e, unsigned char* buf, int n,
                 int record_failure) = nullptr;
    // port_gone and port_round_trip_us.
    int (*gone)(Entry* e, int* code) = nullptr;
    uint32_t (*round_trip_us)(Entry* e) = nullptr;
    // port_acknowledge.
    void (*acknowledge)(Entry* e) = nullptr;
    // port_sent: 1 when nothing is held back.
    int (*sent)(Entry* e) = nullptr;
    // port_line_ms.
    unsigned (*line_ms)(Entry* e, int n) = nullptr;
    // Line settings and direction control.
    int (*init)(Entry* e, unsigned long baud, unsigned char data_bits, unsigned char parity,
                unsigned char stop_bits) = nullptr;
    void (*control)(unsigned short port, Entry* e, char type) = nullptr;
    // One modem-line switch, PLAT_SETRTS ...: 0 or the system's code.
    int (*escape)(Entry* e, int code) = nullptr;
    void (*modem_status)(Entry* e, unsigned* bits) = nullptr;
    void (*event_mask)(Entry* e, unsigned* mask) = nullptr;
    // port_line_errors: 0 and the counts, or non-zero where none are kept.
    int (*line_errors)(Entry* e, plat_line_errors* out) = nullptr;
    // port_line: 0 and the line as the device has it, or non-zero.
    int (*line)(Entry* e, plat_line* out) = nullptr;
    // The direction control port_control last gave the slot (its type), and
    // port_rs485.
    unsigned char (*direction)(const Entry* e) = nullptr;
    int (*rs485)(Entry* e) = nullptr;
};

extern const port_kind serial_kind, tcps_kind, net_kind, stub_kind;

// The receive ring (plainw.cpp).
int ring_unread(const Entry* e);
void ring_append(Entry* e, const unsigned char* b, unsigned n);
// Drops what the ring holds, written to the log as a buffer clear.
void ring_drop(unsigned short port, Entry* e);
// A short sleep for a caller's loop when there is nothing to wait on: 0.
int idle_wait(unsigned ms);
// The slot's place in Port, 0 to 15: where a kind keeps its own state for it.
inline int slot_index(const Entry* e)
{
    return (int)(e - Port);
}
// The port handle (1 to 16) that names a slot.
inline unsigned short slot_port(const Entry* e)
{
    return (unsigned short)(slot_index(e) + 1);
}

// A kind's port_gone answer from what it noted of its line: 1 and in *code
// (when given) the code it was lost with, or 0 while the line is there.
inline int gone_answer(unsigned char gone, int error, int* code)
{
    if (gone && code)
        *code = error;
    return gone;
}

// For the layer's tests: the listening socket of a TCP server port, and its
// client `i` (0 to 15), PLAT_NO_SOCKET for a free place and any other port.
plat_socket tcps_listener(unsigned short port);
plat_socket tcps_client(unsigned short port, int i);

// What a serial port's slot keeps of its device (serial.cpp, with the rest
// of its state); the layer's tests reach it for port 1 to 16, whatever the
// slot holds.
struct serial_device {
    plat_handle handle = PLAT_NO_HANDLE;
    unsigned char turn_type = 0;  // line-direction control type, from port_control
    unsigned char echo_skip = 0;  // echo bytes still to drop from received data
};
serial_device& serial_device_of(unsigned short port);

// The traffic log's part in starting and stopping the layer (traffic_log.cpp).
// Opens the log's file (pl_log_name) and writes the start line.
void log_run_start(void);
// Writes the statistics line when any port is logged, and closes the file.
void log_run_end(void);
// The mask a technician asks for in KP6_PORT_LOG.
uint16_t log_mask_from_env(void);

#endif
