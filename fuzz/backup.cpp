// kp6ctl's backup loader on a file's text, as restore checks it before
// anything is sent: it accepts a list of controllers or names the line and
// what is wrong.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "../device/backupfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text((const char*)data, size);
    std::vector<backup_entry> entries;
    std::string message;
    bool ok = parse_backup("fuzz.json", text, entries, message);
    if (ok != message.empty() || (ok && entries.empty()))
        __builtin_trap();
    if (!ok) {
        // "fuzz.json:LINE: what", the line one of the file's.
        size_t colon = message.find(": ", 10);
        if (message.compare(0, 10, "fuzz.json:") != 0 || colon == std::string::npos)
            __builtin_trap();
        unsigned long line = strtoul(message.c_str() + 10, nullptr, 10);
        size_t lines = 1;
        for (char c : text)
            lines += c == '\n';
        if (line < 1 || line > lines)
            __builtin_trap();
    }
    return 0;
}
