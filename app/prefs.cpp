#include "prefs.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../device/backupfile.h"
#include "../platform/platform.h"
#include "../port/plainw.h"

int pref_line_count;
char pref_lines[NET_LINES_MAX][COM_NAME_SIZE];
char pref_folder[PREF_FOLDER_SIZE];
char pref_site[PREF_SITE_SIZE];
static char file_site[PREF_SITE_SIZE];
char pref_port[COM_NAME_SIZE];
char pref_address[ADDRESS_TEXT_MAX + 1];
int pref_retries = PREF_RETRIES_DEFAULT;
void (*prefs_kept_aside)(const char* path);

static const char VENDOR[] = "kp6", APPLICATION[] = "kp6";

// A file of ours is a few kilobytes at most; a bigger one is no longer ours.
enum { PREFS_SIZE_MAX = 64 * 1024, PREFS_LINE_MAX = 1000, PREFS_GROUP_MAX = 64 };

// What the file said when this window last read or wrote it, and the lines
// added and removed here since: what a save merges into the file as it is
// then.
static char file_port[COM_NAME_SIZE], file_address[ADDRESS_TEXT_MAX + 1];
static char file_folder[PREF_FOLDER_SIZE];
static char file_retries[4];                    // as text, "" when none
static char retries_text[sizeof file_retries];  // pref_retries as a save writes it
static std::vector<std::string> added_here, removed_here;
// The converters per port ("PORT" and "NAME"), and those chosen here since.
typedef std::vector<std::pair<std::string, std::string>> converter_list;
static converter_list converters, converters_here;
enum { CONVERTERS_MAX = 64 };
// The ports recorded in port.out, and those switched here since (1 on).
static std::vector<std::string> recorded;
static std::vector<std::pair<std::string, int>> recorded_here;

int prefs_path(char* out, unsigned size)
{
    char dir[1000];
    if (plat_user_prefs_dir(dir, sizeof dir) != 0)
        return 1;
    int n = snprintf(out, size, "%s/%s/%s.prefs", dir, VENDOR, APPLICATION);
    return n < 0 || (unsigned)n >= size;
}

// ---- the file ------------------------------------------------------------------

// One entry as the file holds it: its group ("." or "./NAME"), name, and
// value with the toolkit's escapes.
struct pref_entry {
    std::string group, name, value;
};

// PREFS_MISSING: none there, one may be written; PREFS_UNREADABLE: there,
// but not ours to read, nor to write over; PREFS_NOT_FILE: a folder, FIFO
// or device stands there; PREFS_DAMAGED: binary or too big, kept aside.
enum { PREFS_SOUND, PREFS_MISSING, PREFS_UNREADABLE, PREFS_NOT_FILE, PREFS_DAMAGED };

