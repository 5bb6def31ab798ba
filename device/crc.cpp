#include "crc.h"

unsigned char csm8(const unsigned char* data, unsigned short len)
{
    unsigned char c = 0xFF;
    for (unsigned short i = 0; i < len; i++) {
        unsigned char x = (unsigned char)(c ^ data[i]);
        c = (unsigned char)((x << 1) | (x >> 7));
    }
    return c;
}
