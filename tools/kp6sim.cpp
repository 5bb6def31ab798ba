// kp6-sim: one or more dispensing controllers on a serial line, for
// learning the tool without a machine and as the peer of its own tests.
//
// It opens a new pseudo-terminal (or serves --device), prints the path on
// the first line of standard output and answers the controller's frames
// until SIGINT or SIGTERM.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "../device/crc.h"
#include "../device/decode.h"
#include "../device/traffic_file.h"
#include "../platform/platform.h"
#include "options.h"

// The port layer comes in with the log's code page; its messages go nowhere.
void put_text_log(char*, int) {}

namespace {

struct Controller {
    unsigned char address;
    std::map<uint32_t, unsigned char> registers;  // 24-bit address -> value
};

struct Options {
    std::vector<unsigned char> addresses;
    std::string link, device, state, replay;
    unsigned long baud = 0;      // 0: no line timing
    unsigned turnaround_ms = 0;  // reply delay
    bool trace = false;
    bool version = false;
    bool help = false;
    // Faults.
    bool silent = false;
    bool echo = false;  // a two-wire converter: every byte received comes back at once
    int select_reply = 0xC0;
    int ack = 0x05;
    bool short_answer = false;
    std::vector<unsigned char> stray;
    long hangup_after = -1;                 // frames; -1: never
    std::vector<unsigned char> fail_reads;  // answer Test and writes, refuse reads
    unsigned long drop_every = 0;           // lose every Nth answer; 0: none
    long corrupt_read = 0;                  // the Nth read answers a wrong value, once; 0: none
    std::vector<unsigned char> collide;     // a second controller answers at these too
    long collide_for = -1;                  // it answers this many times; -1: always
};

Options opt;
std::vector<Controller> controllers;
plat_handle line = PLAT_NO_HANDLE;
uint64_t started_ns;
uint64_t line_free_ns;  // when the last byte received has arrived
long frames_seen;
unsigned long answers_due;  // answers the controller meant to send

const uint32_t ER_BASE = 0x010000;

// Defaults of a controller fresh from the factory.
const struct {
    uint32_t reg;
    unsigned char value;
} factory[] = {
    {ER_BASE + 0x72, 10},  // time-out, seconds
    {ER_BASE + 0x74, 5},   // topping, x10 g
    {ER_BASE + 0x75, 3},   // buffer overflow, x10 g
    {ER_BASE + 0x77, 50},  // sensitivity
    {ER_BASE + 0x78, 0},   // millilitres, inverse gun off
    {ER_BASE + 0x79, 15},  // engine start, x0.1 s
};

// Asked for with --help, to standard output; after a mistake, to standard error.
void usage(FILE* to)
{
    fputs("usage: kp6-sim [--address HEX]... [--link PATH] [--device PATH] [--state FILE]\n"
          "               [--baud N] [--turnaround MS] [--trace]\n"
          "               [--silent] [--echo] [--select-reply HEX] [--ack HEX] [--short-answer]\n"
          "               [--stray HEXBYTES] [--hangup-after N] [--fail-reads HEX]...\n"
          "               [--drop-every N] [--corrupt-read N] [--collide HEX]...\n"
          "               [--collide-for N] [--replay FILE]\n"
          "       kp6-sim --help | --version\n",
          to);
}

bool parse_hex(const char* s, unsigned long max, unsigned long* out)
{
    char* end;
    if (!*s)
        return false;
    unsigned long v = strtoul(s, &end, 16);
    if (*end || v > max)
        return false;
    *out = v;
    return true;
}

bool parse_dec(const char* s, unsigned long max, unsigned long* out)
{
    char* end;
    if (!*s || *s == '-')
        return false;
    unsigned long v = strtoul(s, &end, 10);
    if (*end || v > max)
        return false;
    *out = v;
    return true;
}

// A byte in hex, or -1.
int hex_byte(const char* v)
{
    unsigned long n;
    return v && parse_hex(v, 0xFF, &n) ? (int)n : -1;
}

// A controller at the address; `also` keeps it for a fault.
int add_controller(const char* v, std::vector<unsigned char>* also)
{
    int a = hex_byte(v);
    if (a < 0)
        return OPTION_BAD;
    opt.addresses.push_back((unsigned char)a);
    if (also)
        also->push_back((unsigned char)a);
    return 0;
}

int store_byte(const char* v, int* to)
{
    int b = hex_byte(v);
    if (b >= 0)
        *to = b;
    return b >= 0 ? 0 : OPTION_BAD;
}

// A count from `least` to `max`.
template <class T> int store_count(const char* v, unsigned long least, unsigned long max, T* to)
{
    unsigned long n;
    if (!v || !parse_dec(v, max, &n) || n < least)
        return OPTION_BAD;
    *to = (T)n;
    return 0;
}

int store_text(const char* v, std::string* to)
{
    if (v)
        *to = v;
    return v ? 0 : OPTION_BAD;
}

// Bytes in hex, two digits each: "0D0A".
int store_stray(const char*, const char* v)
{
    bool ok = v && strlen(v) % 2 == 0 && *v;
    for (size_t k = 0; ok && v[k]; k += 2) {
        char two[3] = {v[k], v[k + 1], 0};
        int b = hex_byte(two);
        ok = b >= 0;
        if (ok)
            opt.stray.push_back((unsigned char)b);
    }
    return ok ? 0 : OPTION_BAD;
}

const unsigned long MANY = 1000000000UL;

// kp6-sim's options: its controllers, its line and the faults it plays.
const option_row options[] = {
    {"--version", 0, OPTION_FLAG, &opt.version},
    {"--help", 0, OPTION_FLAG, &opt.help},
    {"--trace", 0, OPTION_FLAG, &opt.trace},
    {"--silent", 0, OPTION_FLAG, &opt.silent},
    {"--echo", 0, OPTION_FLAG, &opt.echo},
    {"--short-answer", 0, OPTION_FLAG, &opt.short_answer},
    {"--address", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return add_controller(v, nullptr); }},
    {"--fail-reads", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return add_controller(v, &opt.fail_reads); }},
    {"--collide", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return add_controller(v, &opt.collide); }},
    {"--collide-for", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_count(v, 0, MANY, &opt.collide_for); }},
    {"--select-reply", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_byte(v, &opt.select_reply); }},
    {"--ack", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_byte(v, &opt.ack); }},
    {"--stray", 0, OPTION_VALUE, nullptr, store_stray},
    {"--hangup-after", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_count(v, 0, MANY, &opt.hangup_after); }},
    {"--drop-every", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_count(v, 1, MANY, &opt.drop_every); }},
    {"--corrupt-read", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_count(v, 1, MANY, &opt.corrupt_read); }},
    {"--baud", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_count(v, 1, 4000000UL, &opt.baud); }},
    {"--turnaround", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_count(v, 0, 60000UL, &opt.turnaround_ms); }},
    {"--link", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_text(v, &opt.link); }},
    {"--device", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_text(v, &opt.device); }},
    {"--state", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_text(v, &opt.state); }},
    {"--replay", 0, OPTION_VALUE, nullptr,
     [](const char*, const char* v) { return store_text(v, &opt.replay); }},
};