// A group header the window takes: "[.]" or "[./NAME]" with a short plain
// name (the toolkit's reader falls over some others).
static int group_sound(const char* line, size_t len)
{
    size_t end = 1;
    while (end < len && line[end] != ']')
        end++;
    const char* g = line + 1;
    size_t n = end - 1;
    if (n == 1 && g[0] == '.')
        return 1;
    if (end == len || n < 3 || n > 2 + PREFS_GROUP_MAX || g[0] != '.' || g[1] != '/')
        return 0;
    for (size_t i = 2; i < n; i++) {
        char c = g[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.' || c == ' '))
            return 0;
    }
    return 1;
}

// The last entry of `group` named `name` (a later one stands for an
// earlier, as the toolkit reads them), or -1.
static int find_entry(const std::vector<pref_entry>& entries, const char* group, const char* name)
{
    for (size_t i = entries.size(); i-- > 0;)
        if (entries[i].group == group && entries[i].name == name)
            return (int)i;
    return -1;
}

// The file as it was last read, line for line and by group, so that a save
// writes back whatever the window does not read exactly as it stood: other
// groups, entries, comments, long lines. Each line keeps its line break;
// the entry lines of the root group keep the entry's name, so that the
// window's own can be told.
struct pref_line {
    std::string text, name;
};
struct pref_section {
    std::string group;  // "." or "./NAME"; empty for an odd group
    bool headed;        // begins with its "[...]" line (not: the lines before any)
    std::vector<pref_line> lines;
};
static std::vector<pref_section> file_sections;
// Whether the last read found a file whose entries it took.
static bool file_read;

// The entries of the text, read as the toolkit reads it (three heading
// lines, groups, "name:value", "+" going on with the value before), except
// that a line over PREFS_LINE_MAX or an odd group drops only its entries.
// Each line is looked at once, and file_sections keeps them all.
static void parse(const char* text, size_t n, std::vector<pref_entry>& entries)
{
    file_sections.assign(1, pref_section{".", false, {}});
    std::string group = ".";
    bool group_ok = true;
    int building = -1;  // the entry a "+" line goes on with
    std::string building_name;
    for (size_t at = 0, number = 0; at < n; number++) {
        const char* line = text + at;
        const char* nl = (const char*)memchr(line, '\n', n - at);
        size_t len = nl ? (size_t)(nl - line) : n - at;
        at += len + 1;
        const char* cr = (const char*)memchr(line, '\r', len);
        size_t l = cr ? (size_t)(cr - line) : len;
        if (number < 3)
            continue;
        pref_line raw{std::string(line, len) + "\n", ""};
        if (l > 0 && line[0] == '+') {
            if (building >= 0)
                entries[building].value.append(line + 1, l - 1);
            if (building >= 0 &&
                (len > PREFS_LINE_MAX || entries[building].value.size() > PREFS_LINE_MAX)) {
                entries.erase(entries.begin() + building);
                building = -1;
            }
            raw.name = building_name;
            file_sections.back().lines.push_back(raw);
            continue;
        }
        building = -1;
        building_name.clear();
        if (l > 0 && line[0] == '[') {
            group_ok = len <= PREFS_LINE_MAX && group_sound(line, l);
            if (group_ok)
                group.assign(line + 1, strcspn(line + 1, "]"));
            file_sections.push_back({group_ok ? group : "", true, {raw}});
            continue;
        }
        if (l == 0 || line[0] == ';' || line[0] == '#' || !group_ok || len > PREFS_LINE_MAX) {
            file_sections.back().lines.push_back(raw);
            continue;
        }
        const char* colon = (const char*)memchr(line, ':', l);
        std::string name(line, colon ? (size_t)(colon - line) : l);
        std::string value = colon ? std::string(colon + 1, l - (size_t)(colon + 1 - line)) : "";
        entries.push_back({group, name, value});
        building = (int)entries.size() - 1;
        building_name = name;
        raw.name = name;
        file_sections.back().lines.push_back(raw);
    }
}

static int read_prefs(const char* path, std::vector<pref_entry>& entries)
{
    entries.clear();
    file_sections.clear();
    file_read = false;
    FILE* f;
    int kind;
    int rc = plat_file_open_regular(path, &f, &kind);
    if (rc == -1)
        return PREFS_NOT_FILE;
    if (rc != 0)
        return plat_file_kind(path, &kind) == 0 ? PREFS_UNREADABLE : PREFS_MISSING;
    static char text[PREFS_SIZE_MAX + 1];
    size_t n = fread(text, 1, sizeof text, f);
    int failed = ferror(f);
    fclose(f);
    if (failed)
        return PREFS_UNREADABLE;
    if (n > PREFS_SIZE_MAX || memchr(text, 0, n))
        return PREFS_DAMAGED;
    parse(text, n, entries);
    file_read = true;
    return PREFS_SOUND;
}

// The toolkit's escapes: "\\", "\n", "\r" and "\ooo" for other controls.
static std::string decoded(const std::string& v)
{
    std::string out;
    for (size_t i = 0; i < v.size(); i++) {
        char c = v[i];
        if (c != '\\' || i + 1 >= v.size()) {
            out += c;
            continue;
        }
        char e = v[++i];
        if (e >= '0' && e <= '9' && i + 2 < v.size()) {
            out += (char)(((e - '0') << 6) + ((v[i + 1] - '0') << 3) + (v[i + 2] - '0'));
            i += 2;
        } else if (e == 'n' || e == 'r' || e == '\\') {
            out += e == 'n' ? '\n' : e == 'r' ? '\r' : '\\';
        }
    }
    return out;
}

static std::string encoded(const char* s)
{
    std::string out;
    for (; *s; s++) {
        unsigned char c = (unsigned char)*s;
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 32 || c == 0x7F)
            out += std::string("\\") + (char)('0' + (c >> 6)) + (char)('0' + ((c >> 3) & 7)) +
                   (char)('0' + (c & 7));
        else
            out += (char)c;
    }
    return out;
}

static int retries_ok(const char* text);

// The root group's entries the window writes itself, in the file's order:
// each one's name, this window's value and the file's, its room, and what
// a value must pass to be taken (null: any). The others of the file stay
// as they are.
static const struct own_entry {
    const char* name;
    char *ours, *was;
    size_t size;
    int (*ok)(const char*);
} OWN_VALUES[] = {
    {"address", pref_address, file_address, sizeof pref_address, address_text_ok},
    {"port", pref_port, file_port, sizeof pref_port, nullptr},
    {"folder", pref_folder, file_folder, sizeof pref_folder, nullptr},
    {"site", pref_site, file_site, sizeof pref_site, nullptr},
    {"retries", retries_text, file_retries, sizeof retries_text, retries_ok},
};
static const char LINES[] = "./lines", CONVERTERS[] = "./converters", RECORDED[] = "./recorded";

