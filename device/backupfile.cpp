#include "backupfile.h"

#include <errno.h>
#include <string.h>

#include <set>

#include <nlohmann/json.hpp>

#include "../device/exchange.h"
#include "../platform/platform.h"

using json = nlohmann::ordered_json;

bool parse_address(const std::string& text, unsigned char* out)
{
    const char* p = text.c_str();
    const char* digits = p[0] == '0' && (p[1] == 'x' || p[1] == 'X') ? p + 2 : p;
    if (!*digits || !address_text_ok(p) || address_from_text(p) == 0)
        return false;
    *out = address_from_text(p);
    return true;
}

std::string hex2(unsigned v)
{
    char text[8];
    snprintf(text, sizeof text, "%02X", v & 0xFF);
    return text;
}

static std::string system_text(int code)
{
    char reason[200];
    plat_error_text(code, reason, sizeof reason);
    return reason;
}

static const char* kind_text(int kind)
{
    switch (kind) {
    case PLAT_FILE_FOLDER:
        return "a folder, not a regular file";
    case PLAT_FILE_FIFO:
        return "a FIFO, not a regular file";
    case PLAT_FILE_DEVICE:
        return "a device, not a regular file";
    default:
        return "not a regular file";
    }
}

int read_bounded(FILE* f, std::string& text)
{
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        size_t room = (size_t)BACKUP_SIZE_MAX + 1 - text.size();
        text.append(buf, n < room ? n : room);
        if (text.size() > BACKUP_SIZE_MAX)
            return READ_TOO_LONG;
    }
    return ferror(f) ? READ_FAILED : READ_WHOLE;
}

// The message for a text beyond the bound, at the line where it passes it.
static bool too_long(const std::string& name, const std::string& text, std::string& message)
{
    size_t newlines = 0;
    for (size_t i = 0; i < BACKUP_SIZE_MAX && i < text.size(); i++)
        newlines += text[i] == '\n';
    message = name + ":" + std::to_string(newlines + 1) +
              ": longer than a backup file may be (1 MiB, " + std::to_string(BACKUP_SIZE_MAX) +
              " bytes)";
    return false;
}

bool read_backup_text(const std::string& path, std::string& text, std::string& message)
{
    FILE* f = stdin;
    if (path != "-") {
        int kind = PLAT_FILE_OTHER;
        int rc = plat_file_open_regular(path.c_str(), &f, &kind);
        if (rc == -1) {
            message = path + ": " + kind_text(kind);
            return false;
        }
        if (rc) {
            message = path + ": " + system_text(rc);
            return false;
        }
    }
    int read = read_bounded(f, text);
    if (f != stdin)
        fclose(f);
    if (read == READ_TOO_LONG)
        return too_long(path, text, message);
    if (read == READ_FAILED) {
        message = path + ": cannot be read";
        return false;
    }
    return true;
}

// nlohmann's tree keeps no positions. A SAX pass over the text refuses what
// the format never has before a tree is built; when a check of the tree
// fails, a second pass finds the line of the value it names by its JSON
// pointer. The lexer reads one character ahead of a number's end; the line
// is taken before that character.
namespace {

struct LineCounter {
    const char* at;
    int newlines;  // before `at`
};

struct CountingIter {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;
    const char* p;
    LineCounter* counter;
    reference operator*() const { return *p; }
    CountingIter& operator++()
    {
        if (*p == '\n')
            counter->newlines++;
        counter->at = ++p;
        return *this;
    }
    bool operator==(const CountingIter& o) const { return p == o.p; }
    bool operator!=(const CountingIter& o) const { return p != o.p; }
};

// The format's keys are short; a value under a longer key is one the checks
// never look up, so finding a line costs the same for every value however
// long the file's keys are.
const size_t NOTED_KEY_MAX = 16;

// A text of the file as a message shows it: JSON, cut short.
std::string shown(const json& v)
{
    std::string t = v.dump(-1, ' ', false, json::error_handler_t::replace);
    return t.size() > 40 ? t.substr(0, 36) + "..." + t.substr(t.size() - 1) : t;
}

struct LineMap : nlohmann::json_sax<json> {
    LineCounter counter;
    const char* begin;
    struct Level {
        bool array;
        size_t index;
        std::string key;  // empty while the key is too long to note
        std::set<std::string> keys;  // an object's keys so far
    };
    std::vector<Level> levels;  // at most BACKUP_DEPTH_MAX
    std::string wanted;  // the JSON pointer whose line is looked for
    int wanted_line = 0;
    size_t error_position = 0;
    std::string error;
    std::string refusal;  // what the format never has, and its line

