// kp6ctl: the controller's settings from the command line, on the window's
// device link: scan the bus, read, write, back up, restore, clone.
// Results go to standard output, messages to standard error.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../device/exchange.h"
#include "../device/scan.h"
#include "../device/settings.h"
#include "../discovery/comdet.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "../timers/timersw.h"
#include "../device/backupfile.h"

void put_text_log(char*, int) {}

namespace {

using json = nlohmann::ordered_json;

enum { EXIT_DONE = 0, EXIT_CONTROLLER = 1, EXIT_USAGE = 2, EXIT_PORT = 3 };

struct Options {
    std::string port;
    unsigned char address = 0x01;
    bool address_given = false;
    unsigned long timeout_ms = 0;  // 0: the command's own default
    bool log = false;
    bool help = false;
    bool version = false;
    std::string command;
    std::vector<std::string> words;  // the command's arguments
    bool json_out = false;
    unsigned char from = 0x01, to = 0xFE;
    std::string file;
    std::vector<unsigned char> targets;  // restore --to
};

Options opt;

// ---- texts ----------------------------------------------------------------------

const char USAGE[] =
    "usage: kp6ctl [--port PATH] [--address HEX] [--timeout MS] [--log] COMMAND ...\n"
    "\n"
    "commands:\n"
    "  ports                      the serial ports, as the window lists them\n"
    "  test                       does anything answer at the address?\n"
    "  scan [--from HEX] [--to HEX]  the controllers on the bus (01 to FE)\n"
    "  read [--json]              the six settings\n"
    "  write NAME=VALUE ...       change some settings (names as read prints them)\n"
    "  backup -o FILE [ADDR ...]  save controllers' settings to a JSON file\n"
    "  restore -i FILE [--to HEX]...  write them back (--to: clone one entry)\n"
    "\n"
    "options:\n"
    "  --port PATH     device path, port name or network line: tcp://HOST:PORT,\n"
    "                  rfc2217://HOST:PORT (default: $KP6_PORT)\n"
    "  --address HEX   bus address 01 to FF, e.g. 1f or 0x1F (default: $KP6_ADDRESS, else 01)\n"
    "  --timeout MS    wait for each answer (default 1000, scan 100 plus the network\n"
    "                  line's round trip); a longer one lengthens a network line's\n"
    "                  3 s to connect\n"
    "  --log           log the port's traffic to port.out\n"
    "  --help          this text; after a command, the command's\n"
    "  --version       the program's name and version\n"
    "\n"
    "exit: 0 done, 1 a controller failed, 2 usage or bad input, 3 the port did not open,\n"
    "      130 interrupted (Ctrl-C; 143 SIGTERM, 129 SIGHUP): write and restore finish the\n"
    "      controller in hand first, a second interrupt stops at the next exchange\n";

// The command's help, or null for no such command.
const char* help_of(const std::string& command);

// Everything kp6ctl prints goes through here: UTF-8 text, shown as typed on
// a Windows console too.
__attribute__((format(gnu_printf, 2, 3))) void say(FILE* f, const char* fmt, ...)
{
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if ((size_t)n < sizeof small) {
        plat_write_text(f, small);
        return;
    }
    std::string big((size_t)n + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    plat_write_text(f, big.c_str());
}

int usage_error(const char* fmt, const std::string& what)
{
    say(stderr, "kp6ctl: ");
    std::string line = std::string(fmt) + "\n(kp6ctl --help tells more)\n";
    say(stderr, line.c_str(), what.c_str());
    return EXIT_USAGE;
}

// Meter names, as read prints them and write takes them.
const char* meter_name(int meter)
{
    switch (meter) {
    case METER_MILLILITER:
        return "milliliter";
    case METER_LITER:
        return "liter";
    case METER_HAND:
        return "hand";
    default:
        return "unknown";
    }
}

std::string lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return s;
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
            snprintf(text, sizeof text, "%s, inverse gun %s", meter_name(er78_meter((unsigned char)v)),
                     er78_inverse((unsigned char)v) ? "on" : "off");
        break;
    case REG_ER79:
        snprintf(text, sizeof text, "engine start %u.%u s before the main valve opens", v / 10,
                 v % 10);
        break;
    case REG_ER72:
        snprintf(text, sizeof text, "time-out %u s", v);
        break;
    case REG_ER74:
        snprintf(text, sizeof text, "topping %u g", v * 10);
        break;
    case REG_ER75:
        snprintf(text, sizeof text, "buffer overflow %u g", v * 10);
        break;
    default:
        snprintf(text, sizeof text, "sensitivity %u", v);
        break;
    }
    return text;
}

