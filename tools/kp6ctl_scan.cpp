// kp6ctl ports and scan: the machine's serial ports, and the controllers
// that answer on the bus.
#include "kp6ctl.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "../device/backupfile.h"
#include "../device/exchange.h"
#include "../device/scan.h"
#include "../device/settings.h"
#include "../discovery/comdet.h"
#include "../platform/platform.h"
#include "../port/plainw.h"

namespace kp6ctl {

using json = nlohmann::ordered_json;

// Each port, and what its device says it is: the name Open takes first, then
// "maker product, serial S" and the stable name, tab-separated, when known.
int cmd_ports(void)
{
    ComDetect();
    json list = json::array();
    for (int i = 0; i < com_num_detected; i++) {
        const char* name = com_port_names[i];
        plat_port_info info;
        bool known = plat_serial_port_info(name, &info) == 0;
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
        std::string what = info.manufacturer;
        if (info.product[0])
            what += (what.empty() ? "" : " ") + std::string(info.product);
        if (info.serial[0])
            what += (what.empty() ? "serial " : ", serial ") + std::string(info.serial);
        std::string line = name;
        if (known)
            line += "\t" + what + (info.stable[0] ? "\t" + std::string(info.stable) : "");
        say(stdout, "%s\n", line.c_str());
    }
    if (opt.json_out)
        say(stdout, "%s\n", list.dump().c_str());
    return EXIT_DONE;
}

// What the scan has shown so far.
struct ScanShown {
    bool progress;  // a person watches standard error
    int found;
    json list;  // what --json prints at the end
};

static int scan_told(void* ctx, unsigned char a, int answered, unsigned char er78)
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
    int meter = er78_meter(er78);
    bool inverse = er78_inverse(er78);
    if (opt.json_out)  // shaped as read --json shapes its data
        shown.list.push_back({{"address", hex2(a)},
                              {"type", meter_name(meter)},
                              {"inverse", inverse},
                              {"er78", er78}});
    else
        say(stdout, "%02X type=%s inverse=%s\n", a, meter_name(meter), inverse ? "on" : "off");
    return 0;
}

int cmd_scan(void)
{
    if (opt.from > opt.to)
        return usage_error("the range %s is empty", hex2(opt.from) + ".." + hex2(opt.to));
    answer_after_frame = 1;       // each address is listened to for the whole time-out
    exchange_repeat_silence = 0;  // silence is an empty address; only garble is asked again
    int rc = open_line(SCAN_TIMEOUT_MS);
    if (rc)
        return rc;
    if (!opt.timeout_ms)
        answer_timeout_ms = scan_timeout_ms(line_port);
    ScanShown shown = {plat_stderr_is_terminal() != 0, 0, json::array()};
    unsigned a = opt.from;
    bus_scan(line_port, opt.from, opt.to, answer_timeout_ms, scan_told, &shown, &a);
    int found = shown.found;
    if (shown.progress)
        say(stderr, "\r                        \r");
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
    if (!found) {
        say(stderr, "kp6ctl: no controller answered from %02X to %02X\n", opt.from, opt.to);
        return EXIT_CONTROLLER;
    }
    return EXIT_DONE;
}

}  // namespace kp6ctl
