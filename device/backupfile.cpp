#include "backupfile.h"

#include <ctype.h>
#include <stdarg.h>

#include <errno.h>
#include <string.h>

#include <set>

#include <nlohmann/json.hpp>

#include "../device/exchange.h"
#include "../i18n/words.h"
#include "../platform/platform.h"
#include "text.h"

using json = nlohmann::ordered_json;

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

// Line ends as editors count them: LF, CR LF, or a CR alone.
static size_t line_ends(const char* p, size_t n)
{
    size_t ends = 0;
    for (size_t i = 0; i < n; i++)
        ends += p[i] == '\r' || (p[i] == '\n' && (i == 0 || p[i - 1] != '\r'));
    return ends;
}

// The message for a text beyond the bound, at the line where it passes it.
static bool too_long(const std::string& name, const std::string& text, std::string& message)
{
    size_t n = text.size() < BACKUP_SIZE_MAX ? text.size() : (size_t)BACKUP_SIZE_MAX;
    message = name + ":" + std::to_string(line_ends(text.c_str(), n) + 1) + ": " +
              said(W_("longer than a backup file may be (1 MiB, %d bytes)"), (int)BACKUP_SIZE_MAX);
    return false;
}

bool read_backup_text(const std::string& path, std::string& text, std::string& message)
{
    FILE* f = stdin;
    if (path != "-") {
        int kind = PLAT_FILE_OTHER;
        int rc = plat_file_open_regular(path.c_str(), &f, &kind);
        if (rc == -1) {
            message = path + ": " + file_kind_text(kind);
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
        message = path + ": " + said(W_("cannot be read"));
        return false;
    }
    return true;
}

// One pass of the JSON library's SAX parser reads the file; no tree is
// built (the ordered map of a tree searches its keys one by one, so an
// object of many keys took minutes). The pass notes the values at the
// format's own places with their lines, checks each controller as it
// closes and keeps the first fault; what the format never has (a key given
// twice, nesting too deep) and bad JSON end the pass at once. Time and
// memory grow with the file's length alone. The lexer reads one character
// ahead of a number's end; a value's line is taken before that character.
namespace {

struct LineCounter {
    const char* begin;
    const char* at;
    int ends;           // line ends before `at`
    bool last_was_end;  // the character before `at` ended a line
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
        bool end = *p == '\r' || (*p == '\n' && !(p > counter->begin && p[-1] == '\r'));
        counter->ends += end;
        counter->last_was_end = end;
        counter->at = ++p;
        return *this;
    }
    bool operator==(const CountingIter& o) const { return p == o.p; }
    bool operator!=(const CountingIter& o) const { return p != o.p; }
};

// A string of the file as a message shows it: JSON, cut short.
std::string shown(const std::string& s)
{
    std::string t = json(s).dump(-1, ' ', false, json::error_handler_t::replace);
    return cut_token(t);
}

// Bytes that are no UTF-8 (a file in UTF-16, Latin-1) as \xFF, so that a
// message is always text.
static std::string valid_utf8(const std::string& t)
{
    std::string out;
    for (size_t i = 0; i < t.size();) {
        unsigned char c = (unsigned char)t[i];
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n > 0 && i + n <= t.size() && (n < 2 || c >= 0xC2) && c <= 0xF4;
        for (size_t k = 1; ok && k < n; k++)
            ok = ((unsigned char)t[i + k] & 0xC0) == 0x80;
        // No surrogates (ED A0..BF), no overlong three- and four-byte forms,
        // nothing past U+10FFFF.
        if (ok && n == 3)
            ok = !(c == 0xE0 && (unsigned char)t[i + 1] < 0xA0) &&
                 !(c == 0xED && (unsigned char)t[i + 1] >= 0xA0);
        if (ok && n == 4)
            ok = !(c == 0xF0 && (unsigned char)t[i + 1] < 0x90) &&
                 !(c == 0xF4 && (unsigned char)t[i + 1] >= 0x90);
        if (ok) {
            out.append(t, i, n);
            i += n;
            continue;
        }
        char esc[8];
        snprintf(esc, sizeof esc, "\\x%02X", c);
        out += esc;
        i++;
    }
    return out;
}

// The JSON library's phrases, longest first, so that the window can say
// them in its language; what the library quotes ('...') stays as it is.
static const char* const json_phrases[] = {
    W_("syntax error while parsing"),
    W_("number overflow parsing"),
    W_("object separator"),
    W_("unexpected end of input"),
    W_("string literal"),
    W_("number literal"),
    W_("invalid literal"),
    W_("invalid number"),
    W_("invalid string"),
    W_("end of input"),
    W_("object key"),
    W_("last read"),
    W_("unexpected"),
    W_("expected"),
    W_("object"),
    W_("array"),
    W_("value"),
};

static std::string json_words(const std::string& e)
{
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < e.size();) {
        if (e[i] == '\'') {
            quoted = !quoted;
            out += e[i++];
            continue;
        }
        size_t n = 0;
        const char* phrase = nullptr;
        for (const char* p : json_phrases)
            if (!quoted && e.compare(i, (n = strlen(p)), p) == 0 &&
                (i == 0 || !isalpha((unsigned char)e[i - 1]))) {
                phrase = p;
                break;
            }
        if (phrase) {
            out += words(phrase);
            i += n;
        } else {
            out += e[i++];
        }
    }
    return out;
}