// ---- arguments ----------------------------------------------------------------------

bool parse_ms(const std::string& text, unsigned long* out)
{
    size_t n = text.size();
    if (n == 0 || n > 6 || strspn(text.c_str(), "0123456789") != n)
        return false;
    unsigned long v = strtoul(text.c_str(), nullptr, 10);
    if (v < 1 || v > 60000)
        return false;
    *out = v;
    return true;
}

const char BAD_ADDRESS[] = "bad address \"%s\": give 01 to FF in hexadecimal (1f, 0x1F)";

int parse_args(int argc, char** argv)
{
    static char port[32768];
    if (plat_getenv("KP6_PORT", port, sizeof port) == 0)
        opt.port = port;
    if (const char* a = getenv("KP6_ADDRESS")) {
        if (!parse_address(a, &opt.address))
            return usage_error("KP6_ADDRESS: bad address \"%s\": give 01 to FF in hexadecimal", a);
        opt.address_given = true;
    }
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i], value;
        bool has_value = false;
        size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            has_value = true;
        }
        // The option's value, from "--opt=value" or the next word.
        auto take = [&](std::string* out) {
            if (!has_value) {
                if (i + 1 >= argc)
                    return false;
                value = argv[++i];
            }
            *out = value;
            return true;
        };
        std::string v;
        const std::string& cmd = opt.command;
        if (a == "--help" || a == "-h") {
            opt.help = true;
        } else if (a == "--version") {
            opt.version = true;
        } else if (a == "--log") {
            opt.log = true;
        } else if (a == "--port") {
            if (!take(&v) || v.empty())
                return usage_error("%s needs a device path or a port name", a);
            opt.port = v;
        } else if (a == "--address") {
            if (!take(&v))
                return usage_error("%s needs a hexadecimal address", a);
            if (!parse_address(v, &opt.address))
                return usage_error(BAD_ADDRESS, v);
            opt.address_given = true;
        } else if (a == "--timeout") {
            if (!take(&v) || !parse_ms(v, &opt.timeout_ms))
                return usage_error("%s needs milliseconds, 1 to 60000", a);
        } else if (a == "--json" && cmd == "read") {
            opt.json_out = true;
        } else if ((a == "--from" || a == "--to") && cmd == "scan") {
            if (!take(&v))
                return usage_error("%s needs a hexadecimal address", a);
            if (!parse_address(v, a == "--from" ? &opt.from : &opt.to))
                return usage_error(BAD_ADDRESS, v);
        } else if (a == "--to" && cmd == "restore") {
            unsigned char t;
            if (!take(&v))
                return usage_error("%s needs a hexadecimal address", a);
            if (!parse_address(v, &t))
                return usage_error(BAD_ADDRESS, v);
            opt.targets.push_back(t);
        } else if (((a == "-o" || a == "--output") && cmd == "backup") ||
                   ((a == "-i" || a == "--input") && cmd == "restore")) {
            if (!take(&v) || v.empty())
                return usage_error("%s needs a file name", a);
            opt.file = v;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error(cmd.empty() ? "unknown option %s"
                                           : "unknown option %s (or not one of this command)",
                               a);
        } else if (cmd.empty()) {
            if (!help_of(a))
                return usage_error("unknown command %s", a);
            opt.command = a;
        } else {
            opt.words.push_back(argv[i]);
        }
    }
    return EXIT_DONE;
}

// ---- interrupts ----------------------------------------------------------------------

// SIGINT, SIGTERM and SIGHUP (Ctrl-C and a closed console on Windows) only
// count. A command stops at the next exchange once this many have come:
// write and restore let the first finish the controller in hand, whose
// sequence stopped part way would leave it half-written; the rest stop at
// once.
int interrupts_to_stop = 1;

int stop_requested(void)
{
    return plat_termination_requested() >= interrupts_to_stop;
}

bool interrupted(void)
{
    return plat_termination_requested() > 0;
}

