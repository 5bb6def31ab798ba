#include "line.h"

#include <stdio.h>

#include "../platform/platform.h"
#include "../port/plainw.h"
#include "exchange.h"

int device_open_line(const char* name, const char* converter, unsigned short* port, char* why,
                     unsigned size)
{
    *port = 0;
    char opened[PORT_NAME_SIZE];
    snprintf(opened, sizeof opened, "%s", name);
    int rc = open_port(port, opened, 0);
    if (rc != 0) {
        *port = 0;
        // Only a program that lets an interrupt end a wait (kp6ctl, in
        // English) sees this one.
        if (open_port_why() == OPEN_SYSTEM_ERROR && plat_wait_interrupted()) {
            snprintf(why, size, "interrupted while opening %s", name);
            return LINE_INTERRUPTED;
        }
        open_fault_text(name, rc, why, size);
        return LINE_NOT_OPENED;
    }
    int code = 0;
    rc = converter ? converter_set(*port, converter_type(converter), &code) : CONVERTER_SET;
    if (rc == CONVERTER_SET)
        return LINE_OPEN;
    converter_fault_text(name, converter, rc, code, why, size);
    return rc == CONVERTER_NOT_SERIAL ? LINE_NOT_SERIAL : LINE_CONVERTER_REFUSED;
}

int line_lost_report(const char* name, int code, char* out, unsigned size)
{
    int n = net_scheme_text(name, out, size);
    if (n > 0)
        return n;
    if (exchange_last_fault.kind == FAULT_LINE_LOST)
        return exchange_fault_text(exchange_last_fault, out, size);
    return line_lost_text(name, code, out, size);
}

int port_lost_report(unsigned short port, char* out, unsigned size)
{
    int code = 0;
    port_gone(port, &code);
    return line_lost_report(port_name(port), code, out, size);
}
