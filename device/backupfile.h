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
#include "../device/wholefile.h"

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

// The text of a backup file of `entries`, read through `port` just now:
// its format, version, time (UTC), port and each controller's registers,
// with what each value means beside them when `meaning` is given.
std::string backup_text(const std::vector<backup_entry>& entries, const std::string& port,
                        std::string (*meaning)(int reg, unsigned value));

#endif
