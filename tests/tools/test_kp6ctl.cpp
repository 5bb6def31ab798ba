// kp6ctl as a script runs it, against kp6-sim on a pseudo-terminal; the
// simulator's state file and trace are the witnesses. Here: usage, the
// line's faults named, retries, address lists, the environment; each
// command's own tests are in test_kp6ctl_COMMAND.cpp.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>

#include "../../platform/platform.h"
#include "../../port/plainw.h"
#include "../support/netpeer.h"
#include "../support/port_fixture.h"
#include "../support/sim.h"
#include "../support/testsupport.h"
#include "kp6ctl_fixture.h"

TEST_F(Kp6Ctl, ALateAnswerIsNoReplyToTheNextRun)
{
    start({"--turnaround", "1500"});
    EXPECT_EQ("01: No reply: no answer in 1000 ms\n", ctl("test").err);
    ASSERT_EQ(2u, sim->trace(2, 5000).size());  // the header, and the late answer
    Ran r = ctl("--address 05 test");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("05: No reply: no answer in 1000 ms\n", r.err);
}

// Converters are named by their stable links, 60 to 100 characters long.
TEST_F(Kp6Ctl, AStableLinkOfNinetyNineCharactersOpens)
{
    start({});
    std::string link = dir.file("serial/by-id/usb-Converter_RS485_Cable_A1B2C3D4-if00-port0");
    link += std::string(99 - link.size(), '0');
    ASSERT_EQ(0, system(("mkdir -p '" + dir.file("serial/by-id") + "'").c_str()));
    ASSERT_EQ(0, symlink(sim->path.c_str(), link.c_str()));
    EXPECT_EQ("01: Ok\n", ctl("--port " + link + " test").out);
    std::string env = "cd '" + dir.path + "' && KP6_PORT='" + link + "' " KP6CTL " test 2>&1";
    EXPECT_EQ("01: Ok\n", run_command(env));
}

TEST_F(Kp6Ctl, UsageTestAndPortFailures)
{
    start({"--address", "2A"});
    EXPECT_EQ("2A: Ok\n", ctl("--address 2a test").out);
    EXPECT_EQ(std::string::npos, read_file(dir.file("port.out")).find("->"));
    ctl("--log --address 2a test");  // the port's traffic goes to the log
    EXPECT_NE(std::string::npos, read_file(dir.file("port.out")).find("-> 60 2A 81 "));
    Ran r = ctl("--address 2b --timeout 100 test");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("2B: No reply: no answer in 100 ms\n", r.err);
    size_t frames = frames_received();
    r = ctl("--address 100 read");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("kp6ctl: bad address \"100\": give 01 to FF in hexadecimal"));
    EXPECT_EQ(2, ctl("--address 0 read").status);
    EXPECT_EQ(2, ctl("frobnicate").status);
    EXPECT_EQ(0, ctl("restore --help").status);
    r = ctl("--port " + dir.file("none") + " read");
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("kp6ctl: cannot open " + dir.file("none") + ": No such file or directory\n", r.err);
    EXPECT_EQ(frames, frames_received());
    // The line is held for exclusive use.
    TestLine held(sim->path);
    r = ctl("read");
    EXPECT_EQ(3, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot open")) << r.err;
}

// ---- what happened, said exactly -----------------------------------------------------

// Each fault of the line is named after the step it ended, exit 1.
TEST_F(Kp6Ctl, EachFaultIsNamedAfterItsStep)
{
    const struct {
        std::vector<std::string> sim;
        std::string args, err;
    } cases[] = {
        {{"--silent"}, "-t 200 read", "01: Error read ER78: no answer in 200 ms\n"},
        {{"--select-reply", "55"},
         "read",
         "01: Error read ER78: the selection was answered with 55, not C0\n"},
        {{"--ack", "15"}, "write er79=1", "01: Error read ER78: acknowledged with 15, not 05\n"},
        {{"--short-answer"}, "-t 200 read", "01: Error read ER78: 2 of 3 answer bytes\n"},
        {{"--silent"}, "-t 200 test", "01: No reply: no answer in 200 ms\n"},
        {{"--hangup-after", "2"}, "read", "01: Error read ER79: the line "},
    };
    for (const auto& c : cases) {
        sim.reset();
        start(c.sim);
        Ran r = ctl(c.args);
        EXPECT_EQ(1, r.status) << c.args;
        EXPECT_EQ(c.err, r.err.substr(0, c.err.size()));
        if (c.sim[0] == "--hangup-after") {
            EXPECT_EQ(c.err + sim->path + " was lost\n", r.err);
        }
    }
}

