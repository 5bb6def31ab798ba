// kp6ctl: the controller's settings from the command line, on the window's
// device link: scan the bus, read, write, back up, restore, clone.
// Results go to standard output, messages to standard error.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../device/settings.h"
#include "../platform/platform.h"
#include "backupfile.h"
#include "kp6ctl.h"

void put_text_log(char*, int) {}

namespace kp6ctl {

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
    "exit: 0 done, 1 a controller failed, the line was lost or the file not written,\n"
    "      2 usage or bad input, 3 the port did not open, 130 interrupted (Ctrl-C;\n"
    "      143 SIGTERM, 129 SIGHUP, 141 standard output closed): write and restore\n"
    "      finish the controller in hand first, a second interrupt stops at the next\n"
    "      exchange\n";

// The command's help, or null for no such command.
const char* help_of(const std::string& command);

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

// One entry per controller, however often its address is given.
void add_address(std::vector<unsigned char>& list, unsigned char a)
{
    if (std::find(list.begin(), list.end(), a) == list.end())
        list.push_back(a);
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
            add_address(opt.targets, t);
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
     "standard output). Nothing is written unless all were read; a file replaced\n"
     "keeps its permissions, a link the file it leads to.\n"},
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
    if (!opt.words.empty() && c != "write" && c != "backup")
        return usage_error(("%s: " + c + " takes no such word").c_str(), opt.words[0]);
    for (const auto& command : commands)
        if (c == command.name)
            return command.run();
    return EXIT_USAGE;  // parse_args knows every command
}
