#include "bus.h"

#include <stdio.h>

#include <algorithm>

#include "../i18n/words.h"
#include "../port/plainw.h"
#include "scan.h"

// Whether a register read as `got` holds the file's `want`: ER78 as the same
// type and inverse gun (it goes out as the window writes them).
static bool holds_as_file(int reg, unsigned char want, unsigned char got)
{
    return reg == REG_ER78 ? er78_same_setting(want, got) != 0 : want == got;
}

unsigned bus_compare(const device_settings& now, const device_settings& file)
{
    unsigned mask = 0;
    for (int reg = 0; reg < SETTING_COUNT; reg++)
        if (!holds_as_file(reg, setting_value(file, reg), setting_value(now, reg)))
            mask |= 1u << reg;
    return mask;
}

// Each state by ROW_*: what it says as it ended and when stopped by the
// user (settings_stop), a failed step and its cause filling the %s; whether
// the row holds settings, whether it failed (keeping its cause), whether
// it went amiss (the window marks it).
enum { HOLDS_SETTINGS = 1, FAILED = 2, AMISS = 4 };
static const struct {
    const char *ended, *stopped;
    const char* (*step)(int step);  // the failed step's words, or null
    int flags;
} states[] = {
    {W_("not read"), nullptr, nullptr, 0},
    {W_("read"), nullptr, nullptr, HOLDS_SETTINGS},
    {W_("failed: %s"), W_("read stopped before %s"), settings_read_failure, FAILED | AMISS},
    {SCAN_GARBLED_TEXT, nullptr, nullptr, FAILED | AMISS},
    {W_("missing: no answer"), nullptr, nullptr, 0},
    {W_("written"), nullptr, nullptr, HOLDS_SETTINGS},
    {W_("written, not read back: %s"), W_("written, not read back (stopped)"),
     settings_read_failure, FAILED | AMISS},
    {W_("write failed: %s"), W_("write stopped before %s"), settings_write_failure, FAILED | AMISS},
    {W_("written, reads back otherwise"), nullptr, nullptr, HOLDS_SETTINGS | AMISS},
};
static_assert(sizeof states / sizeof *states == ROW_READS_OTHERWISE + 1, "every state");

static int state_is(const bus_row& r, int flag)
{
    return r.state >= 0 && r.state <= ROW_READS_OTHERWISE && (states[r.state].flags & flag);
}

int bus_row_amiss(const bus_row& r)
{
    return state_is(r, AMISS);
}

int bus_row_has_settings(const bus_row& r)
{
    return state_is(r, HOLDS_SETTINGS);
}

int bus_row_stale(const bus_row& r)
{
    return bus_row_has_settings(r) && settings_written_count(r.address) != r.written_at;
}

void bus_compare_rows(std::vector<bus_row>& rows, const std::vector<backup_entry>& file)
{
    std::vector<bus_row> kept;
    for (const bus_row& r : rows)
        if (r.state != ROW_MISSING)
            kept.push_back(r);
    rows.swap(kept);
    for (bus_row& r : rows) {
        r.compared = COMPARED_NOT;
        r.differ = 0;
        const backup_entry* match = backup_entry_for(file, r.address);
        if (!bus_row_has_settings(r) || bus_row_stale(r))  // a stale row is read first
            continue;
        if (!match) {
            r.compared = COMPARED_NOT_IN_FILE;
            continue;
        }
        r.file = match->settings;
        r.differ = bus_compare(r.settings, r.file);
        r.compared = r.differ ? COMPARED_DIFFERS : COMPARED_SAME;
    }
    if (file.size() == 1)  // a template: no controller is missing
        return;
    size_t had = rows.size();
    for (const backup_entry& e : file) {
        bool present = false;
        for (size_t i = 0; i < had; i++)
            present = present || rows[i].address == e.address;
        if (present)
            continue;
        bus_row m = {};
        m.address = e.address;
        m.state = ROW_MISSING;
        m.settings = m.file = e.settings;
        rows.push_back(m);
    }
}