static int own_value(const std::string& name)
{
    for (const own_entry& own : OWN_VALUES)
        if (name == own.name)
            return 1;
    return 0;
}

// An entry as the toolkit writes it: the value's first 60 characters on its
// line, the rest 80 to a "+" line.
static std::string entry_text(const pref_entry& e)
{
    std::string text = e.name + ":" + e.value.substr(0, 60) + "\n";
    for (size_t at = 60; at < e.value.size(); at += 80)
        text += "+" + e.value.substr(at, 80) + "\n";
    return text;
}

static std::string group_text(const std::vector<pref_entry>& entries, const char* group)
{
    std::string text;
    for (const pref_entry& e : entries)
        if (e.group == group)
            text += entry_text(e);
    return text.empty() ? text : "\n[" + std::string(group) + "]\n\n" + text;
}

// The file as last read with this window's values in place: the heading,
// each group as it stood (the root group's own values put back after its
// last entry, the lines, converters and recorded ports left out), then
// those of `entries`.
static std::string file_text(const std::vector<pref_entry>& entries)
{
    std::string text = std::string("; FLTK preferences file format 1.0\n; vendor: ") + VENDOR +
                       "\n; application: " + APPLICATION + "\n";
    std::string own;
    for (const own_entry& v : OWN_VALUES) {
        int i = find_entry(entries, ".", v.name);
        if (i >= 0)
            own += entry_text(entries[(size_t)i]);
    }
    std::string body;
    bool own_written = false;
    for (const pref_section& s : file_sections) {
        if (s.group == LINES || s.group == CONVERTERS || s.group == RECORDED)
            continue;
        bool root = s.group == ".";
        size_t end = s.lines.size();  // own values go before the blank lines at the end
        while (root && end > 0 &&
               s.lines[end - 1].text.find_first_not_of("\r\n") == std::string::npos)
            end--;
        for (size_t i = 0; i < s.lines.size(); i++) {
            if (i == end && root && s.headed && !own_written) {
                body += own;
                own_written = true;
            }
            if (!(root && own_value(s.lines[i].name)))
                body += s.lines[i].text;
        }
        if (root && s.headed && !own_written) {
            body += own;
            own_written = true;
        }
    }
    if (!own_written)
        body = "\n[.]\n\n" + own + body;
    // The blank lines read at the end belong before the groups written
    // below, which bring their own: kept, one more would come at each save.
    size_t last = body.find_last_not_of("\r\n");
    size_t line_end = last == std::string::npos ? last : body.find('\n', last);
    if (line_end != std::string::npos)
        body.erase(line_end + 1);
    return text + body + group_text(entries, LINES) + group_text(entries, CONVERTERS) +
           group_text(entries, RECORDED);
}

// The file put aside beside itself, named with the day: "kp6.prefs.damaged-
// 2026-12-09" (then "-2", "-3" ... on the same day). 0, or non-zero when it
// stays where it is (and must then not be written over).
static int keep_aside(const char* path)
{
    plat_datetime t;
    plat_local_time(&t);
    char aside[1200];
    for (int n = 1; n < 100; n++) {
        int len = snprintf(aside, sizeof aside, "%s.damaged-%04d-%02d-%02d", path, t.year, t.month,
                           t.day);
        if (n > 1)
            snprintf(aside + len, sizeof aside - (size_t)len, "-%d", n);
        int kind;
        if (plat_file_kind(aside, &kind) == 0)
            continue;
        if (plat_file_replace(path, aside) != 0)
            return 1;
        if (prefs_kept_aside)
            prefs_kept_aside(aside);
        return 0;
    }
    return 1;
}

// The file's entries, read for a load or a save: 0 and them (none for a
// missing file, or one just kept aside), or 1 when the file is to be left
// alone.
static int usable_entries(const char* path, std::vector<pref_entry>& entries)
{
    switch (read_prefs(path, entries)) {
    case PREFS_SOUND:
    case PREFS_MISSING: return 0;
    case PREFS_DAMAGED: return keep_aside(path);
    default: return 1;
    }
}

// ---- what the window remembers ------------------------------------------------

