#include "address.h"

#include <stdio.h>
#include <string.h>

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The value of an address text, or -1 when the field would not take it.
static int address_value(const char* text)
{
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;
    int v = 0, digits = 0;
    for (; *p; p++) {
        int d = hex_digit(*p);
        if (d < 0 || ++digits > ADDRESS_DIGITS_MAX)
            return -1;
        v = v * 16 + d;
        if (v > 0xFF)  // a third significant digit would wrap to another address
            return -1;
    }
    return v;
}

int address_text_ok(const char* text)
{
    return address_value(text) >= 0;
}

unsigned char address_from_text(const char* text)
{
    int v = address_value(text);
    return v < 0 ? 0 : (unsigned char)v;
}

int bus_address_parse(const char* text, unsigned char* out)
{
    const char* digits = text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? text + 2 : text;
    int v = address_value(text);
    if (!*digits || v <= 0)
        return 0;
    *out = (unsigned char)v;
    return 1;
}

// One item of a list, `len` bytes at `p`, blanks around it dropped.
static int list_item(const char* p, int len, unsigned char* out)
{
    while (len > 0 && *p == ' ')
        p++, len--;
    while (len > 0 && p[len - 1] == ' ')
        len--;
    char item[ADDRESS_TEXT_MAX + 1];
    if (len < 1 || len > ADDRESS_TEXT_MAX)
        return 0;
    memcpy(item, p, (size_t)len);
    item[len] = 0;
    return bus_address_parse(item, out);
}

int address_list_parse(const char* text, unsigned char* out, int* bad_at, int* bad_len)
{
    bool have[256] = {};
    int count = 0;
    for (const char* p = text;; p++) {
        const char* end = strchr(p, ',');
        int len = end ? (int)(end - p) : (int)strlen(p);
        *bad_at = (int)(p - text);
        *bad_len = len;
        const char* dash = (const char*)memchr(p, '-', (size_t)len);
        const char* colon = (const char*)memchr(p, ':', (size_t)len);
        const char* mid = dash ? dash : colon;
        unsigned char low, high;
        if (dash && colon)
            return ADDRESS_LIST_BAD_ITEM;
        if (!list_item(p, mid ? (int)(mid - p) : len, &low))
            return ADDRESS_LIST_BAD_ITEM;
        high = low;
        if (mid && !list_item(mid + 1, len - (int)(mid + 1 - p), &high))
            return ADDRESS_LIST_BAD_ITEM;
        if (high < low)
            return ADDRESS_LIST_BACKWARDS;
        for (int a = low; a <= high; a++)
            if (!have[a]) {
                have[a] = true;
                out[count++] = (unsigned char)a;
            }
        if (!end)
            return count;
        p = end;
    }
}

bool parse_address(const std::string& text, unsigned char* out)
{
    return text.size() == strlen(text.c_str()) && bus_address_parse(text.c_str(), out) == 1;
}

std::string hex2(unsigned v)
{
    char text[8];
    snprintf(text, sizeof text, "%02X", v & 0xFF);
    return text;
}
