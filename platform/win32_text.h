// Inside platform/, Windows only: the system's last error and text between
// UTF-8 and the wide calls (win32_text.cpp), for every Win32 file here.
#ifndef KP6_PLATFORM_WIN32_TEXT_H
#define KP6_PLATFORM_WIN32_TEXT_H

#include <windows.h>

// The system's last error, or `fallback` when it reports none.
int last_error_or(DWORD fallback);
// UTF-8 of wide text, into `size` bytes. 0 or the system's code.
int to_utf8(const wchar_t* w, char* out, unsigned size);
// Wide text of UTF-8, allocated; null when memory could not be had.
wchar_t* to_wide(const char* s);

#endif