// As a shell reports a program that a signal ended: 128 and its number.
int exit_interrupted(void)
{
    return 128 + plat_termination_signal();
}

// What a write that settings_stop ended before `step` left on the controller.
std::string stopped_write(int step)
{
    std::string rest;
    for (int s = step; s <= WRITE_STEPS; s++)
        rest += std::string(rest.empty() ? "" : ", ") + settings_write_name(s);
    return std::string("interrupted after ") + settings_write_name(step - 1) + ": " + rest +
           (step == WRITE_STEPS ? " keeps its old value" : " keep their old values");
}

// ---- the line -----------------------------------------------------------------------

unsigned short line_port = 0;
// A network line that closed or failed while open: noted when the line is
// closed, so that a step's message can still say so.
bool line_was_lost = false;
int line_lost_code = 0;
bool line_lost_told = false;

int open_line(unsigned long default_timeout_ms)
{
    if (opt.port.empty())
        return usage_error("no port%s: give --port PATH or set KP6_PORT (kp6ctl ports lists them)",
                           "");
    if (opt.port.size() >= PORT_NAME_SIZE)
        return usage_error("the port name %s is too long", opt.port);
    if (port_name_is_url(opt.port.c_str())) {
        net_url url;
        char why[160];
        if (net_url_parse(opt.port.c_str(), &url, why, sizeof why) != 1) {
            say(stderr, "kp6ctl: bad network line %s: %s\n", opt.port.c_str(), why);
            return EXIT_USAGE;
        }
        // Connecting may take as long as an answer may.
        net_connect_ms = opt.timeout_ms > NET_CONNECT_MS ? (unsigned)opt.timeout_ms
                                                         : (unsigned)NET_CONNECT_MS;
    }
    if (interrupted()) {
        say(stderr, "kp6ctl: interrupted before the port was opened\n");
        return exit_interrupted();
    }
    install_event(1);
    start_net(1);
    char name[PORT_NAME_SIZE];
    snprintf(name, sizeof name, "%s", opt.port.c_str());
    int rc = open_port(&line_port, name, 0);
    if (rc != 0) {
        char reason[200];
        if (rc == -1)
            snprintf(reason, sizeof reason, "the TCP server port could not be set up");
        else
            plat_error_text(rc, reason, sizeof reason);
        say(stderr, "kp6ctl: cannot open %s: %s\n", opt.port.c_str(), reason);
        line_port = 0;
        close_net();
        remove_event(1);
        return EXIT_PORT;
    }
    if (opt.log)
        pl_port_log = (uint16_t)(pl_port_log | 1u << (line_port - 1));
    answer_timeout_ms = opt.timeout_ms ? opt.timeout_ms : default_timeout_ms;
    return EXIT_DONE;
}

// Whether the network line has closed or failed; says so once.
bool line_lost(void)
{
    int code = 0;
    if (!line_was_lost && line_port && port_gone(line_port, &code)) {
        line_was_lost = true;
        line_lost_code = code;
    }
    if (line_was_lost && !line_lost_told) {
        line_lost_told = true;
        if (line_lost_code == 0) {
            say(stderr, "kp6ctl: the connection to %s was closed\n", opt.port.c_str());
        } else {
            char reason[200];
            plat_error_text(line_lost_code, reason, sizeof reason);
            say(stderr, "kp6ctl: the connection to %s was closed: %s\n", opt.port.c_str(),
                    reason);
        }
    }
    return line_was_lost;
}

void close_line(void)
{
    int code = 0;
    if (!line_was_lost && port_gone(line_port, &code)) {
        line_was_lost = true;
        line_lost_code = code;
    }
    free_port(line_port, 0);
    close_net();
    remove_event(1);
}

// "01: Error read ER78"
void controller_failed(unsigned char address, const char* what)
{
    say(stderr, "%02X: %s\n", address, what);
    line_lost();
}

// ---- commands -----------------------------------------------------------------------

int cmd_ports(void)
{
    ComDetect();
    for (int i = 0; i < com_num_detected; i++)
        say(stdout, "%s\n", com_port_names[i]);
    return EXIT_DONE;
}

