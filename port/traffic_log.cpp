// The traffic log "port.out" and the code page 866 the layer writes its
// texts in.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../timers/biostimw.h"
#include "kinds.h"

static FILE* log;  // pl_log_name; null when none is kept or it could not be opened

// Why the file is not written: its open refused (LOG_NOT_FILE and the kind
// found) or the system's code of the open or write that failed. The first
// failure closes the file, so that no record is written in part.
static int fault, fault_kind;

const char* pl_log_name = "port.out";
void (*pl_traffic_hook)(unsigned int handle, int what, const unsigned char* data, int len);

int traffic_recorded(void)
{
    return pl_port_log != 0 || pl_traffic_hook != nullptr;
}

static void tell(unsigned int handle, int what, const unsigned char* data, int len)
{
    if (pl_traffic_hook)
        pl_traffic_hook(handle, what, data, len);
}

const char xbytes[17] = "0123456789ABCDEF";

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

static void log_failed(int code)
{
    if (!fault)
        fault = code;
    fclose(log);  // what it could not write is lost either way
    log = nullptr;
}

static void log_out(const void* data, size_t n)
{
    if (log && n > 0 && fwrite(data, 1, n, log) != n)
        log_failed(plat_file_error());
}

static void log_flush(void)
{
    if (log && fflush(log) != 0)
        log_failed(plat_file_error());
}

// printf to the log with a UTF-8 format written out in code page 866.
static void log_printf(const char* utf8_format, ...)
{
    if (!log)
        return;
    char format[256];
    utf8_to_cp866(utf8_format, format, sizeof format);
    va_list ap;
    va_start(ap, utf8_format);
    int n = vfprintf(log, format, ap);
    va_end(ap);
    if (n < 0)
        log_failed(plat_file_error());
}

static void log_open(void)
{
    if (log || !pl_log_name)
        return;
    int kind = PLAT_FILE_REGULAR;
    int rc = plat_file_open_append(pl_log_name, &log, &kind);
    if (rc != 0 && !fault) {
        fault = rc == -1 ? LOG_NOT_FILE : rc;
        fault_kind = kind;
    }
}

int log_fault(int* kind)
{
    if (kind)
        *kind = fault_kind;
    return fault;
}

// The mask the technician asks for in KP6_PORT_LOG: decimal or 0x-hex;
// anything else means no logging.
uint16_t log_mask_from_env(void)
{
    const char* v = getenv("KP6_PORT_LOG");
    if (!v || !*v)
        return 0;
    int base = 10;
    if (v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v += 2;
    }
    char* end;
    unsigned long m = strtoul(v, &end, base);
    if (end == v || *end || m > 0xFFFF || *v == '-' || *v == '+')
        return 0;
    return (uint16_t)m;
}

void log_run_start(void)
{
    fault = fault_kind = 0;
    log_open();
    log_printf("\r\nВход в программу\r\n");
    log_flush();
}

void log_run_end(void)
{
    if (pl_port_log)
        log_printf("\r\nОшибок паритета=%d, пакетов( стоп-бит)=%d\r\n", (int)p_errors,
                   (int)fr_errors);
    log_flush();
    close_log();
}

static int logged(unsigned int handle)
{
    return log && handle >= 1 && handle <= PORT_COUNT && (pl_port_log >> (handle - 1) & 1);
}

// CR LF and the time-stamped start of a record; `what` follows the stamp.
static void record_head(const char* utf8_what, unsigned int handle, long code = 0)
{
    r2_date d;
    r2_time t;
    bios_datetime(&d, &t);
    log_printf("\r\n %02d.%02d.%02d (%02d:%02d:%02d:%03d) ", d.day, d.month, d.year % 100, t.hour,
               t.minute, t.second, wMilli);
    log_printf(utf8_what, handle, code);
}

// The hex dump, CR LF and the bytes themselves.
static void record_bytes(const unsigned char* data, int len)
{
    for (int i = 0; i < len; i++)
        put_byte(data[i]);
    log_out("\r\n", 2);
    log_out(data, (size_t)len);
}

void write_log(unsigned int handle, unsigned char* data, int len)
{
    tell(handle, TRAFFIC_SENT, data, len);
    if (!logged(handle))
        return;
    log_out("\r\n", 2);
    record_head("Запись (порт %d)-> ", handle);
    record_bytes(data, len);
    log_flush();
}

void read_log(unsigned int handle, unsigned char* data, int expected, int got)
{
    tell(handle, TRAFFIC_RECEIVED, data, data ? got : expected);
    if (!logged(handle))
        return;
    record_head("Чтение  порта %d<- ", handle);
    if (data) {
        record_bytes(data, got);
        if (expected != got)
            log_printf("Т-аут на %d байт получено %d<- ", expected, got);
    } else {
        log_printf("Т-аут на %d байт - данные не получены <- ", expected);
    }
    log_flush();
}

// A buffer-clear record in the file; the hook is told `what` it was.
static void dropped_record(unsigned int handle, int what, unsigned char* data, int len)
{
    tell(handle, what, data, len);
    if (!logged(handle))
        return;
    record_head("Очистка буфера порта %d<> ", handle);
    record_bytes(data, len);
    log_flush();
}

void clear_log(unsigned int handle, unsigned char* data, int len)
{
    dropped_record(handle, TRAFFIC_DROPPED, data, len);
}

void echo_log(unsigned int handle, unsigned char* data, int len)
{
    dropped_record(handle, TRAFFIC_ECHO, data, len);
}

void err_log(unsigned short port, long code)
{
    if (!logged(port))
        return;
    record_head("Ошибка записи в порт %d<> (код %ld)", port, code);
    log_flush();
}

void put_msg(const char* text)
{
    log_out(text, strlen(text));
}

void put_byte(unsigned char b)
{
    char out[3];
    x_byte(out, b);
    out[2] = ' ';
    log_out(out, 3);
}

void x_byte(char* out, unsigned char b)
{
    out[0] = xbytes[b >> 4];
    out[1] = xbytes[b & 15];
}

void open_log()
{
    log_open();
}

void close_log()
{
    if (log)
        fclose(log);
    log = nullptr;
}
