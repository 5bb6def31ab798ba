// Linux: the machine's serial devices, from sysfs, and what each says it is.
#include "platform.h"
#include "serial_key.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- the machine's serial devices -----------------------------------------

static char serial_root[PATH_MAX];

void plat_set_serial_root(const char* root)
{
    if (!root)
        root = "";
    snprintf(serial_root, sizeof serial_root, "%s", root);
}

static const char* current_serial_root(void)
{
    if (serial_root[0])
        return serial_root;
    const char* env = getenv("KP6_TTY_CLASS");
    return env && env[0] ? env : "/sys/class/tty";
}

static void read_attribute(const char* dir, const char* name, char* out, size_t size);

// What serial core says of the UART behind a tty: 1 none (type 0), 0 one
// of some kind, -1 no such attribute (not a serial-core tty, e.g. ttyUSB).
static int has_no_uart(const char* dir, const char* entry)
{
    char path[PATH_MAX], type[16];
    int len = snprintf(path, sizeof path, "%s/%s", dir, entry);
    if (len < 0 || len >= (int)sizeof path)
        return -1;
    read_attribute(path, "type", type, sizeof type);
    char* end;
    long t = strtol(type, &end, 10);
    if (!type[0] || end == type)
        return -1;
    return t == 0;
}

// Before kernel 6.5 the legacy 8250 ports sat on the platform bus, present
// or not; a tty there without a type attribute is taken for one of them.
static int on_platform_bus(const char* dir, const char* entry)
{
    char path[PATH_MAX], target[PATH_MAX];
    int len = snprintf(path, sizeof path, "%s/%s/device/subsystem", dir, entry);
    if (len < 0 || len >= (int)sizeof path)
        return 0;
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n < 0)
        return 0;
    target[n] = 0;
    const char* base = strrchr(target, '/');
    base = base ? base + 1 : target;
    return strcmp(base, "platform") == 0;
}

static int is_phantom(const char* dir, const char* entry)
{
    int none = has_no_uart(dir, entry);
    return none >= 0 ? none : on_platform_bus(dir, entry);
}

void plat_serial_key_read(plat_serial_key* key)
{
    const char* root = current_serial_root();
    if (DIR* d = opendir(root)) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            char dev[PATH_MAX];
            int len = snprintf(dev, sizeof dev, "%s/%s/device", root, e->d_name);
            if (len < 0 || len >= (int)sizeof dev)
                continue;
            if (access(dev, F_OK) != 0 || is_phantom(root, e->d_name))
                continue;
            plat_serial_key_add(key, e->d_name, e->d_name);
        }
        closedir(d);
    }
}

// One attribute of a sysfs folder: its text as the device gave it, less the
// line break sysfs ends it with, when it fits `size`; else empty. Only a regular
// file is read, and never waited for: a FIFO or a device standing in the
// tree is passed over.
static void read_attribute(const char* dir, const char* name, char* out, size_t size)
{
    out[0] = 0;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path)
        return;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat st;
    ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, out, size) : -1;
    close(fd);
    if (n <= 0 || (size_t)n >= size) {
        out[0] = 0;
        return;
    }
    out[n] = 0;
    // A maker's name is one line; the line break sysfs ends it with is none of it.
    if (n > 0 && out[n - 1] == '\n')
        out[n - 1] = 0;
}

// The USB device's words for one port: 0, or non-zero when the port is no
// device of the class (its stable name is then not looked for either).
static int usb_info(const char* name, plat_port_info* info)
{
    memset(info, 0, sizeof *info);
    if (strchr(name, '/'))
        return 1;  // a path or a network line: not one of the class's names
    char dir[PATH_MAX], real[PATH_MAX];
    if (snprintf(dir, sizeof dir, "%s/%s/device", current_serial_root(), name) >= (int)sizeof dir ||
        !realpath(dir, real))
        return 1;
    // The USB device is the first folder up that has a vendor's number.
    for (int up = 0; up < 6; up++) {
        char id[8];
        read_attribute(real, "idVendor", id, sizeof id);
        if (id[0]) {
            read_attribute(real, "manufacturer", info->manufacturer, sizeof info->manufacturer);
            read_attribute(real, "product", info->product, sizeof info->product);
            read_attribute(real, "serial", info->serial, sizeof info->serial);
            break;
        }
        char* slash = strrchr(real, '/');
        if (!slash || slash == real)
            break;
        *slash = 0;
    }
    return 0;
}

void plat_serial_ports_info(const char* const* names, int n, plat_port_info* infos, int* rc)
{
    int wanted = 0;
    for (int i = 0; i < n; i++) {
        rc[i] = usb_info(names[i], &infos[i]);
        wanted += !rc[i];
    }
    const char* by_id = getenv("KP6_SERIAL_BY_ID");
    if (!by_id || !by_id[0])
        by_id = "/dev/serial/by-id";
    // One walk of the links for every port: each takes the first to it.
    if (DIR* d = wanted ? opendir(by_id) : nullptr) {
        while (struct dirent* e = readdir(d)) {
            char link[PATH_MAX], target[PATH_MAX];
            if (e->d_name[0] == '.' ||
                snprintf(link, sizeof link, "%s/%s", by_id, e->d_name) >= (int)sizeof link)
                continue;
            ssize_t len = readlink(link, target, sizeof target - 1);
            if (len <= 0)
                continue;
            target[len] = 0;
            const char* base = strrchr(target, '/');
            base = base ? base + 1 : target;
            for (int i = 0; i < n; i++)
                if (!rc[i] && !infos[i].stable[0] && strcmp(base, names[i]) == 0 &&
                    strlen(link) < sizeof infos[i].stable)
                    strcpy(infos[i].stable, link);
        }
        closedir(d);
    }
    for (int i = 0; i < n; i++) {
        const plat_port_info& info = infos[i];
        rc[i] = rc[i] ||
                (!info.manufacturer[0] && !info.product[0] && !info.serial[0] && !info.stable[0]);
    }
}
