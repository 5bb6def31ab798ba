// The service record: JSON Lines appended under the system's lock, each
// line chained to the one before it by its SHA-256.
#include "journal.h"

#include <nlohmann/json.hpp>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "../i18n/words.h"
#include "../platform/platform.h"
#include "journal_line.h"
#include "journal_time.h"
#include "text.h"

using ordered_json = nlohmann::ordered_json;

const char JOURNAL_CONFIRMED[] = "confirmed";
const char JOURNAL_ACKNOWLEDGED[] = "acknowledged";

// How far back an append looks for the last record behind lines that are
// none, and how long another holder of the lock is waited for.
enum { TAIL_MAX = 4 * 1024 * 1024, LOCK_MS = 10000 };

const char JOURNAL_ZERO_HASH[] = "0000000000000000000000000000000000000000000000000000000000000000";

std::string journal_line_hash(const char* p, size_t n)
{
    char hex[PLAT_SHA256_HEX];
    if (n > JOURNAL_LINE_MAX)
        return JOURNAL_ZERO_HASH;
    plat_sha256_hex(p, (unsigned long)n, hex);
    return hex;
}

int journal_path(std::string& out)
{
    char path[4096];
    if (plat_getenv("KP6_JOURNAL", path, sizeof path) == 0 && path[0]) {
        out = path;
        return JOURNAL_OK;
    }
    if (plat_user_data_file("kp6", "KP-6", "journal.jsonl", path, sizeof path) != 0)
        return JOURNAL_NO_PLACE;
    out = path;
    return JOURNAL_OK;
}

// ---- the file -------------------------------------------------------------------

std::string journal_problem_text(const std::string& path, int rc, int error)
{
    char why[300];
    switch (rc) {
    case JOURNAL_OK: return "";
    case JOURNAL_NO_PLACE: return words(W_("no folder for the journal: set KP6_JOURNAL to a file"));
    case JOURNAL_NOT_A_FILE: {
        static const char* const kinds[] = {W_("the journal %s is no regular file"),
                                            W_("the journal %s is a folder, not a file"),
                                            W_("the journal %s is a FIFO, not a file"),
                                            W_("the journal %s is a device, not a file"),
                                            W_("the journal %s is no regular file")};
        return printed(words(kinds[error >= 0 && error <= PLAT_FILE_OTHER ? error : 0]),
                       path.c_str());
    }
    default:
        plat_error_text(error, why, sizeof why);
        return printed(words(W_("cannot write the journal %s: %s")), path.c_str(), why);
    }
}

// The folder above a file's path, "" when it has none.
static std::string folder_of(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos || slash == 0 ? "" : path.substr(0, slash);
}

// Opens and locks the journal, its folder made when missing: JOURNAL_OK and
// the stream, or the cause (*error: the kind of a refused file, or the
// system's code).
static int journal_open(const std::string& path, FILE** f, int* error)
{
    *f = nullptr;
    *error = 0;
    std::string target(4096, '\0');
    if (plat_file_final_path(path.c_str(), &target[0], (unsigned)target.size()) != 0)
        target = path;
    target.resize(strlen(target.c_str()));
    int kind = PLAT_FILE_REGULAR;
    if (plat_file_kind(target.c_str(), &kind) == 0 && kind != PLAT_FILE_REGULAR) {
        *error = kind;
        return JOURNAL_NOT_A_FILE;
    }
    std::string folder = folder_of(target);
    if (!folder.empty() && plat_make_folders(folder.c_str()) != 0) {
        // The open names the cause better: a folder it cannot make.
    }
    int rc = plat_file_open_update(path.c_str(), f, &kind);
    // Unbuffered: what a failed write left behind is cut, and nothing of
    // it waits in a buffer to go out at the close.
    if (rc == 0)
        setvbuf(*f, nullptr, _IONBF, 0);
    if (rc == -1) {
        *error = kind;
        return JOURNAL_NOT_A_FILE;
    }
    if (rc == 0)
        rc = plat_file_lock(*f, LOCK_MS);
    if (rc) {
        if (*f)
            fclose(*f);
        *f = nullptr;
        *error = rc;
        return JOURNAL_SYSTEM;
    }
    return JOURNAL_OK;
}

static void journal_close(FILE* f)
{
    plat_file_unlock(f);
    fclose(f);
}