// A value the file has, decoded, when it fits `size` and passes `ok`.
static void take(const std::vector<pref_entry>& entries, const char* name, char* out, size_t size,
                 int (*ok)(const char*))
{
    out[0] = 0;
    int i = find_entry(entries, ".", name);
    std::string v = i < 0 ? "" : decoded(entries[i].value);
    if (!v.empty() && v.size() < size && (!ok || ok(v.c_str())))
        memcpy(out, v.c_str(), v.size() + 1);
}

// A count of retries the bus window takes: 0 to PREF_RETRIES_MAX.
static int retries_ok(const char* text)
{
    return strspn(text, "0123456789") == strlen(text) && atoi(text) <= PREF_RETRIES_MAX;
}

static void retries_taken(const char* text)
{
    pref_retries = text[0] ? atoi(text) : PREF_RETRIES_DEFAULT;
}

// A network line, or a device path added by hand.
static int url_ok(const char* text)
{
    net_url url;
    return text[0] && (net_url_parse(text, &url, nullptr, 0) == 1 || !port_name_is_url(text));
}

static int line_index(const char* url)
{
    for (int i = 0; i < pref_line_count; i++)
        if (strcmp(pref_lines[i], url) == 0)
            return i;
    return -1;
}

static int add_line(const char* url)
{
    if (line_index(url) >= 0)
        return 1;
    if (pref_line_count >= NET_LINES_MAX || strlen(url) >= COM_NAME_SIZE)
        return 0;
    strcpy(pref_lines[pref_line_count++], url);
    return 1;
}

static void take_lines(const std::vector<pref_entry>& entries)
{
    pref_line_count = 0;
    for (const pref_entry& e : entries) {
        std::string v = decoded(e.value);
        if (e.group == LINES && v.size() < COM_NAME_SIZE && url_ok(v.c_str()))
            add_line(v.c_str());
    }
}

// A port's converter: "PORT=NAME" itself, numbered like the lines (a
// port's name may hold any character but a line break).
static void put_converter(converter_list& list, const std::string& port, const std::string& name)
{
    for (size_t i = 0; i < list.size(); i++)
        if (list[i].first == port) {
            list.erase(list.begin() + (long)i);
            break;
        }
    if (name != "auto")
        list.push_back({port, name});
    if (list.size() > CONVERTERS_MAX)
        list.erase(list.begin());
}

static void take_converters(const std::vector<pref_entry>& entries)
{
    converters.clear();
    for (const pref_entry& e : entries) {
        std::string v = decoded(e.value);
        size_t eq = v.rfind('=');
        if (e.group != CONVERTERS || eq == std::string::npos || eq == 0 || eq >= COM_NAME_SIZE ||
            converter_type(v.c_str() + eq + 1) < 0)
            continue;
        put_converter(converters, v.substr(0, eq), v.substr(eq + 1));
    }
}

const char* prefs_converter(const char* port)
{
    for (const auto& c : converters)
        if (c.first == port)
            return c.second.c_str();
    return "auto";
}

void prefs_set_converter(const char* port, const char* converter)
{
    if (strcmp(prefs_converter(port), converter) == 0)
        return;
    put_converter(converters, port, converter);
    converters_here.push_back({port, converter});
    prefs_save();
}

static int listed(const std::vector<std::string>& list, const char* url)
{
    for (const std::string& s : list)
        if (s == url)
            return 1;
    return 0;
}

static void unlist(std::vector<std::string>& list, const char* url)
{
    list.erase(std::remove(list.begin(), list.end(), std::string(url)), list.end());
}

static void put_recorded(const std::string& port, int on)
{
    unlist(recorded, port.c_str());
    if (on)
        recorded.push_back(port);
    if (recorded.size() > CONVERTERS_MAX)
        recorded.erase(recorded.begin());
}

static void take_recorded(const std::vector<pref_entry>& entries)
{
    recorded.clear();
    for (const pref_entry& e : entries) {
        std::string v = decoded(e.value);
        if (e.group == RECORDED && !v.empty() && v.size() < COM_NAME_SIZE)
            put_recorded(v, 1);
    }
}

int prefs_port_recorded(const char* port)
{
    return listed(recorded, port);
}

void prefs_set_port_recorded(const char* port, int on)
{
    if (prefs_port_recorded(port) == (on != 0))
        return;
    put_recorded(port, on);
    recorded_here.push_back({port, on});
    prefs_save();
}

