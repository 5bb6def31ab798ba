#include "serial_list.h"

#include <stdio.h>
#include <string.h>

#include "net_url.h"

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
    enum { ENTRY_SIZE = sizeof key->port_names[0] };
    int n = 0;
    for (const char* p = list; *p;) {
        size_t len = element_length(p);
        if (len > 0 && len < ENTRY_SIZE) {
            char value[32], port[ENTRY_SIZE];
            snprintf(value, sizeof value, LISTED_PORTS_VALUE "%d", ++n);
            memcpy(port, p, len);
            port[len] = 0;
            plat_serial_key_add(key, value, port);
        }
        p += len;
        if (*p == ':')
            p++;
    }
}

int serial_list_start(plat_serial_key* key)
{
    int rc = plat_serial_key_start(key);
    if (rc)
        return rc;
    static char list[32768];  // the longest value Windows keeps
    if (plat_getenv("KP6_PORTS", list, sizeof list) == 0)
        add_listed_ports(key, list);
    return 0;
}