int journal_ready(const journal_writer& w, int* error)
{
    int e = 0;
    FILE* f = nullptr;
    int rc = journal_open(w.path, &f, &e);
    if (f)
        journal_close(f);
    if (error)
        *error = e;
    return rc;
}

// ---- records --------------------------------------------------------------------

static bool hex_digits(const std::string& s, size_t n, bool upper)
{
    if (s.size() != n)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (upper ? c >= 'A' && c <= 'F' : c >= 'a' && c <= 'f')))
            return false;
    return true;
}

enum { HEALTH_KEYS = 9, HEALTH_COUNTS = 7 };
static const char* const health_keys[HEALTH_KEYS] = {"exchanges", "retries",   "failed",
                                                     "no_answer", "refused",   "garbled",
                                                     "answers",   "median_ms", "slowest_ms"};

static unsigned long* health_field(line_health& h, int i)
{
    unsigned long* longs[HEALTH_COUNTS] = {&h.exchanges, &h.retries, &h.failed, &h.no_answer,
                                           &h.refused,   &h.garbled, &h.answers};
    return i < HEALTH_COUNTS ? longs[i] : nullptr;
}

// The fields of a record, each a bit once read.
enum {
    F_SEQ,
    F_TIME,
    F_OFFSET,
    F_EVENT,
    F_USER,
    F_HOST,
    F_PROGRAM,
    F_LINE,
    F_ADAPTER,
    F_ADDRESS,
    F_SETTINGS,
    F_HEALTH,
    F_SETTING,
    F_BEFORE,
    F_ASKED,
    F_AFTER,
    F_RESULT,
    F_PREV,
    F_COUNT
};
static const char* const field_keys[F_COUNT] = {"seq",     "time",    "offset",   "event",
                                                "user",    "host",    "program",  "line",
                                                "adapter", "address", "settings", "health",
                                                "setting", "before",  "asked",    "after",
                                                "result",  "prev"};

static int key_index(const std::string& key, const char* const* keys, int count)
{
    // The first letter first: this runs for every key of every line.
    for (int i = 0; i < count; i++)
        if (key[0] == keys[i][0] && key == keys[i])
            return i;
    return -1;
}

// Reads a line's record as the parser meets it, building no document: a
// walk through a million records stays within seconds. Unknown keys are
// passed over, whatever they hold.
struct record_reader {
    using json = ordered_json;
    journal_record* r;
    std::string event, address;
    unsigned seen = 0, inner_seen = 0;
    int depth = 0;     // objects and arrays open
    int field = -1;    // the top-level key whose value comes
    int inner = -1;    // in "settings" or "health": the key
    int section = -1;  // F_SETTINGS, F_HEALTH, or -1 at the top
    int skip = 0;      // depth of an unknown value being passed over
    bool bad = false;

