// The service record: an append-only file of JSON Lines, one record per
// read of a controller and per setting written, each chained to the line
// before it by its SHA-256, so that a record changed or removed afterwards
// shows. No window: the window and kp6ctl share it.
#ifndef KP6_JOURNAL_H
#define KP6_JOURNAL_H

#include <string>

#include "exchange.h"
#include "settings.h"

// Results: 0, or why the journal could not be used.
enum {
    JOURNAL_OK,
    JOURNAL_NOT_A_FILE,  // a folder, FIFO or device (also through links): refused unopened
    JOURNAL_NO_PLACE,    // no folder to keep it in (no KP6_JOURNAL, no home)
    JOURNAL_SYSTEM       // the system refused (open, lock, write, commit): `error` says why
};

// Who writes, kept for every record of a run: the program ("kp6 1.0.0"),
// the line (port name or URL) and the adapter's serial number ("" unknown).
// The user and host are taken from the system.
struct journal_writer {
    std::string path;     // the journal's file: journal_path()
    std::string program;  // "kp6ctl 1.0.0"
    std::string line;     // "/dev/ttyUSB0", "rfc2217://127.0.0.1:7000"
    std::string adapter;  // the adapter's serial number, or empty
};

// The journal's file: KP6_JOURNAL, else $XDG_DATA_HOME/kp6/journal.jsonl
// (~/.local/share/kp6/journal.jsonl) or %APPDATA%\KP-6\journal.jsonl.
// JOURNAL_OK or JOURNAL_NO_PLACE.
int journal_path(std::string& out);

// Whether a write step may start: the file (made, with its folder, when
// missing) opens and locks. JOURNAL_OK, else the cause; *error: the
// system's code for JOURNAL_SYSTEM, the file's kind (PLAT_FILE_FOLDER,
// _FIFO, _DEVICE) for JOURNAL_NOT_A_FILE.
int journal_ready(const journal_writer& w, int* error);
// Why the journal `path` cannot be used, for people: "the journal PATH is a
// FIFO, not a file", "cannot write the journal PATH: CAUSE", "no folder for
// the journal: set KP6_JOURNAL to a file"; "" for JOURNAL_OK. For
// JOURNAL_NOT_A_FILE `error` is the file's kind (PLAT_FILE_*), for
// JOURNAL_SYSTEM the system's code.
std::string journal_problem_text(const std::string& path, int rc, int error);

// The value of a change record's "result": the read-back agreed; the
// controller acknowledged (05) and nothing was read back; or "failed: "
// and the cause in kp6ctl's words.
extern const char JOURNAL_CONFIRMED[];     // "confirmed"
extern const char JOURNAL_ACKNOWLEDGED[];  // "acknowledged"

// A value absent from a record (a change with no read before it, or no
// read-back).
enum { JOURNAL_NONE = -1 };

// Appends one record under an exclusive lock: reads the last line for
// "seq" and "prev", appends, commits to disk, unlocks. JOURNAL_OK, else the
// cause (*error as journal_ready's); nothing is appended then.
// "found": the six settings as read, with the line's health with the
// address (`h` null: none).
int journal_found(const journal_writer& w, unsigned char address, const device_settings& s,
                  const line_health* h, int* error);
// "change": one setting written ("ER79", "IR24"), what it held before
// (JOURNAL_NONE: not read), what was asked, what was read back
// (JOURNAL_NONE: not read back), and the result.
int journal_change(const journal_writer& w, unsigned char address, const char* setting, int before,
                   int asked, int after, const std::string& result, int* error);

// "ER72 was written (30 → 94) but the journal could not record it: No space
// left on device"; without `before`: "(→ 94)". The message a write step
// stops with.
std::string journal_unrecorded_text(const char* setting, int before, int asked, int error);

// The change records of one write sequence to `address` (IR24, then the six
// settings in settings_write's order), as settings_write or
// restore_controller left it: `failed_step` 0 all sent, k > 0 step k
// failed (`cause`, in kp6ctl's words; the steps after it were not sent and
// get no record), -k stopped before step k. `before`: the settings read
// before the write (null: none); `back`: as read back (null: not read back,
// every sent step "acknowledged"; else "confirmed" where it reads back as
// asked, ER78 by type and inverse gun). Stops at the first record it cannot
// append: JOURNAL_OK, or the cause with *error and *unrecorded, the
// message naming that setting (journal_unrecorded_text). The records go
// out under one lock and one commit (one at a time only after that failed,
// to find the first that cannot be kept).
int journal_sequence(const journal_writer& w, unsigned char address, const device_settings* before,
                     const device_settings& asked, const device_settings* back, int failed_step,
                     const std::string& cause, int* error, std::string* unrecorded);

