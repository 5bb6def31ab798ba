// What kp6ctl's files share: the options, the output, interrupts, the line
// and the commands. kp6ctl.cpp reads the options and runs a command.
#ifndef KP6_KP6CTL_H
#define KP6_KP6CTL_H

#include <stdio.h>

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "../device/bus.h"
#include "../device/settings.h"
#include "../platform/platform.h"

namespace kp6ctl {

enum { EXIT_DONE = 0, EXIT_CONTROLLER = 1, EXIT_USAGE = 2, EXIT_PORT = 3 };

struct Options {
    std::string port;
    bool port_from_env = false;            // KP6_PORT gave it
    std::string address_text;              // --address as given; empty: KP6_ADDRESS, else 01
    std::vector<unsigned char> addresses;  // the controllers: resolve_addresses()
    unsigned char address = 0x01;          // the first of them
    bool address_given = false;            // named by --address or KP6_ADDRESS
    unsigned long timeout_ms = 0;          // 0: the command's own default
    std::string converter = "auto";        // how the line's direction is switched
    bool converter_from_env = false;       // KP6_CONVERTER gave it
    bool log = false;
    std::string log_file = "port.out";
    bool verbose = false;
    int retries = 0;
    bool help = false;
    bool version = false;
    std::string command;
    std::vector<std::string> words;  // the command's arguments
    bool json_out = false;
    bool csv_out = false;    // --csv: the bus record's columns
    bool stats = false;      // --stats: each controller's line health at the end
    bool scan_read = false;  // scan --read
    bool dry_run = false;
    unsigned char from = 0x01, to = 0xFF;
    std::string file;
    std::vector<unsigned char> targets;  // restore --to
    // report: the header's texts, the period as typed, the language, and
    // the file its as-left values are compared with.
    std::string site, technician, language, compare_file;
    std::string since, until;  // journal's and report's period, as typed
    bool verify = false;       // journal --verify
    std::string head;          // journal --verify --head
    std::string raw_file;      // monitor --raw: the capture
};

extern Options opt;

// ---- kp6ctl.cpp: the options -------------------------------------------------

extern const char BAD_ADDRESS[];
void add_address(std::vector<unsigned char>& list, unsigned char a);
// Adds the addresses of a list as typed ("01,03,10-1F", "10:1F"), each
// once; false and the usage message when it is no such list. `from` names
// where it came from in the message (an option, or null for a word).
bool add_address_list(std::vector<unsigned char>& list, const std::string& text, const char* from);
// The controllers a command works on: its words (`from_words`), else
// --address, else KP6_ADDRESS, else 01, into opt.addresses and
// opt.address. 0, or the exit code of a bad list (KP6_ADDRESS named).
int resolve_addresses(bool from_words);

// ---- kp6ctl_output.cpp ---------------------------------------------------------

extern bool output_closed, output_closed_first;
void note_output_closed(void);
// Whether the traffic log's file was refused or a write to it failed
// (told once, with the system's words): one more interrupt, exit 2.
extern bool log_broken_first;
bool log_broken(void);
// A write to standard output failed other than by a closed pipe: exit 1
// unless the run failed worse.
extern bool output_failed;
void write_text(FILE* f, const char* text);
__attribute__((format(gnu_printf, 2, 3))) void say(FILE* f, const char* fmt, ...);
int usage_error(const char* fmt, const std::string& what);
std::string lower(std::string s);
std::string meaning(int reg, unsigned v);
// A register's value as read prints it: "18 (0x12)" for ER78, "7" else.
std::string value_text(int reg, unsigned v);
// One row of --csv with its address's health now (the header first when
// `header`); `compared`: the compared file's name, or null.
void print_csv_row(const bus_row& r, const char* compared, bool header = false);
// --stats: "1F: 42 exchanges, ..." on standard error for each address asked
// (after a scan, those found only: stats_found).
void print_stats(void);
extern bool stats_after_scan;
extern std::vector<unsigned char> stats_found;

// ---- kp6ctl_line.cpp -----------------------------------------------------------

extern int interrupts_to_stop;
int stop_requested(void);
bool interrupted(void);
int exit_interrupted(void);
// What a write that ended with settings_write's `failed` left on the
// controller, with the step: "Error write ER74 after ER72: ER74 may or may
// not be written; ER75, ER77 keep their old values", "interrupted after
// ER79: ...". Read at once: the last exchange's fault tells whether the
// failed step's frame went out.
std::string left_by_write(int failed);
// The same after a failed step (failed > 0) whose message is out already:
// "IR24, ER78 written; ER79 may or may not be written; ..." or "nothing
// written".
std::string written_before(int failed);

extern unsigned short line_port;
extern bool line_lost_told;
// Opens the port and sets the answer time-out (refused when shorter than
// the frames take on the line: those of a Test with `test`); 0 or the exit
// code, the message told.
int open_line(unsigned long default_timeout_ms, bool test = false);
bool line_lost(void);
void close_line(void);
// A step's message and why its exchange failed: "Error read ER78: no answer
// in 1000 ms".
std::string step_failed(const char* what);
// Says why a controller's step failed ("01: Error write ER74: no answer in
// 1000 ms"); the cause as said (after the address), or `what` when the
// step's fault is told elsewhere (an interrupt, a lost line).
std::string controller_failed(unsigned char address, const char* what);
int read_controller(unsigned char address, device_settings& s);

// ---- kp6ctl_records.cpp: the journal kept -----------------------------------------------

// Makes the run's writer (its file, the line and adapter); open_line calls it.
void journal_start(void);
// Before a command sends anything that writes: EXIT_DONE when the journal
// can take records, else its cause told ("nothing written") and EXIT_USAGE.
int journal_check(void);
// A controller read whole: its "found" record, or the warning that it could
// not be made (the run then ends with EXIT_USAGE: journal_failed).
void journal_read(unsigned char address, const device_settings& s);
// A write sequence's change records (journal_sequence's arguments); false:
// one could not be appended, the setting written but not recorded is
// told, and nothing more may be sent.
bool journal_written(unsigned char address, const device_settings* before,
                     const device_settings& asked, const device_settings* back, int failed_step,
                     const std::string& cause);
extern bool journal_failed;

// ---- the commands ----------------------------------------------------------------

int cmd_ports(void);  // kp6ctl_scan.cpp
int cmd_scan(void);
int cmd_test(void);  // kp6ctl_settings.cpp
int cmd_read(void);
// The line's health with an address, as --json carries it.
nlohmann::ordered_json health_json(unsigned char address);
// One controller's settings as read --json gives them: those read before
// the step `upto` an interrupt stopped before (0: all), and its health.
nlohmann::ordered_json settings_json(unsigned char address, const device_settings& s, int upto);
int cmd_write(void);
int cmd_backup(void);  // kp6ctl_backup.cpp
int cmd_restore(void);
int cmd_report(void);   // kp6ctl_report.cpp
int cmd_journal(void);  // kp6ctl_journal.cpp
int store_since(const char* name, const char* v);
int store_until(const char* name, const char* v);
int store_head(const char* name, const char* v);
int cmd_decode(void);  // kp6ctl_traffic.cpp
int cmd_monitor(void);
// A block of the line's worded for -v (TRAFFIC_* `what`): "select 1F".
std::string traffic_meaning(int what, const unsigned char* data, int len);

}  // namespace kp6ctl

#endif