    bool fail() { return !(bad = true); }
    std::string* text_field(int f)
    {
        switch (f) {
        case F_TIME: return &r->time;
        case F_OFFSET: return &r->offset;
        case F_EVENT: return &event;
        case F_USER: return &r->user;
        case F_HOST: return &r->host;
        case F_PROGRAM: return &r->program;
        case F_LINE: return &r->line;
        case F_ADAPTER: return &r->adapter;
        case F_ADDRESS: return &address;
        case F_SETTING: return &r->setting;
        case F_RESULT: return &r->result;
        case F_PREV: return &r->prev;
        default: return nullptr;
        }
    }
    // A value of the kind `text` or a number `v` (or neither) for the key.
    bool value(std::string* text, bool number, uint64_t v)
    {
        if (skip)
            return true;
        if (section >= 0) {
            if (inner < 0 || !number)
                return fail();
            inner_seen |= 1u << inner;
            if (section == F_SETTINGS) {
                if (v > 255)
                    return fail();
                setting_value(r->found, inner) = (unsigned char)v;
            } else if (unsigned long* f = health_field(r->health, inner))
                *f = (unsigned long)v;
            else
                (inner == HEALTH_COUNTS ? r->health.median_ms : r->health.slowest_ms) = (unsigned)v;
            inner = -1;
            return true;
        }
        if (depth != 1)
            return fail();
        int f = field;
        field = -1;
        if (f < 0)
            return true;  // an unknown key's plain value
        seen |= 1u << f;
        if (f == F_SEQ && number) {
            r->seq = (unsigned long)v;
            return true;
        }
        if (f == F_BEFORE || f == F_ASKED || f == F_AFTER) {
            if (!number || v > 255)
                return fail();
            (f == F_BEFORE ? r->before : f == F_ASKED ? r->asked : r->after) = (int)v;
            return true;
        }
        std::string* t = text_field(f);
        if (!t || !text)
            return fail();
        t->swap(*text);
        return true;
    }
    bool null() { return value(nullptr, false, 0); }
    bool boolean(bool) { return value(nullptr, false, 0); }
    bool number_integer(json::number_integer_t) { return value(nullptr, false, 0); }
    bool number_unsigned(json::number_unsigned_t v) { return value(nullptr, true, v); }
    bool number_float(json::number_float_t, const json::string_t&)
    {
        return value(nullptr, false, 0);
    }
    bool string(json::string_t& s) { return value(&s, false, 0); }
    bool binary(json::binary_t&) { return value(nullptr, false, 0); }
    bool start_object(std::size_t)
    {
        depth++;
        if (skip) {
            skip++;
            return true;
        }
        if (depth == 1)
            return true;
        if (depth == 2 && (field == F_SETTINGS || field == F_HEALTH)) {
            section = field;
            seen |= 1u << field;
            field = -1;
            inner_seen = 0;
            return true;
        }
        if (depth == 2 && field < 0) {
            skip = 1;
            return true;
        }
        return fail();
    }
    bool end_object()
    {
        depth--;
        if (skip) {
            skip--;
            return true;
        }
        if (section >= 0) {
            bool whole = section == F_SETTINGS ? inner_seen == (1u << SETTING_COUNT) - 1
                                               : inner_seen == (1u << HEALTH_KEYS) - 1;
            section = -1;
            return whole || fail();
        }
        return true;
    }
    bool start_array(std::size_t)
    {
        depth++;
        if (skip || (depth == 2 && field < 0 && section < 0)) {
            skip++;
            return true;
        }
        return fail();
    }
    bool end_array()
    {
        depth--;
        skip--;
        return true;
    }
    bool key(json::string_t& k)
    {
        if (skip)
            return true;
        if (section == F_SETTINGS) {
            inner = -1;
            for (int reg = 0; reg < SETTING_COUNT; reg++)
                if (k == setting_name(reg))
                    inner = reg;
            return inner >= 0 || fail();
        }
        if (section == F_HEALTH) {
            inner = key_index(k, health_keys, HEALTH_KEYS);
            return inner >= 0 || fail();
        }
        field = key_index(k, field_keys, F_COUNT);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&)
    {
        return fail();
    }
};

bool journal_record_from(const char* p, size_t n, journal_record* r)
{
    // Emptied field by field: the texts keep their room from line to line.
    std::string* texts[] = {&r->time,    &r->offset,  &r->user,   &r->host, &r->program, &r->line,
                            &r->adapter, &r->setting, &r->result, &r->prev, &r->text};
    for (std::string* t : texts)
        t->clear();
    r->seq = 0;
    r->event = JOURNAL_FOUND;
    r->address = 0;
    r->found = device_settings();
    r->has_health = false;
    r->health = line_health();
    r->before = r->asked = r->after = JOURNAL_NONE;
    record_reader reader;
    reader.r = r;
    if (!ordered_json::sax_parse(p, p + n, &reader) || reader.bad)
        return false;
    unsigned need = 1u << F_SEQ | 1u << F_TIME | 1u << F_OFFSET | 1u << F_EVENT | 1u << F_ADDRESS |
                    1u << F_PREV;
    int64_t ms;
    int off;
    if ((reader.seen & need) != need || !record_time_ms(r->time, &ms) ||
        !record_offset_minutes(r->offset, &off) || !hex_digits(reader.address, 2, true) ||
        !hex_digits(r->prev, 64, false))
        return false;
    r->address = (unsigned char)strtoul(reader.address.c_str(), nullptr, 16);
    r->text.assign(p, n);
    r->has_health = reader.seen >> F_HEALTH & 1;
    if (reader.event == "found") {
        r->event = JOURNAL_FOUND;
        return reader.seen >> F_SETTINGS & 1;
    }
    r->event = JOURNAL_CHANGE;
    need = 1u << F_SETTING | 1u << F_ASKED | 1u << F_RESULT;
    return reader.event == "change" && (reader.seen & need) == need;
}

