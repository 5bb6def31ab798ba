// The traffic log's reader and the decoder on any bytes: every frame lies
// inside its block and covers it in order, every meaning is terminated,
// and a record's bytes are never more than its bound.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../device/decode.h"
#include "../device/traffic_file.h"

struct walk {
    const unsigned char* at;  // where the next frame must begin
    const unsigned char* end;
};

static void check_frame(const decode_frame& f, void* ctx)
{
    walk& w = *(walk*)ctx;
    if (f.at != w.at || f.len < 1 || f.at + f.len > w.end || !memchr(f.meaning, 0, DECODE_MEANING))
        abort();
    w.at += f.len;
}

static void decode_all(decoder& d, int dir, const unsigned char* data, int len)
{
    walk w = {data, data + len};
    decode_block(d, dir, data, len, check_frame, &w);
    if (w.at != w.end)
        abort();
}

static void check_record(const log_record& r, void* ctx)
{
    if (r.len < 0 || r.len > REC_BYTES_MAX || (r.len && !r.data))
        abort();
    decode_all(*(decoder*)ctx, r.what == REC_SENT ? DIR_SENT : DIR_RECEIVED, r.data, r.len);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    decoder d;
    decode_reset(d);
    const int dirs[] = {DIR_SENT, DIR_RECEIVED, DIR_LINE};
    for (int dir : dirs)
        decode_all(d, dir, data, (int)size);
    FILE* f = size ? fmemopen((void*)data, size, "rb") : nullptr;
    if (f) {
        log_read(f, check_record, &d);
        fclose(f);
    }
    return 0;
}
