// kp6-sim byte by byte over its pseudo-terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "../../device/crc.h"
#include "../../platform/platform.h"
#include "../support/sim.h"
#include "../support/testsupport.h"

static const std::string SELECT_01 = bytes({0x60, 0x01, 0x00, 0xF8, 0xC0});
static const std::string TEST_01 = bytes({0x60, 0x01, 0x81, 0xFB});

static std::string selection(int address)
{
    unsigned char f[3] = {0x60, (unsigned char)address, 0x00};
    return bytes({0x60, address, 0x00, csm8(f, 3), 0xC0});
}

static std::string reply(int ack, int value)
{
    unsigned char h[2] = {(unsigned char)ack, (unsigned char)value};
    return bytes({ack, value, csm8(h, 2)});
}

static std::string read_frame(int reg)
{
    return bytes({0xCA, reg, 0x00, 0x01, 0x00});
}
static std::string write_frame(int reg, int v)
{
    return bytes({0xCB, reg, 0x00, 0x01, v});
}

// Sends a frame and returns what came back; silence is waited out.
static std::string ask(TestLine& line, const std::string& frame, size_t n)
{
    line.send(frame);
    return line.receive(n, n ? 5000 : 300);
}

TEST(Kp6Sim, AnswersSelectionsParametersAndTests)
{
    Sim sim({"--address", "01", "--address", "1f"});
    ASSERT_FALSE(sim.path.empty());
    TestLine line(sim.path);
    ASSERT_GE(line.handle, 0);

    EXPECT_EQ("\xC0", ask(line, SELECT_01, 1));
    EXPECT_EQ(reply(0x05, 0x00), ask(line, read_frame(0x78), 3));  // millilitres, gun off
    EXPECT_EQ("\xC0", ask(line, SELECT_01, 1));
    EXPECT_EQ(reply(0x05, 0x12), ask(line, write_frame(0x78, 0x12), 3));
    EXPECT_EQ("\xC0", ask(line, SELECT_01, 1));
    EXPECT_EQ(reply(0x05, 0x12), ask(line, read_frame(0x78), 3));
    EXPECT_EQ("\xC0", ask(line, SELECT_01, 1));
    EXPECT_EQ(reply(0x05, 0x08), ask(line, bytes({0xC9, 0x24, 0x00, 0x00, 0x08}), 3));
    EXPECT_EQ(1u, ask(line, TEST_01, 1).size());

    // The second controller has registers of its own.
    EXPECT_EQ("\xC0", ask(line, selection(0x1F), 1));
    EXPECT_EQ(reply(0x05, 0x00), ask(line, read_frame(0x78), 3));
    EXPECT_EQ("\xC0", ask(line, selection(0x1F), 1));
    EXPECT_EQ(reply(0x05, 15), ask(line, read_frame(0x79), 3));
}

TEST(Kp6Sim, WrongFramesGetNoAnswer)
{
    Sim sim({});
    TestLine line(sim.path);
    EXPECT_EQ("", ask(line, selection(0x02), 0));                        // another address
    EXPECT_EQ("", ask(line, bytes({0x60, 0x01, 0x00, 0xF7, 0xC0}), 0));  // checksum
    EXPECT_EQ("", ask(line, bytes({0x60, 0x01, 0x00, 0xF8, 0xC1}), 0));  // closing byte
    EXPECT_EQ("", ask(line, read_frame(0x78), 0));                       // not selected
    EXPECT_EQ("", ask(line, bytes({0x60, 0x01, 0x81, 0x00}), 0));        // test, checksum
    EXPECT_EQ("", ask(line, bytes({0x60, 0x01, 0x42, 0x00, 0x00}), 0));  // unknown mode
    // One parameter frame per selection.
    EXPECT_EQ("\xC0", ask(line, SELECT_01, 1));
    EXPECT_EQ(3u, ask(line, read_frame(0x78), 3).size());
    EXPECT_EQ("", ask(line, read_frame(0x78), 0));
    // Stray bytes before a frame, and a frame cut short by a pause.
    EXPECT_EQ("\xC0", ask(line, bytes({0x00, 0xFF, 0x05}) + SELECT_01, 1));
    EXPECT_EQ("", ask(line, SELECT_01.substr(0, 3), 0));
    EXPECT_EQ("", ask(line, SELECT_01.substr(3), 0));
    EXPECT_EQ("\xC0", ask(line, SELECT_01, 1));
}