// Each mistake is told on a line of its own, the usage after it.
int complain(const char* fmt, const std::string& what)
{
    fputs("kp6-sim: ", stderr);
    fprintf(stderr, fmt, what.c_str());
    fputc('\n', stderr);
    return 2;
}

// Only options; "--name value", never "--name=value".
option_parser args = {options,
                      sizeof options / sizeof options[0],
                      false,
                      "unknown argument %s",
                      "bad or missing value for %s",
                      complain,
                      nullptr,
                      0};

// ---- registers and the state file ----------------------------------------------

Controller* find_controller(unsigned char address)
{
    for (Controller& c : controllers)
        if (c.address == address)
            return &c;
    return nullptr;
}

std::string register_name(uint32_t reg)
{
    char name[16];
    if ((reg & 0xFFFF00) == ER_BASE)
        snprintf(name, sizeof name, "ER%02X", reg & 0xFF);
    else if ((reg & 0xFFFF00) == 0)
        snprintf(name, sizeof name, "IR%02X", reg & 0xFF);
    else
        return "";
    return name;
}

// One line a register: bus address, register address, value, all hex.
bool save_state(void)
{
    if (opt.state.empty())
        return true;
    std::string tmp = opt.state + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    fputs("# kp6-sim registers: bus address, register address, value (hex)\n", f);
    for (const Controller& c : controllers)
        for (const auto& r : c.registers)
            fprintf(f, "%02X %06X %02X  # %s\n", c.address, r.first, r.second,
                    register_name(r.first).c_str());
    bool ok = fclose(f) == 0;
    return ok && rename(tmp.c_str(), opt.state.c_str()) == 0;
}