int cmd_test(void)
{
    int rc = open_line(ANSWER_TIMEOUT_MS);
    if (rc)
        return rc;
    int answered = device_test(line_port, opt.address);
    clear_buf(line_port);
    close_line();
    if (!answered)
        controller_failed(opt.address, "No reply");
    else
        say(stdout, "%02X: Ok\n", opt.address);
    return interrupted() ? exit_interrupted() : answered ? EXIT_DONE : EXIT_CONTROLLER;
}

// What the scan has shown so far.
struct ScanShown {
    bool progress;  // a person watches standard error
    int found;
};

int scan_told(void* ctx, unsigned char a, int answered, unsigned char er78)
{
    ScanShown& shown = *(ScanShown*)ctx;
    if (answered < 0) {
        if (interrupted())
            return 1;
        if (shown.progress)
            say(stderr, "\rscanning %02X (%d found) ", a, shown.found);
        return 0;
    }
    if (shown.progress)
        say(stderr, "\r                        \r");
    shown.found++;
    say(stdout, "%02X type=%s inverse=%s\n", a, meter_name(er78_meter(er78)),
        er78_inverse(er78) ? "on" : "off");
    fflush(stdout);
    return 0;
}

int cmd_scan(void)
{
    if (opt.from > opt.to)
        return usage_error("the range %s is empty", hex2(opt.from) + ".." + hex2(opt.to));
    int rc = open_line(SCAN_TIMEOUT_MS);
    if (rc)
        return rc;
    if (!opt.timeout_ms)
        answer_timeout_ms = scan_timeout_ms(line_port);
    ScanShown shown = {plat_stderr_is_terminal() != 0, 0};
    unsigned a = opt.from;
    bus_scan(line_port, opt.from, opt.to, answer_timeout_ms, scan_told, &shown, &a);
    int found = shown.found;
    if (shown.progress)
        say(stderr, "\r                        \r");
    close_line();
    if (line_lost()) {
        say(stderr, "kp6ctl: the scan stopped there (%d found)\n", found);
        return EXIT_CONTROLLER;
    }
    if (a <= opt.to) {
        say(stderr, "kp6ctl: scan interrupted before %02X\n", a);
        return exit_interrupted();
    }
    if (!found) {
        say(stderr, "kp6ctl: no controller answered from %02X to %02X\n", opt.from, opt.to);
        return EXIT_CONTROLLER;
    }
    return EXIT_DONE;
}

// Reads one controller; false (and the message) when a step failed.
// Reads one controller: settings_read's result, and the message of a
// failed step.
int read_controller(unsigned char address, device_settings& s)
{
    int failed = settings_read(line_port, address, s);
    if (failed > 0)
        controller_failed(address, settings_read_failure(failed));
    return failed;
}

const char* const setting_keys[SETTING_COUNT] = {"er78", "er79", "er72", "er74", "er75", "er77"};

int cmd_read(void)
{
    int rc = open_line(ANSWER_TIMEOUT_MS);
    if (rc)
        return rc;
    device_settings s = {};
    int failed = read_controller(opt.address, s);
    close_line();
    if (failed > 0)
        return EXIT_CONTROLLER;
    // An interrupted read shows the registers it had.
    bool have[SETTING_COUNT] = {};
    for (int step = 1; step <= READ_STEPS && (!failed || step < -failed); step++)
        have[settings_read_register(step)] = true;
    int meter = er78_meter(s.er78);
    bool inverse = er78_inverse(s.er78);
    if (opt.json_out) {
        json j = json::object();
        j["address"] = hex2(opt.address);
        if (have[REG_ER78]) {
            j["type"] = meter_name(meter);
            j["inverse"] = inverse;
        }
        for (int reg = 0; reg < SETTING_COUNT; reg++)
            if (have[reg])
                j[setting_keys[reg]] = setting_value(s, reg);
        say(stdout, "%s\n", j.dump().c_str());
    } else if (have[REG_ER78]) {
        say(stdout, "%-8s %s\n", "type", meter_name(meter));
        say(stdout, "%-8s %s\n", "inverse", inverse ? "on" : "off");
    }
    for (int reg = 0; reg < SETTING_COUNT && !opt.json_out; reg++) {
        if (!have[reg])
            continue;
        unsigned v = setting_value(s, reg);
        std::string text = std::to_string(v);
        if (reg == REG_ER78)
            text += " (0x" + hex2(v) + ")";
        say(stdout, "%-8s %-10s %s\n", setting_keys[reg], text.c_str(), meaning(reg, v).c_str());
    }
    if (failed)
        say(stderr, "%02X: read interrupted before %s\n", opt.address,
            setting_name(settings_read_register(-failed)));
    return interrupted() ? exit_interrupted() : EXIT_DONE;
}

