#include "plainw.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

Entry Port[PORT_COUNT];
unsigned char started;
uint16_t pl_port_log;
int32_t p_errors, fr_errors;
int from_put;

static FILE* log;  // "port.out"; null when it could not be opened

enum { DEVICE_PATH_SIZE = 42 };

int utf8_to_cp866(const char* utf8, char* out, int size)
{
    const unsigned char* s = (const unsigned char*)utf8;
    int n = 0;
    while (*s && n < size - 1) {
        unsigned cp = *s++;
        if (cp >= 0x80) {
            if ((cp & 0xE0) == 0xC0 && (*s & 0xC0) == 0x80)
                cp = ((cp & 0x1F) << 6) | (*s++ & 0x3F);
            else {
                // Not a two-byte sequence: skip its continuation bytes.
                while ((*s & 0xC0) == 0x80)
                    s++;
                cp = 0xFFFF;
            }
        }
        unsigned char b;
        if (cp < 0x80)
            b = (unsigned char)cp;
        else if (cp >= 0x410 && cp <= 0x43F)  // А..п
            b = (unsigned char)(0x80 + (cp - 0x410));
        else if (cp >= 0x440 && cp <= 0x44F)  // р..я
            b = (unsigned char)(0xE0 + (cp - 0x440));
        else if (cp == 0x401)  // Ё
            b = 0xF0;
        else if (cp == 0x451)  // ё
            b = 0xF1;
        else
            b = '?';
        out[n++] = (char)b;
    }
    if (size > 0)
        out[n] = 0;
    return n;
}

// Writes UTF-8 source text to the log in code page 866.
static void log_text(const char* utf8)
{
    if (!log)
        return;
    char buf[256];
    int n = utf8_to_cp866(utf8, buf, sizeof buf);
    fwrite(buf, 1, (size_t)n, log);
}

void start_net(unsigned char)
{
    if (started)
        return;
    // Rings a stub or an earlier run left behind are released before the
    // table is cleared; nothing else points to them.
    for (Entry& e : Port)
        free(e.rx_buf);
    memset(Port, 0, sizeof Port);
    log = fopen("port.out", "ab");
    log_text("\r\nВход в программу\r\n");
    if (log)
        fflush(log);
    p_errors = 0;
    fr_errors = 0;
    from_put = 0;
    started = 1;
}

void close_net()
{
    if (!started)
        return;
    if (pl_port_log && log) {
        char fmt[128], line[160];
        utf8_to_cp866("\r\nОшибок паритета=%d, пакетов( стоп-бит)=%d\r\n", fmt, sizeof fmt);
        int n = snprintf(line, sizeof line, fmt, (int)p_errors, (int)fr_errors);
        fwrite(line, 1, (size_t)n, log);
    }
    if (log)
        fclose(log);
    log = nullptr;
    started = 0;
}

static int slot_taken(const Entry& e)
{
    return e.base != 0 || e.held;
}

// "ttyUSB0" is a device under /dev; a name that starts with '/' is a path.
static int device_path(const char* name, char* path)
{
    const char* fmt = name[0] == '/' ? "%s" : "/dev/%s";
    int n = snprintf(path, DEVICE_PATH_SIZE, fmt, name);
    return n >= 0 && n < DEVICE_PATH_SIZE;
}

static int open_serial(Entry& e, const char* name)
{
    char path[DEVICE_PATH_SIZE];
    if (!device_path(name, path))
        return plat_error_name_too_long();
    plat_handle h;
    int rc = plat_serial_open(path, &h);
    if (rc)
        return rc;
    // The driver gives up on a read at once and a write of n bytes may take
    // 20 ms + 20 ms per byte.
    const plat_timeouts t = {2, 2, 2, 20, 20};
    rc = plat_serial_set_timeouts(h, &t);
    if (!rc) {
        const plat_line line = {4800, 8, 0, 0, 0};
        rc = plat_serial_set_line(h, &line);
    }
    if (rc) {
        plat_serial_close(h);
        return rc;
    }
    e.handle = h;
    e.held = 1;
    return 0;
}

int open_port(unsigned short* port, char* name, char mode)
{
    if (!started)
        return 9;
    int slot = -1;
    for (int i = 0; i < PORT_COUNT && slot < 0; i++)
        if (!slot_taken(Port[i]))
            slot = i;
    if (slot < 0)
        return 1;
    if (!name[0])
        return 3;
    if (mode)
        return 0;
    Entry& e = Port[slot];
    if (strlen(name) >= sizeof e.name) {
        *port = 0;
        return plat_error_name_too_long();
    }
    strcpy(e.name, name);
    if (strcmp(name, "STUB") == 0) {
        e.kind = KIND_STUB;
    } else if (strncmp(name, "TCPS_", 5) == 0) {
        return -1;  // TCP server ports are not available yet
    } else {
        e.kind = KIND_SERIAL;
        int rc = open_serial(e, name);
        if (rc) {
            *port = 0;
            return rc;
        }
    }
    e.echo_skip = 0;
    e.turn_type = 0;
    // A stub leaves its slot free, so the slot may come back with its ring.
    if (!e.rx_buf)
        e.rx_buf = (unsigned char*)malloc(RX_SIZE);
    if (!e.rx_buf) {
        if (e.held) {
            plat_serial_close(e.handle);
            e.held = 0;
        }
        *port = 0;
        return plat_error_no_memory();
    }
    const char* p = name;
    while (*p && (*p < '0' || *p > '9'))
        p++;
    e.base = (unsigned short)atoi(p);
    e.rx_head = 0;
    e.rx_tail = 0;
    *port = (unsigned short)(slot + 1);
    return 0;
}

int free_port(unsigned short port, unsigned char)
{
    if (port == 0 || port > PORT_COUNT)
        return 1;
    Entry& e = Port[port - 1];
    if (!slot_taken(e))
        return 1;
    if (e.kind == KIND_SERIAL && e.held) {
        plat_serial_close(e.handle);
        e.held = 0;
    }
    free(e.rx_buf);
    e.rx_buf = nullptr;
    e.base = 0;
    return 1;
}

unsigned short port_by_base(unsigned short base)
{
    if (!started)
        return 0;
    for (int i = 0; i < PORT_COUNT; i++)
        if (Port[i].base == base)
            return (unsigned short)(i + 1);
    return 0;
}
