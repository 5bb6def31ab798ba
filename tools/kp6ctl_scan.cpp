// kp6ctl ports and scan: the machine's serial ports, and the controllers
// that answer on the bus.
#include "kp6ctl.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "../device/backupfile.h"
#include "../device/bus.h"
#include "../device/exchange.h"
#include "../device/scan.h"
#include "../device/settings.h"
#include "../discovery/comdet.h"
#include "../discovery/shown_text.h"
#include "../platform/platform.h"
#include "../port/plainw.h"

namespace kp6ctl {

using json = nlohmann::ordered_json;

// Each port, and what its device says it is: the name Open takes first, then
// "maker product, serial S" and the stable name, tab-separated, when known.
int cmd_ports(void)
{
    static plat_port_info infos[COM_MAX];
    int unknown[COM_MAX];
    int n = com_detect_about(infos, unknown);
    json list = json::array();
    for (int i = 0; i < n; i++) {
        const char* name = com_port_names[i];
        const plat_port_info& info = infos[i];
        bool known = !unknown[i];
        if (opt.json_out) {
            json port = {{"name", name}};
            if (known)
                port.update({{"manufacturer", info.manufacturer},
                             {"product", info.product},
                             {"serial", info.serial},
                             {"stable", info.stable}});
            list.push_back(port);
            continue;
        }
        char what[1200], stable[4 * sizeof info.stable];
        port_about_text(info, what, sizeof what);
        text_shown_safe(info.stable, stable, sizeof stable);
        std::string line = name;
        if (known)
            line += "\t" + std::string(what) + (stable[0] ? "\t" + std::string(stable) : "");
        say(stdout, "%s\n", line.c_str());
    }
    if (opt.json_out)
        say(stdout, "%s\n", list.dump().c_str());
    return EXIT_DONE;
}

// What the scan has shown so far.
struct ScanShown {
    bool progress;  // a person watches standard error
    int found, garbled;
    json list;  // what --json prints at the end
};

static void clear_progress(const ScanShown& shown)
{
    if (shown.progress)
        say(stderr, "\r                              \r");
}

static json garbled_json(unsigned char a)
{
    return {{"address", hex2(a)}, {"fault", SCAN_GARBLED_TEXT}, {"health", health_json(a)}};
}

// "05: garbled answers: two controllers may share this address"
static void tell_garbled(ScanShown& shown, unsigned char a)
{
    clear_progress(shown);
    shown.garbled++;
    stats_found.push_back(a);
    say(stderr, "%02X: %s\n", a, SCAN_GARBLED_TEXT);
    if (opt.json_out && !opt.scan_read)  // scan --read lists its rows at the end
        shown.list.push_back(garbled_json(a));
}

static int scan_told(void* ctx, unsigned char a, int answered, unsigned char er78)
{
    ScanShown& shown = *(ScanShown*)ctx;
    if (answered == SCAN_ASKING) {
        if (interrupted())
            return 1;
        if (shown.progress)
            say(stderr, "\rscanning %02X (%d found) ", a, shown.found);
        return 0;
    }
    if (answered == SCAN_GARBLED) {
        tell_garbled(shown, a);
        return 0;
    }
    clear_progress(shown);
    shown.found++;
    stats_found.push_back(a);
    int meter = er78_meter(er78);
    bool inverse = er78_inverse(er78);
    if (opt.json_out)  // shaped as read --json shapes its data
        shown.list.push_back({{"address", hex2(a)},
                              {"type", meter_word(meter)},
                              {"inverse", inverse},
                              {"er78", er78},
                              {"health", health_json(a)}});
    else
        say(stdout, "%02X type=%s inverse=%s\n", a, meter_word(meter), inverse ? "on" : "off");
    return 0;
}

// scan --read: told of each step of bus_read.
static int read_told(void* ctx, const bus_row& row, unsigned done, unsigned total)
{
    ScanShown& shown = *(ScanShown*)ctx;
    unsigned scanned = (unsigned)(opt.to - opt.from + 1);
    if (row.state == ROW_READ) {
        journal_read(row.address, row.settings);
    } else if (row.state == ROW_GARBLED) {
        tell_garbled(shown, row.address);
    } else if (row.state == ROW_FAILED) {
        clear_progress(shown);
        int step = row.failed_step < 0 ? -row.failed_step : row.failed_step;
        if (row.failed_step < 0 || exchange_last_fault.kind == FAULT_INTERRUPTED)
            say(stderr, "%02X: read interrupted before %s\n", row.address,
                setting_name(settings_read_register(step)));
        else
            controller_failed(row.address, settings_read_failure(step));
    } else if (row.state == ROW_NOT_READ && shown.progress) {
        if (done < scanned)
            say(stderr, "\rscanning %02X (%u found) ", row.address, total - scanned);
        else
            say(stderr, "\rreading %02X (%u of %u) ", row.address, done - scanned + 1,
                total - scanned);
    }
    return interrupted();
}

// The table scan --read prints: a line per controller read.
static void print_table(const std::vector<bus_row>& rows)
{
    bool header = true;
    for (const bus_row& r : rows) {
        if (r.state != ROW_READ)
            continue;
        if (header)
            say(stdout, "address  type        inverse  er79  er72  er74  er75  er77\n");
        header = false;
        device_settings s = r.settings;
        say(stdout, "%-8s %-11s %-8s %-5u %-5u %-5u %-5u %u\n", hex2(r.address).c_str(),
            meter_word(er78_meter(s.er78)), er78_inverse(s.er78) ? "on" : "off", s.er79, s.er72,
            s.er74, s.er75, s.er77);
    }
}

// scan --read: the bus scanned, each controller found read, the table (or
// --json, --csv) printed at the end.
static int scan_read(unsigned long scan_ms)
{
    // The reads wait as read waits.
    exchange_options o = exchange_get_options();
    o.answer_timeout_ms = opt.timeout_ms ? opt.timeout_ms : (unsigned long)ANSWER_TIMEOUT_MS;
    o.answer_after_frame = 0;
    exchange_set_options(o);
    ScanShown shown = {plat_stderr_is_terminal() != 0, 0, 0, json::array()};
    std::vector<bus_row> rows;
    int rc = bus_read_timed(line_port, opt.from, opt.to, scan_ms, rows, read_told, &shown);
    clear_progress(shown);
    close_line();
    bool all = true;
    for (const bus_row& r : rows) {
        if (r.state != ROW_GARBLED)
            stats_found.push_back(r.address);
        all = all && r.state == ROW_READ;
    }
    if (opt.csv_out) {
        say(stdout, "%s", bus_csv_header(nullptr).c_str());
        for (const bus_row& r : rows)
            print_csv_row(r, nullptr);
    } else if (opt.json_out) {
        for (const bus_row& r : rows) {
            if (r.state == ROW_GARBLED)
                shown.list.push_back(garbled_json(r.address));
            if (r.state == ROW_READ)
                shown.list.push_back(settings_json(r.address, r.settings, 0));
        }
        say(stdout, "%s\n", shown.list.dump().c_str());
    } else {
        print_table(rows);
    }
    if (rc == SCAN_LINE_LOST || line_lost()) {
        line_lost();
        for (const bus_row& r : rows)
            if (r.state == ROW_NOT_READ)
                say(stderr, "%02X: not read\n", r.address);
        return EXIT_CONTROLLER;
    }
    if (rc == SCAN_STOPPED || interrupted()) {
        say(stderr, "kp6ctl: interrupted\n");
        return exit_interrupted();
    }
    if (rows.empty()) {
        say(stderr, "kp6ctl: no controller answered from %02X to %02X\n", opt.from, opt.to);
        return EXIT_CONTROLLER;
    }
    return all ? EXIT_DONE : EXIT_CONTROLLER;
}

int cmd_scan(void)
{
    if (opt.from > opt.to)
        return usage_error("the range %s is empty", hex2(opt.from) + ".." + hex2(opt.to));
    if (opt.csv_out && !opt.scan_read)
        return usage_error("%s goes with scan --read", "--csv");
    stats_after_scan = true;
    exchange_options o = exchange_get_options();
    o.answer_after_frame = 1;  // each address is listened to for the whole time-out
    exchange_set_options(o);
    int rc = open_line(SCAN_TIMEOUT_MS);
    if (rc)
        return rc;
    unsigned long scan_ms = opt.timeout_ms ? opt.timeout_ms : scan_timeout_ms(line_port);
    if (opt.scan_read) {  // a read not recorded ends it with 2
        rc = scan_read(scan_ms);
        return journal_failed ? EXIT_USAGE : rc;
    }
    ScanShown shown = {plat_stderr_is_terminal() != 0, 0, 0, json::array()};
    unsigned a = opt.from;
    bus_scan(line_port, opt.from, opt.to, scan_ms, scan_told, &shown, &a);
    int found = shown.found;
    clear_progress(shown);
    close_line();
    if (opt.json_out)
        say(stdout, "%s\n", shown.list.dump().c_str());
    if (line_lost()) {
        say(stderr, "kp6ctl: the scan stopped there (%d found)\n", found);
        return EXIT_CONTROLLER;
    }
    if (a <= opt.to) {
        say(stderr, "kp6ctl: scan interrupted before %02X\n", a);
        return exit_interrupted();
    }
    if (!found && !shown.garbled) {
        say(stderr, "kp6ctl: no controller answered from %02X to %02X\n", opt.from, opt.to);
        return EXIT_CONTROLLER;
    }
    return shown.garbled ? EXIT_CONTROLLER : EXIT_DONE;
}

}  // namespace kp6ctl