TEST(Kp6Sim, RegistersPersistInTheStateFile)
{
    TempDir dir;
    std::string state = dir.file("regs");
    {
        Sim sim({"--state", state});
        TestLine line(sim.path);
        EXPECT_NE(std::string::npos, read_file(state).find("01 010078 00"));
        ask(line, SELECT_01, 1);
        ask(line, write_frame(0x72, 0x2A), 3);
        EXPECT_NE(std::string::npos, read_file(state).find("01 010072 2A  # ER72"));
        ask(line, SELECT_01, 1);
        ask(line, bytes({0xC9, 0x24, 0x00, 0x00, 0x08}), 3);
        EXPECT_NE(std::string::npos, read_file(state).find("01 000024 08  # IR24"));
    }
    {
        Sim sim({"--state", state});
        TestLine line(sim.path);
        ask(line, SELECT_01, 1);
        EXPECT_EQ(reply(0x05, 0x2A), ask(line, read_frame(0x72), 3));
    }
    // A test prepares the registers.
    write_file(state, "# prepared\n01 010078 1A\n");
    {
        Sim sim({"--state", state});
        TestLine line(sim.path);
        ask(line, SELECT_01, 1);
        EXPECT_EQ(reply(0x05, 0x1A), ask(line, read_frame(0x78), 3));
    }
    write_file(state, "01 010078\n");
    Sim bad({"--state", state});
    EXPECT_EQ(1, bad.child->wait_exit(10000));
}

// A line whose far end has hung up fails every read.
static bool hung_up(TestLine& line)
{
    return eventually([&] { return plat_wait_readable(line.handle, 10) == -1; }, 5000);
}

TEST(Kp6Sim, FaultFlags)
{
    {
        Sim sim({"--silent"});
        TestLine line(sim.path);
        EXPECT_EQ("", ask(line, SELECT_01, 0));
        EXPECT_EQ("", ask(line, TEST_01, 0));
    }
    {
        Sim sim({"--select-reply", "55"});
        TestLine line(sim.path);
        EXPECT_EQ("\x55", ask(line, SELECT_01, 1));
    }
    {
        Sim sim({"--ack", "06"});
        TestLine line(sim.path);
        ask(line, SELECT_01, 1);
        EXPECT_EQ(reply(0x06, 0x00), ask(line, read_frame(0x78), 3));
    }
    {
        Sim sim({"--short-answer"});
        TestLine line(sim.path);
        ask(line, SELECT_01, 1);
        EXPECT_EQ(bytes({0x05, 0x00}), ask(line, read_frame(0x78), 2));
        EXPECT_EQ("", line.receive(0, 300));
    }
    {
        Sim sim({"--stray", "EEFF"});
        TestLine line(sim.path);
        EXPECT_EQ(bytes({0xC0, 0xEE, 0xFF}), ask(line, SELECT_01, 3));
        EXPECT_EQ(reply(0x05, 0x00) + bytes({0xEE, 0xFF}), ask(line, read_frame(0x78), 5));
    }
    {
        Sim sim({"--hangup-after", "2"});
        TestLine line(sim.path);
        ask(line, SELECT_01, 1);
        EXPECT_EQ(3u, ask(line, read_frame(0x78), 3).size());
        EXPECT_EQ(0, sim.child->wait_exit(10000));
        EXPECT_TRUE(hung_up(line));
    }
    {
        Sim sim({"--hangup-after", "1"});
        TestLine line(sim.path);
        line.send(SELECT_01 + read_frame(0x78));  // the line goes at once
        EXPECT_EQ(0, sim.child->wait_exit(10000));
        EXPECT_TRUE(hung_up(line));
    }
    {
        Sim sim({"--drop-every", "2", "--trace"});
        TestLine line(sim.path);
        EXPECT_EQ("\xC0", ask(line, SELECT_01, 1));
        EXPECT_EQ("", ask(line, read_frame(0x78), 0));  // the second answer is lost
        EXPECT_EQ("lost " + hex(reply(0x05, 0x00)), sim.trace(4, 5000).back());
    }
    Sim bad({"--ack", "xyz"});
    EXPECT_EQ(2, bad.child->wait_exit(10000));
}

