// kp6ctl report: the service report of the journal's records, as a PDF.
// Nothing is sent on the line.
#include <string.h>

#include <string>
#include <vector>

#include "../device/backupfile.h"
#include "../device/bus.h"
#include "../device/journal.h"
#include "../device/report.h"
#include "../i18n/gett.h"
#include "../i18n/words.h"
#include "../platform/platform.h"
#include "kp6ctl.h"

#ifndef KP6_DATA_FROM_BIN
#define KP6_DATA_FROM_BIN "../share/kp6"
#endif

namespace kp6ctl {

// The catalogue's look-up without the window's timing line on standard
// output, which is kp6ctl's.
static const char* quiet_words(const char* key)
{
    long lo = 0, hi = (long)gettext_header[2] - 1;
    while (orig_string && lo <= hi) {
        long mid = (lo + hi) / 2;
        int cmp = strcmp(key, orig_string[mid]);
        if (cmp == 0)
            return trans_string[mid];
        if (cmp > 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return key;
}

// The window's language: Russian where the system asks for it or names
// none; its catalogue found where the window finds it.
static void speak(const std::string& language)
{
    char sys[16];
    plat_ui_language(sys, sizeof sys);
    bool ru = language.empty() ? (!sys[0] || strcmp(sys, "ru") == 0) : language == "ru";
    if (!ru)
        return;
    bool loaded = read_mo_file("kp6.mo", "ru") == 1;
    char bin[1000], dir[1100];
    const char* const places[] = {".", KP6_DATA_FROM_BIN};
    for (const char* data : places)
        if (!loaded && plat_executable_dir(bin, sizeof bin) == 0) {
            snprintf(dir, sizeof dir, "%s/%s/ru", bin, data);
            loaded = read_mo_file("kp6.mo", dir) == 1;
        }
    if (loaded)
        words_hook = quiet_words;
}

static std::string login_name(void)
{
    char name[256];
    return plat_user_name(name, sizeof name) == 0 ? name : "";
}

// Each controller's settings as left against the file's, in the words the
// bus window's comparison uses.
static void compare_left(report_data& d, const std::vector<backup_entry>& file)
{
    const unsigned all = (1u << SETTING_COUNT) - 1;
    std::vector<bus_row> rows;
    for (const report_controller& c : d.controllers) {
        bus_row r = bus_row();
        r.address = c.address;
        r.state = c.left_mask == all ? ROW_READ : ROW_NOT_READ;
        r.settings = c.left;
        r.written_at = settings_written_count(c.address);
        rows.push_back(r);
    }
    bus_compare_rows(rows, file);
    for (size_t i = 0; i < d.controllers.size(); i++)
        d.controllers[i].compared = bus_compared_text(rows[i], words);
}

int cmd_report(void)
{
    if (opt.file.empty() || opt.file == "-")
        return usage_error("report needs -o FILE.pdf%s", "");
    std::vector<unsigned char> only;
    if (!opt.words.empty() || !opt.address_text.empty()) {
        int rc = resolve_addresses(true);
        if (rc)
            return rc;
        only = opt.addresses;
    }
    std::string message;
    std::vector<backup_entry> file;
    if (!opt.compare_file.empty() && !load_backup(opt.compare_file, file, message)) {
        say(stderr, "kp6ctl: %s\n", message.c_str());
        return EXIT_USAGE;
    }
    report_data d;
    plat_datetime now;
    plat_local_time(&now);
    char today[16];
    snprintf(today, sizeof today, "%04d-%02d-%02d", now.year, now.month, now.day);
    for (const std::string* given : {&opt.since, &opt.until})
        if (!given->empty() && !journal_period_stamp(*given, 0, d.since))
            return usage_error("%s: give a date, YYYY-MM-DD or YYYY-MM-DDTHH:MM (local time)",
                               *given);
    journal_period_stamp(opt.since.empty() ? today : opt.since, 0, d.since);
    journal_period_stamp(opt.until.empty() ? today : opt.until, 1, d.until);
    if (d.since > d.until)
        return usage_error("%s: the period ends before it begins", opt.since + " " + opt.until);
    std::string path;
    if (journal_path(path) != JOURNAL_OK) {
        say(stderr, "kp6ctl: no place for the journal: set KP6_JOURNAL or HOME\n");
        return EXIT_USAGE;
    }
    int kind;
    if (plat_file_kind(path.c_str(), &kind) == 0 && kind != PLAT_FILE_REGULAR) {
        say(stderr, "kp6ctl: %s is not a file: refused\n", path.c_str());
        return EXIT_USAGE;
    }
    // The line's health is worded as it is gathered.
    speak(opt.language);
    int error = 0;
    if (report_gather(path, &only, d, &error) != REPORT_OK) {
        words_hook = nullptr;
        char why[200];
        plat_error_text(error, why, sizeof why);
        say(stderr, "kp6ctl: cannot read %s: %s\n", path.c_str(), why);
        return EXIT_CONTROLLER;
    }
    if (!file.empty())
        compare_left(d, file);
    d.site = opt.site;
    d.technician = opt.technician.empty() ? login_name() : opt.technician;
    d.program = std::string("kp6ctl ") + KP6_VERSION;
    int rc = report_save(d, opt.file, message);
    words_hook = nullptr;
    if (rc != REPORT_OK) {
        say(stderr, "kp6ctl: %s\n", message.c_str());
        return rc == REPORT_SAVE && !save_target_ok(opt.file, message) ? EXIT_USAGE
                                                                       : EXIT_CONTROLLER;
    }
    say(stdout, "%s: %zu controller%s, %lu record%s, head %s\n", opt.file.c_str(),
        d.controllers.size(), d.controllers.size() == 1 ? "" : "s", d.records,
        d.records == 1 ? "" : "s", d.head.c_str());
    return EXIT_DONE;
}

}  // namespace kp6ctl
