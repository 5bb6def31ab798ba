#include "comdet.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "../platform/platform.h"
#include "net_url.h"
#include "qsort.h"
#include "serial_list.h"

int com_num_detected;
char com_port_names[COM_MAX][COM_NAME_SIZE];
unsigned int com_port_types[32];
char com_p_name_mid[COM_NAME_SIZE];

// The prefix of the names that sort by their number.
const char REG_SERIAL_NAME_98[] = "COM";

// A port name is taken only when it fits an entry whole: a name cut short
// would stand for another device (or for none). A name the machine reports
// has at most 19 characters; a URL, and a path the technician lists in
// KP6_PORTS (a stable /dev/serial/by-id/ link), 79.
static void take_name(const char* value, const char* data)
{
    int listed = strncmp(value, LISTED_PORTS_VALUE, strlen(LISTED_PORTS_VALUE)) == 0;
    if (!listed && !port_name_is_url(data) && strlen(data) > COM_DEVICE_NAME_MAX)
        return;
    strcpy(com_port_names[com_num_detected], data);
    com_num_detected++;
}

static int name_cmp(const char* a, const char* b);

static int taken_already(const char* name)
{
    for (int i = 0; i < com_num_detected; i++)
        if (strcmp(com_port_names[i], name) == 0)
            return 1;
    return 0;
}

// Of the snapshot's values not yet taken, the one that comes first in
// display order, or -1.
static int first_left(const plat_serial_key* key, const unsigned char* taken)
{
    int best = -1;
    char value[80], data[COM_NAME_SIZE], best_data[COM_NAME_SIZE];
    for (int n = 0; n < key->count; n++) {
        if (taken[n] || plat_serial_key_enum(key, n, value, sizeof value, data, sizeof data) != 0)
            continue;
        if (best < 0 || name_cmp(data, best_data) < 0) {
            best = n;
            strcpy(best_data, data);
        }
    }
    return best;
}

int ComDetect()
{
    com_num_detected = 0;
    plat_serial_key key;
    // Names a technician adds by hand (virtual ports the machine's list
    // lacks) come first; then the machine's, the first in display order
    // when there are more than fit, since the order a system lists its
    // devices in is no order at all. A value that cannot be taken is
    // skipped, not the end of the list.
    if (serial_list_start(&key) == 0) {
        plat_serial_key_read(&key);
        std::vector<unsigned char> taken((size_t)key.count);
        char value[80], data[COM_NAME_SIZE];
        size_t listed_len = strlen(LISTED_PORTS_VALUE);
        for (int n = 0; n < key.count; n++)
            if (plat_serial_key_enum(&key, n, value, sizeof value, data, sizeof data) != 0)
                taken[n] = 1;  // cannot be taken
            else if (strncmp(value, LISTED_PORTS_VALUE, listed_len) == 0) {
                taken[n] = 1;
                if (com_num_detected < COM_MAX)
                    take_name(value, data);
            }
        for (int n; com_num_detected < COM_MAX && (n = first_left(&key, taken.data())) >= 0;) {
            taken[n] = 1;
            plat_serial_key_enum(&key, n, value, sizeof value, data, sizeof data);
            if (!taken_already(data))  // listed by hand too
                take_name(value, data);
        }
        plat_serial_key_close(&key);
    }
    memset(com_port_types, 0, sizeof com_port_types);
    if (com_num_detected >= 2) {
        qsort_compare = qsort_com_cmp;
        DoSwap = qsort_com_swp;
        qsort_store_mid = qsort_com_mid;
        quick_sort(0, com_num_detected - 1);
    }
    return 1;
}

static int same_ignoring_case(const char* a, const char* b)
{
    for (;; a++, b++) {
        int x = (unsigned char)*a, y = (unsigned char)*b;
        if (x >= 'a' && x <= 'z')
            x -= 'a' - 'A';
        if (y >= 'a' && y <= 'z')
            y -= 'a' - 'A';
        if (x != y)
            return 0;
        if (!x)
            return 1;
    }
}

int ComExistsByName(char* name)
{
    for (int i = 0; i < COM_MAX; i++)
        if (same_ignoring_case(com_port_names[i], name))
            return 1;
    return 0;
}

void qsort_com_mid(unsigned int i)
{
    memcpy(com_p_name_mid, com_port_names[i], COM_NAME_SIZE);
}

static int com_prefixed(const char* s)
{
    return strncmp(s, REG_SERIAL_NAME_98, 3) == 0;
}

static int is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Names compare byte by byte, except that runs of digits met at the same
// place compare as numbers (ttyUSB2 before ttyUSB10; leading zeros do not
// count). Every digit lies between the same two neighbours in byte order,
// so a number against any other byte is decided as its digits would be:
// the order stays consistent, as quick_sort needs.
static int natural_cmp(const char* a, const char* b)
{
    for (;;) {
        if (is_digit(*a) && is_digit(*b)) {
            while (*a == '0')
                a++;
            while (*b == '0')
                b++;
            size_t la = 0, lb = 0;
            while (is_digit(a[la]))
                la++;
            while (is_digit(b[lb]))
                lb++;
            if (la != lb)
                return la < lb ? -1 : 1;
            int c = strncmp(a, b, la);
            if (c)
                return c < 0 ? -1 : 1;
            a += la;
            b += lb;
            continue;
        }
        if (*a != *b)
            return (unsigned char)*a < (unsigned char)*b ? -1 : 1;
        if (!*a)
            return 0;
        a++;
        b++;
    }
}

// Display order: the machine's ports before network lines; COM names by
// their number; others as natural_cmp has them.
static int name_cmp(const char* a, const char* b)
{
    if (port_name_is_url(a) != port_name_is_url(b))
        return port_name_is_url(a) ? 1 : -1;
    if (com_prefixed(a) && com_prefixed(b)) {
        // The number as atoi reads it (COM3 equals COM03), without its
        // overflow: names are short enough for a long long.
        long long x = strtoll(a + 3, nullptr, 10), y = strtoll(b + 3, nullptr, 10);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    return natural_cmp(a, b);
}

signed char qsort_com_cmp(unsigned int i)
{
    return (signed char)name_cmp(com_port_names[i], com_p_name_mid);
}

void qsort_com_swp(unsigned int i, unsigned int j)
{
    char tmp[COM_NAME_SIZE];
    memcpy(tmp, com_port_names[i], COM_NAME_SIZE);
    memcpy(com_port_names[i], com_port_names[j], COM_NAME_SIZE);
    memcpy(com_port_names[j], tmp, COM_NAME_SIZE);
}

int com_detect_about(plat_port_info infos[COM_MAX], int rc[COM_MAX])
{
    ComDetect();
    const char* names[COM_MAX];
    for (int i = 0; i < com_num_detected; i++)
        names[i] = com_port_names[i];
    plat_serial_ports_info(names, com_num_detected, infos, rc);
    return com_num_detected;
}
