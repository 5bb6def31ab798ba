// Files, the program's folder, the environment and console text on
// Windows, through the wide calls: beside platform_win32.cpp, one concern of
// its own.
#include <winsock2.h>
#include <ws2tcpip.h>
#include "platform.h"
#include "win32_text.h"
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

// ---- files ---------------------------------------------------------------------

int plat_user_prefs_dir(char* out, unsigned size)
{
    wchar_t path[MAX_PATH + 1] = L"C:\\FLTK";  // the toolkit's own fallback
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER,
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        wchar_t value[MAX_PATH + 1];
        DWORD type = 0, n = sizeof value - sizeof value[0];
        if (RegQueryValueExW(key, L"AppData", nullptr, &type, (BYTE*)value, &n) == ERROR_SUCCESS &&
            type == REG_SZ && n > 0) {
            value[n / sizeof value[0]] = 0;
            wcscpy(path, value);
        }
        RegCloseKey(key);
    }
    for (wchar_t* p = path; *p; p++)
        if (*p == L'\\')
            *p = L'/';
    return to_utf8(path, out, size);
}

int plat_documents_dir(char* out, unsigned size)
{
    wchar_t path[MAX_PATH + 1];
    HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, path);
    if (hr != S_OK)
        return (int)ERROR_PATH_NOT_FOUND;
    return to_utf8(path, out, size);
}

void plat_ui_language(char* out, unsigned size)
{
    LANGID id = GetUserDefaultUILanguage();
    char name[16] = "";
    if (!GetLocaleInfoA(MAKELCID(id, SORT_DEFAULT), LOCALE_SISO639LANGNAME, name, sizeof name))
        snprintf(name, sizeof name, "%s", PRIMARYLANGID(id) == LANG_RUSSIAN ? "ru" : "en");
    snprintf(out, size, "%s", name);
}

int plat_serial_exists(const char* name)
{
    // COM12 or \\.\COM12: a name of the system's device space.
    const char* device = strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
    char target[1024];
    if (QueryDosDeviceA(device, target, sizeof target))
        return 0;
    return last_error_or(ERROR_FILE_NOT_FOUND);
}