int restore_controller(unsigned short port, unsigned char address, const device_settings& want,
                       device_settings* back, int* failed_step)
{
    *failed_step = 0;
    device_settings sent = want;
    if (!er78_for_write(want.er78, &sent.er78))
        return RESTORE_BAD_TYPE;
    int failed = settings_write(port, address, sent);
    if (failed) {
        *failed_step = failed;
        return failed > 0 ? RESTORE_WRITE_FAILED : RESTORE_STOPPED;
    }
    // Every write acknowledged: whatever the read-back says, the values are
    // on the controller.
    failed = settings_read(port, address, *back);
    if (failed) {
        *failed_step = failed;
        return RESTORE_NOT_READ_BACK;
    }
    return bus_compare(*back, want) ? RESTORE_READS_OTHERWISE : RESTORE_DONE;
}

static std::string fault_now(void)
{
    char why[300];
    exchange_fault_text(exchange_last_fault, why, sizeof why);
    return why;
}

// Two controllers at the address: the row is never taken for one.
static int collided(int failed)
{
    return failed > 0 && exchange_last_fault.kind == FAULT_COLLISION;
}

void bus_row_read(bus_row& r, const device_settings& s, int failed)
{
    if (!failed)  // a failed read's row keeps what it held
        r.settings = s;
    r.failed_step = failed;
    // A garbled address read again stays so until a read of it comes clean.
    int garbled = collided(failed) || (failed && r.state == ROW_GARBLED);
    r.state = garbled ? ROW_GARBLED : failed ? ROW_FAILED : ROW_READ;
    r.fault = failed > 0 ? fault_now() : "";
    r.written_at = settings_written_count(r.address);
    r.not_written = 0;
}

int bus_write_row(unsigned short port, bus_row& row, const device_settings& want)
{
    device_settings back = row.settings;
    int rc = restore_controller(port, row.address, want, &back, &row.failed_step);
    static const int state_of[] = {ROW_WRITTEN,         ROW_WRITE_FAILED, ROW_NOT_READ_BACK,
                                   ROW_READS_OTHERWISE, ROW_WRITE_FAILED, ROW_WRITE_FAILED};
    row.state = collided(row.failed_step) ? ROW_GARBLED : state_of[rc];
    row.fault = row.failed_step > 0 ? fault_now() : "";
    if (rc == RESTORE_BAD_TYPE)
        row.fault = words(W_("ER78 holds no type the controller takes"));
    if (rc == RESTORE_DONE || rc == RESTORE_READS_OTHERWISE)
        row.settings = back;
    row.written_at = settings_written_count(row.address);
    row.not_written = 0;
    return rc;
}

static const char* english(const char* key)
{
    return key;
}

// A state's words, with `what` (the step that failed or stopped, its
// cause) where the key has a %s.
static std::string state_printed(bus_words tr, const char* key, const std::string& what)
{
    char text[600];
    snprintf(text, sizeof text, tr(key), what.c_str());
    return text;
}

std::string bus_row_state_text(const bus_row& r, bus_words tr)
{
    if (!tr)
        tr = english;
    // A failed row keeps its cause; any other names the write it missed.
    if (r.not_written && !state_is(r, FAILED))
        return tr(W_("not written"));
    if (r.state < 0 || r.state > ROW_READS_OTHERWISE)
        return "";
    const auto& w = states[r.state];
    std::string why = r.fault.empty() ? "" : ": " + r.fault;
    if (r.failed_step < 0 && w.stopped) {
        int step = -r.failed_step;
        const char* name = r.state == ROW_WRITE_FAILED ? settings_write_name(step)
                                                       : setting_name(settings_read_register(step));
        return state_printed(tr, w.stopped, name);
    }
    if (r.state == ROW_WRITE_FAILED && r.failed_step == 0)  // refused before anything went out
        return tr(W_("not written")) + why;
    if (w.step && r.failed_step > 0)
        return state_printed(tr, w.ended, tr(w.step(r.failed_step)) + why);
    return tr(w.ended);
}

std::string differences_text(const device_settings& now, const device_settings& other,
                             unsigned mask, difference_item item, const char* sep, bus_words tr)
{
    if (!tr)
        tr = english;
    std::string list;
    for (int reg = 0; reg < SETTING_COUNT; reg++)
        if (mask & 1u << reg)
            list += (list.empty() ? "" : sep) +
                    item(reg, setting_value(now, reg), setting_value(other, reg), tr);
    return list;
}

