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
#include "../device/report.h"
#include "../device/settings.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "kp6ctl.h"
#include "options.h"

void put_text_log(char*, int) {}

namespace kp6ctl {

Options opt;

// ---- texts ----------------------------------------------------------------------

// Before and after the commands' lines.
const char USAGE_HEAD[] =
    "usage: kp6ctl [-p PORT] [-a ADDRS] [-t MS] [--retries N] [--stats] [-v]\n"
    "              [--converter NAME] [--log [FILE]] COMMAND ...\n"
    "       kp6ctl help [COMMAND]\n"
    "\n"
    "commands:\n";

const char USAGE_TAIL[] =
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
    "                      to N times (default 0; a garbled one once in any case,\n"
    "                      a scan's silent address too); the last line counts the\n"
    "                      repeats\n"
    "  --stats             at the end, a line per controller on standard error: its\n"
    "                      exchanges, retries, failures and answer times\n";
// Then --converter's lines (converter_usage), then these.
const char USAGE_TAIL_AFTER_CONVERTER[] =
    "  -v, --verbose       every frame in hex with its time, on standard error\n"
    "  --log [FILE]        log the port's traffic to FILE (default port.out); no log\n"
    "                      file is written without it\n"
    "  -h, --help          this text; after a command, the command's\n"
    "  -V, --version       the program's name and version\n"
    "\n"
    "exit: 0 done, 1 a controller failed, the line was lost or the file not written\n"
    "      (restore --dry-run: something would change), 2 usage or bad input (or a\n"
    "      read or setting the journal could not record), 3 the port did not open,\n"
    "      130 interrupted (Ctrl-C; 143 SIGTERM, 129 SIGHUP, 141 standard output\n"
    "      closed): write and restore finish the controller in hand first, a second\n"
    "      interrupt stops at the next exchange\n";

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

// ---- the options ---------------------------------------------------------------------

// The options only some commands take: a bit each, in the command's row.
enum {
    TAKES_JSON = 1,
    TAKES_CSV = 2,
    TAKES_READ = 4,
    TAKES_DRY_RUN = 8,
    TAKES_RANGE = 16,    // scan --from, --to
    TAKES_TARGETS = 32,  // restore --to
    TAKES_OUTPUT = 64,
    TAKES_INPUT = 128,
    TAKES_PERIOD = 256,   // journal and report --since, --until
    TAKES_VERIFY = 512,   // journal --verify, --head
    TAKES_REPORT = 1024,  // report --site, --technician, --language, -i
    TAKES_RAW = 2048,     // monitor --raw
};

bool is_command(const char* word);

// The next word is --log's file unless it is an option, the command, or
// one of the command's words (an address list, a NAME=VALUE).
bool log_file_follows(const char* next)
{
    unsigned char list[ADDRESS_LIST_MAX];
    int at, len;
    return next[0] != '-' && !is_command(next) &&
           (opt.command.empty() ||
            (!strchr(next, '=') && address_list_parse(next, list, &at, &len) <= 0));
}

int store_log(const char*, const char* v)
{
    if (v && !*v)
        return OPTION_BAD;
    if (v)
        opt.log_file = v;
    return 0;
}

int store_port(const char*, const char* v)
{
    if (!v || !*v)
        return OPTION_BAD;
    opt.port = v;
    opt.port_from_env = false;
    return 0;
}

int store_address(const char*, const char* v)
{
    std::vector<unsigned char> list;
    if (!v)
        return OPTION_BAD;
    if (!add_address_list(list, v, nullptr))
        return EXIT_USAGE;
    opt.address_text = v;
    return 0;
}

int store_timeout(const char*, const char* v)
{
    return v && parse_number(v, 1, 60000, &opt.timeout_ms) ? 0 : OPTION_BAD;
}

int store_converter(const char* name, const char* v)
{
    if (!v)
        return usage_error(("%s needs a name: " + std::string(converter_names())).c_str(), name);
    if (converter_type(v) < 0)
        return usage_error(
            ("unknown converter %s: give one of " + std::string(converter_names())).c_str(), v);
    opt.converter = v;
    opt.converter_from_env = false;
    return 0;
}

int store_retries(const char*, const char* v)
{
    unsigned long n;
    if (!v || !parse_number(v, 0, 100, &n))
        return OPTION_BAD;
    opt.retries = (int)n;
    return 0;
}

// scan --from and --to: one address each.
int store_range_end(const char* v, unsigned char* end)
{
    if (!v)
        return OPTION_BAD;
    return parse_address(v, end) ? 0 : usage_error(BAD_ADDRESS, v);
}

int store_from(const char*, const char* v)
{
    return store_range_end(v, &opt.from);
}

int store_to(const char*, const char* v)
{
    return store_range_end(v, &opt.to);
}

int store_targets(const char*, const char* v)
{
    if (!v)
        return OPTION_BAD;
    return add_address_list(opt.targets, v, "--to") ? 0 : EXIT_USAGE;
}

int store_raw(const char*, const char* v)
{
    if (!v || !*v)
        return OPTION_BAD;
    opt.raw_file = v;
    return 0;
}

int store_file(const char*, const char* v)
{
    if (!v || !*v)
        return OPTION_BAD;
    opt.file = v;
    return 0;
}

int store_text(std::string* to, const char* v)
{
    if (!v)
        return OPTION_BAD;
    *to = v;
    return 0;
}

int store_site(const char*, const char* v)
{
    return store_text(&opt.site, v);
}

int store_technician(const char*, const char* v)
{
    return v && *v ? store_text(&opt.technician, v) : OPTION_BAD;
}

int store_compare(const char*, const char* v)
{
    return v && *v ? store_text(&opt.compare_file, v) : OPTION_BAD;
}

int store_language(const char*, const char* v)
{
    if (!v || (strcmp(v, "ru") != 0 && strcmp(v, "en") != 0))
        return OPTION_BAD;
    return store_text(&opt.language, v);
}

const char NEEDS_ADDRESS[] = "%s needs a hexadecimal address";
const char NEEDS_FILE[] = "%s needs a file name";
const char NEEDS_DATE[] = "%s needs a date: YYYY-MM-DD or YYYY-MM-DDTHH:MM (local time)";

// -p, -a and -t take their value as the next word or attached (-a1f).
const option_row options[] = {
    {"--help", 'h', OPTION_FLAG, &opt.help},
    {"--version", 'V', OPTION_FLAG, &opt.version},
    {"--verbose", 'v', OPTION_FLAG, &opt.verbose},
    {"--stats", 0, OPTION_FLAG, &opt.stats},
    {"--log", 0, OPTION_MAYBE, &opt.log, store_log, NEEDS_FILE, 0, log_file_follows},
    {"--port", 'p', OPTION_VALUE, nullptr, store_port, "%s needs a device path or a port name"},
    {"--address", 'a', OPTION_VALUE, nullptr, store_address, NEEDS_ADDRESS},
    {"--timeout", 't', OPTION_VALUE, nullptr, store_timeout, "%s needs milliseconds, 1 to 60000"},
    {"--converter", 0, OPTION_VALUE, nullptr, store_converter},
    {"--retries", 0, OPTION_VALUE, nullptr, store_retries, "%s needs a count, 0 to 100"},
    {"--json", 0, OPTION_FLAG, &opt.json_out, nullptr, nullptr, TAKES_JSON},
    {"--csv", 0, OPTION_FLAG, &opt.csv_out, nullptr, nullptr, TAKES_CSV},
    {"--read", 0, OPTION_FLAG, &opt.scan_read, nullptr, nullptr, TAKES_READ},
    {"--dry-run", 0, OPTION_FLAG, &opt.dry_run, nullptr, nullptr, TAKES_DRY_RUN},
    {"--from", 0, OPTION_VALUE, nullptr, store_from, NEEDS_ADDRESS, TAKES_RANGE},
    {"--to", 0, OPTION_VALUE, nullptr, store_to, NEEDS_ADDRESS, TAKES_RANGE},
    {"--to", 0, OPTION_VALUE, nullptr, store_targets, NEEDS_ADDRESS, TAKES_TARGETS},
    {"-o", 0, OPTION_VALUE, nullptr, store_file, NEEDS_FILE, TAKES_OUTPUT},
    {"--output", 0, OPTION_VALUE, nullptr, store_file, NEEDS_FILE, TAKES_OUTPUT},
    {"-i", 0, OPTION_VALUE, nullptr, store_file, NEEDS_FILE, TAKES_INPUT},
    {"--input", 0, OPTION_VALUE, nullptr, store_file, NEEDS_FILE, TAKES_INPUT},
    {"--site", 0, OPTION_VALUE, nullptr, store_site, "%s needs the site's name", TAKES_REPORT},
    {"--technician", 0, OPTION_VALUE, nullptr, store_technician, "%s needs a name", TAKES_REPORT},
    {"--language", 0, OPTION_VALUE, nullptr, store_language, "%s needs ru or en", TAKES_REPORT},
    {"-i", 0, OPTION_VALUE, nullptr, store_compare, NEEDS_FILE, TAKES_REPORT},
    {"--input", 0, OPTION_VALUE, nullptr, store_compare, NEEDS_FILE, TAKES_REPORT},
    {"--since", 0, OPTION_VALUE, nullptr, store_since, NEEDS_DATE, TAKES_PERIOD},
    {"--until", 0, OPTION_VALUE, nullptr, store_until, NEEDS_DATE, TAKES_PERIOD},
    {"--verify", 0, OPTION_FLAG, &opt.verify, nullptr, nullptr, TAKES_VERIFY},
    {"--head", 0, OPTION_VALUE, nullptr, store_head, nullptr, TAKES_VERIFY},
    {"--raw", 0, OPTION_VALUE, nullptr, store_raw, NEEDS_FILE, TAKES_RAW},
};

int take_word(const char* word);

// Until the command, only the options every command takes.
option_parser args = {
    options,   sizeof options / sizeof options[0],
    true,      "unknown option %s",
    nullptr,   usage_error,
    take_word, 0,
};

// ---- the commands ----------------------------------------------------------------------

int cmd_help(void);

// Each command: the options only it takes, whether it takes words
// (addresses, NAME=VALUE), its lines in the usage and its help.
const struct command_row {
    const char* name;
    unsigned options;
    bool words;
    int (*run)(void);
    const char* line;
    const char* help;
} commands[] = {
    {"ports", TAKES_JSON, false, cmd_ports,
     "  ports [--json]             the serial ports, as the window lists them, and\n"
     "                             what each device says it is\n",
     "usage: kp6ctl ports [--json]\n"
     "Lists the serial ports one a line, as the window offers them, then the\n"
     "network lines of $KP6_PORTS. Beside a name, after a tab, what the device\n"
     "says it is (maker, product, serial number) and, after another, its stable\n"
     "name under /dev/serial/by-id; --json gives the same as one array.\n"},
    {"test", 0, true, cmd_test,
     "  test [ADDRS]               does anything answer at each address?\n",
     "usage: kp6ctl [-p PORT] [-a ADDRS] test [ADDRS ...]\n"
     "Sends the Test header to each address; one line each, \"01: Ok\" or \"01: No\n"
     "reply\" and why. Exit 0 when every one answers, 1 otherwise.\n"},
    {"scan", TAKES_RANGE | TAKES_READ | TAKES_JSON | TAKES_CSV, false, cmd_scan,
     "  scan [--from HEX] [--to HEX] [--read] [--json | --csv]  the controllers on\n"
     "                             the bus (01 to FF); --read: a table of settings\n",
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
    {"read", TAKES_JSON | TAKES_CSV, true, cmd_read,
     "  read [ADDRS] [--json | --csv]  the six settings\n",
     "usage: kp6ctl [-p PORT] [-a ADDRS] read [ADDRS ...] [--json | --csv]\n"
     "Prints the six settings: NAME VALUE and what it means, a block per\n"
     "controller; --json prints one JSON object (an array for several), --csv a\n"
     "line per controller in the bus record's columns.\n"
     "Exit 1 when any controller failed; every one is tried.\n"},
    {"write", 0, true, cmd_write,
     "  write NAME=VALUE ...       change some settings (names as read prints them)\n",
     "usage: kp6ctl [-p PORT] [-a ADDRS] write NAME=VALUE ...\n"
     "Reads the settings, changes those named and writes all six back, on each\n"
     "controller named. Names: type=milliliter|liter|hand, inverse=on|off, er78\n"
     "(the raw byte), er79, er72, er74, er75, er77 (0 to 255). Nothing is sent\n"
     "unless every value is right, and those not named go back only as read twice\n"
     "alike; a failed step names what the controller holds. Each setting sent is\n"
     "recorded in the journal ($KP6_JOURNAL); nothing is sent unless it can be,\n"
     "and a record it cannot take stops the run (exit 2).\n"},
    {"backup", TAKES_OUTPUT, true, cmd_backup,
     "  backup -o FILE [ADDRS ...] save controllers' settings to a JSON file\n",
     "usage: kp6ctl [-p PORT] [-a ADDRS] backup -o FILE [ADDRS ...]\n"
     "Reads each controller (default: --address) into one JSON file (- for\n"
     "standard output). Nothing is written unless all were read; a file replaced\n"
     "keeps its permissions, a link the file it leads to.\n"},
    {"restore", TAKES_INPUT | TAKES_TARGETS | TAKES_DRY_RUN | TAKES_CSV, false, cmd_restore,
     "  restore -i FILE [--to ADDRS]... [--dry-run [--csv]]  write them back, or see\n"
     "                             what that would change (--to: clone one entry)\n",
     "usage: kp6ctl [-p PORT] restore -i FILE [--to ADDRS]... [--dry-run [--csv]]\n"
     "Writes each controller of the file, reads it back and reports any register\n"
     "that differs: \"restored\", \"written, not read back\", or the failed step and\n"
     "what it left. --to writes one entry (the only one, or the --address one)\n"
     "to other addresses instead. --dry-run reads each controller and prints,\n"
     "register by register, the value now and the file's, writing nothing: exit\n"
     "0 when nothing would change, 1 when something would; with --csv, a line\n"
     "per controller in the bus record's columns, the last one comparing it with\n"
     "the file. The file is checked whole before anything is sent. Each setting\n"
     "written is recorded in the journal, as write records it (not in a dry run).\n"},
    {"report", TAKES_OUTPUT | TAKES_REPORT | TAKES_PERIOD, true, cmd_report,
     "  report -o FILE.pdf [--site TEXT] [--since WHEN] [--until WHEN] [ADDRS ...]\n"
     "                             the service report of the journal, as a PDF\n",
     "usage: kp6ctl [-a ADDRS] report -o FILE.pdf [--site TEXT] [--technician NAME]\n"
     "                     [--since WHEN] [--until WHEN] [--language ru|en]\n"
     "                     [-i FILE] [ADDRS ...]\n"
     "Makes the service report of the journal's records in the period (WHEN:\n"
     "YYYY-MM-DD or YYYY-MM-DDTHH:MM, local time; default: today), for the\n"
     "controllers named (default: every one): per controller the settings as\n"
     "found and as left, the changed ones marked, the write's verdict and the\n"
     "line's health; then the journal's head and how to check it. --technician:\n"
     "default the login name; --language: default as the window chooses; -i\n"
     "compares the settings as left with a backup file. An A4 PDF, written\n"
     "whole or not at all; nothing is sent on the line.\n"},
    {"journal", TAKES_PERIOD | TAKES_VERIFY | TAKES_JSON | TAKES_CSV, false, cmd_journal,
     "  journal [--since DATE] [--until DATE] [--json | --csv]  the service record:\n"
     "                             what was read and written, when, by whom\n"
     "  journal --verify [--head HEX]  check that no record was changed or removed\n",
     "usage: kp6ctl [-a ADDRS] journal [--since DATE] [--until DATE] [--json | --csv]\n"
     "       kp6ctl journal --verify [--head HEX]\n"
     "Lists the journal's records, newest last: local time, user, line, address,\n"
     "setting (\"read\" for a read, with its six values), before \u2192 after, result.\n"
     "-a keeps those of some addresses; --since and --until (YYYY-MM-DD or\n"
     "YYYY-MM-DDTHH:MM, local time; --until takes in the day or minute named)\n"
     "a period; --json gives the records as stored, --csv the table. A break in\n"
     "the chain is marked where it is met.\n"
     "--verify walks the chain: \"journal intact: N records, FIRST to LAST, head\n"
     "HEX\" (exit 0), or the first break (exit 1). --head also checks that a head\n"
     "printed earlier (in a report) is still in the chain: a journal cut short or\n"
     "rebuilt since is told. The journal: $KP6_JOURNAL, else\n"
     "$XDG_DATA_HOME/kp6/journal.jsonl (~/.local/share/kp6/journal.jsonl), on\n"
     "Windows %APPDATA%\\KP-6\\journal.jsonl.\n"},
    {"decode", TAKES_JSON, true, cmd_decode,
     "  decode FILE [--json]       the traffic log (port.out) in words, a line a record\n",
     "usage: kp6ctl [-a ADDRS] decode FILE [--json]\n"
     "Reads a traffic log as the port layer writes it and prints a line per record:\n"
     "time, port, direction, the bytes in hexadecimal and what they mean (\"select\n"
     "1F\", \"read ER79\", \"ER79 = 7\", \"refused\"); --json gives one object a line.\n"
     "-a keeps the records of those addresses. A line that is no record, or a\n"
     "record cut short, is named with its line on standard error (exit 1) and the\n"
     "rest still decoded.\n"},
    {"monitor", TAKES_RAW, false, cmd_monitor,
     "  monitor [--raw FILE]       listen to the line, send nothing, name each frame\n",
     "usage: kp6ctl [-p PORT] [-a ADDRS] monitor [--raw FILE]\n"
     "Opens the line and sends nothing: prints each frame another master and the\n"
     "controllers send, split on a silence of more than three byte times, with\n"
     "its time in seconds, the milliseconds since the frame before, its direction\n"
     "and what it means. --raw keeps every block with its time in a capture for\n"
     "kp6-sim --replay. Ctrl-C stops (exit 0); a line lost is exit 1.\n"},
    {"help", 0, true, cmd_help, nullptr,
     "usage: kp6ctl help [COMMAND]\n"
     "The usage, or a command's.\n"},
};

const command_row* find_command(const std::string& name)
{
    for (const auto& c : commands)
        if (name == c.name)
            return &c;
    return nullptr;
}

bool is_command(const char* word)
{
    return find_command(word) != nullptr;
}

// The first word is the command; its options are taken from then on.
int take_word(const char* word)
{
    if (!opt.command.empty()) {
        opt.words.push_back(word);
        return EXIT_DONE;
    }
    const command_row* c = find_command(word);
    if (!c)
        return usage_error("unknown command %s", word);
    opt.command = word;
    args.allowed = c->options;
    args.unknown = "unknown option %s (or not one of this command)";
    return EXIT_DONE;
}

int parse_args(int argc, char** argv)
{
    static char port[32768];
    if (plat_getenv("KP6_PORT", port, sizeof port) == 0 && port[0]) {
        opt.port = port;
        opt.port_from_env = true;
    }
    static char converter[100];
    if (plat_getenv("KP6_CONVERTER", converter, sizeof converter) == 0 && converter[0]) {
        opt.converter = converter;
        opt.converter_from_env = true;
    }
    return parse_options(args, argc, argv);
}

// What the port layer's converters say of themselves here, beside the name.
static const char* converter_note(const std::string& name)
{
    return name == "auto"     ? "the converter does it"
           : name == "kernel" ? "the driver's RS-485 mode"
                              : "";
}

// --converter's lines: the names of the port layer's table, with their
// notes, filled to 79 columns as the rest of the text is.
static std::string converter_usage(void)
{
    std::string words = "how the serial line's direction is switched:";
    for (int i = 0; converter_name(i); i++) {
        std::string name = converter_name(i), note = converter_note(name);
        bool last = !converter_name(i + 1);
        if (last)
            note += (note.empty() ? "" : "; ") + std::string("default: $KP6_CONVERTER, else auto");
        words += " " + name + (note.empty() ? "" : " (" + note + ")") + (last ? "" : ",");
    }
    std::string text, line = "  --converter NAME   ";
    for (size_t at = 0, end; at < words.size(); at = end + 1) {
        end = std::min(words.find(' ', at), words.size());
        if (line.size() + 1 + (end - at) > 79) {
            text += line + "\n";
            line = std::string(21, ' ');
        }
        line += " " + words.substr(at, end - at);
    }
    return text + line + "\n";
}

void print_usage(FILE* to)
{
    std::string text = USAGE_HEAD;
    for (const auto& c : commands)
        text += c.line ? c.line : "";
    text += USAGE_TAIL + converter_usage() + USAGE_TAIL_AFTER_CONVERTER;
    say(to, "%s", text.c_str());
}

int cmd_help(void)
{
    if (opt.words.empty()) {
        print_usage(stdout);
        return EXIT_DONE;
    }
    const command_row* c = find_command(opt.words[0]);
    if (opt.words.size() > 1 || !c)
        return usage_error("help: no command %s", opt.words.back());
    say(stdout, "%s", c->help);
    return EXIT_DONE;
}

}  // namespace kp6ctl

using namespace kp6ctl;

static int run(int argc, char** argv)
{
    plat_utf8_args(&argc, &argv);
    plat_catch_termination();
    settings_stop = stop_requested;
    int rc = parse_args(argc, argv);
    if (rc)
        return rc;
    if (opt.version) {
        say(stdout, "kp6ctl %s\n", KP6_VERSION);
        return EXIT_DONE;
    }
    const command_row* command = find_command(opt.command);
    if (opt.help || !command) {
        if (!command)
            print_usage(opt.help ? stdout : stderr);
        else
            say(stdout, "%s", command->help);
        return opt.help ? EXIT_DONE : EXIT_USAGE;
    }
    const std::string& c = opt.command;
    if (!opt.words.empty() && !command->words)
        return usage_error(("%s: " + c + " takes no such word").c_str(), opt.words[0]);
    if (opt.csv_out && opt.json_out)
        return usage_error("%s: give --json or --csv, not both", c);
    // restore's --csv is the dry run's.
    if (opt.csv_out && (command->options & TAKES_DRY_RUN) && !opt.dry_run)
        return usage_error("%s goes with restore --dry-run", "--csv");
    exchange_options o = exchange_get_options();
    o.retries = opt.retries;
    exchange_set_options(o);
    rc = command->run();
    // A tcp:// server found speaking Telnet only once asked: the port was
    // the wrong one, as when that showed while opening.
    if (rc == EXIT_CONTROLLER && net_fault() != NET_FAULT_NONE)
        rc = EXIT_PORT;
    // The log's last lines are written as the line closes.
    if (log_broken() && rc < EXIT_PORT)
        rc = EXIT_USAGE;
    // The line's health: how often an exchange had to be asked again.
    if (opt.retries > 0 && exchange_count > 0)
        say(stderr, "kp6ctl: %lu %s in %lu exchange%s\n", exchange_repeats,
            exchange_repeats == 1 ? "retry" : "retries", exchange_count,
            exchange_count == 1 ? "" : "s");
    if (opt.stats)
        print_stats();
    return rc;
}

int main(int argc, char** argv)
{
    int rc = run(argc, argv);
    // A record that could not be written is no success.
    return output_failed && rc == EXIT_DONE ? EXIT_CONTROLLER : rc;
}