TEST(Kp6Sim, HelpPrintsTheUsageAndSucceeds)
{
    int status = -1;
    std::string out = run_command(KP6_SIM " --help 2>/dev/null </dev/null", &status);
    EXPECT_EQ(0u, out.rfind("usage: kp6-sim", 0)) << out;
    EXPECT_NE(std::string::npos, out.find("--fail-reads HEX")) << out;
    EXPECT_EQ(0, status);
}

TEST(Kp6Sim, TraceShowsEveryFrameBothWays)
{
    Sim sim({"--trace"});
    TestLine line(sim.path);
    ask(line, SELECT_01, 1);
    ask(line, read_frame(0x78), 3);
    ask(line, bytes({0x33}) + selection(0x02), 0);
    auto lines = sim.trace(6, 5000);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("rx 60 01 00 F8 C0", lines[0]);
    EXPECT_EQ("tx C0", lines[1]);
    EXPECT_EQ("rx CA 78 00 01 00", lines[2]);
    EXPECT_EQ("tx " + hex(reply(0x05, 0x00)), lines[3]);
    EXPECT_EQ("drop 33", lines[4]);
    EXPECT_EQ("rx 60 02 00 " + hex(selection(2).substr(3)), lines[5]);
    // Each line starts with seconds since the start.
    double t = -1;
    EXPECT_EQ(1, sscanf(sim.child->output.substr(sim.child->output.find('\n') + 1).c_str(), "%lf",
                        &t));
    EXPECT_GE(t, 0.0);
}

TEST(Kp6Sim, EndsCleanlyAndRemovesItsLink)
{
    TempDir dir;
    for (int sig : {15, 2}) {
        std::string link = dir.file("line" + std::to_string(sig));
        Sim sim({"--link", link});
        ASSERT_FALSE(sim.path.empty());
        EXPECT_TRUE(path_exists(link));
        {
            TestLine line(link);  // the link leads to the line
            EXPECT_EQ("\xC0", ask(line, SELECT_01, 1));
        }
        EXPECT_EQ(0, sim.stop(sig));
        EXPECT_FALSE(path_exists(link));
    }
}

TEST(Kp6Sim, LineTimingMakesAnExchangeTakeItsLineTime)
{
    Sim sim({"--baud", "4800"});
    TestLine line(sim.path);
    uint64_t t0 = plat_perf_counter();
    ASSERT_EQ("\xC0", ask(line, SELECT_01, 1));
    ASSERT_EQ(3u, ask(line, read_frame(0x78), 3).size());
    double ms = (double)(plat_perf_counter() - t0) / 1e6;
    EXPECT_GE(ms, 14 * 10 * 1000.0 / 4800);  // 29 ms on the line
    EXPECT_LT(ms, 3000.0);
}

TEST(Kp6Sim, ServesAnExistingDevice)
{
    // A pseudo-terminal's slave stands in for a USB-RS485 converter; the
    // test is the other computer on the master side.
    TestPty pty;
    Sim sim({"--device", pty.slave});
    ASSERT_EQ(pty.slave, sim.path);
    ASSERT_EQ((ssize_t)SELECT_01.size(), write(pty.master, SELECT_01.data(), SELECT_01.size()));
    char c = 0;
    ASSERT_TRUE(eventually([&] { return read(pty.master, &c, 1) == 1; }, 5000));
    EXPECT_EQ('\xC0', c);
}