bool load_state(void)
{
    FILE* f = fopen(opt.state.c_str(), "r");
    if (!f)
        return true;  // a new file: the factory defaults stand
    char text[256];
    int line_no = 0;
    while (fgets(text, sizeof text, f)) {
        line_no++;
        if (char* hash = strchr(text, '#'))
            *hash = 0;
        unsigned addr, reg, value;
        char extra;
        int n = sscanf(text, "%x %x %x %c", &addr, &reg, &value, &extra);
        if (n <= 0)
            continue;
        if (n != 3 || addr > 0xFF || reg > 0xFFFFFF || value > 0xFF) {
            fprintf(stderr, "kp6-sim: %s:%d: expected \"address register value\" in hex\n",
                    opt.state.c_str(), line_no);
            fclose(f);
            return false;
        }
        if (Controller* c = find_controller((unsigned char)addr))
            c->registers[reg] = (unsigned char)value;
    }
    fclose(f);
    return true;
}

// ---- the line -------------------------------------------------------------------------

// Simulated line time of one byte; a real device brings its own.
uint64_t byte_ns(void)
{
    return opt.baud && opt.device.empty() ? 10ull * 1000000000ull / opt.baud : 0;
}

uint64_t now_ns(void)
{
    return plat_perf_counter();
}

// Sleeps to just before `t`, then spins: a plain sleep oversleeps by tens
// of microseconds, which would add up over the bytes of a Read.
void sleep_until(uint64_t t)
{
    const uint64_t spin_ns = 300000;
    uint64_t n = now_ns();
    if (t > n + spin_ns)
        plat_sleep_us((unsigned)((t - n - spin_ns) / 1000));
    while (now_ns() < t) {
    }
}

void trace(const char* what, const unsigned char* b, size_t n)
{
    if (!opt.trace)
        return;
    double t = (double)(now_ns() - started_ns) / 1e9;
    printf("%.6f %s", t, what);
    for (size_t i = 0; i < n; i++)
        printf(" %02X", b[i]);
    printf("\n");
    fflush(stdout);
}

// The line's settings as the program at the other end left them, traced
// when they change: what a driver really set, seen from this side.
void trace_line_settings(void)
{
    static char last[128];
    char now[128];
    if (!opt.trace || plat_pty_settings(line, now, sizeof now) != 0 || !strcmp(now, last))
        return;
    memcpy(last, now, sizeof last);
    printf("%.6f line %s\n", (double)(now_ns() - started_ns) / 1e9, now);
    fflush(stdout);
}

// Sends after the turnaround; each byte holds the line for ten bit times
// before it is there. Times count from the end of the frame answered.
void send(const std::vector<unsigned char>& bytes, unsigned delay_ms = opt.turnaround_ms)
{
    uint64_t at = line_free_ns + (uint64_t)delay_ms * 1000000ull;
    sleep_until(at);
    trace("tx", bytes.data(), bytes.size());
    if (!byte_ns()) {  // no line timing: the answer at once, in one piece
        unsigned done;
        plat_serial_write(line, bytes.data(), (unsigned)bytes.size(), &done);
        return;
    }
    for (unsigned char b : bytes) {
        at += byte_ns();
        sleep_until(at);
        unsigned done;
        plat_serial_write(line, &b, 1, &done);
    }
}

