// kp6ctl: the controller's settings from the command line, on the window's
// device link: scan the bus, read, write, back up, restore, clone.
// Results go to standard output, messages to standard error.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../device/backupfile.h"
#include "../device/exchange.h"
#include "../device/settings.h"
#include "../platform/platform.h"
#include "kp6ctl.h"

void put_text_log(char*, int) {}

namespace kp6ctl {

Options opt;

// ---- texts ----------------------------------------------------------------------

const char USAGE[] =
    "usage: kp6ctl [-p PORT] [-a ADDRS] [-t MS] [--retries N] [--stats] [-v]\n"
    "              [--log [FILE]] COMMAND ...\n"
    "       kp6ctl help [COMMAND]\n"
    "\n"
    "commands:\n"
    "  ports                      the serial ports, as the window lists them\n"
    "  test [ADDRS]               does anything answer at each address?\n"
    "  scan [--from HEX] [--to HEX] [--read] [--json | --csv]  the controllers on\n"
    "                             the bus (01 to FF); --read: a table of settings\n"
    "  read [ADDRS] [--json | --csv]  the six settings\n"
    "  write NAME=VALUE ...       change some settings (names as read prints them)\n"
    "  backup -o FILE [ADDRS ...] save controllers' settings to a JSON file\n"
    "  restore -i FILE [--to ADDRS]... [--dry-run [--csv]]  write them back, or see\n"
    "                             what that would change (--to: clone one entry)\n"
    "\n"
    "options:\n"
    "  -p, --port PORT     device path, port name or network line: tcp://HOST:PORT,\n"
    "                      rfc2217://HOST:PORT (default: $KP6_PORT)\n"
    "  -a, --address ADDRS bus addresses 01 to FF in hexadecimal (1f, 0x1F), a list\n"
    "                      and ranges: 01,03,10-1F or 10:1F (default: $KP6_ADDRESS,\n"
    "                      else 01)\n"
    "  -t, --timeout MS    wait for each answer (default 1000, scan 100 plus the\n"
    "                      network line's round trip); a longer one lengthens a\n"
    "                      network line's 3 s to connect\n"
    "  --retries N         repeat an exchange that got no answer or a garbled one up\n"
    "                      to N times (default 0); the last line counts the repeats\n"
    "  --stats             at the end, a line per controller on standard error: its\n"
    "                      exchanges, retries, failures and answer times\n"
    "  -v, --verbose       every frame in hex with its time, on standard error\n"
    "  --log [FILE]        log the port's traffic to FILE (default port.out); no log\n"
    "                      file is written without it\n"
    "  -h, --help          this text; after a command, the command's\n"
    "  -V, --version       the program's name and version\n"
    "\n"
    "exit: 0 done, 1 a controller failed, the line was lost or the file not written\n"
    "      (restore --dry-run: something would change), 2 usage or bad input, 3 the\n"
    "      port did not open, 130 interrupted (Ctrl-C; 143 SIGTERM, 129 SIGHUP, 141\n"
    "      standard output closed): write and restore finish the controller in hand\n"
    "      first, a second interrupt stops at the next exchange\n";

// The command's help, or null for no such command.
const char* help_of(const std::string& command);

// ---- arguments ----------------------------------------------------------------------

bool parse_number(const std::string& text, unsigned long low, unsigned long high,
                  unsigned long* out)
{
    size_t n = text.size();
    if (n == 0 || n > 6 || strspn(text.c_str(), "0123456789") != n)
        return false;
    unsigned long v = strtoul(text.c_str(), nullptr, 10);
    if (v < low || v > high)
        return false;
    *out = v;
    return true;
}

// One entry per controller, however often its address is given.
void add_address(std::vector<unsigned char>& list, unsigned char a)
{
    if (std::find(list.begin(), list.end(), a) == list.end())
        list.push_back(a);
}

const char BAD_ADDRESS[] = "bad address \"%s\": give 01 to FF in hexadecimal (1f, 0x1F)";

bool add_address_list(std::vector<unsigned char>& list, const std::string& text, const char* from)
{
    unsigned char got[ADDRESS_LIST_MAX];
    int at = 0, len = 0;
    int n = text.size() == strlen(text.c_str()) ? address_list_parse(text.c_str(), got, &at, &len)
                                                : ADDRESS_LIST_BAD_ITEM;
    if (n > 0) {
        for (int i = 0; i < n; i++)
            add_address(list, got[i]);
        return true;
    }
    // "--to 01,1F-10: the range 1F-10 runs downwards ..."
    std::string item = cut_token(text.substr((size_t)at, (size_t)len));
    std::string where = (from ? std::string(from) + " " : "") + cut_token(text) + ": ";
    std::string why = n == ADDRESS_LIST_BACKWARDS
                          ? "the range " + item + " runs downwards; give the lower address first"
                          : "bad address \"" + item +
                                "\": give 01 to FF in hexadecimal (1f, 0x1F), a list as "
                                "01,03,10-1F";
    say(stderr, "kp6ctl: %s%s\n(kp6ctl --help tells more)\n", item == text ? "" : where.c_str(),
        why.c_str());
    return false;
}

int resolve_addresses(bool from_words)
{
    opt.addresses.clear();
    if (from_words)
        for (const std::string& w : opt.words)
            if (!add_address_list(opt.addresses, w, nullptr))
                return EXIT_USAGE;
    if (opt.addresses.empty() && !opt.address_text.empty())
        add_address_list(opt.addresses, opt.address_text, "--address");  // checked when given
    const char* env = getenv("KP6_ADDRESS");
    if (opt.addresses.empty() && env && *env) {
        // Quiet: the message names the variable.
        unsigned char got[ADDRESS_LIST_MAX];
        int at, len, n = address_list_parse(env, got, &at, &len);
        if (n <= 0) {
            say(stderr, "kp6ctl: KP6_ADDRESS=%s is no bus address (01 to FF)\n",
                cut_token(env).c_str());
            return EXIT_USAGE;
        }
        opt.addresses.assign(got, got + n);
    }
    opt.address_given = !opt.addresses.empty();
    if (opt.addresses.empty())
        opt.addresses.push_back(0x01);
    opt.address = opt.addresses[0];
    return EXIT_DONE;
}

// The short options and their long names; -p, -a and -t take a value, the
// next word or attached (-a1f).
const struct {
    char letter;
    const char* name;
} short_options[] = {{'p', "--port"},    {'a', "--address"}, {'t', "--timeout"},
                     {'v', "--verbose"}, {'V', "--version"}, {'h', "--help"}};

int parse_args(int argc, char** argv)
{
    static char port[32768];
    if (plat_getenv("KP6_PORT", port, sizeof port) == 0 && port[0]) {
        opt.port = port;
        opt.port_from_env = true;
    }
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i], value;
        bool has_value = false;
        size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            has_value = true;
        } else if (a.size() >= 2 && a[0] == '-' && a[1] != '-') {
            // -p PORT, -pPORT, -v ...
            for (const auto& o : short_options)
                if (a[1] == o.letter && (a.size() == 2 || strchr("pat", o.letter))) {
                    if (a.size() > 2) {
                        value = a.substr(2);
                        has_value = true;
                    }
                    a = o.name;
                }
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
        unsigned long n;
        const std::string& cmd = opt.command;
        if (a == "--help") {
            opt.help = true;
        } else if (a == "--version") {
            opt.version = true;
        } else if (a == "--verbose") {
            opt.verbose = true;
        } else if (a == "--log") {
            opt.log = true;
            // The next word is the file unless it is an option, the command, or
            // one of the command's words (an address list, a NAME=VALUE).
            unsigned char list[ADDRESS_LIST_MAX];
            int at, len;
            const char* next = i + 1 < argc ? argv[i + 1] : "-";
            if (has_value || (next[0] != '-' && !help_of(next) &&
                              (cmd.empty() || (!strchr(next, '=') &&
                                               address_list_parse(next, list, &at, &len) <= 0)))) {
                take(&v);
                if (v.empty())
                    return usage_error("%s needs a file name", a);
                opt.log_file = v;
            }
        } else if (a == "--port") {
            if (!take(&v) || v.empty())
                return usage_error("%s needs a device path or a port name", a);
            opt.port = v;
            opt.port_from_env = false;
        } else if (a == "--address") {
            std::vector<unsigned char> list;
            if (!take(&v))
                return usage_error("%s needs a hexadecimal address", a);
            if (!add_address_list(list, v, nullptr))
                return EXIT_USAGE;
            opt.address_text = v;
        } else if (a == "--timeout") {
            if (!take(&v) || !parse_number(v, 1, 60000, &opt.timeout_ms))
                return usage_error("%s needs milliseconds, 1 to 60000", a);
        } else if (a == "--retries") {
            if (!take(&v) || !parse_number(v, 0, 100, &n))
                return usage_error("%s needs a count, 0 to 100", a);
            opt.retries = (int)n;
        } else if (a == "--json" && (cmd == "read" || cmd == "scan")) {
            opt.json_out = true;
        } else if (a == "--csv" && (cmd == "read" || cmd == "scan" || cmd == "restore")) {
            opt.csv_out = true;
        } else if (a == "--read" && cmd == "scan") {
            opt.scan_read = true;
        } else if (a == "--stats") {
            opt.stats = true;
        } else if (a == "--dry-run" && cmd == "restore") {
            opt.dry_run = true;
        } else if ((a == "--from" || a == "--to") && cmd == "scan") {
            if (!take(&v))
                return usage_error("%s needs a hexadecimal address", a);
            if (!parse_address(v, a == "--from" ? &opt.from : &opt.to))
                return usage_error(BAD_ADDRESS, v);
        } else if (a == "--to" && cmd == "restore") {
            if (!take(&v))
                return usage_error("%s needs a hexadecimal address", a);
            if (!add_address_list(opt.targets, v, "--to"))
                return EXIT_USAGE;
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
int cmd_help(void);

const struct {
    const char* name;
    int (*run)(void);
    const char* help;
} commands[] = {
    {"ports", cmd_ports,
     "usage: kp6ctl ports\n"
     "Lists the serial ports one a line, as the window offers them, then the\n"
     "network lines of $KP6_PORTS.\n"},
    {"test", cmd_test,
     "usage: kp6ctl [-p PORT] [-a ADDRS] test [ADDRS ...]\n"
     "Sends the Test header to each address; one line each, \"01: Ok\" or \"01: No\n"
     "reply\" and why. Exit 0 when every one answers, 1 otherwise.\n"},
    {"scan", cmd_scan,
     "usage: kp6ctl [-p PORT] [-t MS] scan [--from HEX] [--to HEX] [--read]\n"
     "                                     [--json | --csv]\n"
     "Reads ER78 at each address of the range (default 01 to FF, 100 ms each, plus\n"
     "twice a network line's round trip) and lists those that answer with their\n"
     "type; --json prints them as one JSON array. An address whose answers are\n"
     "garbled is named (\"05: garbled answers: two controllers may share this\n"
     "address\"), never listed. --read then reads each controller found and prints\n"
     "a table of their settings (--csv: the bus record's columns with each one's\n"
     "line health). Exit 1 when none answers, or an address was garbled or a\n"
     "controller failed.\n"},
    {"read", cmd_read,
     "usage: kp6ctl [-p PORT] [-a ADDRS] read [ADDRS ...] [--json | --csv]\n"
     "Prints the six settings: NAME VALUE and what it means, a block per\n"
     "controller; --json prints one JSON object (an array for several), --csv a\n"
     "line per controller in the bus record's columns.\n"
     "Exit 1 when any controller failed; every one is tried.\n"},
    {"write", cmd_write,
     "usage: kp6ctl [-p PORT] [-a ADDRS] write NAME=VALUE ...\n"
     "Reads the settings, changes those named and writes all six back, on each\n"
     "controller named. Names: type=milliliter|liter|hand, inverse=on|off, er78\n"
     "(the raw byte), er79, er72, er74, er75, er77 (0 to 255). Nothing is sent\n"
     "unless every value is right; a failed step names what the controller holds.\n"},
    {"backup", cmd_backup,
     "usage: kp6ctl [-p PORT] [-a ADDRS] backup -o FILE [ADDRS ...]\n"
     "Reads each controller (default: --address) into one JSON file (- for\n"
     "standard output). Nothing is written unless all were read; a file replaced\n"
     "keeps its permissions, a link the file it leads to.\n"},
    {"restore", cmd_restore,
     "usage: kp6ctl [-p PORT] restore -i FILE [--to ADDRS]... [--dry-run [--csv]]\n"
     "Writes each controller of the file, reads it back and reports any register\n"
     "that differs: \"restored\", \"written, not read back\", or the failed step and\n"
     "what it left. --to writes one entry (the only one, or the --address one)\n"
     "to other addresses instead. --dry-run reads each controller and prints,\n"
     "register by register, the value now and the file's, writing nothing: exit\n"
     "0 when nothing would change, 1 when something would; with --csv, a line\n"
     "per controller in the bus record's columns, the last one comparing it with\n"
     "the file. The file is checked whole before anything is sent.\n"},
    {"help", cmd_help,
     "usage: kp6ctl help [COMMAND]\n"
     "The usage, or a command's.\n"},
};

const char* help_of(const std::string& command)
{
    for (const auto& c : commands)
        if (command == c.name)
            return c.help;
    return nullptr;
}

int cmd_help(void)
{
    if (opt.words.empty()) {
        say(stdout, "%s", USAGE);
        return EXIT_DONE;
    }
    if (opt.words.size() > 1 || !help_of(opt.words[0]))
        return usage_error("help: no command %s", opt.words.back());
    say(stdout, "%s", help_of(opt.words[0]));
    return EXIT_DONE;
}

}  // namespace kp6ctl

using namespace kp6ctl;

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
    if (!opt.words.empty() && c != "write" && c != "backup" && c != "test" && c != "read" &&
        c != "help")
        return usage_error(("%s: " + c + " takes no such word").c_str(), opt.words[0]);
    if (opt.csv_out && opt.json_out)
        return usage_error("%s: give --json or --csv, not both", c);
    if (opt.csv_out && c == "restore" && !opt.dry_run)
        return usage_error("%s goes with restore --dry-run", "--csv");
    exchange_retries = opt.retries;
    for (const auto& command : commands)
        if (c == command.name) {
            rc = command.run();
            // The line's health: how often an exchange had to be asked again.
            if (opt.retries > 0 && exchange_count > 0)
                say(stderr, "kp6ctl: %lu %s in %lu exchange%s\n", exchange_repeats,
                    exchange_repeats == 1 ? "retry" : "retries", exchange_count,
                    exchange_count == 1 ? "" : "s");
            if (opt.stats)
                print_stats();
            return rc;
        }
    return EXIT_USAGE;  // parse_args knows every command
}
