// The whole bus at once: a row per controller, compared with a backup
// file, a file's settings written with read-back, and the record as CSV.
// No window: the bus window and kp6ctl share it.
#ifndef KP6_BUS_H
#define KP6_BUS_H

#include <string>
#include <vector>

#include "backupfile.h"
#include "exchange.h"
#include "settings.h"

// What a row holds.
enum {
    ROW_NOT_READ,        // found, not read (yet, or the reading stopped first)
    ROW_READ,            // its settings as read
    ROW_FAILED,          // a read failed (failed_step, fault)
    ROW_GARBLED,         // its answers were garbled: two controllers may share the address
    ROW_MISSING,         // in the compared file, but it did not answer
    ROW_WRITTEN,         // written and read back: settings as read back
    ROW_NOT_READ_BACK,   // written, but the read-back failed (failed_step, fault)
    ROW_WRITE_FAILED,    // the write failed or stopped part way (failed_step, fault)
    ROW_READS_OTHERWISE  // written, but it reads back other values: settings as read back
};
// How a row compares with a file.
enum { COMPARED_NOT, COMPARED_SAME, COMPARED_DIFFERS, COMPARED_NOT_IN_FILE };

struct bus_row {
    unsigned char address;
    int state;                 // ROW_*
    device_settings settings;  // as read (or read back); a missing row's: the file's
    int compared;              // COMPARED_*
    unsigned differ;           // bit (1 << REG_*) per setting that differs from the file
    device_settings file;      // the file's values, when compared
    int failed_step;           // the step of settings_read/settings_write that failed (< 0 stopped)
    std::string fault;         // why it failed, in exchange_fault_text's words
    unsigned long written_at;  // settings_written_count(address) when its settings were read
    int not_written;           // a write stopped (or a lost line) left it untouched
};

// Whether a row holds settings read from its controller (read, or written
// and read back).
int bus_row_has_settings(const bus_row& r);
// Whether a row went amiss: failed, garbled, or reads back otherwise.
int bus_row_amiss(const bus_row& r);
// Whether a row's settings may be out of date: its controller was written
// (from any window) since they were read.
int bus_row_stale(const bus_row& r);

// A row as settings_read left it: ROW_READ and the settings `s` read, or
// ROW_FAILED with the failed step and its cause (exchange_fault_text of the
// last exchange), its settings as they were; ROW_GARBLED when the answers
// stayed garbled (FAULT_COLLISION), or when a garbled row's read failed.
void bus_row_read(bus_row& r, const device_settings& s, int failed);

// The settings that differ between what a controller holds and a file's
// entry, as restore compares them (ER78 by type and inverse gun): a mask of
// (1 << REG_*).
unsigned bus_compare(const device_settings& now, const device_settings& file);

// Compares every row with a file's entries: a file of one entry is a
// template compared with every row; a file of several is compared address by
// address (rows of addresses it lacks: COMPARED_NOT_IN_FILE; its entries no
// row has: appended as ROW_MISSING rows). Only rows with settings (read or
// written and read back) that are not stale are compared; ROW_MISSING rows
// of an earlier comparison are dropped first.
void bus_compare_rows(std::vector<bus_row>& rows, const std::vector<backup_entry>& file);

// One controller written as kp6ctl restore writes it: IR24, the six
// settings (ER78 as the window writes its type and inverse gun), then all six
// read back and compared. RESTORE_DONE; RESTORE_WRITE_FAILED or
// RESTORE_STOPPED (settings_stop) with settings_write's step in
// *failed_step; RESTORE_NOT_READ_BACK with settings_read's; RESTORE_READS_
// OTHERWISE when the read-back differs (*back holds it);
// RESTORE_BAD_TYPE when ER78's type is none the controller takes, nothing
// sent. The failed exchange's fault stays in exchange_last_fault: a
// collision is RESTORE_WRITE_FAILED at IR24 (step 1) with FAULT_COLLISION,
// no setting sent.
enum {
    RESTORE_DONE,
    RESTORE_WRITE_FAILED,
    RESTORE_NOT_READ_BACK,
    RESTORE_READS_OTHERWISE,
    RESTORE_STOPPED,
    RESTORE_BAD_TYPE
};
int restore_controller(unsigned short port, unsigned char address, const device_settings& want,
                       device_settings* back, int* failed_step);