// Two controllers at one address answer together, the second half a byte
// after the first: the line carries both at once, each bit the AND of the
// two (a 0 wins), one byte longer than either answer.
std::vector<unsigned char> overlaid(const std::vector<unsigned char>& b)
{
    std::vector<unsigned char> out;
    for (size_t k = 0; k <= b.size(); k++) {
        unsigned first = k < b.size() ? b[k] : 0xFF, before = k ? b[k - 1] : 0xFF;
        unsigned late = (first << 4 | before >> 4) & 0xFF;
        out.push_back((unsigned char)(first & late));
    }
    return out;
}

void answer(std::vector<unsigned char> bytes, unsigned char address)
{
    if (opt.silent)
        return;
    static long collided;
    if (std::find(opt.collide.begin(), opt.collide.end(), address) != opt.collide.end() &&
        (opt.collide_for < 0 || collided < opt.collide_for)) {
        collided++;
        trace("collide", bytes.data(), bytes.size());
        bytes = overlaid(bytes);
    }
    bytes.insert(bytes.end(), opt.stray.begin(), opt.stray.end());
    if (opt.drop_every && ++answers_due % opt.drop_every == 0) {
        trace("lost", bytes.data(), bytes.size());  // a noisy line ate it
        return;
    }
    send(bytes);
}

// ---- a capture replayed ------------------------------------------------------------

// Each frame of the master's in the capture, with what the controllers
// answered to it, in order: a frame heard again gets the next answer
// recorded for it (the last one again once they run out).
struct Recorded {
    std::vector<unsigned char> answer;  // empty: nobody answered
    unsigned delay_ms;                  // from the frame's end to the answer
};
struct Script {
    std::map<std::string, std::vector<Recorded>> answers;
    std::map<std::string, size_t> used;
    std::string request;  // the frame whose answer is being gathered
    std::vector<unsigned char> last_sent;
    double request_ms = 0;
    unsigned long baud = 0;
    bool replaying = false;
    std::string fault;  // why the file is no capture
} script;

void script_request(const unsigned char* data, int len, double ms)
{
    script.request.assign((const char*)data, (size_t)len);
    script.last_sent.assign(data, data + len);
    script.request_ms = ms;
    script.answers[script.request].push_back({{}, 0});
}

void script_answer(const unsigned char* data, int len, double ms)
{
    if (script.request.empty())
        return;  // what came before the first frame answers nothing
    if ((size_t)len == script.last_sent.size() &&
        std::equal(data, data + len, script.last_sent.begin()))
        return;  // the converter's echo of the frame
    Recorded& r = script.answers[script.request].back();
    if (r.answer.empty())
        r.delay_ms = ms > script.request_ms ? (unsigned)(ms - script.request_ms + 0.5) : 0;
    r.answer.insert(r.answer.end(), data, data + len);
}

void from_log(const log_record& r, void*)
{
    if (r.what == REC_BAD) {
        if (script.fault.empty())
            script.fault = "line " + std::to_string(r.line) + ": " + r.note;
        return;
    }
    double ms = (double)r.ms_of_day;
    if (r.what == REC_SENT && r.len > 0)
        script_request(r.data, r.len, ms);
    else if ((r.what == REC_RECEIVED || r.what == REC_CLEARED) && r.len > 0)
        script_answer(r.data, r.len, ms);
}

void from_capture(const capture_block& b, void*)
{
    double ms = b.seconds * 1000.0;
    if (b.dir == DIR_SENT)
        script_request(b.data, b.len, ms + (script.baud ? b.len * 10000.0 / script.baud : 0));
    else
        script_answer(b.data, b.len, ms);
}

// Reads --replay: true, or false with the reason told.
bool load_replay(void)
{
    FILE* f = fopen(opt.replay.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "kp6-sim: cannot read %s\n", opt.replay.c_str());
        return false;
    }
    long bad_line = 0;
    int rc = capture_read(f, &script.baud, from_capture, nullptr, &bad_line);
    if (rc == CAPTURE_BAD_LINE)
        script.fault = "line " + std::to_string(bad_line) + ": no block of a capture";
    if (rc == CAPTURE_NOT_ONE) {
        rewind(f);
        if (log_read(f, from_log, nullptr) != 0)
            script.fault = "it cannot be read to its end";
    }
    fclose(f);
    if (script.fault.empty() && script.answers.empty())
        script.fault = "it holds no frame of a master";
    if (!script.fault.empty()) {
        fprintf(stderr, "kp6-sim: %s is no capture (kp6ctl monitor --raw) nor a traffic log: %s\n",
                opt.replay.c_str(), script.fault.c_str());
        return false;
    }
    script.replaying = true;
    return true;
}