// The library's words for bad JSON, with the token it quotes cut short.
std::string json_error(std::string e)
{
    // "[json.exception.parse_error.101] parse error at line 3, column 5: what"
    if (e[0] == '[' && e.find("] ") != std::string::npos)
        e = e.substr(e.find("] ") + 2);
    size_t colon = e.find(": ");
    if (e.rfind("parse error", 0) == 0 && colon != std::string::npos)
        e = e.substr(colon + 2);
    for (const char* opener : {"last read: '", "parsing '"}) {
        size_t from = e.find(opener);
        if (from == std::string::npos)
            continue;
        from += strlen(opener);
        size_t to = e.rfind("'; expected ");
        if (to == std::string::npos || to < from)
            to = e.rfind('\'');
        if (to != std::string::npos && to >= from)
            e.replace(from, to - from, cut_token(e.substr(from, to - from)));
        break;
    }
    return valid_utf8(e);
}

// The places of the format: the file, its version, its list of
// controllers, a controller, its address and registers, and each register.
enum {
    AT_NONE,
    AT_FILE,
    AT_VERSION,
    AT_LIST,
    AT_CONTROLLER,
    AT_ADDRESS,
    AT_REGISTERS,
    AT_REGISTER  // + REG_*
};

enum { KIND_NONE, KIND_UNSIGNED, KIND_NUMBER, KIND_STRING, KIND_OBJECT, KIND_ARRAY, KIND_OTHER };

// A value at one of those places, as the checks need it.
struct Seen {
    int kind = KIND_NONE;         // KIND_NONE: not in the file
    uint64_t number = 0;          // KIND_UNSIGNED's value
    bool byte_otherwise = false;  // a number that reads as 0 to 255, written otherwise (-0, 1.0)
    std::string text;             // as a message shows it
    std::string address;          // a short string's value
    int line = 1;
};

struct Controller {
    Seen self, address, registers, regs[SETTING_COUNT];
};

struct Reader : nlohmann::json_sax<json> {
    LineCounter counter;
    struct Level {
        bool array;
        int place;                   // the container's own place
        int field;                   // an object's: the place of the value under its last key
        std::set<std::string> keys;  // an object's keys so far
    };
    std::vector<Level> levels;  // at most BACKUP_DEPTH_MAX
    Seen file, version, list;
    size_t controllers = 0;
    Controller now;
    std::vector<backup_entry> entries;
    int first_line[256] = {};  // where each address was first named
    std::string first_text[256];
    int fault_line = 0;  // the first controller's fault
    std::string fault;
    size_t error_position = 0;
    std::string error;    // bad JSON
    std::string refusal;  // what the format never has, and its line