// One NAME=VALUE of write, checked.
struct Change {
    int reg;  // REG_*, or -1 type, -2 inverse
    unsigned char value;
};

int cmd_write(void)
{
    if (opt.words.empty())
        return usage_error("write needs NAME=VALUE ...%s", "");
    std::vector<Change> changes;
    for (const std::string& w : opt.words) {
        size_t eq = w.find('=');
        if (eq == std::string::npos)
            return usage_error("%s is not NAME=VALUE", w);
        std::string name = lower(w.substr(0, eq)), value = w.substr(eq + 1);
        Change c = {-3, 0};
        if (name == "type") {
            c.reg = -1;
            std::string v = lower(value);
            if (v == "milliliter")
                c.value = METER_MILLILITER;
            else if (v == "liter")
                c.value = METER_LITER;
            else if (v == "hand")
                c.value = METER_HAND;
            else
                return usage_error("type=%s: give milliliter, liter or hand", value);
        } else if (name == "inverse") {
            c.reg = -2;
            std::string v = lower(value);
            if (v != "on" && v != "off")
                return usage_error("inverse=%s: give on or off", value);
            c.value = v == "on";
        } else {
            for (int reg = 0; reg < SETTING_COUNT; reg++)
                if (name == setting_keys[reg])
                    c.reg = reg;
            if (c.reg == -3)
                return usage_error("unknown setting %s (type, inverse, er78, er79, er72, er74, "
                                   "er75, er77)",
                                   name);
            if (!setting_from_text(value.c_str(), &c.value)) {
                const char* key = setting_input_failure(c.reg);
                say(stderr, "kp6ctl: %s: %s\n", w.c_str(), key ? key : "Error input ER78");
                return EXIT_USAGE;
            }
            if (c.reg == REG_ER78 && er78_meter(c.value) == METER_UNKNOWN) {
                say(stderr, "kp6ctl: %s: type code %u is none of milliliter (0), liter (2), "
                                "hand (10)\n",
                        w.c_str(), c.value & 0x0Fu);
                return EXIT_USAGE;
            }
        }
        changes.push_back(c);
    }
    interrupts_to_stop = 2;
    int rc = open_line(ANSWER_TIMEOUT_MS);
    if (rc)
        return rc;
    device_settings s = {};
    int failed = read_controller(opt.address, s);
    if (failed || interrupted()) {
        close_line();
        if (failed > 0)
            return EXIT_CONTROLLER;
        say(stderr, "%02X: not written (interrupted)\n", opt.address);
        return exit_interrupted();
    }
    // Only what is named changes; ER78 goes out as the window writes the
    // type and inverse gun it reads as.
    int meter = er78_meter(s.er78), inverse = er78_inverse(s.er78);
    for (const Change& c : changes) {
        if (c.reg == -1)
            meter = c.value;
        else if (c.reg == -2)
            inverse = c.value;
        else if (c.reg == REG_ER78) {
            meter = er78_meter(c.value);
            inverse = er78_inverse(c.value);
        } else
            setting_value(s, c.reg) = c.value;
    }
    if (meter == METER_UNKNOWN) {
        close_line();
        say(stderr, "kp6ctl: %02X: Select type: ER78 holds type code %u, which is no "
                        "type; give type=milliliter, liter or hand\n",
                opt.address, s.er78 & 0x0Fu);
        return EXIT_USAGE;
    }
    s.er78 = er78_compose(meter, inverse);
    failed = settings_write(line_port, opt.address, s);
    close_line();
    if (failed > 0)
        controller_failed(opt.address, settings_write_failure(failed));
    else if (failed == 0)
        say(stdout, "%02X: Write OK\n", opt.address);
    if (interrupted()) {
        say(stderr, "%02X: %s\n", opt.address,
            failed < 0   ? stopped_write(-failed).c_str()
            : failed > 0 ? settings_write_failure(failed)
                         : "written");
        return exit_interrupted();
    }
    return failed ? EXIT_CONTROLLER : EXIT_DONE;
}