void replay_frame(const std::vector<unsigned char>& f)
{
    auto it = script.answers.find(std::string(f.begin(), f.end()));
    if (it == script.answers.end()) {
        trace("unknown", f.data(), f.size());
        return;
    }
    size_t& next = script.used[it->first];
    const Recorded& r = it->second[std::min(next, it->second.size() - 1)];
    next++;
    if (r.answer.empty())
        trace("quiet", nullptr, 0);
    else
        send(r.answer, r.delay_ms);
}

// ---- frames ------------------------------------------------------------------------------

std::vector<unsigned char> frame;  // bytes of the frame being received
std::vector<unsigned char> stray;  // bytes that started no frame, not yet traced
int selected = -1;                 // controller selected for one parameter frame

void drop(const std::vector<unsigned char>& bytes)
{
    if (!bytes.empty())
        trace("drop", bytes.data(), bytes.size());
}

void drop_stray(void)
{
    drop(stray);
    stray.clear();
}

void parameter_frame(Controller& c)
{
    unsigned char cmd = frame[0];
    uint32_t reg = frame[1] | (uint32_t)frame[2] << 8 | (uint32_t)frame[3] << 16;
    unsigned char value;
    if (cmd == 0xCA) {
        auto it = c.registers.find(reg);
        value = it == c.registers.end() ? 0 : it->second;
    } else {
        value = frame[4];
        // Hand is written as type code 4 and reads back as 10.
        bool hand = cmd == 0xCB && reg == ER_BASE + 0x78 && (value & 0x0F) == 4;
        c.registers[reg] = hand ? (unsigned char)((value & 0xF0) | 10) : value;
        if (!save_state())
            fprintf(stderr, "kp6-sim: cannot save %s\n", opt.state.c_str());
    }
    // Noise on the line: one read's value byte arrives changed.
    static long reads;
    if (cmd == 0xCA && ++reads == opt.corrupt_read)
        value ^= 0x40;
    bool refused = cmd == 0xCA && std::find(opt.fail_reads.begin(), opt.fail_reads.end(),
                                            c.address) != opt.fail_reads.end();
    unsigned char head[2] = {(unsigned char)(refused ? 0x15 : opt.ack), value};
    std::vector<unsigned char> reply = {head[0], head[1], csm8(head, 2)};
    if (opt.short_answer)
        reply.pop_back();
    answer(reply, c.address);
}

// A whole frame has arrived; frames that are not exactly right go unanswered.
void complete_frame(void)
{
    trace_line_settings();
    trace("rx", frame.data(), frame.size());
    frames_seen++;
    int was_selected = selected;
    selected = -1;
    if (script.replaying) {
        replay_frame(frame);
        return;
    }
    if (frame[0] == 0x60) {
        Controller* c = find_controller(frame[1]);
        bool sum_ok = csm8(frame.data(), 3) == frame[3];
        if (!c || !sum_ok)
            return;
        if (frame[2] == 0x00 && frame[4] == 0xC0) {
            selected = (int)(c - controllers.data());
            answer({(unsigned char)opt.select_reply}, c->address);
        } else if (frame[2] == 0x81) {
            answer({0xC0}, c->address);
        }
    } else if (was_selected >= 0) {
        parameter_frame(controllers[(size_t)was_selected]);
    }
}

size_t expected_length(void)
{
    if (frame[0] != 0x60)
        return 5;  // parameter frame
    if (frame.size() < 3)
        return 0;  // not known yet
    return frame[2] == 0x81 ? 4 : 5;
}

