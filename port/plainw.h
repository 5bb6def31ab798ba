// The port layer: 16 port slots (serial devices, TCP server ports, stubs)
// and the traffic log "port.out".
#ifndef KP6_PLAINW_H
#define KP6_PLAINW_H

#include <stdint.h>

#include "../platform/platform.h"

enum {
    PORT_COUNT = 16,
    PORT_NAME_SIZE = 100,
    RX_SIZE = 10000,
    TCP_CLIENTS = 16
};

// Port kinds.
enum { KIND_SERIAL = 0, KIND_STUB = 3, KIND_TCPS = 4 };

struct Entry {
    unsigned char echo_skip;     // echo bytes still to drop from received data
    char name[PORT_NAME_SIZE];   // the name as opened
    plat_handle handle;          // serial device or listening socket
    unsigned char* rx_buf;       // receive ring of RX_SIZE bytes
    unsigned short base;         // number from the name; non-zero = in use
    unsigned short rx_head;      // ring write index
    unsigned short rx_tail;      // ring read index
    unsigned char turn_type;     // line-direction control type
    unsigned char kind;          // KIND_SERIAL, KIND_STUB or KIND_TCPS
    unsigned long baud;          // settings of the last successful init_port
    unsigned char data_bits;
    char parity;
    unsigned char stop_bits;
    int32_t clients[TCP_CLIENTS];  // accepted TCP clients; -1 = free place
    // 1 while a serial device is open here. A device whose name carries the
    // number 0 (ttyUSB0) leaves `base` at 0, yet its slot is taken.
    unsigned char held;
};

extern Entry Port[PORT_COUNT];
extern unsigned char started;
extern uint16_t pl_port_log;
extern int32_t p_errors, fr_errors;
extern int from_put;

void start_net(unsigned char);
void close_net();
int open_port(unsigned short* port, char* name, char mode);
int free_port(unsigned short port, unsigned char);
unsigned short port_by_base(unsigned short base);

// Converts UTF-8 text to code page 866 (the log's and the TCP messages'
// encoding); characters it cannot map become '?'. Returns the length.
int utf8_to_cp866(const char* utf8, char* out, int size);

#endif
