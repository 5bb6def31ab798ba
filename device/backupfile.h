// kp6ctl's backup file: read within bounds, checked whole before anything
// is sent, written whole or not at all. No port and no main, so that a fuzz
// target can call the loader.
#ifndef KP6_BACKUPFILE_H
#define KP6_BACKUPFILE_H

#include <stdio.h>

#include <string>
#include <vector>

#include "../device/address.h"
#include "../device/settings.h"

enum { BACKUP_VERSION = 1 };
const char BACKUP_FORMAT[] = "kp6ctl backup";  // the file's "format"

// A backup is a few kilobytes; a longer file is refused unread beyond this.
enum { BACKUP_SIZE_MAX = 1024 * 1024 };
// The deepest a backup nests: the file's object, its list of controllers,
// a controller, and that controller's registers (or their meanings).
enum { BACKUP_DEPTH_MAX = 4 };

// A refusal shows at most this many bytes of the token it quotes.
enum { TOKEN_SHOWN_MAX = 40 };
// `text` as a refusal quotes it: a longer one is cut in its middle to
// TOKEN_SHOWN_MAX bytes ("..." and its last character), at a character's
// boundary.
std::string cut_token(const std::string& text);

struct backup_entry {
    unsigned char address;
    device_settings settings;
};

enum { READ_WHOLE, READ_TOO_LONG, READ_FAILED };
// Reads `f` to its end into `text`, but never more than BACKUP_SIZE_MAX + 1
// bytes: READ_TOO_LONG as soon as the bound is passed (an endless pipe
// too), READ_FAILED when reading failed.
int read_bounded(FILE* f, std::string& text);

// The text of the backup file `path` ("-": standard input). A path that is
// not a regular file (a folder, a FIFO, a device) is refused unopened, a
// file longer than the bound unread. false and the message otherwise.
bool read_backup_text(const std::string& path, std::string& text, std::string& message);

// Every controller of a backup file's text, or the message "NAME:LINE:
// what is wrong" (lines end in LF, CR LF or a CR alone). Refused: bad JSON,
// nesting deeper than BACKUP_DEPTH_MAX, a key given twice in one object, a
// value the format does not allow, a controller named twice however its
// address is written. Time and memory grow with the text's length alone.
bool parse_backup(const std::string& name, const std::string& text,
                  std::vector<backup_entry>& entries, std::string& message);

// The entry for `address`, or the file's only one whatever its address (a
// template); null when neither (`address` -1: none named). The loader
// refuses an address given twice, so there is one match at most.
const backup_entry* backup_entry_for(const std::vector<backup_entry>& entries, int address);

// read_backup_text and parse_backup.
bool load_backup(const std::string& path, std::vector<backup_entry>& entries, std::string& message);

// Whether a backup may be written to `path`: "-", a new file, or a regular
// file this user may write (for a symbolic link: the file it leads to).
// false and the message for a folder, a FIFO, a device, a file without
// write permission, a loop of links.
bool backup_target_ok(const std::string& path, std::string& message);

// The one writer of a whole file (backups, CSV, the report, the
// preferences): `text` to a temporary file of a name of its own beside
// `target` (a path no link leads on from), given the permissions of the
// file it replaces (a failed copy fails the write), on disk, then put in
// its place; the folders above it made first when `make_folders`. 0, or 1
// and the system's words in `why` (nothing of the old file lost).
int write_whole(const std::string& target, const std::string& text, bool make_folders,
                std::string& why);

enum { SAVE_DONE, SAVE_REFUSED, SAVE_FAILED, SAVE_OUTPUT_CLOSED };
// Writes the whole text or nothing ("-": standard output). A file is
// written to a temporary file beside it (beside the file a link leads to:
// the link stays), given the permissions of the file it replaces, and put
// in its place once it is on disk. SAVE_REFUSED: what backup_target_ok
// refuses; SAVE_FAILED: the write failed (a full disk: the system's words);
// SAVE_OUTPUT_CLOSED: standard output's reader has gone. The message
// unless SAVE_DONE.
int save_text(const std::string& path, const std::string& text, std::string& message);

// The text of a backup file of `entries`, read through `port` just now:
// its format, version, time (UTC), port and each controller's registers,
// with what each value means beside them when `meaning` is given.
std::string backup_text(const std::vector<backup_entry>& entries, const std::string& port,
                        std::string (*meaning)(int reg, unsigned value));

#endif
