#include "prefs.h"

#include <FL/Fl_Preferences.H>
#include <stdio.h>
#include <string.h>

#include "../platform/platform.h"
#include "../port/plainw.h"

int pref_line_count;
char pref_lines[NET_LINES_MAX][COM_NAME_SIZE];
char pref_folder[PREF_FOLDER_SIZE];
char pref_port[COM_NAME_SIZE];
char pref_address[ADDRESS_TEXT_MAX + 1];

static const char VENDOR[] = "kp6", APPLICATION[] = "kp6";

// A file of ours is a few kilobytes at most.
enum { PREFS_SIZE_MAX = 64 * 1024, PREFS_LINE_MAX = 1000, PREFS_GROUP_MAX = 64 };

int prefs_path(char* out, unsigned size)
{
    char dir[1000];
    if (plat_user_prefs_dir(dir, sizeof dir) != 0)
        return 1;
    int n = snprintf(out, size, "%s/%s/%s.prefs", dir, VENDOR, APPLICATION);
    return n < 0 || (unsigned)n >= size;
}

// PREFS_NONE: nothing to read there (missing, or not ours to read);
// PREFS_NOT_FILE: a folder, FIFO or device stands there.
enum { PREFS_SOUND, PREFS_NONE, PREFS_DAMAGED, PREFS_NOT_FILE };

// A group header the toolkit's reader takes safely: "[.]" or "[./NAME]"
// with a short plain name. Others make it follow a null node or overrun
// a fixed buffer.
static int group_sound(const char* line, size_t len)
{
    size_t end = 1;
    while (end < len && line[end] != ']' && line[end] != '\r')
        end++;
    const char* g = line + 1;
    size_t n = end - 1;
    if (n == 1 && g[0] == '.')
        return 1;
    if (n < 3 || n > 2 + PREFS_GROUP_MAX || g[0] != '.' || g[1] != '/')
        return 0;
    for (size_t i = 2; i < n; i++) {
        char c = g[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.' || c == ' '))
            return 0;
    }
    return 1;
}

// Whether the toolkit may read the file at `path`: it trusts what it reads
// and falls over a file it did not write (a group outside its tree, a line
// longer than its buffer), and it would wait on a FIFO.
static int prefs_file_state(const char* path)
{
    FILE* f;
    int kind;
    int rc = plat_file_open_regular(path, &f, &kind);
    if (rc != 0)
        return rc == -1 ? PREFS_NOT_FILE : PREFS_NONE;
    static char text[PREFS_SIZE_MAX + 1];
    size_t n = fread(text, 1, sizeof text, f);
    int failed = ferror(f);
    fclose(f);
    if (failed)
        return PREFS_NONE;
    if (n > PREFS_SIZE_MAX || memchr(text, 0, n))
        return PREFS_DAMAGED;
    int number = 0;
    for (size_t at = 0; at < n; number++) {
        const char* nl = (const char*)memchr(text + at, '\n', n - at);
        size_t len = nl ? (size_t)(nl - (text + at)) : n - at;
        if (len > PREFS_LINE_MAX)
            return PREFS_DAMAGED;
        // The first three lines are the file's heading, skipped unread.
        if (number >= 3 && len > 0 && text[at] == '[' && !group_sound(text + at, len))
            return PREFS_DAMAGED;
        at += len + 1;
    }
    return PREFS_SOUND;
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

// The values read are checked as the window would take them; what does
// not pass is left out.
void prefs_load(void)
{
    pref_line_count = 0;
    pref_port[0] = pref_address[0] = pref_folder[0] = 0;
    char path[1100];
    if (prefs_path(path, sizeof path) != 0 || prefs_file_state(path) != PREFS_SOUND)
        return;
    Fl_Preferences root(Fl_Preferences::USER, VENDOR, APPLICATION);
    char text[256];  // longer than anything taken, so a cut value shows
    root.get("address", text, "", sizeof text);
    if (text[0] && strlen(text) < sizeof pref_address && address_text_ok(text))
        memcpy(pref_address, text, strlen(text) + 1);
    root.get("port", text, "", sizeof text);
    if (strlen(text) < sizeof pref_port)
        memcpy(pref_port, text, strlen(text) + 1);
    char folder[PREF_FOLDER_SIZE + 1];
    root.get("folder", folder, "", sizeof folder);
    if (strlen(folder) < sizeof pref_folder)
        memcpy(pref_folder, folder, strlen(folder) + 1);
    if (!root.groupExists("lines"))
        return;  // asking for it would make it
    Fl_Preferences lines(root, "lines");
    for (int i = 0; i < lines.entries() && pref_line_count < NET_LINES_MAX; i++) {
        lines.get(lines.entry(i), text, "", sizeof text);
        net_url url;
        // A network line, or a device path added by hand.
        if (strlen(text) < COM_NAME_SIZE && text[0] &&
            (net_url_parse(text, &url, nullptr, 0) == 1 || !port_name_is_url(text)))
            add_line(text);
    }
}

// The file is written afresh, so that one damaged by hand or by a failed
// write is whole again.
void prefs_save(void)
{
    char path[1100];
    if (prefs_path(path, sizeof path) != 0)
        return;
    int state = prefs_file_state(path);
    if (state == PREFS_NOT_FILE)
        return;
    if (state == PREFS_DAMAGED)
        plat_remove(path);  // the toolkit would read it first
    Fl_Preferences root(Fl_Preferences::USER, VENDOR, APPLICATION);
    root.deleteAllGroups();
    root.deleteAllEntries();
    if (pref_address[0])
        root.set("address", pref_address);
    if (pref_port[0])
        root.set("port", pref_port);
    if (pref_folder[0])
        root.set("folder", pref_folder);
    Fl_Preferences lines(root, "lines");
    for (int i = 0; i < pref_line_count; i++) {
        char key[16];
        snprintf(key, sizeof key, "%d", i + 1);
        lines.set(key, pref_lines[i]);
    }
}

int prefs_add_line(const char* url)
{
    if (!add_line(url))
        return 0;
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
    prefs_save();
}