    int line_now() const
    {
        bool ahead = counter.at > begin && counter.at[-1] == '\n';
        return 1 + counter.newlines - (ahead ? 1 : 0);
    }
    bool refuse(const std::string& what)
    {
        refusal = std::to_string(line_now()) + ": " + what;
        return false;
    }
    void note()
    {
        if (wanted.empty() || wanted_line)
            return;
        std::string p;
        for (const Level& l : levels) {
            if (!l.array && l.key.empty())
                return;
            p += "/" + (l.array ? std::to_string(l.index) : l.key);
        }
        if (p == wanted)
            wanted_line = line_now();
    }
    bool value()
    {
        note();
        if (!levels.empty() && levels.back().array)
            levels.back().index++;
        return true;
    }
    bool open(bool array)
    {
        if (levels.size() >= BACKUP_DEPTH_MAX)
            return refuse("nested deeper than a backup file is (" +
                          std::to_string(BACKUP_DEPTH_MAX) + " levels)");
        note();
        levels.push_back({array, 0, "", {}});
        return true;
    }
    bool close()
    {
        levels.pop_back();
        if (!levels.empty() && levels.back().array)
            levels.back().index++;
        return true;
    }
    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override { return open(false); }
    bool key(string_t& k) override
    {
        Level& l = levels.back();
        if (!l.keys.insert(k).second)
            return refuse(shown(k) + " given twice in one object");
        l.key = k.size() <= NOTED_KEY_MAX ? k : "";
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(true); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& ex) override
    {
        error_position = position;
        // "[json.exception.parse_error.101] parse error at line 3, column 5: what"
        error = ex.what();
        if (error[0] == '[' && error.find("] ") != std::string::npos)
            error = error.substr(error.find("] ") + 2);
        size_t colon = error.find(": ");
        if (error.rfind("parse error", 0) == 0 && colon != std::string::npos)
            error = error.substr(colon + 2);
        return false;
    }
};

bool scan(const std::string& text, LineMap& map)
{
    map.begin = text.c_str();
    map.counter = {map.begin, 0};
    const char* end = text.c_str() + text.size();
    return json::sax_parse(CountingIter{map.begin, &map.counter}, CountingIter{end, &map.counter},
                           &map);
}

}  // namespace

bool parse_backup(const std::string& name, const std::string& text,
                  std::vector<backup_entry>& entries, std::string& message)
{
    if (text.size() > BACKUP_SIZE_MAX)
        return too_long(name, text, message);
    auto at = [&](int line, const std::string& what) {
        message = name + ":" + std::to_string(line) + ": " + what;
        return false;
    };
    LineMap map;
    if (!scan(text, map)) {
        if (!map.refusal.empty()) {
            message = name + ":" + map.refusal;
            return false;
        }
        size_t p = map.error_position ? map.error_position - 1 : 0;
        if (p > text.size())
            p = text.size();
        int line = 1;
        for (size_t i = 0; i < p; i++)
            line += text[i] == '\n';
        return at(line, "not valid JSON: " + map.error);
    }
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded())
        return at(1, "not valid JSON");
    auto line_of = [&](const std::string& pointer) {
        LineMap again;
        again.wanted = pointer;
        scan(text, again);
        return again.wanted_line ? again.wanted_line : 1;
    };
    if (!doc.is_object())
        return at(1, "not a kp6ctl backup (no JSON object)");
    auto version = doc.find("version");
    if (version == doc.end())
        return at(1, "not a kp6ctl backup (no \"version\")");
    if (!version->is_number_unsigned() || version->get<uint64_t>() != BACKUP_VERSION)
        return at(line_of("/version"), "unknown version " + shown(*version) +
                                           " (this kp6ctl reads version " +
                                           std::to_string(BACKUP_VERSION) + ")");
    auto list = doc.find("controllers");
    if (list == doc.end() || !list->is_array() || list->empty())
        return at(line_of("/controllers"), "\"controllers\" must be a list of controllers");
    for (size_t i = 0; i < list->size(); i++) {
        const json& c = (*list)[i];
        std::string here = "/controllers/" + std::to_string(i);
        if (!c.is_object())
            return at(line_of(here), "a controller must be an object");
        backup_entry e = {};
        auto address = c.find("address");
        if (address == c.end())
            return at(line_of(here), "a controller without \"address\"");
        if (!address->is_string() || !parse_address(address->get<std::string>(), &e.address))
            return at(line_of(here + "/address"),
                      "address " + shown(*address) + " is not 01 to FF in hexadecimal");
        auto regs = c.find("registers");
        if (regs == c.end() || !regs->is_object())
            return at(line_of(here), "controller " + hex2(e.address) + " has no \"registers\"");
        for (int reg = 0; reg < SETTING_COUNT; reg++) {
            auto v = regs->find(setting_name(reg));
            if (v == regs->end())
                return at(line_of(here + "/registers"), "controller " + hex2(e.address) +
                                                            " has no " + setting_name(reg));
            if (!v->is_number_unsigned() || v->get<uint64_t>() > 255)
                return at(line_of(here + "/registers/" + setting_name(reg)),
                          std::string(setting_name(reg)) + " is " + shown(*v) +
                              ", not a whole number from 0 to 255");
            setting_value(e.settings, reg) = (unsigned char)v->get<uint64_t>();
            if (reg == REG_ER78 && er78_meter(e.settings.er78) == METER_UNKNOWN)
                return at(line_of(here + "/registers/ER78"),
                          "ER78 is " + shown(*v) + ": type code " +
                              std::to_string(e.settings.er78 & 0x0F) +
                              " is none of milliliter (0), liter (2), hand (10)");
        }
        entries.push_back(e);
    }
    return true;
}

