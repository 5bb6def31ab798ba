#include "serial_list.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

// An element too long for an entry is left out whole, never cut into
// another name.
static void add_listed_ports(plat_serial_key* key, const char* list)
{
    int n = 0;
    for (const char* p = list; *p;) {
        const char* end = strchr(p, ':');
        size_t len = end ? (size_t)(end - p) : strlen(p);
        if (len > 0 && len < SERIAL_TEXT) {
            char value[32], port[SERIAL_TEXT];
            snprintf(value, sizeof value, "KP6_PORTS%d", ++n);
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

int plat_serial_key_enum(const plat_serial_key* key, int index,
                         char* value_name, unsigned value_size,
                         char* data, unsigned data_size)
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