int plat_stderr_is_terminal(void)
{
    return GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

// ---- files ---------------------------------------------------------------------

// A device's name without its folder, \\.\ and extension: "COM7".
static void device_base(const char* path, char* out, size_t size)
{
    const char* base = path;
    for (const char* p = path; *p; p++)
        if (*p == '\\' || *p == '/' || *p == ':')
            base = p + 1;
    size_t n = strcspn(base, ".");
    while (n > 0 && base[n - 1] == ' ')
        n--;
    snprintf(out, size, "%.*s", (int)n, base);
}

// CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9 name a device in every
// folder and with any extension; \\.\ and \\?\ paths are the system's own.
static int device_name(const char* path)
{
    if (strncmp(path, "\\\\.\\", 4) == 0 || strncmp(path, "\\\\?\\", 4) == 0)
        return 1;
    char base[16];
    device_base(path, base, sizeof base);
    size_t n = strlen(base);
    static const char* const names[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char* name : names)
        if (n == 3 && _strnicmp(base, name, 3) == 0)
            return 1;
    return n == 4 && (_strnicmp(base, "COM", 3) == 0 || _strnicmp(base, "LPT", 3) == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

int plat_file_kind(const char* path, int* kind)
{
    if (device_name(path)) {
        *kind = PLAT_FILE_DEVICE;
        return 0;
    }
    wchar_t* w = to_wide(path);
    if (!w)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD a = GetFileAttributesW(w);
    int rc = a == INVALID_FILE_ATTRIBUTES ? last_error_or(ERROR_FILE_NOT_FOUND) : 0;
    free(w);
    if (rc)
        return rc;
    *kind = a & FILE_ATTRIBUTE_DIRECTORY ? PLAT_FILE_FOLDER : PLAT_FILE_REGULAR;
    return 0;
}

// An opened file as a stream, once it is checked to be a file on disk
// (a pipe or a device may have taken its place since the look); the handle
// is closed otherwise.
static int stream_of(HANDLE h, int flags, const char* mode, FILE** f, int* kind)
{
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        *kind = PLAT_FILE_DEVICE;
        return -1;
    }
    int fd = _open_osfhandle((intptr_t)h, flags);
    if (fd < 0) {
        CloseHandle(h);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *f = _fdopen(fd, mode);
    if (!*f) {
        _close(fd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return 0;
}

int plat_file_open_regular(const char* path, FILE** f, int* kind)
{
    *f = nullptr;
    int rc = plat_file_kind(path, kind);
    if (rc)
        return rc;
    if (*kind != PLAT_FILE_REGULAR)
        return -1;
    wchar_t* w = to_wide(path);
    if (!w)
        return ERROR_NOT_ENOUGH_MEMORY;
    HANDLE h = CreateFileW(w, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    rc = h == INVALID_HANDLE_VALUE ? last_error_or(ERROR_FILE_NOT_FOUND) : 0;
    free(w);
    if (rc)
        return rc;
    // A pipe or a device in the file's place since the check.
    return stream_of(h, _O_RDONLY | _O_BINARY, "rb", f, kind);
}

int plat_file_open_append(const char* path, FILE** f, int* kind)
{
    *f = nullptr;
    int rc = plat_file_kind(path, kind);
    if (rc != 0 && rc != ERROR_FILE_NOT_FOUND)
        return rc;
    if (rc == 0 && *kind != PLAT_FILE_REGULAR)
        return -1;
    wchar_t* w = to_wide(path);
    if (!w)
        return ERROR_NOT_ENOUGH_MEMORY;
    HANDLE h = CreateFileW(w, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    rc = h == INVALID_HANDLE_VALUE ? last_error_or(ERROR_ACCESS_DENIED) : 0;
    free(w);
    if (rc)
        return rc;
    return stream_of(h, _O_WRONLY | _O_APPEND | _O_BINARY, "ab", f, kind);
}

// The C library keeps the system's own code of its last failed call.
int plat_file_error(void)
{
    return _doserrno ? (int)_doserrno : ERROR_WRITE_FAULT;
}

static int file_id(const char* path, BY_HANDLE_FILE_INFORMATION* info)
{
    wchar_t* w = to_wide(path);
    if (!w)
        return 0;
    HANDLE h = CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    free(w);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    BOOL ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok != 0;
}

int plat_file_same(const char* a, const char* b)
{
    if (device_name(a) || device_name(b)) {
        char da[MAX_PATH], db[MAX_PATH];
        device_base(a, da, sizeof da);
        device_base(b, db, sizeof db);
        return device_name(a) && device_name(b) && _stricmp(da, db) == 0;
    }
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return file_id(a, &ia) && file_id(b, &ib) &&
           ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

int plat_make_folders(const char* path)
{
    wchar_t* w = to_wide(path);
    if (!w)
        return ERROR_NOT_ENOUGH_MEMORY;
    int rc = 0;
    // Past a drive ("C:\\") or a share's name ("\\\\server\\share\\").
    wchar_t* p = w;
    if (p[0] && p[1] == L':')
        p += 2;
    int skip = p[0] == L'\\' && p[1] == L'\\' ? 4 : 1;
    for (; *p && skip > 0; p++)
        if (*p == L'\\' || *p == L'/')
            skip--;
    for (;; p++) {
        if (*p && *p != L'\\' && *p != L'/')
            continue;
        wchar_t end = *p;
        *p = 0;
        if (!CreateDirectoryW(w, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            rc = last_error_or(ERROR_PATH_NOT_FOUND);
        DWORD a = GetFileAttributesW(w);
        if (!rc && (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)))
            rc = ERROR_DIRECTORY;
        *p = end;
        if (rc || !end)
            break;
    }
    free(w);
    return rc;
}

int plat_file_commit(FILE* f)
{
    if (fflush(f) != 0)
        return ERROR_WRITE_FAULT;
    if (!FlushFileBuffers((HANDLE)_get_osfhandle(_fileno(f))))
        return last_error_or(ERROR_WRITE_FAULT);
    return 0;
}

// rename() would refuse a target that exists.
int plat_file_replace(const char* from, const char* to)
{
    wchar_t* wfrom = to_wide(from);
    wchar_t* wto = to_wide(to);
    int rc = !wfrom || !wto ? ERROR_NOT_ENOUGH_MEMORY : 0;
    if (!rc && !MoveFileExW(wfrom, wto, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        rc = last_error_or(ERROR_ACCESS_DENIED);
    free(wfrom);
    free(wto);
    return rc;
}

// Only a file that is a link (a reparse point) is opened, to ask where it
// leads.
int plat_file_final_path(const char* path, char* out, unsigned size)
{
    wchar_t* w = to_wide(path);
    if (!w)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD a = GetFileAttributesW(w);
    int rc = 0;
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        HANDLE h = CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        static wchar_t target[32768];
        DWORD n = h == INVALID_HANDLE_VALUE
                      ? 0
                      : GetFinalPathNameByHandleW(h, target, sizeof target / sizeof target[0],
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        rc = n == 0 || n >= sizeof target / sizeof target[0] ? last_error_or(ERROR_PATH_NOT_FOUND)
                                                             : 0;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        // "\\?\C:\..." is the folder's ordinary name behind a prefix.
        bool drive = wcsncmp(target, L"\\\\?\\", 4) == 0 && target[5] == L':';
        if (!rc)
            rc = to_utf8(drive ? target + 4 : target, out, size);
    } else if (strlen(path) >= size) {
        rc = ERROR_FILENAME_EXCED_RANGE;
    } else {
        strcpy(out, path);
    }
    free(w);
    return rc;
}

int plat_file_writable(const char* path)
{
    wchar_t* w = to_wide(path);
    if (!w)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD a = GetFileAttributesW(w);
    free(w);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) ? ERROR_ACCESS_DENIED : 0;
}

// A new file takes the permissions its folder hands down, as the file it
// replaces most often did.
int plat_file_same_mode(FILE*, const char*)
{
    return 0;
}

int plat_executable_dir(char* out, unsigned size)
{
    wchar_t path[32768];
    DWORD n = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
    if (n == 0 || n >= sizeof path / sizeof path[0])
        return n ? ERROR_FILENAME_EXCED_RANGE : last_error_or(ERROR_FILE_NOT_FOUND);
    path[n] = 0;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash)
        return ERROR_FILE_NOT_FOUND;
    *slash = 0;
    return to_utf8(path, out, size);
}

// ---- text ----------------------------------------------------------------------

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

FILE* plat_fopen(const char* path, const char* mode)
{
    wchar_t* wpath = to_wide(path);
    wchar_t* wmode = to_wide(mode);
    FILE* f = wpath && wmode ? _wfopen(wpath, wmode) : nullptr;
    free(wpath);
    free(wmode);
    return f;
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
        return closed ? PLAT_OUTPUT_CLOSED : -1;
    }
    fflush(f);  // what the stream holds goes first
    wchar_t* w = to_wide(text);
    DWORD done = 0;
    BOOL ok = w && WriteConsoleW(h, w, (DWORD)wcslen(w), &done, nullptr);
    free(w);
    return ok ? 0 : -1;
}