// What a failed write left: the simulator loses its 25th or 26th answer,
// ER78's selection or acknowledgement (after the read's 12, the second
// read's 10 and IR24's 2).
TEST_F(Kp6Ctl, RetriesTurnAFlakyLineIntoASuccess)
{
    // An answer later than the time-out would come as a second one to the
    // retry; on a loaded machine the simulator was once later than 200 ms.
    start({"--drop-every", "3"});
    EXPECT_EQ(1, ctl("-t 600 read").status);
    Ran r = ctl("-t 600 --retries 1 read --json");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"er79\":15")) << r.out;
    EXPECT_NE(std::string::npos, r.err.find(" retries in 6 exchanges\n")) << r.err;
    EXPECT_EQ(0u, r.err.rfind("kp6ctl: ", r.err.find(" retries"))) << r.err;
    r = ctl("-t 600 --retries=2 write er79=20");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(holds("01 010079 14"));
    EXPECT_EQ(2, ctl("--retries x read").status);
}

// A dry run reads and compares; nothing but reads goes out.
TEST_F(Kp6Ctl, ListsAndRangesOfAddresses)
{
    start({"--address", "01", "--address", "04", "--address", "05"});
    Ran r = ctl("-t 200 -a 01,03:05 read --json");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.out.find("[{\"address\":\"01\",")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("},{\"address\":\"05\",")) << r.out;
    EXPECT_EQ("03: Error read ER78: no answer in 200 ms\n", r.err);
    r = ctl("test 4-5,1");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("04: Ok\n05: Ok\n01: Ok\n", r.out);
    r = ctl("read 1,4");
    EXPECT_EQ(0u, r.out.find("address  01\ntype     milliliter\n"));
    EXPECT_NE(std::string::npos, r.out.find("\n\naddress  04\ntype "));
    r = ctl("-a 4:5 write er79=30");
    EXPECT_EQ("04: Write OK\n05: Write OK\n", r.out);
    EXPECT_TRUE(holds("05 010079 1E"));
    EXPECT_EQ("saved 04 05 to l.json\n", ctl("backup -o l.json 0x4-5").out);
    r = ctl("read 5-4");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("kp6ctl: the range 5-4 runs downwards")) << r.err;
}

