#include "telnet.h"

#include <string.h>

// Where the parser stands between two bytes.
enum {
    TNS_DATA = 0,  // line bytes
    TNS_IAC,       // after IAC
    TNS_OPT,       // after IAC WILL/WONT/DO/DONT: the option comes
    TNS_SB,        // in a sub-negotiation
    TNS_SB_IAC     // after IAC in a sub-negotiation
};

// The option's bit, or 0 for one this client does not speak.
static unsigned char option_bit(unsigned char option)
{
    switch (option) {
    case TN_OPT_BINARY: return TN_BIT_BINARY;
    case TN_OPT_SGA: return TN_BIT_SGA;
    case TN_OPT_COM_PORT: return TN_BIT_COM_PORT;
    default: return 0;
    }
}

void telnet_rx_init(telnet_rx* t)
{
    memset(t, 0, sizeof *t);
    // What telnet_opening asks for counts as asked: the server's DO or WILL
    // for it is its answer, not a new request.
    t->we_will = TN_BIT_BINARY | TN_BIT_COM_PORT;
    t->he_will = TN_BIT_BINARY;
}

static void reply(telnet_rx* t, unsigned char verb, unsigned char option)
{
    if (t->reply_len + 3 > TN_REPLY_MAX)
        return;  // a server that floods requests gets no more answers
    t->reply[t->reply_len++] = TN_IAC;
    t->reply[t->reply_len++] = verb;
    t->reply[t->reply_len++] = option;
}

// One negotiation from the server. Agreed options are not answered again,
// so that two sides never loop; a refusal is taken without an answer.
static void negotiate(telnet_rx* t, unsigned char verb, unsigned char option)
{
    unsigned char bit = option_bit(option);
    switch (verb) {
    case TN_DO:  // the server asks us to do `option`
        if (!bit) {
            reply(t, TN_WONT, option);
        } else if (!(t->we_will & bit)) {
            t->we_will |= bit;
            reply(t, TN_WILL, option);
        }
        if (bit == TN_BIT_COM_PORT) {
            t->refused &= (unsigned char)~TN_BIT_COM_PORT;
            t->com_port_agreed = 1;
        }
        break;
    case TN_DONT:
        t->we_will &= (unsigned char)~bit;
        if (bit == TN_BIT_COM_PORT) {
            t->refused |= TN_BIT_COM_PORT;
            t->com_port_agreed = 0;
        }
        break;
    case TN_WILL:  // the server offers to do `option`
        if (bit != TN_BIT_BINARY && bit != TN_BIT_SGA) {
            reply(t, TN_DONT, option);
        } else if (!(t->he_will & bit)) {
            t->he_will |= bit;
            reply(t, TN_DO, option);
        }
        break;
    default:  // TN_WONT
        t->he_will &= (unsigned char)~bit;
        break;
    }
}

static void end_subnegotiation(telnet_rx* t)
{
    if (t->sb_len >= 2 && t->sb_len <= TN_SB_MAX && t->sb[0] == TN_OPT_COM_PORT &&
        t->sb[1] >= CPC_SERVER_OFFSET && t->sb[1] < CPC_SERVER_OFFSET + 16)
        t->cpc_seen = (unsigned short)(t->cpc_seen | 1u << (t->sb[1] - CPC_SERVER_OFFSET));
    t->sb_len = 0;
}

static void sb_byte(telnet_rx* t, unsigned char b)
{
    if (t->sb_len < TN_SB_MAX)
        t->sb[t->sb_len++] = b;
    else
        t->sb_len = TN_SB_MAX + 1;  // too long for any answer we read: dropped
}

// The byte after IAC, outside a sub-negotiation.
static void command(telnet_rx* t, unsigned char b)
{
    t->heard = 1;
    if (b == TN_WILL || b == TN_WONT || b == TN_DO || b == TN_DONT) {
        t->verb = b;
        t->state = TNS_OPT;
    } else if (b == TN_SB) {
        t->sb_len = 0;
        t->state = TNS_SB;
    } else {
        t->state = TNS_DATA;  // NOP, GA, a stray SE and the like: nothing to do
    }
}

unsigned telnet_filter(telnet_rx* t, const unsigned char* in, unsigned n, unsigned char* out)
{
    unsigned k = 0;
    for (unsigned i = 0; i < n; i++) {
        unsigned char b = in[i];
        unsigned before = k;
        switch (t->state) {
        case TNS_DATA:
            if (b == TN_IAC)
                t->state = TNS_IAC;
            else
                out[k++] = b;
            break;
        case TNS_IAC:
            if (b == TN_IAC) {
                out[k++] = b;
                t->state = TNS_DATA;
            } else {
                command(t, b);
            }
            break;
        case TNS_OPT:
            negotiate(t, t->verb, b);
            t->state = TNS_DATA;
            break;
        case TNS_SB:
            if (b == TN_IAC)
                t->state = TNS_SB_IAC;
            else
                sb_byte(t, b);
            break;
        default:  // TNS_SB_IAC
            if (b == TN_IAC) {
                sb_byte(t, b);
                t->state = TNS_SB;
            } else {
                end_subnegotiation(t);
                // IAC SE ends it; any other command ends it too and counts.
                if (b == TN_SE)
                    t->state = TNS_DATA;
                else
                    command(t, b);
            }
            break;
        }
        if (k > before)
            t->run = 0;
        else if (t->run < 0xFFFF)
            t->run++;
    }
    return k;
}

int telnet_negotiates(const unsigned char* in, unsigned n)
{
    for (unsigned i = 0; i + 1 < n; i++)
        if (in[i] == TN_IAC && in[i + 1] >= TN_WILL && in[i + 1] <= TN_DONT)
            return 1;
    return 0;
}

unsigned telnet_escape(const unsigned char* in, unsigned n, unsigned char* out)
{
    unsigned k = 0;
    for (unsigned i = 0; i < n; i++) {
        out[k++] = in[i];
        if (in[i] == TN_IAC)
            out[k++] = TN_IAC;
    }
    return k;
}

unsigned telnet_opening(unsigned char* out)
{
    static const unsigned char opening[] = {TN_IAC, TN_WILL, TN_OPT_COM_PORT,
                                            TN_IAC, TN_WILL, TN_OPT_BINARY,
                                            TN_IAC, TN_DO,   TN_OPT_BINARY};
    memcpy(out, opening, sizeof opening);
    return sizeof opening;
}

unsigned telnet_com_port(unsigned char command, const unsigned char* value, unsigned n,
                         unsigned char* out)
{
    unsigned k = 0;
    out[k++] = TN_IAC;
    out[k++] = TN_SB;
    out[k++] = TN_OPT_COM_PORT;
    out[k++] = command;
    k += telnet_escape(value, n, out + k);
    out[k++] = TN_IAC;
    out[k++] = TN_SE;
    return k;
}
