// The exchange with the controller, without a window: against kp6-sim, and
// against a scripted peer (the test on the pty master) where timing matters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "../../device/crc.h"
#include "../../device/exchange.h"
#include "../../device/settings.h"
#include "../../port/plainw.h"
#include "../../timers/timersw.h"
#include "../support/port_fixture.h"
#include "../support/sim.h"
#include "../support/testsupport.h"

TEST(Checksum, Examples)
{
    unsigned char sel[] = {0x60, 0x01, 0x00}, test[] = {0x60, 0x01, 0x81};
    EXPECT_EQ(0xFF, csm8(sel, 0));
    EXPECT_EQ(0xF8, csm8(sel, 3));
    EXPECT_EQ(0xFB, csm8(test, 3));
    EXPECT_EQ(0xBB, csm8((const unsigned char*)"abc", 3));
}

TEST(Address, TheFieldTakesUpToTwoSignificantHexDigits)
{
    const struct {
        const char* text;
        int ok;
        unsigned char address;
    } cases[] = {{"1", 1, 0x01},     {"10", 1, 0x10},     {"0x1f", 1, 0x1F},   {"0X1F", 1, 0x1F},
                 {"a", 1, 0x0A},     {"Ff", 1, 0xFF},     {"", 1, 0x00},       {"0x", 1, 0x00},
                 {"001f", 1, 0x1F},  {"0x00ff", 1, 0xFF}, {"123", 0, 0x00},    {"100", 0, 0x00},
                 {"0x100", 0, 0x00}, {"g", 0, 0x00},      {"1g", 0, 0x00},     {" 7", 0, 0x00},
                 {"7 ", 0, 0x00},    {"x1", 0, 0x00},     {"00x1", 0, 0x00},   {"0x0x1", 0, 0x00},
                 {"-1", 0, 0x00},    {"00001", 0, 0x00},  {"0x0001f", 0, 0x00}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.ok, address_text_ok(c.text)) << '"' << c.text << '"';
        EXPECT_EQ(c.address, address_from_text(c.text)) << '"' << c.text << '"';
    }
}

// The port layer started on a line, in a scratch folder.
class Link : public PortLayerTest {
protected:
    void TearDown() override
    {
        PortLayerTest::TearDown();
        exchange_set_options({});
    }
    void open_line(const std::string& path) { ASSERT_EQ(0, open(path)); }
    int exchange(unsigned int& word, unsigned char command, unsigned char address = 1)
    {
        return device_exchange(h, address, word, command);
    }
    // A controller on the pty's master side: each reply answers one 5-byte frame.
    static std::thread answers(TestPty& peer, std::vector<std::string> replies)
    {
        return std::thread([&peer, replies] {
            for (const std::string& r : replies) {
                char frame[5];
                ASSERT_EQ(5, read(peer.master, frame, 5));
                ASSERT_EQ((ssize_t)r.size(), write(peer.master, r.data(), r.size()));
            }
        });
    }
};

TEST_F(Link, WorkedFramesGoOutByteForByte)
{
    Sim sim({"--trace"});
    open_line(sim.path);
    unsigned int word = WORD_ER78;
    ASSERT_EQ(1, exchange(word, CMD_READ_ER));
    EXPECT_EQ(0u, word);
    word = WORD_ER78 | 0x12u << 24;
    ASSERT_EQ(1, exchange(word, CMD_WRITE_ER));
    EXPECT_EQ(0x12u, word);
    word = WORD_IR24_8;
    ASSERT_EQ(1, exchange(word, CMD_WRITE_IR));
    EXPECT_EQ(1, device_test(h, 1));
    EXPECT_EQ(1, port_avail(h));  // the Test's answer

    auto rx = [&] {
        std::vector<std::string> out;
        for (const auto& l : sim.trace(11, 5000))
            if (l.rfind("rx ", 0) == 0)
                out.push_back(l);
        return out;
    }();
    EXPECT_EQ((std::vector<std::string>{"rx 60 01 00 F8 C0", "rx CA 78 00 01 00",
                                        "rx 60 01 00 F8 C0", "rx CB 78 00 01 12",
                                        "rx 60 01 00 F8 C0", "rx C9 24 00 00 08",
                                        "rx 60 01 81 FB"}),
              rx);
}

TEST_F(Link, SuccessReturnsTheValueAndLeavesTheBufferEmpty)
{
    TempDir regs;
    write_file(regs.file("state"), "1F 010077 C8\n");
    Sim sim({"--address", "1F", "--state", regs.file("state")});
    open_line(sim.path);
    unsigned int word = WORD_ER77;
    ASSERT_EQ(1, exchange(word, CMD_READ_ER, 0x1F));
    EXPECT_EQ(200u, word);
    EXPECT_EQ(0, port_avail(h));
}