int cmd_backup(void)
{
    if (opt.file.empty())
        return usage_error("backup needs -o FILE%s", "");
    std::vector<unsigned char> addresses;
    for (const std::string& w : opt.words) {
        unsigned char a;
        if (!parse_address(w, &a))
            return usage_error(BAD_ADDRESS, w);
        addresses.push_back(a);
    }
    if (addresses.empty())
        addresses.push_back(opt.address);
    std::string message;
    if (!backup_target_ok(opt.file, message)) {
        say(stderr, "kp6ctl: %s\n", message.c_str());
        return EXIT_USAGE;
    }
    int rc = open_line(ANSWER_TIMEOUT_MS);
    if (rc)
        return rc;
    std::vector<backup_entry> list;
    bool all = true;
    for (unsigned char a : addresses) {
        device_settings s = {};
        if (interrupted() || read_controller(a, s) != 0) {
            all = false;
            if (line_lost())
                break;
        } else {
            list.push_back({a, s});
        }
    }
    close_line();
    if (interrupted()) {
        say(stderr, "kp6ctl: interrupted: %s not written\n", opt.file.c_str());
        return exit_interrupted();
    }
    if (!all) {
        say(stderr, "kp6ctl: %s not written\n", opt.file.c_str());
        return EXIT_CONTROLLER;
    }
    std::string text = backup_text(list, opt.port, meaning);
    if (!save_text(opt.file, text, message)) {
        say(stderr, "kp6ctl: %s\n", message.c_str());
        return EXIT_USAGE;
    }
    if (opt.file != "-") {
        std::string names;
        for (unsigned char a : addresses)
            names += " " + hex2(a);
        say(stdout, "saved%s to %s\n", names.c_str(), opt.file.c_str());
    }
    return EXIT_DONE;
}

int cmd_restore(void)
{
    if (opt.file.empty())
        return usage_error("restore needs -i FILE%s", "");
    std::vector<backup_entry> entries;
    std::string message;
    if (!load_backup(opt.file, entries, message)) {
        say(stderr, "kp6ctl: %s\n", message.c_str());
        return EXIT_USAGE;
    }
    std::vector<backup_entry> jobs;
    std::vector<unsigned char> sources;  // where each job's settings come from
    if (opt.targets.empty()) {
        jobs = entries;
        for (const backup_entry& e : entries)
            sources.push_back(e.address);
    } else {
        const backup_entry* from = entries.size() == 1 ? &entries[0] : nullptr;
        if (!from && opt.address_given)
            for (const backup_entry& e : entries)
                if (e.address == opt.address)
                    from = &e;
        if (!from) {
            say(stderr, "kp6ctl: %s holds %zu controllers%s: name the one to copy with "
                            "--address\n",
                    opt.file.c_str(), entries.size(),
                    opt.address_given ? (", none at " + hex2(opt.address)).c_str() : "");
            return EXIT_USAGE;
        }
        for (unsigned char t : opt.targets) {
            jobs.push_back({t, from->settings});
            sources.push_back(from->address);
        }
    }
    interrupts_to_stop = 2;
    int rc = open_line(ANSWER_TIMEOUT_MS);
    if (rc)
        return rc;
    rc = EXIT_DONE;
    // What each controller holds now, told once more after an interrupt.
    std::vector<std::string> outcome(jobs.size(), "not written (interrupted)");
    for (size_t i = 0; i < jobs.size() && !interrupted(); i++) {
        const backup_entry& job = jobs[i];
        device_settings sent = job.settings;
        er78_for_write(job.settings.er78, &sent.er78);  // the loader took known types only
        int failed = settings_write(line_port, job.address, sent);
        if (failed) {
            if (failed > 0)
                controller_failed(job.address, settings_write_failure(failed));
            outcome[i] = failed > 0 ? settings_write_failure(failed) : stopped_write(-failed);
            rc = EXIT_CONTROLLER;
            if (line_lost())
                break;
            continue;
        }
        device_settings back = {};
        outcome[i] = "written, not read back";
        if (read_controller(job.address, back) != 0) {
            rc = EXIT_CONTROLLER;
            if (line_lost())
                break;
            continue;
        }
        bool same = true;
        for (int reg = 0; reg < SETTING_COUNT; reg++) {
            unsigned want = setting_value(jobs[i].settings, reg), got = setting_value(back, reg);
            bool held = reg == REG_ER78 ? er78_same_setting((unsigned char)want, (unsigned char)got)
                                        : want == got;
            if (!held) {
                say(stderr, "%02X: %s reads %u, the file has %u\n", job.address,
                        setting_name(reg), got, want);
                same = false;
            }
        }
        if (!same) {
            outcome[i] = "written, reads back otherwise";
            rc = EXIT_CONTROLLER;
            continue;
        }
        outcome[i] = "restored";
        if (sources[i] != job.address)
            outcome[i] += " from " + hex2(sources[i]);
        say(stdout, "%02X: %s\n", job.address, outcome[i].c_str());
        fflush(stdout);
    }
    close_line();
    if (!interrupted())
        return rc;
    for (size_t i = 0; i < jobs.size(); i++)
        say(stderr, "%02X: %s\n", jobs[i].address, outcome[i].c_str());
    return exit_interrupted();
}