void receive(unsigned char b)
{
    if (frame.empty()) {
        bool header = b == 0x60;
        bool parameter = (selected >= 0 || script.replaying) &&
                         (b == 0xCA || b == 0xCB || b == 0xC9);
        if (!header && !parameter) {
            stray.push_back(b);
            return;
        }
        drop_stray();
    }
    frame.push_back(b);
    if (frame.size() == 3 && frame[0] == 0x60 && frame[2] != 0x00 && frame[2] != 0x81) {
        drop(frame);
        frame.clear();
        selected = -1;
        return;
    }
    size_t want = expected_length();
    if (want && frame.size() == want) {
        sleep_until(line_free_ns);  // the last byte has crossed the line
        complete_frame();
        frame.clear();
    }
}

int run(void)
{
    unsigned gap_ms = (unsigned)(4 * 10 * 1000 / (opt.baud ? opt.baud : 4800)) + 1;
    if (gap_ms < 5)
        gap_ms = 5;
    while (!plat_termination_requested()) {
        int r = plat_wait_readable(line, frame.empty() ? 100 : (int)gap_ms);
        if (r < 0) {
            // Nobody has the other end open (or it was closed): wait for one.
            if (!frame.empty()) {
                drop(frame);
                frame.clear();
            }
            selected = -1;
            plat_sleep_ms(20);
            continue;
        }
        if (r == 0) {
            if (!frame.empty()) {  // a pause inside a frame ends it
                drop(frame);
                frame.clear();
                selected = -1;
            }
            continue;
        }
        unsigned char buf[256];
        unsigned got = 0;
        plat_serial_read(line, buf, sizeof buf, &got);
        if (opt.echo && got) {
            unsigned done;
            trace("echo", buf, got);
            plat_serial_write(line, buf, got, &done);
        }
        uint64_t t = now_ns();
        for (unsigned i = 0; i < got; i++) {
            line_free_ns = (line_free_ns > t ? line_free_ns : t) + byte_ns();
            receive(buf[i]);
            if (opt.hangup_after >= 0 && frames_seen >= opt.hangup_after) {
                // A hang-up throws away what the other side has not read
                // yet: give it the last answer first, unless it goes on.
                if (i + 1 == got)
                    plat_wait_readable(line, 500);
                trace("hangup", nullptr, 0);
                return 0;
            }
        }
        drop_stray();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int rc = parse_options(args, argc, argv);
    if (rc) {
        usage(stderr);
        return rc;
    }
    if (opt.addresses.empty())
        opt.addresses.push_back(0x01);
    if (opt.help) {
        usage(stdout);
        return 0;
    }
    if (opt.version) {
        puts("kp6-sim " KP6_VERSION);
        return 0;
    }
    for (unsigned char a : opt.addresses) {
        if (find_controller(a))
            continue;
        Controller c;
        c.address = a;
        for (const auto& f : factory)
            c.registers[f.reg] = f.value;
        controllers.push_back(c);
    }
    if (!opt.replay.empty() && !load_replay())
        return 1;
    if (!opt.state.empty() && (!load_state() || !save_state())) {
        fprintf(stderr, "kp6-sim: cannot use the state file %s\n", opt.state.c_str());
        return 1;
    }
    plat_catch_termination();
    started_ns = now_ns();

    char path[256];
    if (!opt.device.empty()) {
        rc = plat_serial_open(opt.device.c_str(), &line);
        if (rc == 0) {
            const plat_timeouts t = {0, 0, 0, 20, 20};
            const plat_line settings = {opt.baud ? opt.baud : 4800, 8, 0, 0, 0};
            rc = plat_serial_set_timeouts(line, &t);
            if (rc == 0)
                rc = plat_serial_set_line(line, &settings);
        }
        snprintf(path, sizeof path, "%s", opt.device.c_str());
    } else {
        rc = plat_pty_open(&line, path, sizeof path);
    }
    if (rc) {
        fprintf(stderr, "kp6-sim: cannot open the line: %s\n", strerror(rc));
        return 1;
    }
    if (!opt.link.empty() && plat_symlink(path, opt.link.c_str()) != 0) {
        fprintf(stderr, "kp6-sim: cannot make the link %s\n", opt.link.c_str());
        plat_serial_close(line);
        return 1;
    }
    printf("%s\n", path);
    fflush(stdout);

    rc = run();

    if (!opt.link.empty())
        plat_remove(opt.link.c_str());
    plat_serial_close(line);
    return rc;
}