// A comparison's item: the number, or ER78 as its type and inverse gun,
// each where it differs.
static std::string compared_item(int reg, unsigned char a, unsigned char b, bus_words tr)
{
    if (reg != REG_ER78)
        return std::string(setting_name(reg)) + " " + std::to_string(a) + " -> " +
               std::to_string(b);
    std::string item;
    if (er78_meter(a) != er78_meter(b))
        item = std::string(tr(W_("type"))) + " " + tr(meter_word(er78_meter(a))) + " -> " +
               tr(meter_word(er78_meter(b)));
    const char* on = tr(W_("on"));
    const char* off = tr(W_("off"));
    if (er78_inverse(a) != er78_inverse(b))
        item += std::string(item.empty() ? "" : ", ") + tr(W_("inverse")) + " " +
                (er78_inverse(a) ? on : off) + " -> " + (er78_inverse(b) ? on : off);
    return item;
}

std::string bus_compared_text(const bus_row& r, bus_words tr)
{
    if (!tr)
        tr = english;
    if (r.state == ROW_MISSING)
        return tr(W_("missing"));
    switch (r.compared) {
    case COMPARED_SAME: return tr(W_("matches"));
    case COMPARED_NOT_IN_FILE: return tr(W_("not in the file"));
    case COMPARED_DIFFERS: break;
    default: return "";
    }
    char head[80];
    snprintf(head, sizeof head, tr(W_("differs (%d): ")), __builtin_popcount(r.differ));
    return head + differences_text(r.settings, r.file, r.differ, compared_item, ", ", tr);
}

