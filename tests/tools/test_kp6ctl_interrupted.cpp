// kp6ctl interrupted, hung up on and cut off part way through a run: what
// each controller was left holding is named, once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "../../platform/platform.h"
#include "../support/netpeer.h"
#include "../support/port_fixture.h"
#include "../support/sim.h"
#include "../support/testsupport.h"
#include "kp6ctl_fixture.h"

// Three controllers whose every answer takes 40 ms; the file differs from
// their factory settings in every register.
class Interrupted : public Kp6Ctl {
protected:
    void SetUp() override
    {
        start({"--address", "01", "--address", "02", "--address", "03", "--turnaround", "40"});
        write_file(dir.file("three.json"), backup_of({"01", "02", "03"}));
    }
    // The registers in the order written, with the file's and the factory's values.
    const std::vector<std::vector<std::string>> regs = {
        {"ER78", "78", "02", "00"}, {"ER79", "79", "09", "0F"}, {"ER72", "72", "08", "0A"},
        {"ER74", "74", "07", "05"}, {"ER75", "75", "06", "03"}, {"ER77", "77", "05", "32"}};
    bool untouched(const char* a)
    {
        for (const auto& r : regs)
            if (!holds(std::string(a) + " 0100" + r[1] + " " + r[3]))
                return false;
        return true;
    }
    // The last line `err` has for controller `a` tells what it holds: the
    // file's values up to the register named after "after" (all of them
    // once written), the old ones where they are said to be kept. The line.
    std::string told_exactly(const std::string& err, const std::string& a)
    {
        std::string line = err.substr(err.rfind(a + ": ") + 4);
        line = line.substr(0, line.find('\n'));
        if (line.rfind("not written", 0) == 0) {
            EXPECT_TRUE(untouched(a.c_str())) << line;
        }
        size_t after = line.find(" after "), keep = line.find(" keep");
        std::string last = after == std::string::npos ? "" : line.substr(after + 7, 4);
        std::string kept = keep == std::string::npos ? "" : line.substr(0, keep);
        kept = kept.substr(kept.find_last_of(":;") + 1);
        bool all = line.rfind("restored", 0) == 0 || line.rfind("written", 0) == 0;
        bool written = all || (!last.empty() && last != "IR24");
        for (const auto& r : regs) {
            if (written) {
                EXPECT_TRUE(holds(a + " 0100" + r[1] + " " + r[2])) << r[0] << ": " << line;
            } else if (kept.find(r[0]) != std::string::npos) {
                EXPECT_TRUE(holds(a + " 0100" + r[1] + " " + r[3])) << r[0] << ": " << line;
            }
            written = all || (written && r[0] != last);
        }
        return line;
    }
};

TEST_F(Interrupted, RestoreFinishesTheControllerInHandAndNamesEach)
{
    auto run = ctl_running("restore -i three.json");
    ASSERT_TRUE(heard("60 01"));
    kill(run->pid, SIGINT);
    EXPECT_EQ(130, run->wait_exit(20000));
    run->read_until([](const std::string&) { return false; }, 300);
    EXPECT_EQ("01: restored\n", run->output);
    EXPECT_EQ("01: restored\n02: not written (interrupted)\n03: not written (interrupted)\n",
              read_file(dir.file("err")));
    EXPECT_TRUE(holds("01 010077 05"));
    EXPECT_TRUE(untouched("02"));
    EXPECT_TRUE(untouched("03"));
}

TEST_F(Interrupted, AScanReadNamesTheRegisterItStoppedBefore)
{
    auto run = ctl_running("scan --read --to 03");
    ASSERT_TRUE(heard("CA 79"));  // 01's Read, after the scan
    kill(run->pid, SIGINT);
    EXPECT_EQ(130, run->wait_exit(20000));
    std::string err = read_file(dir.file("err"));
    EXPECT_EQ(0u, err.find("01: read interrupted before ER")) << err;
    EXPECT_TRUE(has(err, "\nkp6ctl: interrupted\n")) << err;
}

TEST_F(Interrupted, ASecondInterruptStopsAtTheNextExchangeAndNamesWhatWasWritten)
{
    auto run = ctl_running("restore -i three.json");
    ASSERT_TRUE(heard("60 01"));
    kill(run->pid, SIGINT);
    ASSERT_TRUE(heard("CB 79"));
    kill(run->pid, SIGINT);
    EXPECT_EQ(130, run->wait_exit(20000));
    std::string err = read_file(dir.file("err"));
    EXPECT_EQ(0u, err.find("01: interrupted after ")) << err;
    EXPECT_NE(std::string::npos, err.find("02: not written (interrupted)\n03: not written"));
    // It stopped before the last register; up to the one named the file's
    // values, after it the old ones.
    EXPECT_NE(std::string::npos, told_exactly(err, "01").find("ER77")) << err;
}

