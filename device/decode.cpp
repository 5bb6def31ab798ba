#include "decode.h"

#include <stdio.h>
#include <string.h>

#include "../i18n/words.h"
#include "crc.h"

void decode_reset(decoder& d)
{
    d = decoder();
    d.address = d.expect = -1;
}

void register_text(unsigned reg, char* out, unsigned size)
{
    if ((reg & 0xFFFF00) == 0x010000)
        snprintf(out, size, "ER%02X", reg & 0xFF);
    else if ((reg & 0xFFFF00) == 0)
        snprintf(out, size, "IR%02X", reg & 0xFF);
    else
        snprintf(out, size, "%06X", reg & 0xFFFFFF);
}

// ---- the master's frames ------------------------------------------------------

// Each rule: the frame's length when the bytes at `p` (n of them) begin
// one, else 0; and its words, which note the request in the decoder.
struct master_rule {
    int kind;
    int (*length)(const unsigned char* p, int n);
    void (*words)(decoder& d, decode_frame& f);
};

static int header_length(const unsigned char* p, int n, unsigned char mode, int len)
{
    return n >= len && p[0] == 0x60 && p[2] == mode && (len == 4 || p[4] == 0xC0) ? len : 0;
}

static int select_length(const unsigned char* p, int n)
{
    return header_length(p, n, 0x00, 5);
}

static int test_length(const unsigned char* p, int n)
{
    return header_length(p, n, 0x81, 4);
}

static int param_length(const unsigned char* p, int n)
{
    return n >= 5 && (p[0] == 0xCA || p[0] == 0xCB || p[0] == 0xC9) ? 5 : 0;
}

// A header's checksum checked: a bad one names what it should have been
// and selects nobody.
static bool header_sum(decoder& d, decode_frame& f, const char* what)
{
    unsigned char want = csm8(f.at, 3);
    if (want == f.at[3]) {
        snprintf(f.meaning, sizeof f.meaning, words(what), f.at[1]);
        return true;
    }
    f.kind = FRAME_BAD_SUM;
    char head[DECODE_MEANING];
    snprintf(head, sizeof head, words(what), f.at[1]);
    snprintf(f.meaning, sizeof f.meaning, words(W_("%s: bad checksum %02X, not %02X")), head,
             f.at[3], want);
    d.address = d.expect = -1;
    return false;
}

static void select_words(decoder& d, decode_frame& f)
{
    if (header_sum(d, f, W_("select %02X"))) {
        d.address = f.at[1];
        d.expect = FRAME_SELECT;
    }
    f.address = f.at[1];
}

static void test_words(decoder& d, decode_frame& f)
{
    if (header_sum(d, f, W_("test %02X"))) {
        d.address = f.at[1];
        d.expect = FRAME_TEST;
    }
    f.address = f.at[1];
}

static void param_words(decoder& d, decode_frame& f)
{
    d.command = f.at[0];
    d.reg = f.at[1] | (unsigned)f.at[2] << 8 | (unsigned)f.at[3] << 16;
    d.value = f.at[4];
    d.expect = FRAME_PARAM;
    f.address = d.address;
    char reg[8];
    register_text(d.reg, reg, sizeof reg);
    if (d.command == 0xCA)
        snprintf(f.meaning, sizeof f.meaning, words(W_("read %s")), reg);
    else
        snprintf(f.meaning, sizeof f.meaning, words(W_("write %s = %u")), reg, d.value);
}

static const master_rule master_rules[] = {
    {FRAME_SELECT, select_length, select_words},
    {FRAME_TEST, test_length, test_words},
    {FRAME_PARAM, param_length, param_words},
};

static const master_rule* master_frame(const unsigned char* p, int n, int* len)
{
    for (const master_rule& r : master_rules)
        if ((*len = r.length(p, n)) > 0)
            return &r;
    return nullptr;
}

// ---- the answers ----------------------------------------------------------------

// By the request answered: how long the answer is and its words.
struct answer_rule {
    int expect;
    int length;
    void (*words)(decoder& d, decode_frame& f);
};

static void selected_words(decoder&, decode_frame& f)
{
    if (f.at[0] == 0xC0) {
        f.kind = FRAME_SELECTED;
        snprintf(f.meaning, sizeof f.meaning, "%s", words(W_("selected")));
    }
}

