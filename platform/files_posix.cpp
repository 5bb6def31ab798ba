// POSIX: files and folders, the program's own folder and the user's.
#include "platform.h"
#include "posix_util.h"
#include "system.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- files ---------------------------------------------------------------------

int plat_executable_dir(char* out, unsigned size)
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return errno_or(ENOENT);
    path[n] = 0;
    char* slash = strrchr(path, '/');
    if (!slash)
        return ENOENT;
    *slash = 0;
    if (strlen(path) >= size)
        return ENAMETOOLONG;
    strcpy(out, path);
    return 0;
}

int plat_user_prefs_dir(char* out, unsigned size)
{
    // Without a home the toolkit falls back on the system's folder.
    const char* home = getenv("HOME");
    const char* slash = home && home[0] && home[strlen(home) - 1] == '/' ? "" : "/";
    int n = home ? snprintf(out, size, "%s%s.fltk", home, slash) : snprintf(out, size, "/etc/fltk");
    return n >= 0 && (unsigned)n < size ? 0 : ENAMETOOLONG;
}

// The documents folder that xdg-user-dirs wrote for the home `home`:
// XDG_DOCUMENTS_DIR="$HOME/Documents" in the user's config folder.
static int xdg_documents(const char* home, char* out, unsigned size)
{
    const char* config = getenv("XDG_CONFIG_HOME");
    char path[PATH_MAX];
    if (config && config[0] == '/')
        snprintf(path, sizeof path, "%s/user-dirs.dirs", config);
    else
        snprintf(path, sizeof path, "%s/.config/user-dirs.dirs", home);
    FILE* f = fopen(path, "r");
    if (!f)
        return ENOENT;
    char line[PATH_MAX], value[PATH_MAX] = "";
    while (fgets(line, sizeof line, f)) {
        const char* p = line + strspn(line, " \t");
        if (strncmp(p, "XDG_DOCUMENTS_DIR=\"", 19) != 0)
            continue;
        p += 19;
        size_t n = strcspn(p, "\"");
        if (strncmp(p, "$HOME", 5) == 0)
            snprintf(value, sizeof value, "%s%.*s", home, (int)(n - 5), p + 5);
        else if (p[0] == '/')
            snprintf(value, sizeof value, "%.*s", (int)n, p);
    }
    fclose(f);
    struct stat st;
    if (!value[0] || stat(value, &st) != 0 || !S_ISDIR(st.st_mode))
        return ENOENT;
    return snprintf(out, size, "%s", value) < (int)size ? 0 : ENAMETOOLONG;
}

int plat_documents_dir(char* out, unsigned size)
{
    const char* home = getenv("HOME");
    if (!home || !home[0])
        return ENOENT;
    if (xdg_documents(home, out, size) == 0)
        return 0;
    return snprintf(out, size, "%s", home) < (int)size ? 0 : ENAMETOOLONG;
}

static int file_kind(mode_t mode)
{
    if (S_ISREG(mode))
        return PLAT_FILE_REGULAR;
    if (S_ISDIR(mode))
        return PLAT_FILE_FOLDER;
    if (S_ISFIFO(mode))
        return PLAT_FILE_FIFO;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return PLAT_FILE_DEVICE;
    return PLAT_FILE_OTHER;
}

int plat_file_kind(const char* path, int* kind)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return errno_or(ENOENT);
    *kind = file_kind(st.st_mode);
    return 0;
}

// A file opened without waiting as a stream, once it is checked to be a
// regular file still (something else may have taken its place since the
// look); the descriptor is closed otherwise.
static int stream_of(int fd, const char* mode, FILE** f, int* kind)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || (*kind = file_kind(st.st_mode)) != PLAT_FILE_REGULAR) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *f = fdopen(fd, mode);
    if (!*f) {
        int rc = errno_or(ENOMEM);
        close(fd);
        return rc;
    }
    return 0;
}

int plat_file_open_regular(const char* path, FILE** f, int* kind)
{
    *f = nullptr;
    int rc = sys_file_may_open(path, kind, 0);
    if (rc)
        return rc;
    // Opened without waiting and checked again: a FIFO put in the file's
    // place since would otherwise block the open until a writer came.
    int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno_or(ENOENT);
    return stream_of(fd, "rb", f, kind);
}

int plat_file_open_append(const char* path, FILE** f, int* kind)
{
    *f = nullptr;
    int rc = sys_file_may_open(path, kind, ENOENT);
    if (rc)
        return rc;
    // Without waiting, and checked again: a FIFO put there since would block
    // the open until a reader came, a terminal would become ours.
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno != ENXIO)  // a FIFO with no reader
            return errno_or(EIO);
        *kind = PLAT_FILE_FIFO;
        return -1;
    }
    return stream_of(fd, "ab", f, kind);
}

