// The serial-device snapshot, the same on both systems: entries kept as
// registry values are, each system's devices_*.cpp reading its own.
#include "serial_key.h"
#include "platform.h"

#include <stdlib.h>
#include <string.h>

int plat_serial_key_start(plat_serial_key* key)
{
    key->count = 0;
    key->value_names = (char(*)[SERIAL_TEXT])calloc(SERIAL_LIST_MAX, SERIAL_TEXT);
    key->port_names = (char(*)[SERIAL_TEXT])calloc(SERIAL_LIST_MAX, SERIAL_TEXT);
    if (!key->value_names || !key->port_names) {
        plat_serial_key_close(key);
        return plat_error_no_memory();
    }
    return 0;
}

int plat_serial_key_add(plat_serial_key* key, const char* value, const char* port)
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

int plat_serial_key_open(plat_serial_key* key)
{
    int rc = plat_serial_key_start(key);
    if (!rc)
        plat_serial_key_read(key);
    return rc;
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
