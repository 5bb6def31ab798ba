// kp6ctl's output: every text it prints, the usage error, and what a
// register's value means in words.
#include "kp6ctl.h"

#include <stdarg.h>
#include <stdio.h>

#include <algorithm>
#include <string>

#include "../device/backupfile.h"
#include "../device/bus.h"
#include "../device/exchange.h"
#include "../device/settings.h"
#include "../device/text.h"
#include "../platform/platform.h"
#include "../port/plainw.h"

namespace kp6ctl {

// Standard output's reader has gone (a closed pipe): one more interrupt,
// told as SIGPIPE would end the program unless a signal came first.
bool output_closed = false;

bool output_closed_first = false;

void note_output_closed(void)
{
    if (!output_closed)
        output_closed_first = plat_termination_requested() == 0;
    output_closed = true;
}

// The traffic log's file refused or failed (--log): one more interrupt, told
// once, ending the run with exit 2 unless a signal came first.
bool log_broken_first = false;

static bool log_broken_told = false;

static void tell_log_fault(int code, int kind)
{
    const char* file = opt.log_file.c_str();
    char device[PORT_NAME_SIZE + 8];
    if (code != LOG_NOT_FILE) {
        char why[200];
        plat_error_text(code, why, sizeof why);
        say(stderr, "kp6ctl: cannot write the log %s: %s\n", file, why);
    } else if (kind == PLAT_FILE_DEVICE &&
               plat_serial_device_path(opt.port.c_str(), device, sizeof device) == 0 &&
               plat_file_same(file, device)) {
        say(stderr, "kp6ctl: the log %s is the line %s itself; give a file\n", file,
            opt.port.c_str());
    } else {
        static const char* const kinds[] = {"a file", "a folder", "a FIFO", "a device",
                                            "no regular file"};
        say(stderr, "kp6ctl: the log %s is %s, not a file\n", file,
            kinds[kind >= 0 && kind <= PLAT_FILE_OTHER ? kind : PLAT_FILE_OTHER]);
    }
}

bool log_broken(void)
{
    int kind = 0;
    int code = opt.log && !log_broken_told ? log_fault(&kind) : 0;
    if (code) {
        log_broken_first = plat_termination_requested() == 0 && !output_closed;
        log_broken_told = true;
        tell_log_fault(code, kind);
    }
    return log_broken_told;
}

// Standard output refused a write otherwise (a full disk, a file too
// large): told once with the system's words; the run cannot end with 0.
bool output_failed = false;

void write_text(FILE* f, const char* text)
{
    int rc = plat_write_text(f, text);
    if (rc == 0 || f != stdout)
        return;
    if (rc == PLAT_OUTPUT_CLOSED) {
        note_output_closed();
        return;
    }
    if (output_failed)
        return;
    output_failed = true;
    char why[200];
    plat_error_text(rc, why, sizeof why);
    say(stderr, "kp6ctl: cannot write standard output: %s\n", why);
}

// Everything kp6ctl prints goes through here: UTF-8 text, shown as typed on
// a Windows console too.
__attribute__((format(gnu_printf, 2, 3))) void say(FILE* f, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string text = printed_v(fmt, ap);
    va_end(ap);
    write_text(f, text.c_str());
}

int usage_error(const char* fmt, const std::string& what)
{
    say(stderr, "kp6ctl: ");
    std::string line = std::string(fmt) + "\n(kp6ctl --help tells more)\n";
    say(stderr, line.c_str(), cut_token(what).c_str());
    return EXIT_USAGE;
}

void print_csv_row(const bus_row& r, const char* compared, bool header)
{
    if (header)
        say(stdout, "%s", bus_csv_header(compared).c_str());
    line_health h;
    health_of(r.address, &h);
    say(stdout, "%s", bus_csv_row(r, &h, compared).c_str());
}

bool stats_after_scan = false;
std::vector<unsigned char> stats_found;

void print_stats(void)
{
    for (unsigned a = 0; a < 256; a++) {
        line_health h;
        if (!health_of((unsigned char)a, &h))
            continue;
        if (stats_after_scan &&
            std::find(stats_found.begin(), stats_found.end(), a) == stats_found.end())
            continue;
        char text[400];
        health_text(h, text, sizeof text);
        say(stderr, "%02X: %s\n", a, text);
    }
}

std::string lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return s;
}

std::string value_text(int reg, unsigned v)
{
    return std::to_string(v) + (reg == REG_ER78 ? " (0x" + hex2(v) + ")" : "");
}

// What a register's value means, in words.
std::string meaning(int reg, unsigned v)
{
    char text[96];
    switch (reg) {
    case REG_ER78:
        if (er78_meter((unsigned char)v) == METER_UNKNOWN)
            snprintf(text, sizeof text, "unknown type code %u, inverse gun %s", v & 0x0F,
                     er78_inverse((unsigned char)v) ? "on" : "off");
        else
            snprintf(text, sizeof text, "%s, inverse gun %s",
                     meter_word(er78_meter((unsigned char)v)),
                     er78_inverse((unsigned char)v) ? "on" : "off");
        break;
    case REG_ER79:
        snprintf(text, sizeof text, "engine start %u.%u s before the main valve opens", v / 10,
                 v % 10);
        break;
    case REG_ER72: snprintf(text, sizeof text, "time-out %u s", v); break;
    case REG_ER74: snprintf(text, sizeof text, "topping %u g", v * 10); break;
    case REG_ER75: snprintf(text, sizeof text, "buffer overflow %u g", v * 10); break;
    default: snprintf(text, sizeof text, "sensitivity %u", v); break;
    }
    return text;
}

}  // namespace kp6ctl
