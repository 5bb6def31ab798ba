// kp6ctl journal: the service record listed, filtered, or its chain checked.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../device/bus.h"
#include "../device/journal.h"
#include "../device/settings.h"
#include "kp6ctl.h"
#include "options.h"

namespace kp6ctl {

namespace {

struct listing {
    std::vector<unsigned char> addresses;  // empty: all
    std::string since, until;
    const journal_verdict* v;  // as the walk fills it
    int state = JOURNAL_INTACT;
    bool headed = false;  // the table's header is out
};

// What a record did: "ER72", "30 → 94"; a read's six values in brief.
std::string what_changed(const journal_record& r)
{
    if (r.event == JOURNAL_FOUND) {
        std::string t;
        for (int reg = 0; reg < SETTING_COUNT; reg++)
            t += (reg ? " " : "") + std::string(setting_name(reg) + 2) + "=" +
                 std::to_string(setting_value(r.found, reg));
        return t;
    }
    std::string before = r.before == JOURNAL_NONE ? "" : std::to_string(r.before) + " ";
    return before + "\u2192 " + std::to_string(r.after != JOURNAL_NONE ? r.after : r.asked);
}

std::vector<std::string> columns(const journal_record& r)
{
    char address[4];
    snprintf(address, sizeof address, "%02X", r.address);
    std::string line = r.line + (r.adapter.empty() ? "" : " (" + r.adapter + ")");
    return {journal_local_time(r),
            r.user,
            line,
            address,
            r.event == JOURNAL_FOUND ? "read" : r.setting,
            what_changed(r),
            r.event == JOURNAL_FOUND ? "" : r.result};
}

const char* const HEADER[] = {"time",    "user",           "line",  "address",
                              "setting", "before → after", "result"};
// The table's columns: at least this wide, a longer text pushes the rest.
const size_t WIDTH[] = {19, 10, 14, 7, 7, 14, 0};

// Width in characters, not bytes: the arrow is three.
size_t shown_width(const std::string& s)
{
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

std::string table_row(const std::vector<std::string>& cells)
{
    std::string t;
    for (size_t i = 0; i < cells.size(); i++) {
        t += cells[i];
        if (i + 1 < cells.size())
            t += std::string(
                std::max<size_t>(WIDTH[i], shown_width(cells[i])) - shown_width(cells[i]) + 2, ' ');
    }
    while (!t.empty() && t.back() == ' ')
        t.pop_back();
    return t + "\n";
}

std::string csv_row(const std::vector<std::string>& cells)
{
    std::string t;
    for (size_t i = 0; i < cells.size(); i++)
        t += (i ? "," : "") + csv_field(cells[i]);
    return t + "\r\n";
}

// A table's line, after its header: an empty journal lists nothing.
void print_row(listing& l, const std::vector<std::string>& cells)
{
    if (!l.headed && !opt.json_out) {
        l.headed = true;
        print_row(l, {HEADER, HEADER + 7});
    }
    write_text(stdout, (opt.csv_out ? csv_row(cells) : table_row(cells)).c_str());
}

// A break in the chain, where the listing meets it.
void mark(listing& l, const std::string& what)
{
    if (!opt.json_out)
        print_row(l, {"-- " + what + " --"});
}

int told(void* ctx, const journal_record* r, unsigned long line_no)
{
    listing& l = *(listing*)ctx;
    if (l.v->state != l.state) {
        l.state = l.v->state;
        mark(l, journal_verdict_text(*l.v));
    } else if (!r)
        mark(l, "line " + std::to_string(line_no) + " is not a record");
    if (!r)
        return output_closed;
    if ((!l.addresses.empty() &&
         std::find(l.addresses.begin(), l.addresses.end(), r->address) == l.addresses.end()) ||
        !journal_in_period(*r, l.since, l.until))
        return output_closed;
    if (opt.json_out)
        write_text(stdout, (r->text + "\n").c_str());
    else
        print_row(l, columns(*r));
    return output_closed;
}

bool period_bound(const std::string& text, int until, std::string* bound, const char* name)
{
    if (text.empty() || journal_period_bound(text.c_str(), until, bound))
        return true;
    usage_error(
        ("%s needs a date, YYYY-MM-DD or YYYY-MM-DDTHH:MM (local time), not " + text).c_str(),
        name);
    return false;
}

}  // namespace

int cmd_journal(void)
{
    listing l;
    if (!opt.address_text.empty() && !add_address_list(l.addresses, opt.address_text, "--address"))
        return EXIT_USAGE;
    if (!period_bound(opt.since, 0, &l.since, "--since") ||
        !period_bound(opt.until, 1, &l.until, "--until"))
        return EXIT_USAGE;
    if (!opt.head.empty() && !opt.verify)
        return usage_error("%s goes with journal --verify", "--head");
    if (opt.verify && (opt.json_out || opt.csv_out || !l.addresses.empty() || !l.since.empty() ||
                       !l.until.empty()))
        return usage_error("%s checks the whole journal: it takes no filter or format", "--verify");
    std::string path;
    if (journal_path(path) != JOURNAL_OK) {
        say(stderr, "kp6ctl: %s\n", journal_problem_text("", JOURNAL_NO_PLACE, 0).c_str());
        return EXIT_USAGE;
    }
    journal_verdict v;
    l.v = &v;
    int error = 0;
    int rc;
    if (opt.verify) {
        rc = journal_walk(path, nullptr, nullptr, opt.head.c_str(), &v, &error);
    } else
        rc = journal_walk(path, told, &l, nullptr, &v, &error);
    if (rc != JOURNAL_OK) {
        say(stderr, "kp6ctl: %s\n", journal_problem_text(path, rc, error).c_str());
        return rc == JOURNAL_NOT_A_FILE ? EXIT_USAGE : EXIT_CONTROLLER;
    }
    if (opt.verify) {
        say(stdout, "%s\n", journal_verdict_text(v).c_str());
        return journal_intact(v) ? EXIT_DONE : EXIT_CONTROLLER;
    }
    if (v.state != JOURNAL_INTACT)
        say(stderr, "kp6ctl: the journal is damaged: %s\n", journal_verdict_text(v).c_str());
    return EXIT_DONE;
}

int store_head(const char* name, const char* v)
{
    size_t n = v ? strlen(v) : 0;
    if (n != 64 || strspn(v, "0123456789abcdefABCDEF") != n)
        return usage_error("%s needs a head: the 64 hexadecimal digits a report or --verify "
                           "printed",
                           name);
    opt.head = v;
    return 0;
}

int store_since(const char*, const char* v)
{
    if (!v || !*v)
        return OPTION_BAD;
    opt.since = v;
    return 0;
}

int store_until(const char*, const char* v)
{
    if (!v || !*v)
        return OPTION_BAD;
    opt.until = v;
    return 0;
}

}  // namespace kp6ctl