    int line_now() const
    {
        bool ahead = counter.at > counter.begin && counter.last_was_end;
        return 1 + counter.ends - (ahead ? 1 : 0);
    }
    bool refuse(const std::string& what)
    {
        refusal = std::to_string(line_now()) + ": " + what;
        return false;
    }
    // Where a value that begins now stands.
    int place() const
    {
        if (levels.empty())
            return AT_FILE;
        const Level& l = levels.back();
        if (l.array)
            return l.place == AT_LIST ? AT_CONTROLLER : AT_NONE;
        return l.field;
    }
    void fail(int line, const std::string& what)
    {
        if (!fault_line) {
            fault_line = line;
            fault = what;
        }
    }
    void check_controller()
    {
        Controller& c = now;
        if (fault_line)
            return;
        if (c.self.kind != KIND_OBJECT)
            return fail(c.self.line, said(W_("a controller must be an object")));
        backup_entry e = {};
        if (c.address.kind == KIND_NONE)
            return fail(c.self.line, said(W_("a controller without \"address\"")));
        if (c.address.kind != KIND_STRING || !parse_address(c.address.address, &e.address))
            return fail(c.address.line, said(W_("address %s is not 01 to FF in hexadecimal"),
                                             c.address.text.c_str()));
        std::string name = hex2(e.address);
        if (c.registers.kind != KIND_OBJECT)
            return fail(c.self.line, said(W_("controller %s has no \"registers\""), name.c_str()));
        for (int reg = 0; reg < SETTING_COUNT; reg++) {
            const Seen& v = c.regs[reg];
            const char *reg_name = setting_name(reg), *text = v.text.c_str();
            if (v.kind == KIND_NONE)
                return fail(c.registers.line,
                            said(W_("controller %s has no %s"), name.c_str(), reg_name));
            if (v.byte_otherwise)
                return fail(v.line,
                            said(W_("%s is %s: write 0 to 255 in digits alone"), reg_name, text));
            if (v.kind != KIND_UNSIGNED || v.number > 255)
                return fail(v.line,
                            said(W_("%s is %s, not a whole number from 0 to 255"), reg_name, text));
            setting_value(e.settings, reg) = (unsigned char)v.number;
            if (reg == REG_ER78 && er78_meter(e.settings.er78) == METER_UNKNOWN)
                return fail(v.line, said(W_("%s is %s: type code %d is none of milliliter (0), "
                                            "liter (2), hand (10)"),
                                         reg_name, text, (int)(v.number & 0x0F)));
        }
        // One entry per controller: "01", "0x1" and "1" are one.
        if (first_line[e.address])
            return fail(c.address.line,
                        said(W_("controller %s twice: address %s here, %s at line %d"),
                             name.c_str(), c.address.text.c_str(), first_text[e.address].c_str(),
                             first_line[e.address]));
        first_line[e.address] = c.address.line;
        first_text[e.address] = c.address.text;
        entries.push_back(e);
    }
    bool value(Seen v)
    {
        int at = place();
        v.line = line_now();
        if (at >= AT_REGISTER)
            now.regs[at - AT_REGISTER] = v;
        else if (at == AT_FILE)
            file = v;
        else if (at == AT_VERSION)
            version = v;
        else if (at == AT_LIST)
            list = v;
        else if (at == AT_ADDRESS)
            now.address = v;
        else if (at == AT_REGISTERS)
            now.registers = v;
        else if (at == AT_CONTROLLER) {
            now = Controller();
            now.self = v;
            controllers++;
            if (v.kind != KIND_OBJECT && v.kind != KIND_ARRAY)
                check_controller();
        }
        return true;
    }
    Seen of(int kind, const std::string& text)
    {
        Seen v;
        v.kind = kind;
        v.text = text;
        return v;
    }
    bool open(bool array)
    {
        if (levels.size() >= BACKUP_DEPTH_MAX)
            return refuse(said(W_("nested deeper than a backup file is (%d levels)"),
                               (int)BACKUP_DEPTH_MAX));
        int at = place();
        value(of(array ? KIND_ARRAY : KIND_OBJECT, array ? "[...]" : "{...}"));
        int own = AT_NONE;
        if (!array && (at == AT_FILE || at == AT_CONTROLLER || at == AT_REGISTERS))
            own = at;
        else if (array && (at == AT_LIST || at == AT_CONTROLLER))
            own = at;  // a controller that is a list closes as one
        levels.push_back({array, own, AT_NONE, {}});
        return true;
    }
    bool close()
    {
        bool controller = levels.back().place == AT_CONTROLLER;
        levels.pop_back();
        if (controller)
            check_controller();
        return true;
    }
    bool null() override { return value(of(KIND_OTHER, "null")); }
    bool boolean(bool b) override { return value(of(KIND_OTHER, b ? "true" : "false")); }
    bool number_integer(number_integer_t n) override
    {
        // Only a token with a sign comes here: 0 is "-0".
        Seen v = of(KIND_NUMBER, n == 0 ? "-0" : std::to_string(n));
        v.byte_otherwise = n == 0;
        return value(v);
    }
    bool number_unsigned(number_unsigned_t n) override
    {
        Seen v = of(KIND_UNSIGNED, std::to_string(n));
        v.number = n;
        return value(v);
    }
    bool number_float(number_float_t f, const string_t& token) override
    {
        Seen v = of(KIND_NUMBER, cut_token(token));
        v.byte_otherwise = f >= 0 && f <= 255 && f == (double)(int)f;
        return value(v);
    }
    bool string(string_t& s) override
    {
        Seen v = of(KIND_STRING, place() == AT_NONE ? "" : shown(s));
        if (s.size() <= ADDRESS_TEXT_MAX)
            v.address = s;
        return value(v);
    }
    bool binary(binary_t&) override { return value(of(KIND_OTHER, "")); }
    bool start_object(std::size_t) override { return open(false); }
    bool key(string_t& k) override
    {
        Level& l = levels.back();
        if (!l.keys.insert(k).second)
            return refuse(said(W_("%s given twice in one object"), shown(k).c_str()));
        l.field = AT_NONE;
        if (l.place == AT_FILE && k == "version")
            l.field = AT_VERSION;
        else if (l.place == AT_FILE && k == "controllers")
            l.field = AT_LIST;
        else if (l.place == AT_CONTROLLER && k == "address")
            l.field = AT_ADDRESS;
        else if (l.place == AT_CONTROLLER && k == "registers")
            l.field = AT_REGISTERS;
        for (int reg = 0; reg < SETTING_COUNT && l.place == AT_REGISTERS; reg++)
            if (k == setting_name(reg))
                l.field = AT_REGISTER + reg;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(true); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& ex) override
    {
        error_position = position;
        error = json_error(ex.what());
        return false;
    }
};

}  // namespace