TEST_F(Link, SilenceTimesOutAfterASecondAndLeavesLateBytes)
{
    TestPty peer;
    open_line(peer.slave);
    std::thread late([&] {
        usleep(1300 * 1000);
        ASSERT_EQ(1, write(peer.master, "\xC0", 1));
    });
    unsigned int word = WORD_ER78;
    uint64_t t0 = plat_perf_counter();
    EXPECT_EQ(-1, exchange(word, CMD_READ_ER));
    EXPECT_GE(ms_since(t0), 900.0);
    EXPECT_EQ(WORD_ER78, word);
    late.join();
    EXPECT_TRUE(eventually([&] { return port_avail(h) == 1; }, 5000));  // not cleared
}

TEST_F(Link, AnAnswerArrivingMidWaitIsTakenAsItComes)
{
    TestPty peer;
    open_line(peer.slave);
    std::thread later([&] {
        usleep(200 * 1000);
        ASSERT_EQ(1, write(peer.master, "x", 1));
    });
    uint64_t t0 = plat_perf_counter();
    EXPECT_EQ(1, device_test(h, 0));
    EXPECT_LT(ms_since(t0), 900.0);
    later.join();
}

TEST_F(Link, AWrongSelectionAnswerClearsTheBuffer)
{
    TestPty peer;
    open_line(peer.slave);
    std::thread answer = answers(peer, {"\x55\xEE\xFF"});
    unsigned int word = WORD_ER78;
    EXPECT_EQ(-1, exchange(word, CMD_READ_ER));
    answer.join();
    EXPECT_EQ(0, port_avail(h));
}

// Garbled and longer than an answer: dropped whole and asked again once,
// whatever the retries say.
TEST_F(Link, AWrongAcknowledgementIsAskedAgainOnce)
{
    TestPty peer;
    open_line(peer.slave);
    exchange_set_options({300});
    std::thread answer = answers(peer, {"\xC0", "\x06\x11\x22\x33\x44", ""});
    unsigned int word = WORD_ER78;
    unsigned long repeats = exchange_repeats;
    EXPECT_EQ(-1, exchange(word, CMD_READ_ER));
    answer.join();
    EXPECT_EQ(WORD_ER78, word);
    EXPECT_EQ(0, port_avail(h));
    EXPECT_EQ(repeats + 1, exchange_repeats);
    EXPECT_EQ(FAULT_NO_ANSWER, exchange_last_fault.kind);  // the peer said nothing more
}

TEST_F(Link, AShortAnswerTimesOutAndStaysInTheBuffer)
{
    Sim sim({"--short-answer"});
    open_line(sim.path);
    unsigned int word = WORD_ER78;
    uint64_t t0 = plat_perf_counter();
    EXPECT_EQ(-1, exchange(word, CMD_READ_ER));
    EXPECT_GE(ms_since(t0), 900.0);
    EXPECT_EQ(2, port_avail(h));
}

TEST_F(Link, TestSeesAnyByteThatComesAfterItsHeader)
{
    Sim sim({"--trace", "--turnaround", "1500"});
    // Input that waited before the port was opened is gone.
    TestPty early;
    int held = ::open(early.slave.c_str(), O_RDWR | O_NOCTTY);
    struct termios raw;
    ASSERT_EQ(0, tcgetattr(held, &raw));
    cfmakeraw(&raw);
    ASSERT_EQ(0, tcsetattr(held, TCSANOW, &raw));
    ASSERT_EQ(1, write(early.master, "x", 1));
    int queued = 0;
    ASSERT_TRUE(eventually([&] { return ioctl(held, FIONREAD, &queued) == 0 && queued == 1; },
                           5000));
    open_line(early.slave);
    close(held);
    EXPECT_EQ(0, port_avail(h));
    free_port(h, 0);

    // A controller that answers after 1.5 s: no reply within the second,
    // and its late answer is no reply to the next Test, at an address
    // where nothing is.
    open_line(sim.path);
    EXPECT_EQ(0, device_test(h, 1));
    ASSERT_TRUE(eventually([&] { return port_avail(h) == 1; }, 5000));
    uint64_t t0 = plat_perf_counter();
    EXPECT_EQ(0, device_test(h, 5));
    EXPECT_GE(ms_since(t0), 900.0);
    EXPECT_EQ(3u, sim.trace(3, 3000).size());  // rx tx rx: nothing is at 05

    // Address 0 sends nothing and waits out the second.
    t0 = plat_perf_counter();
    EXPECT_EQ(0, device_test(h, 0));
    EXPECT_GE(ms_since(t0), 900.0);
    EXPECT_EQ(3u, sim.trace(4, 200).size());
}

