// kp6ctl's backup loader on a file's text, as restore checks it before
// anything is sent: it accepts a list of controllers, each once, or names
// the line and what is wrong, quoting no token longer than the bound.
// `bash build.sh fuzz` gives it inputs up to the file's bound (1 MiB).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "../tools/backupfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text((const char*)data, size);
    std::vector<backup_entry> entries;
    std::string message;
    bool ok = parse_backup("fuzz.json", text, entries, message);
    if (ok != message.empty() || (ok && entries.empty()))
        __builtin_trap();
    bool seen[256] = {};
    for (const backup_entry& e : entries) {
        if (seen[e.address])
            __builtin_trap();
        seen[e.address] = true;
    }
    if (!ok) {
        // "fuzz.json:LINE: what", the line one of the file's.
        size_t colon = message.find(": ", 10);
        if (message.compare(0, 10, "fuzz.json:") != 0 || colon == std::string::npos)
            __builtin_trap();
        unsigned long line = strtoul(message.c_str() + 10, nullptr, 10);
        // Lines end in LF, CR LF or a CR alone.
        size_t lines = 1;
        for (size_t i = 0; i < size; i++)
            lines += text[i] == '\r' || (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'));
        if (line < 1 || line > lines)
            __builtin_trap();
        // Short whatever the file holds: the tokens it quotes are cut.
        if (message.size() > 400)
            __builtin_trap();
    }
    return 0;
}