int plat_file_open_update(const char* path, FILE** f, int* kind)
{
    *f = nullptr;
    int rc = sys_file_may_open(path, kind, ENOENT);
    if (rc)
        return rc;
    // As plat_file_open_append: a FIFO or a terminal put there since is
    // neither waited on nor made ours.
    int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno_or(EIO);
    return stream_of(fd, "a+b", f, kind);
}

int plat_file_lock(FILE* f, unsigned long ms)
{
    plat_deadline d;
    plat_deadline_start(&d, ms);
    for (;;) {
        if (flock(fileno(f), LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return errno_or(EIO);
        if (plat_deadline_expired(&d))
            return ETIMEDOUT;
        plat_sleep_ms(2);
    }
}

void plat_file_unlock(FILE* f)
{
    flock(fileno(f), LOCK_UN);
}

int plat_user_data_file(const char* posix_folder, const char*, const char* name, char* out,
                        unsigned size)
{
    const char* data = getenv("XDG_DATA_HOME");
    const char* home = getenv("HOME");
    int n;
    // XDG_DATA_HOME counts only as an absolute path; a relative one is passed over.
    if (data && data[0] == '/')
        n = snprintf(out, size, "%s/%s/%s", data, posix_folder, name);
    else if (home && home[0])
        n = snprintf(out, size, "%s/.local/share/%s/%s", home, posix_folder, name);
    else
        return ENOENT;
    return n >= 0 && (unsigned)n < size ? 0 : ENAMETOOLONG;
}

int plat_file_error(void)
{
    return errno_or(EIO);
}

int plat_file_same(const char* a, const char* b)
{
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return 0;
    if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino)
        return 1;
    // Two nodes of one device (a link made by mknod, /dev/tty...).
    return (S_ISCHR(sa.st_mode) || S_ISBLK(sa.st_mode)) &&
           (sa.st_mode & S_IFMT) == (sb.st_mode & S_IFMT) && sa.st_rdev == sb.st_rdev;
}

int plat_make_folders(const char* path)
{
    char dir[PATH_MAX];
    if (strlen(path) >= sizeof dir)
        return ENAMETOOLONG;
    strcpy(dir, path);
    for (char* p = dir + 1;; p++) {
        if (*p && *p != '/')
            continue;
        char end = *p;
        *p = 0;
        struct stat st;
        if (mkdir(dir, 0777) != 0 && errno != EEXIST)
            return errno_or(EIO);
        if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))
            return ENOTDIR;
        *p = end;
        if (!end)
            return 0;
    }
}

int plat_file_commit(FILE* f)
{
    if (fflush(f) != 0 || fsync(fileno(f)) != 0)
        return errno_or(EIO);
    return 0;
}

int plat_file_cut(FILE* f, long size)
{
    clearerr(f);
    return ftruncate(fileno(f), (off_t)size) != 0 ? errno_or(EIO) : 0;
}

int plat_file_replace(const char* from, const char* to)
{
    return rename(from, to) != 0 ? errno_or(EIO) : 0;
}

int plat_file_final_path(const char* path, char* out, unsigned size)
{
    if (strlen(path) >= size)
        return ENAMETOOLONG;
    strcpy(out, path);
    // As many links as the kernel itself follows.
    for (int links = 0; links <= 40; links++) {
        struct stat st;
        if (lstat(out, &st) != 0 || !S_ISLNK(st.st_mode))
            return 0;
        char target[PATH_MAX];
        ssize_t n = readlink(out, target, sizeof target - 1);
        if (n < 0)
            return errno_or(EIO);
        target[n] = 0;
        // A relative target is taken from the link's folder.
        char* slash = strrchr(out, '/');
        size_t keep = target[0] == '/' || !slash ? 0 : (size_t)(slash + 1 - out);
        if (keep + (size_t)n >= size)
            return ENAMETOOLONG;
        strcpy(out + keep, target);
    }
    return ELOOP;
}

int plat_file_writable(const char* path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return 0;
    if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)))
        return EACCES;
    return access(path, W_OK) != 0 && errno != ENOENT ? errno_or(EACCES) : 0;
}

int plat_file_same_mode(FILE* f, const char* like)
{
    struct stat st;
    if (stat(like, &st) != 0)
        return 0;
    int fd = fileno(f);
    // The owner first: changing it may clear the set-id bits.
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, (uid_t)-1, st.st_gid) != 0) {
    }
    return fchmod(fd, st.st_mode & 07777) != 0 ? errno_or(EPERM) : 0;
}

FILE* plat_fopen(const char* path, const char* mode)
{
    return fopen(path, mode);
}

int plat_symlink(const char* target, const char* link)
{
    return symlink(target, link) != 0 ? errno_or(EIO) : 0;
}

int plat_remove(const char* path)
{
    return unlink(path) != 0 ? errno_or(EIO) : 0;
}
