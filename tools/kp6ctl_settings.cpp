// kp6ctl test, read and write: one controller, as the window's Test, Read
// and Write buttons do.
#include "kp6ctl.h"

#include <stdio.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../device/exchange.h"
#include "../device/settings.h"
#include "../port/plainw.h"
#include "backupfile.h"

namespace kp6ctl {

using json = nlohmann::ordered_json;

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
                say(stderr, "kp6ctl: %s: %s\n", cut_token(w).c_str(),
                    key ? key : "Error input ER78");
                return EXIT_USAGE;
            }
            if (c.reg == REG_ER78 && er78_meter(c.value) == METER_UNKNOWN) {
                say(stderr, "kp6ctl: %s: type code %u is none of milliliter (0), liter (2), "
                                "hand (10)\n",
                        cut_token(w).c_str(), c.value & 0x0Fu);
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
        if (failed > 0 && !line_lost_told)
            return EXIT_CONTROLLER;
        say(stderr, "%02X: not written%s\n", opt.address, failed > 0 ? "" : " (interrupted)");
        return failed > 0 ? EXIT_CONTROLLER : exit_interrupted();
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
    // After an interrupt or a lost line, what the controller holds now.
    if (interrupted() || line_lost_told)
        say(stderr, "%02X: %s\n", opt.address, failed ? left_by_write(failed).c_str() : "written");
    if (interrupted())
        return exit_interrupted();
    return failed ? EXIT_CONTROLLER : EXIT_DONE;
}

}  // namespace kp6ctl
