// Windows: files and folders through the wide calls, the program's own
// folder and the user's.
#include "platform.h"
#include "system.h"

#include <windows.h>

#include <shlobj.h>

#include "win32_text.h"
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// ---- the user's folders ----------------------------------------------------------

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

// `path` opened as a handle for `access`, created with `creation`; 0 or the
// system's code, `fallback` when it gives none.
static int open_handle(const char* path, DWORD access, DWORD creation, DWORD fallback, HANDLE* h)
{
    wchar_t* w = to_wide(path);
    if (!w)
        return ERROR_NOT_ENOUGH_MEMORY;
    *h = CreateFileW(w, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, creation,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
    int rc = *h == INVALID_HANDLE_VALUE ? last_error_or(fallback) : 0;
    free(w);
    return rc;
}

int plat_file_open_regular(const char* path, FILE** f, int* kind)
{
    *f = nullptr;
    HANDLE h;
    int rc = sys_file_may_open(path, kind, 0);
    if (!rc)
        rc = open_handle(path, GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND, &h);
    if (rc)
        return rc;
    // A pipe or a device in the file's place since the check.
    return stream_of(h, _O_RDONLY | _O_BINARY, "rb", f, kind);
}

int plat_file_open_append(const char* path, FILE** f, int* kind)
{
    *f = nullptr;
    HANDLE h;
    int rc = sys_file_may_open(path, kind, ERROR_FILE_NOT_FOUND);
    if (!rc)
        rc = open_handle(path, GENERIC_WRITE, OPEN_ALWAYS, ERROR_ACCESS_DENIED, &h);
    if (rc)
        return rc;
    return stream_of(h, _O_WRONLY | _O_APPEND | _O_BINARY, "ab", f, kind);
}

int plat_file_open_update(const char* path, FILE** f, int* kind)
{
    *f = nullptr;
    HANDLE h;
    int rc = sys_file_may_open(path, kind, ERROR_FILE_NOT_FOUND);
    if (!rc)
        rc = open_handle(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, ERROR_ACCESS_DENIED, &h);
    if (rc)
        return rc;
    return stream_of(h, _O_RDWR | _O_APPEND | _O_BINARY, "a+b", f, kind);
}

static HANDLE handle_of(FILE* f)
{
    return (HANDLE)_get_osfhandle(_fileno(f));
}

int plat_file_lock(FILE* f, unsigned long ms)
{
    plat_deadline d;
    plat_deadline_start(&d, ms);
    for (;;) {
        // One byte far past any end the file reaches: Windows' locks are
        // mandatory, and a lock on the data would fail a reader's reads.
        OVERLAPPED o = {};
        o.OffsetHigh = 0x7FFFFFFF;
        if (LockFileEx(handle_of(f), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &o))
            return 0;
        DWORD e = GetLastError();
        if (e != ERROR_LOCK_VIOLATION && e != ERROR_IO_PENDING)
            return (int)e;
        if (plat_deadline_expired(&d))
            return WAIT_TIMEOUT;
        plat_sleep_ms(2);
    }
}

void plat_file_unlock(FILE* f)
{
    OVERLAPPED o = {};
    o.OffsetHigh = 0x7FFFFFFF;
    UnlockFileEx(handle_of(f), 0, 1, 0, &o);
}

int plat_file_cut(FILE* f, long size)
{
    clearerr(f);
    LARGE_INTEGER at;
    at.QuadPart = size;
    HANDLE h = handle_of(f);
    if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h))
        return last_error_or(ERROR_WRITE_FAULT);
    return 0;
}

int plat_user_data_file(const char*, const char* windows_folder, const char* name, char* out,
                        unsigned size)
{
    // %APPDATA% as the user's environment names it, else the shell's.
    wchar_t path[MAX_PATH + 1];
    DWORD n = GetEnvironmentVariableW(L"APPDATA", path, MAX_PATH + 1);
    if ((n == 0 || n > MAX_PATH) &&
        SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, path) != S_OK)
        return (int)ERROR_PATH_NOT_FOUND;
    char folder[3 * MAX_PATH + 1];
    int rc = to_utf8(path, folder, sizeof folder);
    if (rc)
        return rc;
    int len = snprintf(out, size, "%s\\%s\\%s", folder, windows_folder, name);
    return len >= 0 && (unsigned)len < size ? 0 : ERROR_BUFFER_OVERFLOW;
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

FILE* plat_fopen(const char* path, const char* mode)
{
    wchar_t* wpath = to_wide(path);
    wchar_t* wmode = to_wide(mode);
    FILE* f = wpath && wmode ? _wfopen(wpath, wmode) : nullptr;
    free(wpath);
    free(wmode);
    return f;
}

int plat_symlink(const char*, const char*)
{
    return ERROR_NOT_SUPPORTED;
}

int plat_remove(const char* path)
{
    wchar_t* w = to_wide(path);
    int rc = !w               ? ERROR_NOT_ENOUGH_MEMORY
             : DeleteFileW(w) ? 0
                              : last_error_or(ERROR_FILE_NOT_FOUND);
    free(w);
    return rc;
}
