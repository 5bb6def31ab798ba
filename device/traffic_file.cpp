#include "traffic_file.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "../port/plainw.h"
#include "decode.h"
#include "text.h"

namespace {

enum { LINE_MAX_BYTES = 3 * REC_BYTES_MAX + 128, CHUNK = 1 << 16 };

// The file through a buffer of its own: lines up to LF, and raw bytes
// by count; every LF counts a line, inside raw bytes too.
struct reader {
    FILE* f;
    std::vector<unsigned char> buf;
    size_t at = 0, end = 0;
    long line = 1;
    int error = 0;
    bool eof = false;
    bool partial = false;  // the last line read ended with the file, not LF
};

bool fill(reader& r)
{
    if (r.at < r.end)
        return true;
    if (r.eof)
        return false;
    r.at = 0;
    r.end = fread(r.buf.data(), 1, r.buf.size(), r.f);
    if (r.end == 0) {
        r.eof = true;
        if (ferror(r.f))
            r.error = errno ? errno : EIO;
    }
    return r.end > 0;
}

// The next line without its CR LF, NUL after it: its length, -1 at the
// end of the file. A line longer than `max` is cut there (*cut set), the rest
// skipped.
int next_line(reader& r, std::vector<char>& line, bool* cut)
{
    line.clear();
    *cut = false;
    r.partial = false;
    bool any = false;
    while (fill(r)) {
        any = true;
        unsigned char* p = r.buf.data() + r.at;
        size_t n = r.end - r.at;
        unsigned char* lf = (unsigned char*)memchr(p, '\n', n);
        size_t take = lf ? (size_t)(lf - p) : n;
        size_t room = LINE_MAX_BYTES - line.size();
        if (take > room)
            *cut = true;
        line.insert(line.end(), p, p + (take < room ? take : room));
        r.at += take;
        if (lf) {
            r.at++;
            r.line++;
            break;
        }
        r.partial = r.at == r.end && (r.eof || !fill(r));
    }
    if (!any)
        return -1;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    line.push_back(0);  // the numbers in it are read up to it
    return (int)line.size() - 1;
}

// Up to `n` raw bytes into `out`: how many the file held.
int raw_bytes(reader& r, unsigned char* out, int n)
{
    int got = 0;
    while (got < n && fill(r)) {
        size_t k = r.end - r.at;
        if (k > (size_t)(n - got))
            k = (size_t)(n - got);
        memcpy(out + got, r.buf.data() + r.at, k);
        for (size_t i = 0; i < k; i++)
            r.line += out[got + i] == '\n';
        r.at += k;
        got += (int)k;
    }
    return got;
}

// The record heads the layer writes, after its time stamp: the words in
// code page 866 (made once from UTF-8), and what follows them.
struct head_kind {
    const char* utf8;
    int what;
    bool bytes;  // its hexadecimal line, then the raw bytes
    char cp866[48];
    int len;
};
head_kind heads[] = {
    {"Запись (порт ", REC_SENT, true, {}, 0},
    {"Чтение  порта ", REC_RECEIVED, true, {}, 0},
    {"Очистка буфера порта ", REC_CLEARED, true, {}, 0},
    {"Ошибка записи в порт ", REC_WRITE_ERROR, false, {}, 0},
};
struct {
    char cp866[48];
    int len;
} timeout_words, start_words, errors_words;

void words_once(void)
{
    if (heads[0].len)
        return;
    for (head_kind& h : heads)
        h.len = utf8_to_cp866(h.utf8, h.cp866, sizeof h.cp866);
    timeout_words.len = utf8_to_cp866("Т-аут на ", timeout_words.cp866, sizeof timeout_words.cp866);
    start_words.len = utf8_to_cp866("Вход в программу", start_words.cp866,
                                    sizeof start_words.cp866);
    errors_words.len = utf8_to_cp866("Ошибок паритета=", errors_words.cp866,
                                     sizeof errors_words.cp866);
}

bool starts(const char* p, const char* end, const char* with, int len)
{
    return end - p >= len && !memcmp(p, with, (size_t)len);
}

// " 10.12.26 (09:41:02:123) ": the time into the record, 1; else 0.
bool time_stamp(const char* p, const char* end, log_record& rec)
{
    static const char shape[] = " dd.dd.dd (dd:dd:dd:ddd) ";
    const int len = (int)sizeof shape - 1;
    if (end - p < len)
        return false;
    for (int i = 0; i < len; i++)
        if (shape[i] == 'd' ? p[i] < '0' || p[i] > '9' : p[i] != shape[i])
            return false;
    int h = decimal_digits(p + 11, 2), m = decimal_digits(p + 14, 2), s = decimal_digits(p + 17, 2),
        ms = decimal_digits(p + 20, 3);
    snprintf(rec.time, sizeof rec.time, "%.8s %.2s:%.2s:%.2s.%.3s", p + 1, p + 11, p + 14, p + 17,
             p + 20);
    rec.ms_of_day = ((h * 60L + m) * 60 + s) * 1000 + ms;
    return true;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "XX XX XX " to the end of the line: the count, or -1 when something
// else stands there.
int hex_line(const char* p, const char* end, unsigned char* out)
{
    int n = 0;
    for (; end - p >= 3 && n < REC_BYTES_MAX; p += 3) {
        int hi = hex_value(p[0]), lo = hex_value(p[1]);
        if (hi < 0 || lo < 0 || p[2] != ' ')
            return -1;
        out[n++] = (unsigned char)(hi << 4 | lo);
    }
    return p == end ? n : -1;
}

void bad(log_record& rec, const char* why)
{
    rec.what = REC_BAD;
    snprintf(rec.note, sizeof rec.note, "%s", why);
}

// A head line's record: its bytes' count in *count (-1: none follow).
void head_line(const char* p, const char* end, log_record& rec, unsigned char* bytes, int* count)
{
    *count = -1;
    const head_kind* k = nullptr;
    for (const head_kind& h : heads)
        if (starts(p, end, h.cp866, h.len))
            k = &h;
    if (!k)
        return bad(rec, "not a record of the traffic log");
    p += k->len;
    char* after;
    rec.what = k->what;
    rec.port = (int)strtol(p, &after, 10);
    if (after == p || rec.port < 1 || rec.port > 16)
        return bad(rec, "not a record of the traffic log");
    p = after;
    if (!k->bytes) {
        const char* code = strstr(p, "(");  // "<> (код N)"
        rec.code = code ? strtol(code + 1 + strcspn(code + 1, "-0123456789"), nullptr, 10) : 0;
        return;
    }
    for (const char* arrow : {")-> ", "<- ", "<> "})
        if (starts(p, end, arrow, (int)strlen(arrow))) {
            p += strlen(arrow);
            break;
        }
    if (k->what == REC_RECEIVED && starts(p, end, timeout_words.cp866, timeout_words.len)) {
        rec.what = REC_NO_ANSWER;
        rec.expected = (int)strtol(p + timeout_words.len, nullptr, 10);
        return;
    }
    *count = hex_line(p, end, bytes);
    if (*count < 0)
        bad(rec, "not a record of the traffic log");
}

}  // namespace

int log_read(FILE* f, void (*out)(const log_record& r, void* ctx), void* ctx)
{
    words_once();
    reader r;
    r.f = f;
    r.buf.resize(CHUNK);
    std::vector<char> line;
    std::vector<unsigned char> hex(REC_BYTES_MAX), raw(REC_BYTES_MAX);
    bool cut;
    for (int len; (len = next_line(r, line, &cut)) >= 0;) {
        log_record rec = log_record();
        rec.line = r.line - 1;
        rec.ms_of_day = -1;
        const char *p = line.data(), *end = p + len;
        int count = -1;
        if (len == 0)
            continue;
        if (cut)
            bad(rec, "a line too long for the traffic log");
        else if (starts(p, end, start_words.cp866, start_words.len))
            rec.what = REC_START;
        else if (starts(p, end, errors_words.cp866, errors_words.len)) {
            rec.what = REC_ERRORS;
            rec.code = strtol(p + errors_words.len, nullptr, 10);
            const char* eq = (const char*)memchr(p + errors_words.len, '=',
                                                 (size_t)(end - p - errors_words.len));
            rec.expected = eq ? (int)strtol(eq + 1, nullptr, 10) : 0;
        } else if (!time_stamp(p, end, rec))
            bad(rec, "not a record of the traffic log");
        else
            head_line(p + 25, end, rec, hex.data(), &count);
        // Only a record of bytes ends its line before them.
        if (r.partial && (count >= 0 || rec.what == REC_BAD)) {
            count = -1;
            bad(rec, "the record is cut short");
        }
        if (count >= 0) {
            int got = raw_bytes(r, raw.data(), count);
            rec.data = hex.data();
            rec.len = count;
            if (got < count)
                snprintf(rec.note, sizeof rec.note, "the record is cut short: %d of %d bytes", got,
                         count);
            else if (memcmp(raw.data(), hex.data(), (size_t)count))
                snprintf(rec.note, sizeof rec.note, "its bytes differ from its hexadecimal line");
            // A read that timed out with part of the answer says so after
            // its bytes, before the next record's CR LF.
            long at_line = r.line;
            int tail;
            if (got == count && (tail = next_line(r, line, &cut)) > 0) {
                const char* t = line.data();
                const char* tend = t + tail;
                if (starts(t, tend, timeout_words.cp866, timeout_words.len))
                    rec.expected = (int)strtol(t + timeout_words.len, nullptr, 10);
                else {
                    out(rec, ctx);
                    rec = log_record();
                    rec.line = at_line;
                    rec.ms_of_day = -1;
                    bad(rec, "not a record of the traffic log");
                }
            }
        }
        out(rec, ctx);
    }
    return r.error;
}

// ---- the capture ------------------------------------------------------------------

static const char CAPTURE_HEAD[] = "kp6 capture 1, ";

void capture_head(FILE* f, unsigned long baud)
{
    fprintf(f, "%s%lu baud\n", CAPTURE_HEAD, baud);
}

int capture_read(FILE* f, unsigned long* baud, void (*out)(const capture_block& b, void* ctx),
                 void* ctx, long* bad_line)
{
    reader r;
    r.f = f;
    r.buf.resize(CHUNK);
    std::vector<char> line;
    std::vector<unsigned char> bytes(REC_BYTES_MAX);
    bool cut;
    int len = next_line(r, line, &cut);
    if (len < 0 || strncmp(line.data(), CAPTURE_HEAD, sizeof CAPTURE_HEAD - 1) ||
        sscanf(line.data() + sizeof CAPTURE_HEAD - 1, "%lu baud", baud) != 1)
        return CAPTURE_NOT_ONE;
    while ((len = next_line(r, line, &cut)) >= 0) {
        capture_block b = {r.line - 1, 0, DIR_SENT, bytes.data(), 0};
        if (len == 0 || line[0] == '#')
            continue;
        char* p;
        b.seconds = strtod(line.data(), &p);
        bool ok = !cut && p != line.data() && p[0] == ' ' && (p[1] == '-' || p[1] == '<') &&
                  (p[2] == '>' || p[2] == '-');
        b.dir = ok && p[1] == '<' ? DIR_RECEIVED : DIR_SENT;
        for (p = ok ? p + 3 : p; ok && *p == ' ' && p[1]; p += 3) {
            int hi = hex_value(p[1]), lo = p[1] ? hex_value(p[2]) : -1;
            ok = hi >= 0 && lo >= 0 && b.len < REC_BYTES_MAX;
            if (ok)
                bytes[(size_t)b.len++] = (unsigned char)(hi << 4 | lo);
        }
        if (!ok || *p || b.len == 0) {
            *bad_line = b.line;
            return CAPTURE_BAD_LINE;
        }
        out(b, ctx);
    }
    return CAPTURE_OK;
}
