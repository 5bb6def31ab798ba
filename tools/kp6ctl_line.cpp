// kp6ctl's line: interrupts, the port opened and closed, a line lost, and
// one controller read.
#include "kp6ctl.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "../device/backupfile.h"
#include "../device/exchange.h"
#include "../device/line.h"
#include "../device/scan.h"
#include "../device/settings.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "../timers/timersw.h"

namespace kp6ctl {

// ---- interrupts ----------------------------------------------------------------------

// SIGINT, SIGTERM and SIGHUP (Ctrl-C and a closed console on Windows) only
// count. A command stops at the next exchange once this many have come:
// write and restore let the first finish the controller in hand, whose
// sequence stopped part way would leave it half-written; the rest stop at
// once.
int interrupts_to_stop = 1;

int interrupts(void)
{
    return plat_termination_requested() + (output_closed ? 1 : 0) + (log_broken() ? 1 : 0);
}

int stop_requested(void)
{
    return interrupts() >= interrupts_to_stop;
}

bool interrupted(void)
{
    return interrupts() > 0;
}

// As a shell reports a program that a signal ended: 128 and its number.
int exit_interrupted(void)
{
    if (log_broken_first)
        return EXIT_USAGE;
    return 128 + (output_closed_first ? PLAT_SIGPIPE : plat_termination_signal());
}

// What a write that ended with settings_write's `failed` left on the
// controller beyond the steps acknowledged before it: a failed step whose
// parameter frame went out (as the last exchange's fault tells) may or may
// not have been written; the rest keep their old values.
static bool in_doubt(int failed)
{
    return failed > 0 && exchange_last_fault.stage == STAGE_PARAMETER;
}

static std::string left_after(int failed)
{
    int step = failed < 0 ? -failed : failed;
    bool doubt = in_doubt(failed);
    std::string text, rest;
    if (doubt)
        text = std::string(settings_write_name(step)) + " may or may not be written";
    int kept = 0;
    for (int s = doubt ? step + 1 : step; s <= WRITE_STEPS; s++)
        rest += std::string(kept++ ? ", " : "") + settings_write_name(s);
    if (kept)
        text += (doubt ? "; " : "") + rest +
                (kept == 1 ? " keeps its old value" : " keep their old values");
    return text;
}

std::string left_by_write(int failed)
{
    int step = failed < 0 ? -failed : failed;
    if (failed < 0)
        return std::string("interrupted after ") + settings_write_name(step - 1) + ": " +
               left_after(failed);
    std::string text = settings_write_failure(step);
    if (step > 1)
        text += std::string(" after ") + settings_write_name(step - 1);
    return text + ": " + left_after(failed);
}

std::string written_before(int failed)
{
    std::string written;
    for (int s = 1; s < failed; s++)
        written += std::string(s > 1 ? ", " : "") + settings_write_name(s);
    if (written.empty())
        return in_doubt(failed) ? left_after(failed) : "nothing written";
    return written + " written; " + left_after(failed);
}

// ---- the line -----------------------------------------------------------------------

unsigned short line_port = 0;

// A line lost while open: noted when the line is closed, so that a step's
// message can still say so.
bool line_was_lost = false;

int line_lost_code = 0;

bool line_lost_told = false;

// -v: every frame of the line with the milliseconds since it opened, as the
// traffic log records them, and each repeat with why.
static uint64_t line_opened_at;

static double ms_since_open(void)
{
    return (double)(plat_perf_counter() - line_opened_at) * 1000.0 / (double)plat_perf_frequency();
}

static void show_traffic(unsigned int handle, int what, const unsigned char* data, int len)
{
    if (handle != line_port || !data || len <= 0)
        return;
    static const char* const arrows[] = {"->", "<-", "<>", "<>"};
    std::string text;
    char part[32];
    snprintf(part, sizeof part, "%9.1f %s", ms_since_open(), arrows[what]);
    text = part;
    for (int i = 0; i < len; i++) {
        snprintf(part, sizeof part, " %02X", data[i]);
        text += part;
    }
    std::string meaning = traffic_meaning(what, data, len);
    say(stderr, "%s%s%s%s\n", text.c_str(), meaning.empty() ? "" : "  ", meaning.c_str(),
        what == TRAFFIC_DROPPED ? " (cleared)"
        : what == TRAFFIC_ECHO  ? "  (echo)"
                                : "");
}

static void show_repeat(const exchange_fault& f)
{
    char why[300];
    exchange_fault_text(f, why, sizeof why);
    say(stderr, "%9.1f retry: %s\n", ms_since_open(), why);
}

// --port and --converter as given, checked before anything starts:
// EXIT_DONE, or said why and the exit code.
static int line_named(void)
{
    if (opt.port.empty())
        return usage_error("no port%s: give --port PATH or set KP6_PORT (kp6ctl ports lists them)",
                           "");
    // A bad KP6_PORT is named as the variable.
    std::string named = (opt.port_from_env ? "KP6_PORT=" : "") + cut_token(opt.port);
    if (opt.port.size() >= PORT_NAME_SIZE) {
        say(stderr, "kp6ctl: the port name %s is too long (at most %d characters)\n", named.c_str(),
            PORT_NAME_SIZE - 1);
        return EXIT_USAGE;
    }
    if (port_name_is_url(opt.port.c_str())) {
        net_url url;
        char why[160];
        if (net_url_parse(opt.port.c_str(), &url, why, sizeof why) != 1) {
            say(stderr, "kp6ctl: bad network line %s: %s\n", named.c_str(), why);
            return EXIT_USAGE;
        }
        // Connecting may take as long as an answer may.
        net_connect_ms = opt.timeout_ms > NET_CONNECT_MS ? (unsigned)opt.timeout_ms
                                                         : (unsigned)NET_CONNECT_MS;
    }
    // An interrupt ends a connect or a look-up at once.
    plat_set_wait_interrupts(1);
    if (converter_type(opt.converter.c_str()) < 0) {  // the option is checked as it is read
        say(stderr, "kp6ctl: KP6_CONVERTER=%s is no converter: give one of %s\n",
            cut_token(opt.converter).c_str(), converter_names());
        return EXIT_USAGE;
    }
    if (interrupted()) {
        say(stderr, "kp6ctl: interrupted before the port was opened\n");
        return exit_interrupted();
    }
    return EXIT_DONE;
}

// The line opened with its converter set, and a time-out it can keep:
// EXIT_DONE, or said why and the exit code (the line may be left open).
static int line_opened(bool test)
{
    char why[400];
    int rc = device_open_line(opt.port.c_str(), opt.converter.c_str(), &line_port, why, sizeof why);
    if (rc != LINE_OPEN) {
        say(stderr, "kp6ctl: %s\n", why);
        return rc == LINE_INTERRUPTED  ? exit_interrupted()
               : rc == LINE_NOT_SERIAL ? EXIT_USAGE
                                       : EXIT_PORT;
    }
    // A time-out shorter than the frames' own time on the line cannot work.
    unsigned long shortest = exchange_shortest_timeout_ms(line_port, test);
    if (opt.timeout_ms && opt.timeout_ms < shortest) {
        plat_line rate = {};  // a serial device: shortest is 0 for any other port
        port_line(line_port, &rate);
        say(stderr,
            "kp6ctl: --timeout %lu is too short: at %lu baud %s %lu ms on the line; "
            "give %lu or more\n",
            opt.timeout_ms, (unsigned long)rate.baud,
            exchange_get_options().answer_after_frame ? "an answer takes"
                                                      : "a frame and its answer take",
            shortest, shortest);
        return EXIT_USAGE;
    }
    return EXIT_DONE;
}

int open_line(unsigned long default_timeout_ms, bool test)
{
    int rc = line_named();
    if (rc != EXIT_DONE)
        return rc;
    pl_log_name = opt.log ? opt.log_file.c_str() : nullptr;  // no file unless asked
    install_event(1);
    start_net(1);
    // A log that is no file, or cannot be written, stops the run unsent.
    rc = log_broken() ? EXIT_USAGE : line_opened(test);
    if (rc != EXIT_DONE) {
        close_line();
        line_port = 0;
        return rc;
    }
    if (opt.log)
        pl_port_log = (uint16_t)(pl_port_log | 1u << (line_port - 1));
    exchange_options o = exchange_get_options();
    o.answer_timeout_ms = opt.timeout_ms ? opt.timeout_ms : default_timeout_ms;
    // From here on the first interrupt ends the wait in hand, unless a
    // write must finish: then each wait runs its time, and the command
    // stops between two exchanges.
    plat_set_wait_interrupts(interrupts_to_stop == 1 ? 1 : 0);
    line_opened_at = plat_perf_counter();
    journal_start();
    if (opt.verbose) {
        pl_traffic_hook = show_traffic;
        o.on_repeat = show_repeat;
    }
    exchange_set_options(o);
    return EXIT_DONE;
}

// Whether the line was lost (a network line closed or failed, a device
// gone); says so once.
bool line_lost(void)
{
    int code = 0;
    if (!line_was_lost && line_port && port_gone(line_port, &code)) {
        line_was_lost = true;
        line_lost_code = code;
    }
    if (line_was_lost && !line_lost_told) {
        line_lost_told = true;
        char text[400];
        line_lost_report(opt.port.c_str(), line_lost_code, text, sizeof text);
        say(stderr, "kp6ctl: %s\n", text);
    }
    return line_was_lost;
}

// ---- the line's errors ---------------------------------------------------------------

// What the driver counted and has been told already (a step's message says
// only what arrived since).
static plat_line_errors errors_told;

// The line errors the driver of the open serial port counted since it
// opened: true and them, false where none are kept (a pseudo-terminal, a
// network line). -v prints them as the line closes; a failed step names
// those that came since the last message.
static bool line_error_counts(plat_line_errors* out)
{
    return line_port && port_line_errors(line_port, out) == 0;
}

// "12 framing errors, 1 overrun"; empty for none.
static std::string errors_words(unsigned long parity, unsigned long framing, unsigned long overrun)
{
    std::string text;
    const struct {
        unsigned long n;
        const char *one, *many;
    } parts[] = {{parity, "parity error", "parity errors"},
                 {framing, "framing error", "framing errors"},
                 {overrun, "overrun", "overruns"}};
    for (const auto& p : parts)
        if (p.n)
            text += (text.empty() ? "" : ", ") + std::to_string(p.n) + " " +
                    (p.n == 1 ? p.one : p.many);
    return text;
}

// The errors since the last told, as a failed step adds them.
static std::string new_line_errors(void)
{
    plat_line_errors now;
    if (!line_error_counts(&now))
        return "";
    std::string text = errors_words(now.parity - errors_told.parity,
                                    now.framing - errors_told.framing,
                                    now.overrun - errors_told.overrun);
    errors_told = now;
    return text.empty() ? "" : "; the line had " + text + ": wiring, terminator or speed?";
}

void close_line(void)
{
    plat_line_errors counts;
    if ((opt.verbose || opt.stats) && line_error_counts(&counts))
        say(stderr, "kp6ctl: line errors: %lu parity, %lu framing, %lu overrun\n", counts.parity,
            counts.framing, counts.overrun);
    int code = 0;
    if (!line_was_lost && port_gone(line_port, &code)) {
        line_was_lost = true;
        line_lost_code = code;
    }
    free_port(line_port, 0);
    close_net();
    remove_event(1);
}

std::string step_failed(const char* what)
{
    const exchange_fault& f = exchange_last_fault;
    // A lost line whose server spoke another way is told by line_lost.
    if (f.kind == FAULT_NONE || (f.kind == FAULT_LINE_LOST && net_fault() != NET_FAULT_NONE))
        return what;
    char why[300];
    exchange_fault_text(f, why, sizeof why);
    if (f.kind == FAULT_LINE_LOST) {  // told here, once
        line_was_lost = true;
        line_lost_told = true;
        return std::string(what) + ": " + why;
    }
    return std::string(what) + ": " + why + new_line_errors();
}

// "01: Error read ER78: no answer in 1000 ms"
std::string controller_failed(unsigned char address, const char* what)
{
    // A server that turned out to speak another way than its scheme is
    // the port's fault, told by line_lost alone.
    // An interrupt is told by the command.
    const exchange_fault& f = exchange_last_fault;
    std::string text;
    if (f.kind == FAULT_COLLISION)  // as the scan names it, whatever the step
        text = SCAN_GARBLED_TEXT;
    else if (!(f.kind == FAULT_LINE_LOST && net_fault() != NET_FAULT_NONE) &&
             f.kind != FAULT_INTERRUPTED)
        text = step_failed(what);
    if (!text.empty())
        say(stderr, "%02X: %s\n", address, text.c_str());
    line_lost();
    return text.empty() ? what : text;
}

// Reads one controller: settings_read's result, and the message of a
// failed step.
int read_controller(unsigned char address, device_settings& s)
{
    int failed = settings_read(line_port, address, s);
    if (failed > 0)
        controller_failed(address, settings_read_failure(failed));
    return failed;
}

}  // namespace kp6ctl
