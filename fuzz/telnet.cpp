// The network line's receive filter on a received stream cut into reads
// where the input says: every cut must give the same line bytes as the
// stream taken whole, never more bytes than came in, and replies that fit
// their buffer.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "../port/telnet.h"

static unsigned filter_all(const uint8_t* data, size_t size, size_t cut, unsigned char* out)
{
    telnet_rx t;
    telnet_rx_init(&t);
    unsigned got = 0;
    for (size_t at = 0; at < size;) {
        size_t n = cut ? cut : size;
        if (n > size - at)
            n = size - at;
        got += telnet_filter(&t, data + at, (unsigned)n, out + got);
        if (t.reply_len > TN_REPLY_MAX)
            abort();
        t.reply_len = 0;  // as the port layer sends and empties it
        at += n;
    }
    return got;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t cut = data[0] % 8;  // 0: one read
    data++;
    size--;
    unsigned char* whole = (unsigned char*)malloc(size + 1);
    unsigned char* pieces = (unsigned char*)malloc(size + 1);
    unsigned a = filter_all(data, size, 0, whole);
    unsigned b = filter_all(data, size, cut, pieces);
    if (a > size || b != a || memcmp(whole, pieces, a) != 0)
        abort();
    // What escaping sends comes back whole through the filter.
    unsigned char* sent = (unsigned char*)malloc(2 * size + 1);
    unsigned n = telnet_escape(data, (unsigned)size, sent);
    telnet_rx t;
    telnet_rx_init(&t);
    if (telnet_filter(&t, sent, n, sent) != size || memcmp(sent, data, size) != 0)
        abort();
    free(whole);
    free(pieces);
    free(sent);
    return 0;
}
