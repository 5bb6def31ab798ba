#include "net_url.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../i18n/words.h"

static int lower_char(int c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// The length of the scheme in `name` ("rfc2217" of "rfc2217://..."), or 0.
static size_t scheme_length(const char* name)
{
    size_t n = 0;
    while ((name[n] >= 'a' && name[n] <= 'z') || (name[n] >= 'A' && name[n] <= 'Z') ||
           (name[n] >= '0' && name[n] <= '9') || name[n] == '+' || name[n] == '-' || name[n] == '.')
        n++;
    return n > 0 && strncmp(name + n, "://", 3) == 0 ? n : 0;
}

int port_name_is_url(const char* name)
{
    return name[0] != '/' && strstr(name, "://") != nullptr;
}

// The schemes of network lines, and how each speaks.
static const struct {
    const char* name;
    unsigned char mode;
} schemes[] = {{"tcp", NET_RAW}, {"socket", NET_RAW}, {"rfc2217", NET_RFC2217}};

// The mode of the network lines' scheme the `n` characters at `name` spell
// in any case, or 0 for none.
static unsigned char scheme_mode(const char* name, size_t n)
{
    for (const auto& scheme : schemes) {
        size_t i = 0;
        while (i < n && scheme.name[i] && lower_char((unsigned char)name[i]) == scheme.name[i])
            i++;
        if (i == n && !scheme.name[i])
            return scheme.mode;
    }
    return 0;
}

size_t net_url_prefix_length(const char* text)
{
    size_t n = scheme_length(text);
    return n && scheme_mode(text, n) ? n + 3 : 0;
}

static int host_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

static int ipv6_char(char c)
{
    return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' ||
           c == '.';
}

static int bad_url(char* why, unsigned size, const char* format, const char* what = "",
                   size_t what_len = (size_t)-1)
{
    char part[NET_HOST_SIZE];
    snprintf(part, sizeof part, "%.*s", (int)(what_len < sizeof part ? what_len : sizeof part - 1),
             what);
    if (size)
        snprintf(why, size, words(format), part);
    return -1;
}

int net_url_parse(const char* name, net_url* url, char* why, unsigned why_size)
{
    if (!port_name_is_url(name))
        return 0;
    size_t sl = scheme_length(name);
    char scheme[32];
    snprintf(scheme, sizeof scheme, "%.*s", (int)(sl ? sl : strstr(name, "://") - name), name);
    unsigned char mode = scheme_mode(name, sl);
    if (!mode)
        return bad_url(why, why_size,
                       W_("unknown scheme \"%s\": write tcp://, socket:// or rfc2217://HOST:PORT"),
                       scheme);
    const char* p = name + sl + 3;
    const char* host = p;
    size_t host_len;
    if (*p == '[') {
        const char* close = strchr(p, ']');
        if (!close)
            return bad_url(why, why_size, W_("the IPv6 address has no closing ]"));
        host = p + 1;
        host_len = (size_t)(close - host);
        if (host_len == 0)
            return bad_url(why, why_size, W_("no host between [ and ]"));
        for (size_t i = 0; i < host_len; i++)
            if (!ipv6_char(host[i]))
                return bad_url(why, why_size, W_("\"%s\" is not an IPv6 address"), host, host_len);
        if (!memchr(host, ':', host_len))
            return bad_url(why, why_size, W_("\"%s\" in brackets is not an IPv6 address"), host,
                           host_len);
        p = close + 1;
    } else {
        while (*p && *p != ':' && *p != '/')
            p++;
        host_len = (size_t)(p - host);
        if (*p == ':' && strchr(p + 1, ':'))
            return bad_url(why, why_size, W_("an IPv6 address goes in brackets, as in [::1]:PORT"));
        if (host_len == 0)
            return bad_url(why, why_size, W_("no host: write HOST:PORT after the scheme"));
        for (size_t i = 0; i < host_len; i++)
            if (!host_char(host[i])) {
                char c[2] = {host[i], 0};
                return bad_url(why, why_size, W_("the host has a character it cannot have: \"%s\""),
                               c);
            }
    }
    if (host_len >= sizeof url->host)
        return bad_url(why, why_size, W_("the host is too long"));
    if (*p != ':')
        return bad_url(why, why_size,
                       W_("no port: write HOST:PORT, the port a number from 1 to 65535"));
    p++;
    size_t digits = strspn(p, "0123456789");
    unsigned long port = digits && digits <= 5 ? strtoul(p, nullptr, 10) : 0;
    if (port < 1 || port > 65535)
        return bad_url(why, why_size, W_("the port \"%s\" is not a number from 1 to 65535"), p,
                       strcspn(p, "/?"));  // all of it: 0x10 is not "0"
    p += digits;
    if (*p == '/' && !p[1])
        p++;  // one closing slash is allowed
    if (*p)
        return bad_url(why, why_size, W_("\"%s\" after the port is not understood"), p);
    url->mode = mode;
    memcpy(url->host, host, host_len);
    url->host[host_len] = 0;
    url->port = (unsigned short)port;
    return 1;
}