static std::string fault_text()
{
    char text[200];
    exchange_fault_text(exchange_last_fault, text, sizeof text);
    return text;
}

TEST_F(Link, EachFaultIsKeptWithTheBytesSeenAndToldInWords)
{
    exchange_set_options({300});
    const struct {
        std::vector<std::string> sim;
        int kind, stage;
        std::string seen, text;
    } cases[] = {
        {{"--silent"}, FAULT_NO_ANSWER, STAGE_SELECT, "", "no answer in 300 ms"},
        {{"--select-reply", "55"},
         FAULT_SELECT_REPLY,
         STAGE_SELECT,
         "55",
         "the selection was answered with 55, not C0"},
        {{"--ack", "15"}, FAULT_ACK, STAGE_PARAMETER, "15 00 AB", "acknowledged with 15, not 05"},
        {{"--short-answer"}, FAULT_SHORT, STAGE_PARAMETER, "05 00", "2 of 3 answer bytes"},
    };
    for (const auto& c : cases) {
        Sim sim(c.sim);
        open_line(sim.path);
        unsigned int word = WORD_ER78;
        EXPECT_EQ(-1, exchange(word, CMD_READ_ER));  // the window's result, as ever
        const exchange_fault& f = exchange_last_fault;
        EXPECT_EQ(c.kind, f.kind) << c.text;
        EXPECT_EQ(c.stage, f.stage) << c.text;
        EXPECT_EQ(c.seen, hex(std::string((const char*)f.seen, (size_t)f.seen_count)));
        EXPECT_EQ(c.text, fault_text());
        free_port(h, 0);
    }
    // A controller that takes the selection and then says nothing.
    TestPty peer;
    open_line(peer.slave);
    std::thread answer = answers(peer, {"\xC0"});
    unsigned int word = WORD_ER78;
    EXPECT_EQ(-1, exchange(word, CMD_READ_ER));
    answer.join();
    EXPECT_EQ("selected, then no answer in 300 ms", fault_text());
    EXPECT_EQ(0, device_test(h, 1));
    EXPECT_EQ(STAGE_TEST, exchange_last_fault.stage);
    EXPECT_EQ("no answer in 300 ms", fault_text());
}

// Every third answer is lost; a repeat gets each exchange through.
TEST_F(Link, RetriesCarryAFlakyLineAndAreCounted)
{
    Sim sim({"--drop-every", "3", "--trace"});
    open_line(sim.path);
    exchange_set_options({600});  // an answer later than this is a retry more: not in the count
    device_settings s = {};
    EXPECT_NE(0, settings_read(h, 1, s));
    exchange_options o = {600, 1};
    unsigned long before = exchange_repeats, exchanges = exchange_count;
    static int told;
    told = 0;
    o.on_repeat = [](const exchange_fault&) { told++; };
    exchange_set_options(o);
    EXPECT_EQ(0, settings_read(h, 1, s));
    exchange_set_options({200, 1});
    EXPECT_EQ(15, s.er79);
    EXPECT_GE(exchange_repeats - before, 2u);
    EXPECT_EQ(exchange_repeats - before, (unsigned long)told);
    EXPECT_EQ(6u, exchange_count - exchanges);
    EXPECT_EQ(0, settings_write(h, 1, s));
    EXPECT_EQ(FAULT_NONE, exchange_last_fault.kind);
    EXPECT_EQ("", fault_text());
}

// A write goes out again only while no answer to it has begun.
TEST_F(Link, AWriteIsNotRepeatedOnceItsAnswerBegan)
{
    exchange_options o = {200, 2};
    exchange_set_options(o);
    auto frames = [](Sim& sim, const std::string& head) {
        int n = 0;
        for (const auto& l : sim.trace((size_t)-1, 300))
            n += l.rfind("rx " + head, 0) == 0;
        return n;
    };
    for (const std::vector<std::string>& fault :
         {std::vector<std::string>{"--short-answer"}, {"--ack", "15"}}) {
        std::vector<std::string> args = fault;
        args.push_back("--trace");
        Sim sim(args);
        open_line(sim.path);
        unsigned int word = WORD_ER79 | 9u << 24;
        EXPECT_EQ(-1, exchange(word, CMD_WRITE_ER));
        EXPECT_EQ(0, exchange_may_repeat(exchange_last_fault));
        o.repeat_silence = 0;  // a scan's garbled answer is asked again, silence not
        exchange_set_options(o);
        exchange_fault silent = exchange_fault();
        silent.kind = FAULT_NO_ANSWER;
        silent.command = CMD_READ_ER;
        silent.stage = STAGE_PARAMETER;
        EXPECT_EQ(1, exchange_may_repeat(silent));
        silent.stage = STAGE_SELECT;
        EXPECT_EQ(0, exchange_may_repeat(silent));
        o.repeat_silence = 1;
        exchange_set_options(o);
        word = WORD_ER79;
        EXPECT_EQ(-1, exchange(word, CMD_READ_ER));  // a read may be asked again
        EXPECT_EQ(1, frames(sim, "CB 79"));
        EXPECT_EQ(3, frames(sim, "CA 79"));
        free_port(h, 0);
    }
    // The acknowledgement lost whole (the third answer): the write goes again.
    Sim sim({"--drop-every", "3", "--trace"});
    open_line(sim.path);
    EXPECT_EQ(1, device_test(h, 1));
    unsigned int word = WORD_ER79 | 9u << 24;
    EXPECT_EQ(1, exchange(word, CMD_WRITE_ER));
    EXPECT_EQ(2, frames(sim, "CB 79"));
}

