#include "serial_list.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "net_url.h"

int serial_list_add(plat_serial_key* key, const char* value, const char* port)
{
    if (key->count >= SERIAL_LIST_MAX)
        return 0;
    int i = key->count++;
    if (strlen(value) < SERIAL_TEXT && strlen(port) < SERIAL_TEXT) {
        strcpy(key->value_names[i], value);
        strcpy(key->port_names[i], port);
    } else {
        key->value_names[i][0] = 0;
        key->port_names[i][0] = 0;
    }
    return 1;
}

// The length of the element of KP6_PORTS that starts at `p`. Elements are
// separated by ':'. A network line's URL keeps its own colons: an element
// that begins with tcp://, socket:// or rfc2217:// runs over its host (an
// IPv6 address in brackets whole) and, after a ':' followed by a digit,
// over its port, up to the next ':'. Any other element ends at the next ':'.
static size_t element_length(const char* p)
{
    if (size_t scheme = net_url_prefix_length(p)) {
        const char* q = p + scheme;
        if (*q == '[') {
            const char* close = strchr(q, ']');
            q = close ? close + 1 : q + strlen(q);
        } else {
            q += strcspn(q, ":");
        }
        if (q[0] == ':' && q[1] >= '0' && q[1] <= '9')
            q += 1 + strcspn(q + 1, ":");
        return (size_t)(q - p);
    }
    return strcspn(p, ":");
}

// An element too long for an entry is left out whole, never cut into
// another name.
static void add_listed_ports(plat_serial_key* key, const char* list)
{
    int n = 0;
    for (const char* p = list; *p;) {
        size_t len = element_length(p);
        if (len > 0 && len < SERIAL_TEXT) {
            char value[32], port[SERIAL_TEXT];
            snprintf(value, sizeof value, PLAT_LISTED_VALUE "%d", ++n);
            memcpy(port, p, len);
            port[len] = 0;
            serial_list_add(key, value, port);
        }
        p += len;
        if (*p == ':')
            p++;
    }
}

int serial_list_start(plat_serial_key* key)
{
    key->count = 0;
    key->value_names = (char(*)[SERIAL_TEXT])calloc(SERIAL_LIST_MAX, SERIAL_TEXT);
    key->port_names = (char(*)[SERIAL_TEXT])calloc(SERIAL_LIST_MAX, SERIAL_TEXT);
    if (!key->value_names || !key->port_names) {
        plat_serial_key_close(key);
        return plat_error_no_memory();
    }
    static char list[32768];  // the longest value Windows keeps
    if (plat_getenv("KP6_PORTS", list, sizeof list) == 0)
        add_listed_ports(key, list);
    return 0;
}

static int copy_fitting(char* out, unsigned size, const char* text)
{
    size_t n = strlen(text);
    if (!text[0] || n >= size)
        return plat_error_name_too_long();
    memcpy(out, text, n + 1);
    return 0;
}

int plat_serial_key_enum(const plat_serial_key* key, int index, char* value_name,
                         unsigned value_size, char* data, unsigned data_size)
{
    if (index < 0 || index >= key->count)
        return -1;
    if (copy_fitting(value_name, value_size, key->value_names[index]))
        return plat_error_name_too_long();
    return copy_fitting(data, data_size, key->port_names[index]);
}

void plat_serial_key_close(plat_serial_key* key)
{
    free(key->value_names);
    free(key->port_names);
    key->value_names = nullptr;
    key->port_names = nullptr;
    key->count = 0;
}