bool load_backup(const std::string& path, std::vector<backup_entry>& entries,
                 std::string& message)
{
    std::string text;
    return read_backup_text(path, text, message) && parse_backup(path, text, entries, message);
}

bool backup_target_ok(const std::string& path, std::string& message)
{
    int kind = PLAT_FILE_REGULAR;
    // A path that cannot be looked at is left to the write to report.
    if (path == "-" || plat_file_kind(path.c_str(), &kind) != 0 || kind == PLAT_FILE_REGULAR)
        return true;
    message = "cannot write " + path + ": " + kind_text(kind);
    return false;
}

bool save_text(const std::string& path, const std::string& text, std::string& message)
{
    if (path == "-") {
        if (fputs(text.c_str(), stdout) >= 0 && fflush(stdout) == 0)
            return true;
        message = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    if (!backup_target_ok(path, message))
        return false;
    std::string tmp = path + ".tmp";
    plat_remove(tmp.c_str());  // a leftover, or a link planted there
    FILE* f = plat_fopen(tmp.c_str(), "wb");
    if (!f) {
        message = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    std::string why;
    if (fwrite(text.data(), 1, text.size(), f) != text.size())
        why = strerror(errno);
    int rc = why.empty() ? plat_file_commit(f) : 0;
    if (rc)
        why = system_text(rc);
    if (fclose(f) != 0 && why.empty())
        why = strerror(errno);
    if (why.empty() && (rc = plat_file_replace(tmp.c_str(), path.c_str())) != 0)
        why = system_text(rc);
    if (why.empty())
        return true;
    plat_remove(tmp.c_str());
    message = "cannot write " + path + ": " + why;
    return false;
}

std::string backup_text(const std::vector<backup_entry>& entries, const std::string& port,
                        std::string (*meaning)(int reg, unsigned value))
{
    json list = json::array();
    for (backup_entry e : entries) {
        json c = json::object(), regs = json::object(), means = json::object();
        c["address"] = hex2(e.address);
        for (int reg = 0; reg < SETTING_COUNT; reg++) {
            regs[setting_name(reg)] = setting_value(e.settings, reg);
            if (meaning)
                means[setting_name(reg)] = meaning(reg, setting_value(e.settings, reg));
        }
        c["registers"] = regs;
        if (meaning)
            c["meaning"] = means;
        list.push_back(c);
    }
    plat_datetime t;
    plat_utc_time(&t);
    char when[32];
    snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour,
             t.minute, t.second);
    json doc = json::object();
    doc["format"] = BACKUP_FORMAT;
    doc["version"] = BACKUP_VERSION;
    doc["time"] = when;
    doc["port"] = port;
    doc["controllers"] = list;
    // A port name need not be UTF-8; dump() would refuse it.
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