// A byte just after a Read's last answer is a second controller's: the Read
// goes again from its start, and the same again names a collision.
TEST_F(Link, AByteAfterTheLastAnswerReadsAgainAndTwiceIsACollision)
{
    for (int doubled : {1, 2}) {
        TestPty peer;
        open_line(peer.slave);
        // At 300 baud the quiet gap is some 70 ms: the stray byte lands in
        // it on a loaded machine too.
        ASSERT_EQ(0, init_port(h, 300, 8, 'N', 1));
        std::thread answer([&peer, doubled] {
            for (int pass = 0; pass < 2; pass++)
                for (int i = 0; i < 2 * READ_STEPS; i++) {
                    char frame[5];
                    ASSERT_EQ(5, read(peer.master, frame, 5));
                    ASSERT_EQ(i % 2 ? 3 : 1,
                              write(peer.master, i % 2 ? "\x05\x07\x0C" : "\xC0", i % 2 ? 3 : 1));
                    if (i == 2 * READ_STEPS - 1 && pass < doubled) {
                        usleep(1000);
                        ASSERT_EQ(1, write(peer.master, "\xEE", 1));
                    }
                }
        });
        device_settings s = {};
        EXPECT_EQ(doubled == 2 ? READ_STEPS : 0, settings_read(h, 1, s));
        answer.join();
        EXPECT_EQ(doubled == 2 ? FAULT_COLLISION : FAULT_NONE, exchange_last_fault.kind);
        EXPECT_EQ(7, s.er72);
        free_port(h, 0);
    }
}

TEST_F(Link, TheShortestTimeOutIsTheFrameAndItsAnswerOnTheLine)
{
    Sim sim({});
    open_line(sim.path);  // 4800 baud: 8 bytes take 16.7 ms
    EXPECT_EQ(17u, exchange_shortest_timeout_ms(h, 0));
    EXPECT_EQ(11u, exchange_shortest_timeout_ms(h, 1));  // a Test: 4 bytes and 1
    exchange_options o;
    o.answer_after_frame = 1;  // the time-out starts once the frame is out
    exchange_set_options(o);
    EXPECT_EQ(7u, exchange_shortest_timeout_ms(h, 0));
}

TEST(Address, ListsAndRanges)
{
    unsigned char out[ADDRESS_LIST_MAX];
    int at = -1, len = -1;
    auto parsed = [&](const char* text) {
        int n = address_list_parse(text, out, &at, &len);
        std::string r;
        for (int i = 0; i < n; i++)
            r += (r.empty() ? "" : " ") + hex(std::string(1, (char)out[i]));
        return n < 0 ? std::to_string(n) + "@" + std::to_string(at) + "+" + std::to_string(len) : r;
    };
    EXPECT_EQ("01", parsed("1"));
    EXPECT_EQ("01 03 10 11 12", parsed("01,03,10-12"));
    EXPECT_EQ("1E 1F 03", parsed("0x1e:1F, 3"));
    EXPECT_EQ("05 04 06", parsed("5,4-6,05"));  // each once, in the order given
    EXPECT_EQ(255, address_list_parse("01-FF", out, &at, &len));
    EXPECT_EQ("-1@3+0", parsed("01,,03"));
    EXPECT_EQ("-1@3+0", parsed("01,"));
    EXPECT_EQ("-1@0+0", parsed(""));
    EXPECT_EQ("-1@0+4", parsed("0-1F"));
    EXPECT_EQ("-1@3+3", parsed("01,100"));
    EXPECT_EQ("-1@0+6", parsed("10-1F-"));
    EXPECT_EQ("-1@0+5", parsed("10-:1"));
    EXPECT_EQ("-2@3+5", parsed("01,1F-10"));
    EXPECT_EQ("-1@0+1", parsed("g"));
}
