// Windows: the console and the environment: the console's events, the
// user's language, the arguments and variables as UTF-8, text on the
// console.
#include "platform.h"

#include <windows.h>
#include <shellapi.h>

#include "win32_text.h"
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static volatile LONG termination_requests, termination_signal;

// Ctrl-C and Ctrl-Break count as an interrupt (2), closing the console or
// ending the session as a hang-up (1), as the POSIX signals would.
static BOOL WINAPI on_console_event(DWORD type)
{
    LONG sig = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? 2
               : type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT ||
                       type == CTRL_SHUTDOWN_EVENT
                   ? 1
                   : 0;
    if (!sig)
        return FALSE;
    InterlockedCompareExchange(&termination_signal, sig, 0);
    InterlockedIncrement(&termination_requests);
    // A closing console ends the process as soon as this returns: hold it
    // for the few seconds the system grants, while the program finishes
    // (its own exit ends this thread too).
    if (sig == 1)
        Sleep(4500);
    return TRUE;
}

void plat_catch_termination(void)
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int plat_termination_requested(void)
{
    return (int)InterlockedCompareExchange(&termination_requests, 0, 0);
}

int plat_termination_signal(void)
{
    return (int)InterlockedCompareExchange(&termination_signal, 0, 0);
}

void plat_ui_language(char* out, unsigned size)
{
    LANGID id = GetUserDefaultUILanguage();
    char name[16] = "";
    if (!GetLocaleInfoA(MAKELCID(id, SORT_DEFAULT), LOCALE_SISO639LANGNAME, name, sizeof name))
        snprintf(name, sizeof name, "%s", PRIMARYLANGID(id) == LANG_RUSSIAN ? "ru" : "en");
    snprintf(out, size, "%s", name);
}

int plat_stderr_is_terminal(void)
{
    return GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

void plat_utf8_args(int* argc, char*** argv)
{
    int n = 0;
    wchar_t** w = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!w)
        return;
    // Kept until the program ends, as the system's own arguments are.
    char** out = (char**)calloc((size_t)n + 1, sizeof *out);
    for (int i = 0; out && i < n; i++) {
        int len = WideCharToMultiByte(CP_UTF8, 0, w[i], -1, nullptr, 0, nullptr, nullptr);
        out[i] = len > 0 ? (char*)malloc((size_t)len) : nullptr;
        if (!out[i] || to_utf8(w[i], out[i], (unsigned)len) != 0)
            out = nullptr;  // the ANSI arguments stay: better than none
    }
    LocalFree(w);
    if (out) {
        *argc = n;
        *argv = out;
    }
}

int plat_getenv(const char* name, char* out, unsigned size)
{
    wchar_t* wname = to_wide(name);
    if (!wname)
        return ERROR_NOT_ENOUGH_MEMORY;
    static wchar_t value[32768];  // the system's largest value
    DWORD n = GetEnvironmentVariableW(wname, value, sizeof value / sizeof value[0]);
    free(wname);
    if (n == 0 || n >= sizeof value / sizeof value[0])
        return last_error_or(ERROR_ENVVAR_NOT_FOUND);
    return to_utf8(value, out, size);
}

int plat_write_text(FILE* f, const char* text)
{
    HANDLE h = GetStdHandle(f == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode;
    if ((f != stdout && f != stderr) || !GetConsoleMode(h, &mode)) {
        SetLastError(0);
        if (fputs(text, f) >= 0 && fflush(f) == 0)
            return 0;
        // Windows says "being closed", Wine "not connected".
        DWORD e = GetLastError();
        bool closed = errno == EPIPE || e == ERROR_BROKEN_PIPE || e == ERROR_NO_DATA ||
                      e == ERROR_PIPE_NOT_CONNECTED;
        return closed ? PLAT_OUTPUT_CLOSED : e ? (int)e : (int)ERROR_WRITE_FAULT;
    }
    fflush(f);  // what the stream holds goes first
    wchar_t* w = to_wide(text);
    DWORD done = 0;
    BOOL ok = w && WriteConsoleW(h, w, (DWORD)wcslen(w), &done, nullptr);
    free(w);
    return ok ? 0 : last_error_or(ERROR_WRITE_FAULT);
}

// ---- who and where -------------------------------------------------------------

int plat_user_name(char* out, unsigned size)
{
    wchar_t name[257];
    DWORD n = 257;
    out[0] = 0;
    if (!GetUserNameW(name, &n))
        return last_error_or(ERROR_NO_SUCH_USER);
    return to_utf8(name, out, size);
}

int plat_host_name(char* out, unsigned size)
{
    wchar_t name[256];
    DWORD n = 256;
    out[0] = 0;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &n))
        return last_error_or(ERROR_INVALID_COMPUTERNAME);
    return to_utf8(name, out, size);
}
