// kp6ctl backup and restore: controllers to a JSON file and back, or one
// entry cloned to other addresses.
#include "kp6ctl.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "../device/backupfile.h"
#include "../device/bus.h"
#include "../device/exchange.h"
#include "../device/settings.h"
#include "../platform/platform.h"
#include "../port/plainw.h"

namespace kp6ctl {

int cmd_backup(void)
{
    if (opt.file.empty())
        return usage_error("backup needs -o FILE%s", "");
    int rc = resolve_addresses(true);
    if (rc)
        return rc;
    const std::vector<unsigned char>& addresses = opt.addresses;
    std::string message;
    if (!save_target_ok(opt.file, message)) {
        say(stderr, "kp6ctl: %s\n", message.c_str());
        return EXIT_USAGE;
    }
    if ((rc = open_line(ANSWER_TIMEOUT_MS)))
        return rc;
    std::vector<backup_entry> list;
    // Two controllers at one address have no settings to save: the others
    // are saved without it (its line named), and the exit says so.
    bool all = true, collided = false;
    for (unsigned char a : addresses) {
        device_settings s = {};
        if (interrupted() || read_controller(a, s) != 0) {
            if (!interrupted() && exchange_last_fault.kind == FAULT_COLLISION) {
                collided = true;
                continue;
            }
            all = false;
            if (line_lost())
                break;
        } else {
            journal_read(a, s);
            list.push_back({a, s});
        }
    }
    close_line();
    if (interrupted()) {
        say(stderr, "kp6ctl: interrupted: %s not written\n", opt.file.c_str());
        return exit_interrupted();
    }
    if (!all || list.empty()) {
        say(stderr, "kp6ctl: %s not written\n", opt.file.c_str());
        return EXIT_CONTROLLER;
    }
    std::string text = backup_text(list, opt.port, meaning);
    int saved = save_text(opt.file, text, message);
    if (saved != SAVE_DONE) {
        say(stderr, "kp6ctl: %s\n", message.c_str());
        if (saved == SAVE_OUTPUT_CLOSED)
            note_output_closed();
        return saved == SAVE_REFUSED ? EXIT_USAGE
               : interrupted()       ? exit_interrupted()
                                     : EXIT_CONTROLLER;
    }
    if (opt.file != "-") {
        std::string names;
        for (const backup_entry& e : list)
            names += " " + hex2(e.address);
        say(stdout, "saved%s to %s\n", names.c_str(), opt.file.c_str());
    }
    return journal_failed ? EXIT_USAGE : collided ? EXIT_CONTROLLER : EXIT_DONE;
}

// One row of a dry run: a register as read prints it, or below it, after
// an arrow, the value the file would write.
static void dry_row(int reg, unsigned v, bool arrow)
{
    say(stdout, "%-8s %-12s %s\n", arrow ? "      ->" : lower(setting_name(reg)).c_str(),
        value_text(reg, v).c_str(), meaning(reg, v).c_str());
}

// restore --dry-run: reads each controller of the jobs and shows, register
// by register, the value now and the one the file would write; sends no
// write. 0 nothing would change, 1 something would or a controller could
// not be read (every one is tried), or an interrupt's code.
static int dry_run(const std::vector<backup_entry>& jobs, const std::vector<unsigned char>& sources)
{
    int rc = EXIT_DONE;
    for (size_t i = 0; i < jobs.size() && !interrupted() && !line_lost(); i++) {
        device_settings now = {}, want = jobs[i].settings;
        int failed = read_controller(jobs[i].address, now);
        if (opt.csv_out) {  // a row compared with the job's entry
            bus_row r = {};
            r.address = jobs[i].address;
            bus_row_read(r, now, failed);
            std::vector<bus_row> one(1, r);
            bus_compare_rows(one, std::vector<backup_entry>(1, jobs[i]));
            print_csv_row(one[0], opt.file.c_str(), i == 0);
            if (failed || one[0].differ)
                rc = EXIT_CONTROLLER;
            continue;
        }
        if (failed != 0) {
            rc = EXIT_CONTROLLER;
            continue;
        }
        unsigned mask = bus_compare(now, want);
        int differ = __builtin_popcount(mask);
        std::string from = sources[i] != jobs[i].address ? " (from " + hex2(sources[i]) + ")" : "";
        if (differ)
            say(stdout, "%02X: %d of %d registers would change%s\n", jobs[i].address, differ,
                SETTING_COUNT, from.c_str());
        else
            say(stdout, "%02X: nothing would change%s\n", jobs[i].address, from.c_str());
        for (int reg = 0; reg < SETTING_COUNT; reg++) {
            dry_row(reg, setting_value(now, reg), false);
            if (mask & 1u << reg)
                dry_row(reg, setting_value(want, reg), true);
        }
        if (differ)
            rc = EXIT_CONTROLLER;
    }
    close_line();
    if (interrupted())
        return exit_interrupted();
    return line_lost() ? EXIT_CONTROLLER : rc;
}

// What restore writes where: every entry of the file at its own address,
// or with --to the one entry to copy (the only one, or the one --address
// names) at each target; `sources` the address each job's settings come
// from. EXIT_DONE, or a usage error told.
static int restore_jobs(const std::vector<backup_entry>& entries, std::vector<backup_entry>& jobs,
                        std::vector<unsigned char>& sources)
{
    if (opt.targets.empty()) {
        jobs = entries;
        for (const backup_entry& e : entries)
            sources.push_back(e.address);
        return EXIT_DONE;
    }
    if (entries.size() != 1) {
        int rc = resolve_addresses(false);
        if (rc)
            return rc;
        if (opt.addresses.size() > 1)
            return usage_error("--address names the one entry to copy: give one address, not %s",
                               opt.address_text);
    }
    const backup_entry* from = backup_entry_for(entries, opt.address_given ? opt.address : -1);
    if (!from) {
        say(stderr,
            "kp6ctl: %s holds %zu controllers%s: name the one to copy with "
            "--address\n",
            opt.file.c_str(), entries.size(),
            opt.address_given ? (", none at " + hex2(opt.address)).c_str() : "");
        return EXIT_USAGE;
    }
    for (unsigned char t : opt.targets) {
        jobs.push_back({t, from->settings});
        sources.push_back(from->address);
    }
    return EXIT_DONE;
}

// A register that reads back otherwise: "ER79 reads 9, the file has 15".
static std::string read_back_item(int reg, unsigned char now, unsigned char file, bus_words)
{
    return std::string(setting_name(reg)) + " reads " + std::to_string(now) + ", the file has " +
           std::to_string(file);
}

// Writes one job and reads it back, says how it went and records it;
// `outcome` what the controller holds now. false when the run goes no
// further (the record failed, or the line was lost before the read-back).
static bool restore_one(const backup_entry& job, unsigned char source, std::string& outcome,
                        int& rc)
{
    device_settings back = {};
    int failed = 0;
    int done = restore_controller(line_port, job.address, job.settings, &back, &failed);
    if (done == RESTORE_BAD_TYPE) {  // the loader takes known types only
        outcome = "not written: ER78 holds no type";
        say(stderr, "%02X: %s\n", job.address, outcome.c_str());
        rc = EXIT_CONTROLLER;
        return true;
    }
    std::string cause;
    int write_step = 0;  // the write's failed step, for the record
    if (done == RESTORE_WRITE_FAILED || done == RESTORE_STOPPED) {
        write_step = failed;
        outcome = left_by_write(failed);
        if (failed > 0) {
            std::string left = written_before(failed);
            cause = controller_failed(job.address, settings_write_failure(failed));
            if (!line_lost())  // else the list after the run tells it
                say(stderr, "%02X: %s\n", job.address, left.c_str());
        }
    } else if (done == RESTORE_NOT_READ_BACK) {
        outcome = "written, not read back";
        if (failed > 0)
            say(stderr, "%02X: %s: %s\n", job.address, outcome.c_str(),
                step_failed(settings_read_failure(failed)).c_str());
    } else if (done == RESTORE_READS_OTHERWISE) {
        std::string lead = "\n" + hex2(job.address) + ": ";
        say(stderr, "%02X: %s\n", job.address,
            differences_text(back, job.settings, bus_compare(back, job.settings), read_back_item,
                             lead.c_str())
                .c_str());
        outcome = "written, reads back otherwise";
        say(stderr, "%02X: %s\n", job.address, outcome.c_str());
    } else {
        outcome = "restored" + (source != job.address ? " from " + hex2(source) : "");
        say(stdout, "%02X: %s\n", job.address, outcome.c_str());
    }
    if (done != RESTORE_DONE)
        rc = EXIT_CONTROLLER;
    bool read_back = done == RESTORE_DONE || done == RESTORE_READS_OTHERWISE;
    return journal_written(job.address, nullptr, job.settings, read_back ? &back : nullptr,
                           write_step, cause) &&
           (read_back || !line_lost());
}

int cmd_restore(void)
{
    if (opt.file.empty())
        return usage_error("restore needs -i FILE%s", "");
    std::vector<backup_entry> entries, jobs;
    std::vector<unsigned char> sources;  // where each job's settings come from
    std::string message;
    if (!load_backup(opt.file, entries, message)) {
        say(stderr, "kp6ctl: %s\n", message.c_str());
        return EXIT_USAGE;
    }
    int rc = restore_jobs(entries, jobs, sources);
    if (rc)
        return rc;
    interrupts_to_stop = opt.dry_run ? 1 : 2;
    if ((rc = open_line(ANSWER_TIMEOUT_MS)))
        return rc;
    if (opt.dry_run)  // sends nothing that writes, records nothing
        return dry_run(jobs, sources);
    if ((rc = journal_check())) {
        close_line();
        return rc;
    }
    // What each controller holds now, told once more after an interrupt or
    // a lost line; empty: not reached.
    std::vector<std::string> outcome(jobs.size());
    for (size_t i = 0; i < jobs.size() && !interrupted(); i++)
        if (!restore_one(jobs[i], sources[i], outcome[i], rc))
            break;
    close_line();
    if (!interrupted() && !line_lost_told && !journal_failed)
        return rc;
    const char* not_reached = interrupted() ? "not written (interrupted)" : "not written";
    for (size_t i = 0; i < jobs.size(); i++)
        say(stderr, "%02X: %s\n", jobs[i].address,
            outcome[i].empty() ? not_reached : outcome[i].c_str());
    return journal_failed ? EXIT_USAGE : interrupted() ? exit_interrupted() : rc;
}

}  // namespace kp6ctl