static void value_words(decoder& d, decode_frame& f)
{
    if (f.at[0] != 0x05)
        return;
    char reg[8];
    register_text(d.reg, reg, sizeof reg);
    f.kind = FRAME_VALUE;
    snprintf(f.meaning, sizeof f.meaning,
             words(d.command == 0xCA ? W_("%s = %u") : W_("%s = %u written")), reg, f.at[1]);
}

static void answered_words(decoder&, decode_frame& f)
{
    f.kind = FRAME_ANSWERED;
    snprintf(f.meaning, sizeof f.meaning, "%s", words(W_("answered")));
}

static const answer_rule answer_rules[] = {
    {FRAME_SELECT, 1, selected_words},
    {FRAME_TEST, 1, answered_words},
    {FRAME_PARAM, 3, value_words},
};

static const answer_rule* answer_to(int expect)
{
    for (const answer_rule& r : answer_rules)
        if (r.expect == expect)
            return &r;
    return nullptr;
}

// ---- the block -------------------------------------------------------------------

static void unknown(decode_frame& f, int len)
{
    f.kind = FRAME_UNKNOWN;
    f.len = len;
    snprintf(f.meaning, sizeof f.meaning, "%s", words(W_("unknown")));
}

// One frame of the master's at `p`, or 0 when none begins there.
static int master_at(decoder& d, const unsigned char* p, int n, decode_frame& f)
{
    int len;
    const master_rule* r = master_frame(p, n, &len);
    if (!r)
        return 0;
    f.kind = r->kind;
    f.dir = DIR_SENT;
    f.len = len;
    r->words(d, f);
    memcpy(d.last, p, (size_t)len);
    d.last_len = len;
    return len;
}

// One answer at `p` (the request's, an echo, a refusal), else unknown
// bytes up to the next frame of the master's.
static int answer_at(decoder& d, const unsigned char* p, int n, decode_frame& f, int dir)
{
    f.dir = DIR_RECEIVED;
    f.address = d.address;
    if (d.last_len > 0 && n >= d.last_len && !memcmp(p, d.last, (size_t)d.last_len)) {
        f.kind = FRAME_ECHO;
        f.len = d.last_len;
        snprintf(f.meaning, sizeof f.meaning, "%s", words(W_("echo")));
        d.last_len = 0;
        return f.len;
    }
    const answer_rule* r = answer_to(d.expect);
    if (r && n >= 1) {
        f.len = n < r->length ? n : r->length;
        unknown(f, f.len);
        if (p[0] == 0x15) {
            f.kind = FRAME_REFUSED;
            snprintf(f.meaning, sizeof f.meaning, "%s", words(W_("refused")));
        } else if (f.len == r->length) {
            r->words(d, f);
        } else {
            snprintf(f.meaning, sizeof f.meaning, words(W_("short: %d of %d bytes")), f.len,
                     r->length);
        }
        d.expect = -1;
        d.last_len = 0;
        return f.len;
    }
    int len = 1, ignore;
    while (len < n && len < DECODE_UNKNOWN_RUN &&
           !(dir != DIR_RECEIVED && master_frame(p + len, n - len, &ignore)))
        len++;
    unknown(f, len);
    return len;
}

int decode_block(decoder& d, int dir, const unsigned char* data, int len,
                 void (*out)(const decode_frame& f, void* ctx), void* ctx)
{
    int frames = 0;
    for (int at = 0; at < len; frames++) {
        decode_frame f;
        f.at = data + at;
        f.address = -1;
        f.meaning[0] = 0;
        int n = len - at, took = dir == DIR_RECEIVED ? 0 : master_at(d, f.at, n, f);
        if (!took && dir == DIR_SENT) {
            f.dir = DIR_SENT;
            int ignore;
            took = 1;
            while (took < n && took < DECODE_UNKNOWN_RUN &&
                   !master_frame(f.at + took, n - took, &ignore))
                took++;
            unknown(f, took);
        } else if (!took) {
            took = answer_at(d, f.at, n, f, dir);
        }
        at += took;
        out(f, ctx);
    }
    return frames;
}