// restore_controller on a row: its state, settings (as read back),
// failed_step and fault follow (compare again afterwards); a collision
// makes it ROW_GARBLED. The restore_controller result.
int bus_write_row(unsigned short port, bus_row& row, const device_settings& want);

// Puts a key into a language; null: English, as kp6ctl prints it.
typedef const char* (*bus_words)(const char* key);

// One register that differs, in a caller's words: its name, the value here
// and the other one ("ER79 15 -> 9"); `tr` puts a key into the caller's
// language.
typedef std::string (*difference_item)(int reg, unsigned char now, unsigned char other,
                                       bus_words tr);
// The registers of `mask` (bus_compare's), in REG_* order, each worded by
// `item` and joined by `sep`: "" when the mask is empty. The callers word an
// item each their own way (kp6ctl's comparison, restore's read-back, the
// window's preview of a write), the walk is this one.
std::string differences_text(const device_settings& now, const device_settings& other,
                             unsigned mask, difference_item item, const char* sep,
                             bus_words tr = nullptr);

// A row's state in words, with the failed step and its cause: "read",
// "failed: Error read ER79: no answer in 1000 ms", "garbled answers: two
// controllers may share this address", "missing: no answer",
// "written", "written, reads back otherwise", "not written", ...
std::string bus_row_state_text(const bus_row& r, bus_words tr = nullptr);
// A row's comparison in words: "matches", "differs (2): ER79 15 -> 9, type
// milliliter -> liter", "not in the file", "missing"; empty when not
// compared.
std::string bus_compared_text(const bus_row& r, bus_words tr = nullptr);

// The record: RFC 4180 CSV, UTF-8, each line ended by CR LF. The header:
// address, type, inverse, ER79, ER72, ER74, ER75, ER77, the health columns,
// the row's state, and when a file was compared a column named after it
// (`compared_name`; null: none).
std::string bus_csv_header(const char* compared_name);
// One row; `h` null (or no exchange made): empty health cells. The state
// and the comparison in kp6ctl's words, in both programs.
std::string bus_csv_row(const bus_row& r, const line_health* h, const char* compared_name);
// One field as RFC 4180 writes it: quoted when it holds a comma, a quote, CR
// or LF (quotes doubled); one that begins with =, +, -, @, a tab or a CR
// gets an apostrophe first, so that a spreadsheet takes it as text. Every
// cell of the bus record goes through here.
std::string csv_field(const std::string& text);

// Told during bus_read: before each address is asked and before each
// controller is read (row.state ROW_NOT_READ), and with each row's outcome
// (ROW_GARBLED as the scan names it, or as a Read names a collision,
// ROW_READ, ROW_FAILED; a Read that settings_stop stopped is told as
// ROW_FAILED with the step, minus, while its row stays ROW_NOT_READ). `done` of `total`
// steps (the addresses of the scan, then one a controller found). Non-zero
// stops before the next exchange.
typedef int (*bus_row_told)(void* ctx, const bus_row& row, unsigned done, unsigned total);

// Reads the bus: the scan from `from` to `to` (bus_scan at
// scan_timeout_ms), then a Read of each controller found, at the exchanges'
// own time-out. `rows` gets a row per controller found and per garbled
// address, in address order. SCAN_DONE, SCAN_STOPPED (told, or
// settings_stop), SCAN_LINE_LOST; rows not reached stay ROW_NOT_READ.
int bus_read(unsigned short port, unsigned char from, unsigned char to, std::vector<bus_row>& rows,
             bus_row_told told, void* ctx);
// The same with the scan's time-out given (a tool's -t).
int bus_read_timed(unsigned short port, unsigned char from, unsigned char to, unsigned long scan_ms,
                   std::vector<bus_row>& rows, bus_row_told told, void* ctx);

// Reads the controllers of `rows` again (those `pick` marks; null: every
// row but missing and garbled ones), as bus_read reads those it found.
int bus_read_rows(unsigned short port, std::vector<bus_row>& rows, const std::vector<bool>* pick,
                  bus_row_told told, void* ctx);

#endif
