// Whole files written at once: a backup, a CSV, a saved traffic log, the
// report, the preferences. A reader never finds one half written.
#ifndef KP6_WHOLEFILE_H
#define KP6_WHOLEFILE_H

#include <string>

// Whether a whole file may be written to `path`: "-", a new file, or a regular
// file this user may write (for a symbolic link: the file it leads to).
// false and the message for a folder, a FIFO, a device, a file without
// write permission, a loop of links.
bool save_target_ok(const std::string& path, std::string& message);

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
// in its place once it is on disk. SAVE_REFUSED: what save_target_ok
// refuses; SAVE_FAILED: the write failed (a full disk: the system's words);
// SAVE_OUTPUT_CLOSED: standard output's reader has gone. The message
// unless SAVE_DONE.
int save_text(const std::string& path, const std::string& text, std::string& message);

// The system's words for an error number, in the window's language.
std::string system_text(int code);
// What a path that is no regular file is (a PLAT_FILE_* kind): "a folder,
// not a regular file".
const char* file_kind_text(int kind);

#endif
