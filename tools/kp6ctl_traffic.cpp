// The line's traffic in words: -v's frames, decode (the traffic log) and
// monitor (a line listened to, nothing sent).
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "../device/decode.h"
#include "../device/traffic_file.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "kp6ctl.h"

namespace kp6ctl {

// ---- a block's meaning ------------------------------------------------------------

struct meaning_out {
    char* text;
    size_t size, len;
    int frames;
    bool keep;  // a frame of an address asked for (all when none is)
};

static bool address_kept(int address)
{
    if (!opt.address_given)
        return true;
    for (unsigned char a : opt.addresses)
        if (a == address)
            return true;
    return false;
}

static void add_meaning(const decode_frame& f, void* ctx)
{
    meaning_out& m = *(meaning_out*)ctx;
    m.keep = m.keep || address_kept(f.address);
    int n = snprintf(m.text + m.len, m.size - m.len, "%s%s", m.frames++ ? "; " : "", f.meaning);
    if (n > 0)
        m.len = m.len + (size_t)n < m.size ? m.len + (size_t)n : m.size - 1;
}

// The frames of a block worded, "; " between them: whether one of them
// concerns an address kept.
static bool block_meaning(decoder& d, int dir, const unsigned char* data, int len, char* out,
                          size_t size)
{
    meaning_out m = {out, size, 0, 0, false};
    out[0] = 0;
    decode_block(d, dir, data, len, add_meaning, &m);
    return m.keep;
}

static size_t hex_text(const unsigned char* data, int len, char* out)
{
    static const char digits[] = "0123456789ABCDEF";
    size_t n = 0;
    for (int i = 0; i < len; i++) {
        if (i)
            out[n++] = ' ';
        out[n++] = digits[data[i] >> 4];
        out[n++] = digits[data[i] & 15];
    }
    out[n] = 0;
    return n;
}

static decoder line_decoder = {-1, -1, 0, 0, 0, {}, 0};

std::string traffic_meaning(int what, const unsigned char* data, int len)
{
    char text[512];
    if (what == TRAFFIC_ECHO)
        return "";
    block_meaning(line_decoder, what == TRAFFIC_SENT ? DIR_SENT : DIR_RECEIVED, data, len, text,
                  sizeof text);
    return text;
}

// ---- decode --------------------------------------------------------------------------

namespace {

struct decode_run {
    const char* name;
    decoder ports[17];
    std::vector<char> hex;
    unsigned long faults = 0;
};

// By REC_*: its arrow, and what it says besides its frames.
void bytes_words(const log_record& r, char* out, size_t size)
{
    if (r.expected)
        snprintf(out, size, "time-out: %d of %d bytes", r.len, r.expected);
}
void no_answer_words(const log_record& r, char* out, size_t size)
{
    snprintf(out, size, "no answer: %d bytes awaited", r.expected);
}
void write_error_words(const log_record& r, char* out, size_t size)
{
    snprintf(out, size, "write failed (code %ld)", r.code);
}
void start_words(const log_record&, char* out, size_t size)
{
    snprintf(out, size, "program started");
}
void errors_words(const log_record& r, char* out, size_t size)
{
    snprintf(out, size, "line errors: %ld parity, %d framing", r.code, r.expected);
}
const struct {
    const char* arrow;
    void (*words)(const log_record& r, char* out, size_t size);
} record_kinds[] = {
    {"->", bytes_words},       {"<-", bytes_words}, {"<-", no_answer_words}, {"<>", bytes_words},
    {"<>", write_error_words}, {"", start_words},   {"", errors_words},      {"", bytes_words},
};
static_assert(sizeof record_kinds / sizeof *record_kinds == REC_BAD + 1, "a row per record");

std::string record_words(const log_record& r)
{
    char text[160] = "";
    record_kinds[r.what].words(r, text, sizeof text);
    return text;
}

void json_string(std::string& out, const char* s)
{
    out += '"';
    for (; *s; s++) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\')
            out += '\\';
        if (c >= 0x20)
            out += (char)c;
    }
    out += '"';
}

void print_record(const log_record& r, void* ctx)
{
    decode_run& run = *(decode_run*)ctx;
    if (r.what == REC_BAD || r.note[0]) {
        run.faults++;
        say(stderr, "kp6ctl: %s:%ld: %s\n", run.name, r.line, r.note);
        if (r.what == REC_BAD)
            return;
    }
    char meaning[1024] = "";
    bool keep = !opt.address_given;
    if (r.len > 0) {
        decoder& d = run.ports[r.port >= 1 && r.port <= 16 ? r.port : 0];
        keep = block_meaning(d, r.what == REC_SENT ? DIR_SENT : DIR_RECEIVED, r.data, r.len,
                             meaning, sizeof meaning);
        if (r.what == REC_CLEARED)
            snprintf(meaning + strlen(meaning), sizeof meaning - strlen(meaning), " (cleared)");
    }
    if (!keep)
        return;
    std::string words = record_words(r);
    std::string all = meaning;
    if (!words.empty())
        all += (all.empty() ? "" : "; ") + words;
    if (r.note[0])
        all += std::string(all.empty() ? "" : "; ") + r.note;
    run.hex.resize((size_t)r.len * 3 + 1);
    hex_text(r.data, r.len, run.hex.data());
    std::string line;
    if (opt.json_out) {
        line = "{\"line\":" + std::to_string(r.line) + ",\"time\":";
        json_string(line, r.time);
        line += ",\"port\":" + std::to_string(r.port) + ",\"dir\":";
        json_string(line, record_kinds[r.what].arrow);
        line += ",\"hex\":";
        json_string(line, run.hex.data());
        line += ",\"meaning\":";
        json_string(line, all.c_str());
        line += "}\n";
    } else {
        char head[64], port[8] = "";
        if (r.port)
            snprintf(port, sizeof port, "%d", r.port);
        snprintf(head, sizeof head, "%-21s %2s %-2s ", r.time, port, record_kinds[r.what].arrow);
        line = std::string(head) + run.hex.data() + (r.len ? "  " : "") + all + "\n";
    }
    fwrite(line.data(), 1, line.size(), stdout);
}

}  // namespace

