#include "shown_text.h"

#include <stdio.h>
#include <string.h>

// The length of the UTF-8 character at `p` when it is a whole one and no
// control (C1 controls, U+0080 to U+009F, move terminals as C0 ones do);
// else 0.
static int shown_char_length(const unsigned char* p)
{
    int len = p[0] < 0x80             ? 1
              : (p[0] & 0xE0) == 0xC0 ? 2
              : (p[0] & 0xF0) == 0xE0 ? 3
              : (p[0] & 0xF8) == 0xF0 ? 4
                                      : 0;
    if (len == 1)
        return p[0] >= 0x20 && p[0] != 0x7F && p[0] != '\\';
    if (len == 0 || (len == 2 && p[0] < 0xC2) || (len == 2 && p[0] == 0xC2 && p[1] < 0xA0))
        return 0;
    for (int i = 1; i < len; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return len;
}

int text_shown_safe(const char* in, char* out, unsigned size)
{
    if (!size)
        return 0;
    unsigned n = 0;
    int escaped = 0;
    for (const unsigned char* p = (const unsigned char*)in; *p;) {
        char piece[8];
        int len = shown_char_length(p), take = len ? len : 1;
        if (len) {
            memcpy(piece, p, (size_t)len);
            piece[len] = 0;
        } else {
            escaped = 1;
            const char* named = *p == '\n'   ? "\\n"
                                : *p == '\t' ? "\\t"
                                : *p == '\r' ? "\\r"
                                : *p == '\\' ? "\\\\"
                                             : nullptr;
            if (named)
                snprintf(piece, sizeof piece, "%s", named);
            else
                snprintf(piece, sizeof piece, "\\x%02X", *p);
        }
        size_t plen = strlen(piece);
        if (n + plen >= size)
            break;
        memcpy(out + n, piece, plen);
        n += (unsigned)plen;
        p += take;
    }
    out[n] = 0;
    return escaped;
}