// One record as read back.
enum { JOURNAL_FOUND, JOURNAL_CHANGE };
struct journal_record {
    unsigned long seq;
    std::string time;    // "2026-12-09T10:11:12.345Z"
    std::string offset;  // "+03:00"
    int event;           // JOURNAL_FOUND or JOURNAL_CHANGE
    std::string user, host, program, line, adapter;
    unsigned char address;
    device_settings found;  // JOURNAL_FOUND
    bool has_health;
    line_health health;        // JOURNAL_FOUND, when kept
    std::string setting;       // JOURNAL_CHANGE: "ER79", "IR24"
    int before, asked, after;  // JOURNAL_NONE when absent
    std::string result;
    std::string prev;  // the previous line's SHA-256, hex
    std::string text;  // the line as stored, without its LF
};

// How a walk through the journal ended. A break is the first one found.
enum {
    JOURNAL_INTACT,
    JOURNAL_CHANGED,       // record `at`'s "prev" is not the line before it
    JOURNAL_NOT_A_RECORD,  // line `at` is no record
    JOURNAL_OUT_OF_ORDER   // records `at` and `at_next` are not in order
};
struct journal_verdict {
    unsigned long records;              // records read
    std::string first_time, last_time;  // of the first and last record
    std::string first_date, last_date;  // the same as local dates: "2026-12-09"
    std::string head;                   // SHA-256 of the last line, hex
    int state;                          // JOURNAL_INTACT or the first break
    // Where the break is: JOURNAL_CHANGED the seq of the record named (the
    // one altered, or the first after records removed), JOURNAL_NOT_A_RECORD
    // a line number, JOURNAL_OUT_OF_ORDER the two seqs.
    unsigned long at, at_next;
    bool head_found;        // `want_head` is the hash of one of its lines
    std::string want_head;  // the head asked for, lower case ("" none)
};

// Told of each line, in the file's order: its record, or null for a line
// that is none (`line_no` from 1). Non-zero stops the walk. The verdict is
// filled as the walk goes: its state has changed by the line where a break
// is met (a listing marks it there).
typedef int (*journal_told)(void* ctx, const journal_record* r, unsigned long line_no);

// Walks the journal `path` in bounded memory, telling each line and
// checking the chain (and, with `want_head`, whether that head is in it).
// JOURNAL_OK and the verdict; JOURNAL_OK with no records when the file is
// missing; else the cause (*error as journal_ready's). A line longer than
// 64 KiB is no record, and is chained as 64 zeros by the walk and by an
// append after it alike.
int journal_walk(const std::string& path, journal_told told, void* ctx, const char* want_head,
                 journal_verdict* v, int* error);

// "journal intact: 1204 records, 2026-03-01 to 2026-12-09, head 3f9a…", or
// the first break: "record 118: changed, or a record before it removed",
// "line 40 is not a record", "records 12 and 13 out of order".
// "journal empty: 0 records" when there are none; with a head asked for
// that is not in it, "; head … is not in the journal: cut short or
// rebuilt after it was printed" follows.
std::string journal_verdict_text(const journal_verdict& v);
// 1 when the chain is whole and the head asked for (if any) is in it.
int journal_intact(const journal_verdict& v);

// A record's local time, its "time" moved by its "offset":
// "2026-12-09 13:11:12".
std::string journal_local_time(const journal_record& r);
// The same to the millisecond: "2026-12-31T22:30:00.250Z" and "+03:00"
// give "2027-01-01T01:30:00.250". 1, or 0 when either does not read.
int journal_local_stamp(const std::string& utc, const std::string& offset, std::string& out);
// A period's bound as typed (YYYY-MM-DD or YYYY-MM-DDTHH:MM, a space for
// the T too, local time) in the form journal_in_period compares; `until`
// non-zero takes in the whole day or minute. 1, or 0 for a text that is
// neither.
int journal_period_bound(const char* text, int until, std::string* bound);
// The same bound in journal_local_stamp's form: "2026-12-09T23:59:59.999".
int journal_period_stamp(const std::string& text, int until, std::string& out);
// Whether a record's local time lies within bounds ("": open).
int journal_in_period(const journal_record& r, const std::string& since, const std::string& until);

#endif