const struct {
    const char* name;
    int (*run)(void);
    const char* help;
} commands[] = {
    {"ports", cmd_ports,
     "usage: kp6ctl ports\n"
     "Lists the serial ports one a line, as the window offers them.\n"},
    {"test", cmd_test,
     "usage: kp6ctl [--port PATH] [--address HEX] test\n"
     "Sends the Test header; exit 0 when anything answers, 1 (\"No reply\") otherwise.\n"},
    {"scan", cmd_scan,
     "usage: kp6ctl [--port PATH] [--timeout MS] scan [--from HEX] [--to HEX]\n"
     "Reads ER78 at each address of the range (default 01 to FE, 100 ms each, plus\n"
     "twice a network line's round trip)\n"
     "and lists those that answer with their type. Exit 1 when none does.\n"},
    {"read", cmd_read,
     "usage: kp6ctl [--port PATH] [--address HEX] read [--json]\n"
     "Prints the six settings: NAME VALUE and what it means; --json prints one\n"
     "JSON object.\n"},
    {"write", cmd_write,
     "usage: kp6ctl [--port PATH] [--address HEX] write NAME=VALUE ...\n"
     "Reads the settings, changes those named and writes all six back.\n"
     "Names: type=milliliter|liter|hand, inverse=on|off, er78 (the raw byte),\n"
     "er79, er72, er74, er75, er77 (0 to 255). Nothing is sent unless every value\n"
     "is right.\n"},
    {"backup", cmd_backup,
     "usage: kp6ctl [--port PATH] [--address HEX] backup -o FILE [ADDR ...]\n"
     "Reads each controller (default: --address) into one JSON file (- for\n"
     "standard output). Nothing is written unless all were read.\n"},
    {"restore", cmd_restore,
     "usage: kp6ctl [--port PATH] restore -i FILE [--to HEX]...\n"
     "Writes each controller of the file, reads it back and reports any register\n"
     "that differs. --to writes one entry (the only one, or the --address one)\n"
     "to other addresses instead. The file is checked whole before anything is\n"
     "sent.\n"},
};

const char* help_of(const std::string& command)
{
    for (const auto& c : commands)
        if (command == c.name)
            return c.help;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    plat_utf8_args(&argc, &argv);
    plat_catch_termination();
    settings_stop = stop_requested;
    int rc = parse_args(argc, argv);
    if (rc)
        return rc;
    if (opt.version) {
        puts("kp6ctl " KP6_VERSION);
        return EXIT_DONE;
    }
    if (opt.help || opt.command.empty()) {
        if (opt.command.empty())
            say(opt.help ? stdout : stderr, "%s", USAGE);
        else
            say(stdout, "%s", help_of(opt.command));
        return opt.help ? EXIT_DONE : EXIT_USAGE;
    }
    const std::string& c = opt.command;
    if (!opt.words.empty() && c != "write" && c != "backup")
        return usage_error(("%s: " + c + " takes no such word").c_str(), opt.words[0]);
    for (const auto& command : commands)
        if (c == command.name)
            return command.run();
    return EXIT_USAGE;  // parse_args knows every command
}