void prefs_load(void)
{
    pref_line_count = 0;
    for (const own_entry& v : OWN_VALUES)
        v.ours[0] = v.was[0] = 0;
    pref_retries = PREF_RETRIES_DEFAULT;
    added_here.clear();
    removed_here.clear();
    converters.clear();
    converters_here.clear();
    recorded.clear();
    recorded_here.clear();
    char path[1100];
    std::vector<pref_entry> entries;
    if (prefs_path(path, sizeof path) != 0 || usable_entries(path, entries) != 0)
        return;
    for (const own_entry& v : OWN_VALUES) {
        take(entries, v.name, v.ours, v.size, v.ok);
        strcpy(v.was, v.ours);
    }
    retries_taken(retries_text);
    take_lines(entries);
    take_converters(entries);
    take_recorded(entries);
}

// One value of the root group: this window's when it changed here, else the
// file's (taken in, so that the next save compares with it).
static void merge_value(std::vector<pref_entry>& entries, const own_entry& v)
{
    int i = find_entry(entries, ".", v.name);
    if (strcmp(v.ours, v.was) == 0) {
        take(entries, v.name, v.ours, v.size, v.ok);
        strcpy(v.was, v.ours);
        return;
    }
    if (i >= 0 && !v.ours[0])
        entries.erase(entries.begin() + i);
    else if (i >= 0)
        entries[i].value = encoded(v.ours);
    else if (v.ours[0])
        entries.push_back({".", v.name, encoded(v.ours)});
}

static bool same_entries(const std::vector<pref_entry>& a, const std::vector<pref_entry>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].group != b[i].group || a[i].name != b[i].name || a[i].value != b[i].value)
            return false;
    return true;
}

static int write_file(const char* path, const std::string& text)
{
    char target[1100];
    if (plat_file_final_path(path, target, sizeof target) != 0 || plat_file_writable(target) != 0)
        return 1;
    std::string why;  // the window says nothing of a failed save
    return write_whole(target, text, true, why);
}

void prefs_save(void)
{
    char path[1100];
    std::vector<pref_entry> entries;
    if (prefs_path(path, sizeof path) != 0 || usable_entries(path, entries) != 0)
        return;
    const std::vector<pref_entry> read = entries;
    snprintf(retries_text, sizeof retries_text, "%d", pref_retries);
    if (!file_retries[0] && pref_retries == PREF_RETRIES_DEFAULT)
        retries_text[0] = 0;  // the default is not written until another is chosen
    for (const own_entry& v : OWN_VALUES)
        merge_value(entries, v);
    retries_taken(retries_text);
    // The file's lines less those removed here, then those added here.
    take_lines(entries);
    for (int i = pref_line_count - 1; i >= 0; i--)
        if (listed(removed_here, pref_lines[i])) {
            memmove(pref_lines[i], pref_lines[i + 1],
                    (size_t)(pref_line_count - i - 1) * COM_NAME_SIZE);
            pref_line_count--;
        }
    for (const std::string& url : added_here)
        add_line(url.c_str());
    // The file's converters, then those chosen here.
    take_converters(entries);
    for (const auto& c : converters_here)
        put_converter(converters, c.first, c.second);
    take_recorded(entries);
    for (const auto& r : recorded_here)
        put_recorded(r.first, r.second);
    std::vector<pref_entry> kept;
    for (const pref_entry& e : entries)
        if (e.group != LINES && e.group != CONVERTERS && e.group != RECORDED)
            kept.push_back(e);
    for (int i = 0; i < pref_line_count; i++)
        kept.push_back({LINES, std::to_string(i + 1), encoded(pref_lines[i])});
    for (size_t i = 0; i < converters.size(); i++)
        kept.push_back({CONVERTERS, std::to_string(i + 1),
                        encoded((converters[i].first + "=" + converters[i].second).c_str())});
    for (size_t i = 0; i < recorded.size(); i++)
        kept.push_back({RECORDED, std::to_string(i + 1), encoded(recorded[i].c_str())});
    // A file whose entries would all stay as they are is left as it is.
    if ((file_read && same_entries(kept, read)) || write_file(path, file_text(kept)) == 0) {
        converters_here.clear();
        recorded_here.clear();
        added_here.clear();
        removed_here.clear();
        for (const own_entry& v : OWN_VALUES)
            strcpy(v.was, v.ours);
    }
}

int prefs_add_line(const char* url)
{
    if (!add_line(url))
        return 0;
    unlist(removed_here, url);
    if (!listed(added_here, url))
        added_here.push_back(url);
    prefs_save();
    return 1;
}

void prefs_remove_line(const char* url)
{
    int i = line_index(url);
    if (i < 0)
        return;
    memmove(pref_lines[i], pref_lines[i + 1], (size_t)(pref_line_count - i - 1) * COM_NAME_SIZE);
    pref_line_count--;
    unlist(added_here, url);
    if (!listed(removed_here, url))
        removed_here.push_back(url);
    prefs_save();
}
