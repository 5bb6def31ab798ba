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
#include "../../port/plainw.h"
#include "../../timers/timersw.h"
#include "../support/sim.h"
#include "../support/port_fixture.h"
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
    } cases[] = {{"1", 1, 0x01},    {"10", 1, 0x10},   {"0x1f", 1, 0x1F}, {"0X1F", 1, 0x1F},
                 {"a", 1, 0x0A},    {"Ff", 1, 0xFF},   {"", 1, 0x00},     {"0x", 1, 0x00},
                 {"001f", 1, 0x1F}, {"0x00ff", 1, 0xFF},
                 {"123", 0, 0x00},  {"100", 0, 0x00},  {"0x100", 0, 0x00}, {"g", 0, 0x00},
                 {"1g", 0, 0x00},   {" 7", 0, 0x00},   {"7 ", 0, 0x00},   {"x1", 0, 0x00},
                 {"00x1", 0, 0x00}, {"0x0x1", 0, 0x00}, {"-1", 0, 0x00},  {"00001", 0, 0x00},
                 {"0x0001f", 0, 0x00}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.ok, address_text_ok(c.text)) << '"' << c.text << '"';
        EXPECT_EQ(c.address, address_from_text(c.text)) << '"' << c.text << '"';
    }
}

// The port layer started on a line, in a scratch folder.
class Link : public PortLayerTest {
protected:
    void open_line(const std::string& path) { ASSERT_EQ(0, open(path)); }
    int exchange(unsigned int& word, unsigned char command, unsigned char address = 1)
    {
        return device_exchange(h, address, word, command);
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
    std::thread answer([&] {
        char frame[5];
        ASSERT_EQ(5, read(peer.master, frame, 5));
        ASSERT_EQ(3, write(peer.master, "\x55\xEE\xFF", 3));
    });
    unsigned int word = WORD_ER78;
    EXPECT_EQ(-1, exchange(word, CMD_READ_ER));
    answer.join();
    EXPECT_EQ(0, port_avail(h));
}

TEST_F(Link, AWrongAcknowledgementConsumesThreeBytesOnly)
{
    TestPty peer;
    open_line(peer.slave);
    std::thread answer([&] {
        char frame[5];
        ASSERT_EQ(5, read(peer.master, frame, 5));
        ASSERT_EQ(1, write(peer.master, "\xC0", 1));
        ASSERT_EQ(5, read(peer.master, frame, 5));
        ASSERT_EQ(5, write(peer.master, "\x06\x11\x22\x33\x44", 5));
    });
    unsigned int word = WORD_ER78;
    EXPECT_EQ(-1, exchange(word, CMD_READ_ER));
    answer.join();
    EXPECT_EQ(WORD_ER78, word);
    EXPECT_EQ(2, port_avail(h));
    EXPECT_EQ(0x33, peek_port(h, 0));
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
    ASSERT_TRUE(eventually([&] { return ioctl(held, FIONREAD, &queued) == 0 && queued == 1; }, 5000));
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