// A cell a spreadsheet would run as a formula (=, +, -, @, or a tab or CR
// ahead of one) is written with an apostrophe before it, as text.
std::string csv_field(const std::string& text)
{
    bool formula = !text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos;
    std::string t = formula ? "'" + text : text;
    if (t.find_first_of(",\"\r\n") == std::string::npos)
        return t;
    std::string q = "\"";
    for (char c : t)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// One more cell of a line, after its first.
static void add_cell(std::string& line, const std::string& text)
{
    line += "," + csv_field(text);
}

// The columns after ER77.
static const char* const health_columns[] = {"exchanges",        "retries",          "failed",
                                             "no answer",        "refused",          "garbled",
                                             "answer median ms", "answer slowest ms"};

std::string bus_csv_header(const char* compared_name)
{
    std::string line = csv_field("address");
    for (const char* c : {"type", "inverse", "ER79", "ER72", "ER74", "ER75", "ER77"})
        add_cell(line, c);
    for (const char* c : health_columns)
        add_cell(line, c);
    add_cell(line, "state");
    if (compared_name)
        add_cell(line, compared_name);
    return line + "\r\n";
}

std::string bus_csv_row(const bus_row& r, const line_health* h, const char* compared_name)
{
    std::string line = csv_field(hex2(r.address));
    // A missing row's values are the file's: shown in its comparison only.
    bool settings = bus_row_has_settings(r);
    device_settings s = r.settings;
    add_cell(line, settings ? meter_word(er78_meter(s.er78)) : "");
    add_cell(line, settings ? (er78_inverse(s.er78) ? "on" : "off") : "");
    for (int reg = REG_ER79; reg < SETTING_COUNT; reg++)
        add_cell(line, settings ? std::to_string(setting_value(s, reg)) : "");
    if (h && h->exchanges) {
        const unsigned long counts[] = {h->exchanges, h->retries, h->failed,
                                        h->no_answer, h->refused, h->garbled};
        for (unsigned long c : counts)
            add_cell(line, std::to_string(c));
        add_cell(line, h->answers ? std::to_string(h->median_ms) : "");
        add_cell(line, h->answers ? std::to_string(h->slowest_ms) : "");
    } else {
        for (size_t i = 0; i < sizeof health_columns / sizeof *health_columns; i++)
            add_cell(line, "");
    }
    add_cell(line, bus_row_state_text(r));
    if (compared_name)
        add_cell(line, bus_compared_text(r));
    return line + "\r\n";
}

// ---- reading the bus ---------------------------------------------------------

struct bus_reading {
    std::vector<bus_row>* rows;
    bus_row_told told;
    void* ctx;
    unsigned done, total;
    unsigned char from;  // the scan's first address
};

static int tell(bus_reading& b, const bus_row& row)
{
    return b.told && b.told(b.ctx, row, b.done, b.total);
}

static int scan_told(void* ctx, unsigned char address, int answered, unsigned char er78)
{
    bus_reading& b = *(bus_reading*)ctx;
    bus_row row = {};
    row.address = address;
    if (answered == SCAN_ASKING) {
        b.done = (unsigned)(address - b.from);
        return tell(b, row);
    }
    row.state = answered == SCAN_GARBLED ? ROW_GARBLED : ROW_NOT_READ;
    row.settings.er78 = er78;
    b.rows->push_back(row);
    if (answered == SCAN_GARBLED)
        return tell(b, row);
    b.total++;  // one Read more
    return 0;
}

// Reads the rows `pick` marks (null: all but missing and garbled ones).
static int read_rows(unsigned short port, bus_reading& b, const std::vector<bool>* pick)
{
    std::vector<bus_row>& rows = *b.rows;
    for (size_t i = 0; i < rows.size(); i++) {
        bus_row& r = rows[i];
        if (pick ? i >= pick->size() || !(*pick)[i]
                 : r.state == ROW_MISSING || r.state == ROW_GARBLED)
            continue;
        if (tell(b, r))
            return SCAN_STOPPED;
        device_settings s = r.settings;
        int failed = settings_read(port, r.address, s);
        if (failed < 0) {  // the row stays not read; where it stopped is told
            bus_row stopped = r;
            stopped.state = ROW_FAILED;
            stopped.failed_step = failed;
            tell(b, stopped);
            return SCAN_STOPPED;
        }
        if (failed && port_gone(port, nullptr))
            return SCAN_LINE_LOST;
        bus_row_read(r, s, failed);
        r.compared = COMPARED_NOT;
        r.differ = 0;
        b.done++;
        if (tell(b, r))
            return SCAN_STOPPED;
    }
    return SCAN_DONE;
}

int bus_read(unsigned short port, unsigned char from, unsigned char to, std::vector<bus_row>& rows,
             bus_row_told told, void* ctx)
{
    return bus_read_timed(port, from, to, scan_timeout_ms(port), rows, told, ctx);
}

int bus_read_timed(unsigned short port, unsigned char from, unsigned char to, unsigned long scan_ms,
                   std::vector<bus_row>& rows, bus_row_told told, void* ctx)
{
    rows.clear();
    bus_reading b = {&rows, told, ctx, 0, from <= to ? (unsigned)(to - from + 1) : 0u, from};
    if (from > to)
        return SCAN_DONE;
    unsigned next = from;
    int rc = bus_scan(port, from, to, scan_ms, scan_told, &b, &next);
    b.done = (unsigned)(to - from + 1);
    unsigned long repeats_before = exchange_repeats;
    if (rc != SCAN_DONE || (rc = read_rows(port, b, nullptr)) != SCAN_DONE)
        return rc;
    // The Reads may show a lossy line the scan did not: then the addresses
    // still silent are asked again, and who answers now is read too.
    size_t had = rows.size();
    unsigned done = b.done;  // the progress, which asking again does not undo
    if (bus_scan_silent_again(port, scan_ms, repeats_before, scan_told, &b, &rc) > 0 ||
        rows.size() > had) {
        std::stable_sort(rows.begin(), rows.end(),
                         [](const bus_row& x, const bus_row& y) { return x.address < y.address; });
        std::vector<bool> fresh;
        for (const bus_row& r : rows)
            fresh.push_back(r.state == ROW_NOT_READ);
        b.done = done;
        if (rc == SCAN_DONE)
            rc = read_rows(port, b, &fresh);
    }
    return rc;
}

int bus_read_rows(unsigned short port, std::vector<bus_row>& rows, const std::vector<bool>* pick,
                  bus_row_told told, void* ctx)
{
    unsigned total = 0;
    for (size_t i = 0; i < rows.size(); i++)
        total += pick ? i < pick->size() && (*pick)[i]
                      : rows[i].state != ROW_MISSING && rows[i].state != ROW_GARBLED;
    bus_reading b = {&rows, told, ctx, 0, total, 0};
    return read_rows(port, b, pick);
}