std::string cut_token(const std::string& text)
{
    if (text.size() <= TOKEN_SHOWN_MAX)
        return text;
    // The last character whole (a string's closing quote), and no
    // character cut in two.
    size_t last = text.size() - 1;
    while (last + 4 > text.size() && ((unsigned char)text[last] & 0xC0) == 0x80)
        last--;
    size_t head = TOKEN_SHOWN_MAX - 3 - (text.size() - last);
    for (int i = 0; i < 3 && ((unsigned char)text[head] & 0xC0) == 0x80; i++)
        head--;
    return text.substr(0, head) + "..." + text.substr(last);
}

bool parse_backup(const std::string& name, const std::string& text,
                  std::vector<backup_entry>& entries, std::string& message)
{
    if (text.size() > BACKUP_SIZE_MAX)
        return too_long(name, text, message);
    auto at = [&](int line, const std::string& what) {
        message = name + ":" + std::to_string(line) + ": " + what;
        return false;
    };
    Reader r;
    r.counter = {text.c_str(), text.c_str(), 0, false};
    const char* end = text.c_str() + text.size();
    if (!json::sax_parse(CountingIter{text.c_str(), &r.counter}, CountingIter{end, &r.counter},
                         &r)) {
        if (!r.refusal.empty()) {
            message = name + ":" + r.refusal;
            return false;
        }
        size_t p = r.error_position ? r.error_position - 1 : 0;
        return at((int)line_ends(text.c_str(), p < text.size() ? p : text.size()) + 1,
                  said(W_("not valid JSON: %s"), json_words(r.error).c_str()));
    }
    if (r.file.kind != KIND_OBJECT)
        return at(1, said(W_("not a kp6ctl backup (no JSON object)")));
    if (r.version.kind == KIND_NONE)
        return at(1, said(W_("not a kp6ctl backup (no \"version\")")));
    if (r.version.kind != KIND_UNSIGNED || r.version.number != BACKUP_VERSION)
        return at(r.version.line, said(W_("unknown version %s (this kp6ctl reads version %d)"),
                                       r.version.text.c_str(), (int)BACKUP_VERSION));
    if (r.list.kind != KIND_ARRAY || r.controllers == 0)
        return at(r.list.line, said(W_("\"controllers\" must be a list of controllers")));
    if (r.fault_line)
        return at(r.fault_line, r.fault);
    entries.insert(entries.end(), r.entries.begin(), r.entries.end());
    return true;
}

bool load_backup(const std::string& path, std::vector<backup_entry>& entries, std::string& message)
{
    std::string text;
    return read_backup_text(path, text, message) && parse_backup(path, text, entries, message);
}

const backup_entry* backup_entry_for(const std::vector<backup_entry>& entries, int address)
{
    if (entries.size() == 1)
        return &entries[0];
    for (const backup_entry& e : entries)
        if (e.address == address)
            return &e;
    return nullptr;
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
