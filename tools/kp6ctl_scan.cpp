// kp6ctl ports and scan: the machine's serial ports, and the controllers
// that answer on the bus.
#include "kp6ctl.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "../device/exchange.h"
#include "../device/settings.h"
#include "../discovery/comdet.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "backupfile.h"

namespace kp6ctl {

using json = nlohmann::ordered_json;

const unsigned long SCAN_TIMEOUT_MS = 100;

int cmd_ports(void)
{
    ComDetect();
    for (int i = 0; i < com_num_detected; i++)
        say(stdout, "%s\n", com_port_names[i]);
    return EXIT_DONE;
}

int cmd_scan(void)
{
    if (opt.from > opt.to)
        return usage_error("the range %s is empty", hex2(opt.from) + ".." + hex2(opt.to));
    answer_after_frame = 1;  // each address is listened to for the whole time-out
    exchange_repeat_silence = 0;  // silence is an empty address; only garble is asked again
    int rc = open_line(SCAN_TIMEOUT_MS);
    if (rc)
        return rc;
    // Through a device server each answer also travels the network: the
    // round trip measured while connecting, twice, rounded up to the next
    // millisecond.
    if (!opt.timeout_ms)
        answer_timeout_ms = SCAN_TIMEOUT_MS + 2 * ((port_round_trip_us(line_port) + 999) / 1000);
    bool progress = plat_stderr_is_terminal();
    int found = 0;
    json list = json::array();
    unsigned a = opt.from;
    for (; a <= opt.to && !interrupted(); a++) {
        if (progress)
            say(stderr, "\rscanning %02X (%d found) ", a, found);
        // A whole read, not a stray byte, tells a controller is there.
        unsigned int word = WORD_ER78;
        if (device_exchange(line_port, (unsigned char)a, word, CMD_READ_ER) != 1) {
            if (port_gone(line_port, nullptr))
                break;
            continue;
        }
        if (progress)
            say(stderr, "\r                        \r");
        found++;
        int meter = er78_meter((unsigned char)word);
        bool inverse = er78_inverse((unsigned char)word);
        if (opt.json_out)  // shaped as read --json shapes its data
            list.push_back({{"address", hex2(a)}, {"type", meter_name(meter)},
                            {"inverse", inverse}, {"er78", word}});
        else
            say(stdout, "%02X type=%s inverse=%s\n", a, meter_name(meter), inverse ? "on" : "off");
    }
    if (progress)
        say(stderr, "\r                        \r");
    close_line();
    if (opt.json_out)
        say(stdout, "%s\n", list.dump().c_str());
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
