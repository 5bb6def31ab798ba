// kp6ctl test, read and write: one controller, as the window's Test, Read
// and Write buttons do.
#include "kp6ctl.h"

#include <stdio.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../device/backupfile.h"
#include "../device/bus.h"
#include "../device/exchange.h"
#include "../device/settings.h"
#include "../port/plainw.h"

namespace kp6ctl {

using json = nlohmann::ordered_json;

int cmd_test(void)
{
    int rc = resolve_addresses(true);
    if (rc || (rc = open_line(ANSWER_TIMEOUT_MS, true)))
        return rc;
    bool all = true;
    for (unsigned char a : opt.addresses) {
        if (interrupted() || line_lost())
            break;
        int answered = device_test(line_port, a);
        clear_buf(line_port);
        bool collided = answered && exchange_last_fault.kind == FAULT_COLLISION;
        if (!answered || collided)
            controller_failed(a, "No reply");
        else
            say(stdout, "%02X: Ok\n", a);
        all = all && answered && !collided;
    }
    close_line();
    if (interrupted())
        return exit_interrupted();
    return all && !line_lost() ? EXIT_DONE : EXIT_CONTROLLER;
}

json health_json(unsigned char address)
{
    line_health h;
    health_of(address, &h);
    json j = {{"exchanges", h.exchanges},    {"retries", h.retries},        {"failed", h.failed},
              {"no_answer", h.no_answer},    {"refused", h.refused},        {"garbled", h.garbled},
              {"answer_median_ms", nullptr}, {"answer_slowest_ms", nullptr}};
    if (h.answers) {
        j["answer_median_ms"] = h.median_ms;
        j["answer_slowest_ms"] = h.slowest_ms;
    }
    return j;
}

const char* const setting_keys[SETTING_COUNT] = {"er78", "er79", "er72", "er74", "er75", "er77"};

// The registers read before the step `upto` an interrupt stopped before
// (0: all were read).
static void registers_read(int upto, bool have[SETTING_COUNT])
{
    for (int step = 1; step <= READ_STEPS && (!upto || step < upto); step++)
        have[settings_read_register(step)] = true;
}

json settings_json(unsigned char address, const device_settings& s, int upto)
{
    bool have[SETTING_COUNT] = {};
    registers_read(upto, have);
    json j = json::object();
    j["address"] = hex2(address);
    if (have[REG_ER78]) {
        j["type"] = meter_word(er78_meter(s.er78));
        j["inverse"] = (bool)er78_inverse(s.er78);
    }
    for (int reg = 0; reg < SETTING_COUNT; reg++)
        if (have[reg])
            j[setting_keys[reg]] = setting_value(s, reg);
    j["health"] = health_json(address);
    return j;
}

// One controller's settings as read prints them: a block of NAME VALUE
// lines (headed by its address when there are several), or a JSON object.
// `upto`: the step an interrupt stopped before, or 0 when all were read.
static json print_read(unsigned char address, const device_settings& s, int upto, bool several,
                       bool first)
{
    json j = settings_json(address, s, upto);
    if (opt.json_out)
        return j;
    bool have[SETTING_COUNT] = {};
    registers_read(upto, have);
    int meter = er78_meter(s.er78);
    bool inverse = er78_inverse(s.er78);
    if (several)
        say(stdout, "%s%-8s %s\n", first ? "" : "\n", "address", hex2(address).c_str());
    if (have[REG_ER78]) {
        say(stdout, "%-8s %s\n", "type", meter_word(meter));
        say(stdout, "%-8s %s\n", "inverse", inverse ? "on" : "off");
    }
    for (int reg = 0; reg < SETTING_COUNT; reg++) {
        if (!have[reg])
            continue;
        unsigned n = setting_value(s, reg);
        say(stdout, "%-8s %-10s %s\n", setting_keys[reg], value_text(reg, n).c_str(),
            meaning(reg, n).c_str());
    }
    return j;
}

int cmd_read(void)
{
    int rc = resolve_addresses(true);
    if (rc || (rc = open_line(ANSWER_TIMEOUT_MS)))
        return rc;
    bool several = opt.addresses.size() > 1, all = true, first = true;
    json list = json::array();
    for (unsigned char a : opt.addresses) {
        if (interrupted() || line_lost())
            break;
        device_settings s = {};
        int failed = read_controller(a, s);
        all = all && failed <= 0;
        if (failed > 0 && exchange_last_fault.kind == FAULT_INTERRUPTED)
            say(stderr, "%02X: read interrupted before %s\n", a,
                setting_name(settings_read_register(failed)));
        if (opt.csv_out) {
            bus_row r = {};
            r.address = a;
            bus_row_read(r, s, failed);
            print_csv_row(r, nullptr, first);
            first = false;
            if (failed == 0)  // recorded once shown
                journal_read(a, s);
            if (failed < 0)
                say(stderr, "%02X: read interrupted before %s\n", a,
                    setting_name(settings_read_register(-failed)));
            continue;
        }
        if (failed > 0)
            continue;
        // An interrupted read shows the registers it had.
        json j = print_read(a, s, -failed, several, first);
        first = false;
        if (opt.json_out && several)
            list.push_back(j);
        else if (opt.json_out)
            say(stdout, "%s\n", j.dump().c_str());
        if (!failed)
            journal_read(a, s);
        if (failed)
            say(stderr, "%02X: read interrupted before %s\n", a,
                setting_name(settings_read_register(-failed)));
    }
    close_line();
    if (opt.json_out && several)
        say(stdout, "%s\n", list.dump().c_str());
    if (journal_failed)
        return EXIT_USAGE;
    if (interrupted())
        return exit_interrupted();
    return all && !line_lost() ? EXIT_DONE : EXIT_CONTROLLER;
}

// One NAME=VALUE of write, checked.
struct Change {
    int reg;  // REG_*, or -1 type, -2 inverse
    unsigned char value;
};

// A controller left unwritten by a failed or interrupted read: said so,
// unless its failure was told already. EXIT_CONTROLLER.
static int not_written(unsigned char address, int failed)
{
    if (failed > 0 && !line_lost_told && !interrupted())
        return EXIT_CONTROLLER;
    say(stderr, "%02X: not written%s\n", address, interrupted() ? " (interrupted)" : "");
    return EXIT_CONTROLLER;
}

// The type and inverse gun ER78 goes out with: as `s` reads, changed by what
// is named. false, and said so, when the type is none the window writes.
static bool type_after(unsigned char address, const device_settings& s,
                       const std::vector<Change>& changes, int* meter, int* inverse)
{
    *meter = er78_meter(s.er78);
    *inverse = er78_inverse(s.er78);
    for (const Change& c : changes) {
        if (c.reg == -1)
            *meter = c.value;
        else if (c.reg == -2)
            *inverse = c.value;
        else if (c.reg == REG_ER78) {
            *meter = er78_meter(c.value);
            *inverse = er78_inverse(c.value);
        }
    }
    if (*meter != METER_UNKNOWN)
        return true;
    say(stderr,
        "kp6ctl: %02X: Select type: ER78 holds type code %u, which is no type; give "
        "type=%s\n",
        address, s.er78 & 0x0Fu, meter_words(false).c_str());
    return false;
}

// The registers that go back as read (bit 1 << REG_*): all but those named;
// ER78 only when neither type nor inverse is named, or both are.
static unsigned unnamed_registers(const std::vector<Change>& changes)
{
    unsigned unnamed = (1u << SETTING_COUNT) - 1;
    bool type_named = false, inverse_named = false;
    for (const Change& c : changes) {
        if (c.reg >= 0)
            unnamed &= ~(1u << c.reg);
        type_named = type_named || c.reg == -1;
        inverse_named = inverse_named || c.reg == -2;
    }
    if (type_named && inverse_named)
        unnamed &= ~(1u << REG_ER78);
    return unnamed;
}

// What goes back unnamed must be what the controller holds, not a read that
// noise changed: each is read twice and must agree. EXIT_DONE when they do.
static int confirm_unnamed(unsigned char address, device_settings& s,
                           const std::vector<Change>& changes)
{
    settings_noise noise = {};
    int failed = settings_confirm(line_port, address, s, unnamed_registers(changes), &noise);
    if (failed == SETTINGS_NOISY) {
        char text[160];
        settings_noise_text(noise, text, sizeof text);
        say(stderr, "%02X: %s\n", address, text);
        return EXIT_CONTROLLER;
    }
    if (failed > 0)
        controller_failed(address, settings_read_failure(failed));
    return failed || interrupted() ? not_written(address, failed) : EXIT_DONE;
}

// Reads one controller, changes what is named and writes it back; says
// what the controller holds after a failure. EXIT_DONE, EXIT_CONTROLLER,
// or EXIT_USAGE when its type is none the window writes.
static int write_one(unsigned char address, const std::vector<Change>& changes)
{
    device_settings s = {};
    int failed = read_controller(address, s);
    if (failed || interrupted())
        return not_written(address, failed);
    // Only what is named changes; ER78 goes out as the window writes the
    // type and inverse gun it reads as.
    int meter, inverse;
    if (!type_after(address, s, changes, &meter, &inverse))
        return EXIT_USAGE;
    int rc = confirm_unnamed(address, s, changes);
    if (rc)
        return rc;
    const device_settings before = s;  // as read and agreed
    for (const Change& c : changes)
        if (c.reg > REG_ER78)
            setting_value(s, c.reg) = c.value;
    if (!type_after(address, s, changes, &meter, &inverse))  // as agreed
        return EXIT_USAGE;
    s.er78 = er78_compose(meter, inverse);
    failed = settings_write(line_port, address, s);
    std::string cause;
    if (failed > 0) {
        std::string left = written_before(failed);
        cause = controller_failed(address, settings_write_failure(failed));
        say(stderr, "%02X: %s\n", address, left.c_str());
    } else if (failed == 0) {
        say(stdout, "%02X: Write OK\n", address);
    }
    // Recorded as ER78 is held and read (hand as 10); nothing is read
    // back, so what was acknowledged is recorded so.
    device_settings asked = s;
    asked.er78 = er78_held(meter, inverse);
    if (!journal_written(address, &before, asked, nullptr, failed, cause))
        return EXIT_USAGE;
    // After an interrupt, what the controller holds now.
    if (interrupted() && failed <= 0)
        say(stderr, "%02X: %s\n", address, failed ? left_by_write(failed).c_str() : "written");
    return failed ? EXIT_CONTROLLER : EXIT_DONE;
}

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
            int meter = meter_from_word(v);
            if (meter == METER_UNKNOWN)
                return usage_error(("type=%s: give " + meter_words(false)).c_str(), value);
            c.value = (unsigned char)meter;
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
                say(stderr, "kp6ctl: %s: %s: a number from 0 to 255\n", cut_token(w).c_str(),
                    key ? key : "Error input ER78");
                return EXIT_USAGE;
            }
            if (c.reg == REG_ER78 && er78_meter(c.value) == METER_UNKNOWN) {
                say(stderr, "kp6ctl: %s: type code %u is none of %s\n", cut_token(w).c_str(),
                    c.value & 0x0Fu, meter_words(true).c_str());
                return EXIT_USAGE;
            }
        }
        changes.push_back(c);
    }
    int rc = resolve_addresses(false);
    if (rc)
        return rc;
    interrupts_to_stop = 2;
    if ((rc = open_line(ANSWER_TIMEOUT_MS)))
        return rc;
    if ((rc = journal_check())) {
        close_line();
        return rc;
    }
    size_t i = 0;
    for (; i < opt.addresses.size() && !interrupted() && !line_lost() && !journal_failed; i++) {
        int one = write_one(opt.addresses[i], changes);
        rc = rc == EXIT_DONE || one == EXIT_USAGE ? one : rc;
    }
    close_line();
    // The controllers not reached, when several were named.
    for (; i < opt.addresses.size() && opt.addresses.size() > 1; i++)
        say(stderr, "%02X: not written%s\n", opt.addresses[i],
            interrupted() ? " (interrupted)" : "");
    return journal_failed ? EXIT_USAGE : interrupted() ? exit_interrupted() : rc;
}

}  // namespace kp6ctl
