// Windows: the system's last error, and text between UTF-8 and the wide
// calls, for every Win32 file of the platform layer.
#include "win32_text.h"

#include <stdlib.h>

int last_error_or(DWORD fallback)
{
    DWORD e = GetLastError();
    return (int)(e ? e : fallback);
}

// UTF-8 of wide text, into `size` bytes. 0 or the system's code.
int to_utf8(const wchar_t* w, char* out, unsigned size)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, out, (int)size, nullptr, nullptr);
    return n > 0 ? 0 : last_error_or(ERROR_INSUFFICIENT_BUFFER);
}

// Wide text of UTF-8, allocated; null when memory could not be had.
wchar_t* to_wide(const char* s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    wchar_t* w = n > 0 ? (wchar_t*)malloc((size_t)n * sizeof *w) : nullptr;
    if (w && MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n) <= 0) {
        free(w);
        w = nullptr;
    }
    return w;
}