TEST_F(Kp6Ctl, EnvironmentBoundsLogsAndHabits)
{
    start({"--address", "01", "--address", "FF"});
    // A bad KP6_ADDRESS matters only where the address is used.
    EXPECT_EQ(0, ctl("ports", "KP6_ADDRESS=zz ").status);
    EXPECT_EQ(0, ctl("--version", "KP6_ADDRESS=zz ").status);
    EXPECT_EQ(0, ctl("--address 01 read", "KP6_ADDRESS=zz ").status);
    Ran r = ctl("read", "KP6_ADDRESS=zz ");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: KP6_ADDRESS=zz is no bus address (01 to FF)\n", r.err);

    // No file is left behind without --log; -v shows the frames instead.
    std::string before = run_command("ls -a '" + dir.path + "'");
    r = ctl("-v test");
    EXPECT_EQ(before, run_command("ls -a '" + dir.path + "'"));
    EXPECT_NE(std::string::npos, r.err.find(" -> 60 01 81 FB  test 01\n")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" <> C0  answered (cleared)\n"))
        << r.err;  // the answer
    ctl("read --log traffic.log");
    EXPECT_NE(std::string::npos, read_file(dir.file("traffic.log")).find("-> 60 01 00 F8 C0"));
    EXPECT_FALSE(path_exists(dir.file("port.out")));

    // A time-out shorter than the frames take at 4800 baud: refused unsent.
    size_t frames = frames_received();
    r = ctl("-t 15 read");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: --timeout 15 is too short: at 4800 baud a frame and its answer take 17 ms "
              "on the line; give 17 or more\n",
              r.err);
    EXPECT_EQ(2, ctl("-t 5 scan").status);
    EXPECT_EQ(frames, frames_received());

    // scan reaches FF; --json as read shapes its data.
    r = ctl("scan --from F0 --json");
    EXPECT_EQ("[{\"address\":\"FF\",\"type\":\"milliliter\",\"inverse\":false,\"er78\":0,"
              "\"health\":{\"exchanges\":1,",
              r.out.substr(0, r.out.find("\"retries\"")));
    r = ctl("-p " + sim->path + " -a ff -t 500 test");
    EXPECT_EQ("FF: Ok\n", r.out);
    EXPECT_EQ("kp6ctl " KP6_VERSION "\n", ctl("-V").out);
    EXPECT_EQ(0u, ctl("help read").out.find("usage: kp6ctl [-p PORT] [-a ADDRS] read"));
    EXPECT_EQ(0u, ctl("-h").out.find("usage: kp6ctl "));
    EXPECT_EQ(2, ctl("help nothing").status);
}

// Both programs name the version of project(), wherever the option stands,
// with no port or line needed.
TEST(Versions, Kp6ctlAndKp6SimPrintTheirNameAndVersion)
{
    int status = -1;
    EXPECT_EQ("kp6ctl " KP6_VERSION "\n", run_command("KP6_PORT= " KP6CTL " --version", &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ("kp6ctl " KP6_VERSION "\n", run_command(KP6CTL " read --version", &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ("kp6-sim " KP6_VERSION "\n", run_command(KP6_SIM " --version </dev/null", &status));
    EXPECT_EQ(0, status);
}

// The converters kp6ctl's usage and bash's completion offer are the port
// layer's, no more and no fewer.
TEST(Converters, UsageAndCompletionNameThoseThePortLayerTakes)
{
    std::string help = run_command(KP6CTL " --help");
    size_t at = help.find("switched: "), end = help.find("\n  -v, --verbose");
    ASSERT_LT(at, end) << help;
    std::string listed = std::regex_replace(help.substr(at + 10, end - at - 10), std::regex("\n +"),
                                            " ");
    EXPECT_EQ(converter_names(), std::regex_replace(listed, std::regex(" \\([^)]*\\)"), ""));
    std::string completion = read_file(KP6_SOURCE_DIR "/package/kp6ctl.bash-completion");
    at = completion.find("-W \"", completion.find("--converter)")) + 4;
    std::string offered = completion.substr(at, completion.find('"', at) - at);
    EXPECT_EQ(converter_names(), std::regex_replace(offered, std::regex(" "), ", "));
}

// A record that cannot be written (a full disk, a file past its size limit)
// fails with the system's words, whatever was read.
TEST_F(Kp6Ctl, ARecordThatCannotBeWrittenFails)
{
    start({});
    for (const char* args : {"scan --from 01 --to 02 --read --csv", "read --json"}) {
        Ran r = ctl(std::string(args) + " >/dev/full");
        EXPECT_EQ(1, r.status) << args;
        EXPECT_EQ("kp6ctl: cannot write standard output: No space left on device\n", r.err);
    }
    // The limit holds the journal back too (its warning, cut by the limit
    // on standard error, comes after), and a read not recorded gives 2.
    Ran r = ctl("read --json >record.json", "prlimit --fsize=100 ");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("kp6ctl: cannot write standard output: File too large\n")) << r.err;
    EXPECT_EQ(0, ctl("read --json >record.json").status);
}
