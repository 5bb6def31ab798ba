// Windows' own part of testsupport.h beside testsupport_files.cpp: a
// scratch folder's making, the environment and polling. Pseudo-terminals
// and child processes stay on the Linux side.
#include "testsupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "../../platform/platform.h"

TempDir::TempDir()
{
    char base[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH)
        return;
    static unsigned serial;
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[MAX_PATH + 64];
        snprintf(name, sizeof name, "%skp6test.%lu.%u", base, (unsigned long)GetCurrentProcessId(),
                 serial++);
        if (CreateDirectoryA(name, nullptr)) {
            path = name;
            return;
        }
    }
}

void set_env(const char* name, const char* value)
{
    _putenv_s(name, value ? value : "");  // an empty value unsets
}

bool eventually(const std::function<bool()>& cond, int ms)
{
    uint32_t start = plat_tick_ms();
    for (;;) {
        if (cond())
            return true;
        if ((int32_t)(plat_tick_ms() - start) > ms)
            return false;
        Sleep(2);
    }
}
