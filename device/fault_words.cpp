#include "fault_words.h"

#include "exchange.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "../discovery/net_url.h"
#include "../discovery/shown_text.h"
#include "../i18n/words.h"
#include "../platform/platform.h"
#include "../port/plainw.h"

void error_words(int code, char* out, unsigned size)
{
    // Indexed by plat_error_kind; worded as the C library words them, so
    // that the tool says the same on every system.
    static const char* const kinds[] = {nullptr,
                                        W_("Connection refused"),
                                        W_("Connection timed out"),
                                        W_("Name or service not known"),
                                        W_("Connection reset by peer"),
                                        W_("No route to host"),
                                        W_("No such file or directory"),
                                        W_("No such device"),
                                        W_("Permission denied"),
                                        W_("Device or resource busy"),
                                        W_("Input/output error")};
    int kind = plat_error_kind(code);
    if (kind > 0 && kind < (int)(sizeof kinds / sizeof kinds[0]))
        snprintf(out, size, "%s", words(kinds[kind]));
    else
        plat_error_text(code, out, size);
}

int converter_fault_text(const char* name, const char* converter, int rc, int code, char* out,
                         unsigned size)
{
    char why[200] = "";
    if (code)
        error_words(code, why, sizeof why);
    int n = 0;
    switch (rc) {
    case CONVERTER_NOT_SERIAL:
        n = snprintf(out, size, words(W_("the converter %s switches a serial line; %s is none")),
                     converter, name);
        break;
    case CONVERTER_NO_RS485:
        n = snprintf(out, size,
                     words(W_("this port's driver has no RS-485 mode; try rts (%s: %s)")), name,
                     why);
        break;
    case CONVERTER_NO_MODEM_LINES:
        n = snprintf(out, size,
                     words(W_("the converter %s cannot be switched: the driver of %s refuses the "
                              "modem lines (%s)")),
                     converter, name, why);
        break;
    default:
        if (size)
            out[0] = 0;
    }
    return n < 0 ? 0 : n;
}

void port_about_text(const plat_port_info& info, char* out, unsigned size)
{
    // What a device says of itself may hold any byte: shown made safe, so
    // that it can neither forge a line nor move a terminal.
    char maker[4 * sizeof info.manufacturer], product[4 * sizeof info.product],
        number[4 * sizeof info.serial];
    text_shown_safe(info.manufacturer, maker, sizeof maker);
    text_shown_safe(info.product, product, sizeof product);
    text_shown_safe(info.serial, number, sizeof number);
    std::string what = maker;
    if (product[0])
        what += (what.empty() ? "" : " ") + std::string(product);
    if (number[0]) {
        char serial[4 * sizeof info.serial + 20];
        snprintf(serial, sizeof serial, words(what.empty() ? W_("serial %s") : W_(", serial %s")),
                 number);
        what += serial;
    }
    snprintf(out, size, "%s", what.c_str());
}

int line_lost_text(const char* name, int code, char* out, unsigned size)
{
    int n;
    if (!port_name_is_url(name)) {
        n = snprintf(out, size, words(W_("the line %s was lost")), name);
    } else if (code == 0) {
        n = snprintf(out, size, words(W_("the connection to %s was closed")), name);
    } else {
        char reason[200];
        error_words(code, reason, sizeof reason);
        n = snprintf(out, size, words(W_("the connection to %s was closed: %s")), name, reason);
    }
    return n < 0 ? 0 : n;
}

int exchange_fault_text(const exchange_fault& f, char* out, unsigned size)
{
    int n = 0;
    switch (f.kind) {
    case FAULT_NONE: n = snprintf(out, size, "%s", ""); break;
    case FAULT_NO_ANSWER:
        n = snprintf(out, size,
                     f.stage == STAGE_PARAMETER ? words(W_("selected, then no answer in %lu ms"))
                                                : words(W_("no answer in %lu ms")),
                     f.timeout_ms);
        break;
    case FAULT_SELECT_REPLY:
        n = snprintf(out, size, words(W_("the selection was answered with %02X, not C0")),
                     f.seen[0]);
        break;
    case FAULT_ACK:
        n = snprintf(out, size, words(W_("acknowledged with %02X, not 05")), f.seen[0]);
        break;
    case FAULT_SHORT:
        n = snprintf(out, size, words(W_("%d of 3 answer bytes")), f.seen_count);
        break;
    case FAULT_INTERRUPTED: n = snprintf(out, size, "%s", words(W_("interrupted"))); break;
    case FAULT_EXTRA:
        n = snprintf(out, size, "%s", words(W_("more bytes than an answer's 3")));
        break;
    case FAULT_COLLISION:
        n = snprintf(out, size, "%s",
                     words(W_("garbled answers: two controllers may share this address")));
        break;
    default: n = line_lost_text(f.line, f.line_code, out, size);
    }
    return n < 0 ? 0 : n;
}

int net_scheme_text(const char* name, char* out, unsigned size)
{
    // Indexed by net_fault: what the server spoke instead of its scheme.
    static const char* const schemes[] = {
        nullptr, W_("%s does not answer RFC 2217's negotiation (a raw TCP port? try tcp://)"),
        W_("%s speaks Telnet (try rfc2217://)"),
        W_("%s is a Telnet server without the COM port option (try tcp:// or its RFC 2217 "
           "port)")};
    int fault = net_fault();
    if (!port_name_is_url(name) || fault <= 0 || fault >= (int)(sizeof schemes / sizeof *schemes))
        return 0;
    int n = snprintf(out, size, words(schemes[fault]), name);
    return n < 0 ? 0 : n;
}

int open_fault_text(const char* name, int rc, char* out, unsigned size)
{
    int n = net_scheme_text(name, out, size);
    if (n > 0)
        return n;
    // Indexed by open_port_why: the layer's own refusals.
    static const char* const refusals[] = {"", W_("every port slot is in use"),
                                           W_("the name is empty"),
                                           W_("the port layer is not started"),
                                           W_("the TCP server port could not be set up")};
    int why = open_port_why();
    char reason[200];
    if (why <= 0 || why >= (int)(sizeof refusals / sizeof *refusals))
        error_words(rc, reason, sizeof reason);
    else
        snprintf(reason, sizeof reason, "%s", words(refusals[why]));
    n = snprintf(out, size, words(W_("cannot open %s: %s")), name, reason);
    return n < 0 ? 0 : n;
}