// `restore | head -1`: the reader of the output goes after the first line.
TEST_F(Interrupted, AClosedOutputIsAnInterruptThatNamesWhatWasNotWritten)
{
    std::string out = run_command("cd '" + dir.path + "' && (KP6_PORT='" + sim->path +
                                  "' " KP6CTL " restore -i three.json 2>err; echo $? >status) | "
                                  "head -1");
    EXPECT_EQ("01: restored\n", out);
    EXPECT_EQ("141\n", read_file(dir.file("status")));
    EXPECT_EQ("01: restored\n02: restored\n03: not written (interrupted)\n",
              read_file(dir.file("err")));
    EXPECT_TRUE(untouched("03"));
}

// ser2net killed while a controller is in hand: the step and the close
// once, then each controller: the one in hand told exactly, the rest not
// written.
TEST_F(Interrupted, ALostConnectionNamesTheControllerInHandAndTheRest)
{
    Ser2net server(sim->path);
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    auto run = ctl_running("--port " + server.rfc2217_url() + " restore -i three.json");
    ASSERT_TRUE(heard("CB 79", 2));  // 02 part written
    kill(server.child->pid, SIGKILL);
    server.child->wait_exit(5000);
    server.child.reset();
    EXPECT_EQ(1, run->wait_exit(20000));
    std::string err = read_file(dir.file("err"));
    std::string closed = "the connection to " + server.rfc2217_url() + " was closed";
    EXPECT_NE(std::string::npos, err.find(closed)) << err;
    EXPECT_EQ(err.find(closed), err.rfind(closed)) << err;
    EXPECT_NE(std::string::npos, err.find("\n01: restored\n02: ")) << err;
    EXPECT_EQ("not written", told_exactly(err, "03"));
    EXPECT_NE(std::string::npos, told_exactly(err, "02").find("old value")) << err;
}

TEST_F(Interrupted, BackupWritesNothingAndWriteFinishesOnTerminationAndHangUp)
{
    auto run = ctl_running("backup -o saved.json 01 02 03");
    ASSERT_TRUE(heard("60 01"));
    kill(run->pid, SIGTERM);
    EXPECT_EQ(143, run->wait_exit(20000));
    EXPECT_EQ("kp6ctl: interrupted: saved.json not written\n", read_file(dir.file("err")));
    EXPECT_FALSE(path_exists(dir.file("saved.json")));
    EXPECT_EQ("", run_command("cd '" + dir.path + "' && find . -name '*.tmp'"));

    plat_sleep_ms(300);  // the answer the interrupt gave up on, still on its way
    run = ctl_running("--address 02 write er79=20");
    ASSERT_TRUE(heard("C9 24"));
    kill(run->pid, SIGHUP);
    EXPECT_EQ(129, run->wait_exit(20000));
    run->read_until([](const std::string&) { return false; }, 300);
    EXPECT_EQ("02: Write OK\n", run->output);
    EXPECT_EQ("02: written\n", read_file(dir.file("err")));
    EXPECT_TRUE(holds("02 010079 14"));
    EXPECT_TRUE(holds("02 010077 32"));

    // Standard input that never ends is refused at the bound, at once.
    int status = -1;
    run_command("cd '" + dir.path + "' && head -c 100000000 /dev/zero | KP6_PORT='" + sim->path +
                    "' timeout 30 " KP6CTL " restore -i - 2>err",
                &status);
    EXPECT_EQ(2, status);
    EXPECT_NE(std::string::npos, read_file(dir.file("err")).find("1 MiB"))
        << read_file(dir.file("err"));
}

// The simulator gone mid-restore (its pseudo-terminal closed, as a pulled
// USB converter): the step in hand fails at once, one message names the
// line, and the rest is not tried.
TEST_F(Interrupted, ALostLineStopsTheRestoreWithOneMessage)
{
    auto run = ctl_running("restore -i three.json");
    ASSERT_TRUE(heard("60 02"));
    sim->stop(SIGKILL);
    EXPECT_EQ(1, run->wait_exit(5000));
    std::string err = read_file(dir.file("err")), lost = ": the line " + sim->path;
    EXPECT_EQ(0u, err.find("02: Error ")) << err;
    EXPECT_NE(std::string::npos, err.find(lost + " was lost\n")) << err;
    EXPECT_EQ(err.find(lost), err.rfind(lost)) << err;
    EXPECT_EQ(std::string::npos, err.find("03: Error")) << err;
}
