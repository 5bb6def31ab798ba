// kp6ctl on a hostile line and under an impatient user: a noisy read never
// becomes a written setting, an interrupt ends any wait, a Telnet flood
// costs little however it is paced, and a server of the wrong kind is named.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../../platform/platform.h"
#include "../support/netpeer.h"
#include "../support/port_fixture.h"
#include "../support/sim.h"
#include "../support/testsupport.h"
#include "kp6ctl_fixture.h"

class Kp6CtlFaults : public Kp6Ctl {
protected:
    // kp6ctl in the background; `signals` SIGINTs `gap_ms` apart, the first
    // `after_ms` after the start. The exit status, and the milliseconds from
    // the first signal to the exit in *ms.
    int interrupted(const std::string& args, int after_ms, int signals, int gap_ms, double* ms)
    {
        std::unique_ptr<Child> run = ctl_running(args);
        plat_sleep_ms((unsigned)after_ms);
        uint64_t t0 = plat_perf_counter();
        int status = -1;
        for (int i = 0; i < signals && status == -1; i++) {
            kill(run->pid, SIGINT);
            status = run->wait_exit(i + 1 < signals ? gap_ms : 20000);
        }
        *ms = ms_since(t0);
        return status;
    }
};

// ER72 holds 30; one read of it answers 94. Unnamed, it goes back only as
// read twice alike: with no retry nothing is written, with one the true
// value is.
TEST_F(Kp6CtlFaults, ANoisyReadIsNeverWrittenBack)
{
    const std::string held = "01 010072 1E\n01 010079 0F\n";
    for (const char* nth : {"6", "11"}) {  // the first read of ER72, then its second
        start({"--corrupt-read", nth}, held);
        Ran r = ctl("write er79=7");
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(nth[0] == '6' ? "01: ER72 read 94, then 30: the line is noisy; nothing written\n"
                                : "01: ER72 read 30, then 94: the line is noisy; nothing written\n",
                  r.err);
        EXPECT_EQ(std::string::npos, read_file(state).find("000024")) << "IR24 went out";
    }
    start({"--corrupt-read", "6"}, held);
    Ran r = ctl("--retries 1 --stats write er79=7");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(r.err.find("01: 19 exchanges, 1 retry, 0 failed") != std::string::npos) << r.err;
    std::string now = read_file(state);
    EXPECT_NE(std::string::npos, now.find("01 010072 1E")) << now;
    EXPECT_NE(std::string::npos, now.find("01 010079 07")) << now;
}

// A silent line: the first interrupt ends a read's wait at once; a held
// Ctrl-C ends a write no later than its wait's own time-out.
TEST_F(Kp6CtlFaults, AnInterruptEndsTheWaitInHand)
{
    start({"--silent"});
    double ms = 0;
    EXPECT_EQ(130, interrupted("-t 5000 read", 1000, 1, 0, &ms));
    EXPECT_LT(ms, 500.0);
    EXPECT_EQ(130, interrupted("-t 5000 read", 500, 6, 300, &ms));
    EXPECT_LT(ms, 500.0);
    EXPECT_EQ("01: read interrupted before ER78\n", read_file(dir.file("err")));
    // Signals every 0.5 s would restart a wait that started over: 9 s.
    EXPECT_EQ(130, interrupted("-t 5000 write er79=1", 500, 9, 500, &ms));
    EXPECT_LT(ms, 4500.0 + 2000.0);
}

// A connect that cannot finish, to a full backlog or through a negotiation
// flood, ends at an interrupt.
TEST_F(Kp6CtlFaults, AnInterruptEndsAConnect)
{
    FullBacklog full;
    ScriptedServer flood(ScriptedServer::NOP_FLOOD, true);
    flood.flood_at_once = true;
    for (std::string url : {"tcp://127.0.0.1:" + std::to_string(full.port), flood.url()}) {
        double ms = 0;
        EXPECT_EQ(130, interrupted("-p " + url + " -t 10000 read", 1000, 1, 0, &ms)) << url;
        EXPECT_LT(ms, 1000.0) << url;
        EXPECT_EQ("kp6ctl: interrupted while opening " + url + "\n", read_file(dir.file("err")));
    }
}

// 500 IAC NOPs, then one line byte, without end while the client
// negotiates: the guard holds all the same.
TEST_F(Kp6CtlFaults, APacedTelnetFloodCostsLittle)
{
    ScriptedServer flood(ScriptedServer::NOP_FLOOD, true);
    flood.flood_at_once = flood.paced = true;
    CpuBeside c = cpu_beside_a_spin(dir.path, KP6CTL " -p " + flood.url() + " test 2>err");
    EXPECT_EQ(3, c.status);
    ASSERT_LE(0, c.cpu_ms) << c.times;
    // Spinning, it took as much as the loop (92 % of the wall on an idle
    // machine); it takes a tenth of that with both cores busy.
    EXPECT_LT(c.cpu_ms, c.spin_ms / 2) << c.times << " beside " << c.spin_ms << " ms";
}

// A tcp:// server that greets in Telnet late, and an rfc2217:// one without
// the COM port option, are the wrong port: exit 3 and the scheme to try.
TEST_F(Kp6CtlFaults, AServerOfAnotherKindIsNamed)
{
    ScriptedServer telnet(ScriptedServer::REFUSE_COM_PORT, true);
    std::string raw = "tcp://127.0.0.1:" + std::to_string(telnet.port);
    Ran r = ctl("-p " + telnet.url() + " read");
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("kp6ctl: " + telnet.url() +
                  " is a Telnet server without the COM port option (try tcp:// or its RFC "
                  "2217 port)\n",
              r.err);
    telnet.greet_after_ms = 400;
    r = ctl("-p " + raw + " read");
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("kp6ctl: " + raw + " speaks Telnet (try rfc2217://)\n", r.err);
}

// A backup file in UTF-16: its bytes shown escaped, the message still text.
TEST_F(Kp6CtlFaults, ABackupFilesBadBytesAreShownEscaped)
{
    write_file(dir.file("wide.json"), std::string("\xFF\xFE{\0\"\0", 6));
    Ran r = ctl("-p /nonexistent restore -i wide.json");
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("\\xFF")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find('\xFF')) << r.err;
}
