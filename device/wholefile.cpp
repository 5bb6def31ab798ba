#include "wholefile.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "../i18n/words.h"
#include "../platform/platform.h"
#include "fault_words.h"
#include "text.h"

std::string system_text(int code)
{
    char reason[200];
    error_words(code, reason, sizeof reason);
    return reason;
}

const char* file_kind_text(int kind)
{
    switch (kind) {
    case PLAT_FILE_FOLDER: return words(W_("a folder, not a regular file"));
    case PLAT_FILE_FIFO: return words(W_("a FIFO, not a regular file"));
    case PLAT_FILE_DEVICE: return words(W_("a device, not a regular file"));
    default: return words(W_("not a regular file"));
    }
}

// Where a write to `path` lands, or "" and the message.
static std::string final_path(const std::string& path, std::string& message)
{
    std::string out(65536, '\0');
    int rc = plat_file_final_path(path.c_str(), &out[0], (unsigned)out.size());
    if (rc) {
        message = said(W_("cannot write %s: %s"), path.c_str(), system_text(rc).c_str());
        return "";
    }
    out.resize(strlen(out.c_str()));
    return out;
}

int write_whole(const std::string& target, const std::string& text, bool make_folders,
                std::string& why)
{
    size_t cut = target.find_last_of("/\\");
    int rc = make_folders && cut != std::string::npos && cut > 0
                 ? plat_make_folders(target.substr(0, cut).c_str())
                 : 0;
    if (rc) {
        why = system_text(rc);
        return 1;
    }
    // A name of its own, so that another run saving at once does not write
    // into it; a leftover or a link planted there goes first.
    char tmp_end[32];
    snprintf(tmp_end, sizeof tmp_end, ".%llx.tmp", (unsigned long long)plat_perf_counter());
    std::string tmp = target + tmp_end;
    plat_remove(tmp.c_str());
    FILE* f = plat_fopen(tmp.c_str(), "wb");
    if (!f) {
        why = system_text(errno);
        return 1;
    }
    why.clear();
    // A copy of the mode that failed fails the write: the file it replaces
    // may be private.
    rc = plat_file_same_mode(f, target.c_str());
    if (rc)
        why = system_text(rc);
    if (why.empty() && fwrite(text.data(), 1, text.size(), f) != text.size())
        why = strerror(errno);
    rc = why.empty() ? plat_file_commit(f) : 0;
    if (rc)
        why = system_text(rc);
    if (fclose(f) != 0 && why.empty())
        why = strerror(errno);
    if (why.empty() && (rc = plat_file_replace(tmp.c_str(), target.c_str())) != 0)
        why = system_text(rc);
    if (why.empty())
        return 0;
    plat_remove(tmp.c_str());
    return 1;
}

bool save_target_ok(const std::string& path, std::string& message)
{
    if (path == "-")
        return true;
    std::string target = final_path(path, message);
    if (target.empty())
        return false;
    int kind = PLAT_FILE_REGULAR;
    // A path that cannot be looked at is left to the write to report.
    if (plat_file_kind(target.c_str(), &kind) == 0 && kind != PLAT_FILE_REGULAR) {
        message = said(W_("cannot write %s: %s"), path.c_str(), file_kind_text(kind));
        return false;
    }
    int rc = plat_file_writable(target.c_str());
    if (rc)
        message = said(W_("cannot write %s: %s"), path.c_str(), system_text(rc).c_str());
    return rc == 0;
}

int save_text(const std::string& path, const std::string& text, std::string& message)
{
    if (path == "-") {
        int rc = plat_write_text(stdout, text.c_str());
        if (rc == 0)
            return SAVE_DONE;
        message = "cannot write -: " + std::string(rc == PLAT_OUTPUT_CLOSED
                                                       ? "the reader of standard output has gone"
                                                       : strerror(errno));
        return rc == PLAT_OUTPUT_CLOSED ? SAVE_OUTPUT_CLOSED : SAVE_FAILED;
    }
    if (!save_target_ok(path, message))
        return SAVE_REFUSED;
    // Beside the file a link leads to, so that the link stays and the
    // replacement is one step in one folder.
    std::string why;
    if (write_whole(final_path(path, message), text, false, why) == 0)
        return SAVE_DONE;
    message = said(W_("cannot write %s: %s"), path.c_str(), why.c_str());
    return SAVE_FAILED;
}