// The head of a record: everything before what its event adds.
static ordered_json record_head(const journal_writer& w, const char* event, unsigned char address)
{
    int64_t now = plat_utc_ms();
    int off = plat_local_offset_minutes(now);
    char user[256], host[256];
    plat_user_name(user, sizeof user);
    plat_host_name(host, sizeof host);
    ordered_json j;
    j["seq"] = 0;
    j["time"] = record_stamp(now, "T") + "Z";
    j["offset"] = printed("%c%02d:%02d", off < 0 ? '-' : '+', (off < 0 ? -off : off) / 60,
                          (off < 0 ? -off : off) % 60);
    j["event"] = event;
    j["user"] = user;
    j["host"] = host;
    j["program"] = w.program;
    j["line"] = w.line;
    if (!w.adapter.empty())
        j["adapter"] = w.adapter;
    j["address"] = printed("%02X", address);
    return j;
}

// Where an append goes on: the last record's seq (0: none) and the last
// line's hash, and whether that line lacks its LF (torn).
struct journal_tail {
    unsigned long seq;
    std::string prev;
    bool torn;
};

static int read_tail(FILE* f, journal_tail* t)
{
    t->seq = 0;
    t->prev = JOURNAL_ZERO_HASH;
    t->torn = false;
    if (fseek(f, 0, SEEK_END) != 0)
        return plat_file_error();
    long size = ftell(f);
    if (size < 0)
        return plat_file_error();
    std::string buf;
    for (long window = 4096;; window *= 2) {
        long n = window < size ? window : size;
        buf.resize((size_t)n);
        if (n &&
            (fseek(f, size - n, SEEK_SET) != 0 || fread(&buf[0], 1, (size_t)n, f) != (size_t)n))
            return plat_file_error();
        bool whole = n == size;
        size_t end = buf.size();
        t->torn = end && buf[end - 1] != '\n';
        if (end && !t->torn)
            end--;
        // Lines backwards from the last; the first is chained to.
        bool last = true;
        while (end > 0 || (whole && last && size > 0)) {
            size_t nl = end ? buf.rfind('\n', end - 1) : std::string::npos;
            if (nl == std::string::npos && !whole)
                break;  // the line begins before the window
            size_t start = nl == std::string::npos ? 0 : nl + 1;
            if (last)
                t->prev = journal_line_hash(buf.data() + start, end - start);
            last = false;
            journal_record r;
            if (journal_record_from(buf.data() + start, end - start, &r)) {
                t->seq = r.seq;
                return 0;
            }
            if (nl == std::string::npos)
                break;
            end = nl;
        }
        if (whole || window >= TAIL_MAX) {
            // A last line longer than the window: chained as too long.
            if (last && size > 0)
                t->prev = JOURNAL_ZERO_HASH;
            return 0;
        }
    }
}

// Appends records, their seq and prev filled in, under one lock and one
// commit to disk: JOURNAL_OK, or the cause with none of them appended.
static int append(const journal_writer& w, std::vector<ordered_json>& records, int* error)
{
    int e = 0;
    FILE* f = nullptr;
    int rc = journal_open(w.path, &f, &e);
    if (rc == JOURNAL_OK) {
        journal_tail t;
        e = read_tail(f, &t);
        if (!e) {
            std::string lines = t.torn ? "\n" : "";
            for (ordered_json& j : records) {
                j["seq"] = ++t.seq;
                j["prev"] = t.prev;
                std::string line = j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
                t.prev = journal_line_hash(line.data(), line.size());
                lines += line + "\n";
            }
            fseek(f, 0, SEEK_END);
            long size = ftell(f);
            if (fwrite(lines.data(), 1, lines.size(), f) != lines.size())
                e = plat_file_error();
            int c = plat_file_commit(f);
            if (!e)
                e = c;
            // Whole or not at all: what part of the lines went out is cut.
            if (e)
                plat_file_cut(f, size);
        }
        journal_close(f);
        rc = e ? JOURNAL_SYSTEM : JOURNAL_OK;
    }
    if (error)
        *error = e;
    return rc;
}

