// Telnet with the COM Port Control option (RFC 854, RFC 2217), as a network
// line's client speaks it: the receive filter, IAC doubling for sending, and
// the option frames. Plain functions over plain data, no system calls, so
// that tests and fuzz targets can call them directly.
#ifndef KP6_TELNET_H
#define KP6_TELNET_H

enum {
    TN_IAC = 255,
    TN_DONT = 254,
    TN_DO = 253,
    TN_WONT = 252,
    TN_WILL = 251,
    TN_SB = 250,
    TN_SE = 240,
    TN_OPT_BINARY = 0,
    TN_OPT_SGA = 3,
    TN_OPT_COM_PORT = 44,
    // COM Port Control commands, client to server; the server answers with
    // the command plus 100.
    CPC_SET_BAUDRATE = 1,
    CPC_SET_DATASIZE = 2,
    CPC_SET_PARITY = 3,
    CPC_SET_STOPSIZE = 4,
    CPC_SET_CONTROL = 5,
    CPC_SERVER_OFFSET = 100,
    CPC_CONTROL_DTR_OFF = 9,
    CPC_CONTROL_RTS_OFF = 12,
    TN_NOP = 241,
    // Sub-negotiation bytes kept (option, command, value): more than any
    // COM Port answer but the server's signature has. A longer one is
    // dropped whole when it ends.
    TN_SB_MAX = 12,
    TN_REPLY_MAX = 48  // negotiation replies waiting to be sent
};

// The options' bits in a session's we_will, he_will and refused.
enum { TN_BIT_BINARY = 1, TN_BIT_SGA = 2, TN_BIT_COM_PORT = 4 };

// The receive side's state, carried from one read to the next.
struct telnet_rx {
    unsigned char state;          // where the parser stands (TNS_* in telnet.cpp)
    unsigned char verb;           // WILL/WONT/DO/DONT awaiting its option
    unsigned char sb_len;         // sub-negotiation bytes kept in sb; TN_SB_MAX + 1: too long
    unsigned char sb[TN_SB_MAX];  // the sub-negotiation so far
    // Options in force, as TN_BIT_... bits.
    unsigned char we_will;          // what we do (we said WILL, the server DO)
    unsigned char he_will;          // what the server does (it said WILL, we DO)
    unsigned char refused;          // TN_BIT_COM_PORT: the server refused it (DONT)
    unsigned char com_port_agreed;  // 1 once the server said DO COM-PORT
    // COM Port answers seen: bit n for server command 100 + n (n < 16).
    unsigned short cpc_seen;
    unsigned char reply_len;            // bytes waiting in reply
    unsigned char reply[TN_REPLY_MAX];  // negotiation answers to send
    unsigned char heard;                // 1 once the server has sent any Telnet command
    // Bytes taken since the last line byte, counted up to 65535: a long run
    // is a server that sends commands only (a flood).
    unsigned short run;
};

// Starts a session: no option in force, nothing seen.
void telnet_rx_init(telnet_rx* t);

// Takes `n` received bytes, writes the line's bytes among them to `out`
// (room for `n` bytes; may be `in` itself) and returns how many. Telnet
// commands, option negotiation and sub-negotiations are taken out, also
// when split across calls; IAC IAC gives one FF. Answers the negotiation
// calls for are appended to t->reply (the caller sends and empties it);
// COM Port answers are noted in t->cpc_seen.
unsigned telnet_filter(telnet_rx* t, const unsigned char* in, unsigned n, unsigned char* out);

// 1 when the first `n` bytes a server sent on a raw line hold a Telnet
// option negotiation (IAC WILL, WONT, DO or DONT): the server speaks Telnet.
int telnet_negotiates(const unsigned char* in, unsigned n);

// Doubles every FF of `n` line bytes into `out` (room for 2 * n); returns
// the length.
unsigned telnet_escape(const unsigned char* in, unsigned n, unsigned char* out);

// The client's opening: IAC WILL COM-PORT, IAC WILL BINARY, IAC DO BINARY.
// Returns the length (at most 9).
unsigned telnet_opening(unsigned char* out);

// One COM Port command: IAC SB COM-PORT command value IAC SE, with FF in
// the value doubled. Returns the length (at most 6 + 2 * n).
unsigned telnet_com_port(unsigned char command, const unsigned char* value, unsigned n,
                         unsigned char* out);

#endif