int cmd_decode(void)
{
    if (opt.words.size() != 1)
        return usage_error("%s needs one log file: kp6ctl decode FILE", "decode");
    int rc = resolve_addresses(false);
    if (rc)
        return rc;
    const std::string& name = opt.words[0];
    FILE* f = name == "-" ? stdin : fopen(name.c_str(), "rb");
    if (!f) {
        say(stderr, "kp6ctl: cannot read %s\n", name.c_str());
        return EXIT_USAGE;
    }
    static char out_buffer[1 << 16];
    setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    static decode_run run;
    run.name = name.c_str();
    for (decoder& d : run.ports)
        decode_reset(d);
    int error = log_read(f, print_record, &run);
    if (f != stdin)
        fclose(f);
    fflush(stdout);
    if (error)
        say(stderr, "kp6ctl: cannot read %s to its end\n", name.c_str());
    return error || run.faults ? EXIT_CONTROLLER : EXIT_DONE;
}

// ---- monitor -------------------------------------------------------------------------

namespace {

enum { BLOCK_MAX = 256 };

struct listener {
    decoder d;
    uint64_t started, last;  // perf counter
    FILE* raw;
    double last_ms;
};

double ms_since(const listener& l, uint64_t t)
{
    return (double)(t - l.started) * 1000.0 / (double)plat_perf_frequency();
}

struct frame_line {
    listener* l;
    double at_ms;
    int first_dir;  // the block's direction, as its first frame is judged
};

void print_frame(const decode_frame& f, void* ctx)
{
    frame_line& fl = *(frame_line*)ctx;
    if (fl.first_dir < 0)
        fl.first_dir = f.dir;
    if (!address_kept(f.address))
        return;
    char hex[3 * DECODE_UNKNOWN_RUN + 16];
    hex_text(f.at, f.len < DECODE_UNKNOWN_RUN ? f.len : DECODE_UNKNOWN_RUN, hex);
    say(stdout, "%10.3f %+9.1f %s %s  %s\n", fl.at_ms / 1000.0, fl.at_ms - fl.l->last_ms,
        f.dir == DIR_SENT ? "->" : "<-", hex, f.meaning);
    fl.l->last_ms = fl.at_ms;
}

void block_out(listener& l, const unsigned char* data, int len, uint64_t at)
{
    frame_line fl = {&l, ms_since(l, at), -1};
    decode_block(l.d, DIR_LINE, data, len, print_frame, &fl);
    fflush(stdout);
    if (l.raw) {
        char hex[3 * BLOCK_MAX + 1];
        hex_text(data, len, hex);
        fprintf(l.raw, "%.6f %s %s\n", fl.at_ms / 1000.0, fl.first_dir == DIR_SENT ? "->" : "<-",
                hex);
        fflush(l.raw);
    }
}

}  // namespace

int cmd_monitor(void)
{
    int rc = resolve_addresses(false);
    if (rc)
        return rc;
    listener l = {};
    decode_reset(l.d);
    if (!opt.raw_file.empty() && !(l.raw = fopen(opt.raw_file.c_str(), "w"))) {
        say(stderr, "kp6ctl: cannot write %s\n", opt.raw_file.c_str());
        return EXIT_USAGE;
    }
    rc = open_line(ANSWER_TIMEOUT_MS);
    if (rc) {
        if (l.raw)
            fclose(l.raw);
        return rc;
    }
    plat_line rate = {};
    port_line(line_port, &rate);
    if (l.raw)
        capture_head(l.raw, (unsigned long)rate.baud);
    // A frame ends with a silence longer than three byte times.
    unsigned gap = port_line_ms(line_port, 3) + 1;
    say(stderr, "kp6ctl: listening on %s, nothing sent; Ctrl-C stops\n", opt.port.c_str());
    l.started = plat_perf_counter();
    unsigned char block[BLOCK_MAX];
    int have = 0;
    uint64_t began = 0;
    while (!interrupted() && !line_lost()) {
        int came = port_wait(line_port, have ? gap : 100);
        int n = port_avail(line_port);
        if (n > 0) {
            if (!have)
                began = plat_perf_counter();
            int take = n < BLOCK_MAX - have ? n : BLOCK_MAX - have;
            if (recv_port(line_port, block + have, take))
                have += take;
        }
        // Silence after a block, or a block as long as one may be (noise).
        if (have && ((!came && n <= 0) || have == BLOCK_MAX)) {
            block_out(l, block, have, began);
            have = 0;
        }
    }
    if (have)
        block_out(l, block, have, began);
    plat_line_errors counts;
    if (port_line_errors(line_port, &counts) == 0)
        say(stderr, "kp6ctl: line errors: %lu parity, %lu framing, %lu overrun\n", counts.parity,
            counts.framing, counts.overrun);
    close_line();
    if (l.raw && fclose(l.raw) != 0)
        say(stderr, "kp6ctl: cannot write %s\n", opt.raw_file.c_str());
    return interrupted() ? EXIT_DONE : EXIT_CONTROLLER;
}

}  // namespace kp6ctl