static int append(const journal_writer& w, ordered_json& j, int* error)
{
    std::vector<ordered_json> one(1, std::move(j));
    return append(w, one, error);
}

int journal_found(const journal_writer& w, unsigned char address, const device_settings& s,
                  const line_health* h, int* error)
{
    ordered_json j = record_head(w, "found", address);
    ordered_json& settings = j["settings"] = ordered_json::object();
    for (int reg = 0; reg < SETTING_COUNT; reg++)
        settings[setting_name(reg)] = setting_value(s, reg);
    if (h) {
        line_health copy = *h;
        ordered_json& health = j["health"] = ordered_json::object();
        for (int i = 0; i < HEALTH_KEYS; i++) {
            unsigned long* f = health_field(copy, i);
            health[health_keys[i]] = f ? *f : i == HEALTH_COUNTS ? h->median_ms : h->slowest_ms;
        }
    }
    return append(w, j, error);
}

static ordered_json change_record(const journal_writer& w, unsigned char address,
                                  const char* setting, int before, int asked, int after,
                                  const std::string& result)
{
    ordered_json j = record_head(w, "change", address);
    j["setting"] = setting;
    if (before != JOURNAL_NONE)
        j["before"] = before;
    j["asked"] = asked;
    if (after != JOURNAL_NONE)
        j["after"] = after;
    j["result"] = result;
    return j;
}

int journal_change(const journal_writer& w, unsigned char address, const char* setting, int before,
                   int asked, int after, const std::string& result, int* error)
{
    ordered_json j = change_record(w, address, setting, before, asked, after, result);
    return append(w, j, error);
}

std::string journal_unrecorded_text(const char* setting, int before, int asked, int error)
{
    char why[300];
    plat_error_text(error, why, sizeof why);
    // The arrow stays out of the key, which is ASCII for every translator.
    std::string values = (before == JOURNAL_NONE ? "" : printed("%d ", before)) + "\u2192 " +
                         printed("%d", asked);
    return printed(words(W_("%s was written (%s) but the journal could not record it: %s")),
                   setting, values.c_str(), why);
}

int journal_sequence(const journal_writer& w, unsigned char address, const device_settings* before,
                     const device_settings& asked, const device_settings* back, int failed_step,
                     const std::string& cause, int* error, std::string* unrecorded)
{
    int last = failed_step > 0 ? failed_step : failed_step < 0 ? -failed_step - 1 : WRITE_STEPS;
    struct step_record {
        const char* name;
        int was, want;
        ordered_json j;
    };
    std::vector<step_record> steps;
    for (int step = 1; step <= last && step <= WRITE_STEPS; step++) {
        // Step 1 is IR24 (8), never read; steps 2 on the settings in REG_ order.
        int reg = step - 2;
        int was = reg >= 0 && before ? setting_value(*before, reg) : (int)JOURNAL_NONE;
        int want = reg >= 0 ? setting_value(asked, reg) : 8;
        int now = reg >= 0 && back ? setting_value(*back, reg) : (int)JOURNAL_NONE;
        std::string result = JOURNAL_ACKNOWLEDGED;
        if (step == failed_step)
            result = "failed: " + cause;
        else if (now != JOURNAL_NONE) {
            bool same = reg == REG_ER78 ? er78_same_setting((unsigned char)now, (unsigned char)want)
                                        : now == want;
            result = same ? JOURNAL_CONFIRMED : printed("failed: reads back %d", now);
        }
        const char* name = settings_write_name(step);
        steps.push_back({name, was, want, change_record(w, address, name, was, want, now, result)});
    }
    // The whole sequence under one commit; should that fail, one record at
    // a time, to name the first that cannot be kept.
    std::vector<ordered_json> all;
    for (const step_record& st : steps)
        all.push_back(st.j);
    int e = 0;
    if (all.empty() || append(w, all, &e) == JOURNAL_OK)
        return JOURNAL_OK;
    for (step_record& st : steps) {
        int rc = append(w, st.j, &e);
        if (rc) {
            if (error)
                *error = e;
            if (unrecorded)
                *unrecorded = rc == JOURNAL_SYSTEM
                                  ? journal_unrecorded_text(st.name, st.was, st.want, e)
                                  : journal_problem_text(w.path, rc, e);
            return rc;
        }
    }
    return JOURNAL_OK;
}
