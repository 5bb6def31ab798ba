// kp6ctl on network lines: through ser2net and against scripted servers on
// loopback.
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

// ---- network lines ------------------------------------------------------------------

class Kp6CtlNet : public Kp6Ctl {
protected:
    // Runs kp6ctl on `port` given as KP6_PORT, or as --port when asked.
    Ran on(const std::string& port, const std::string& args, bool option = false)
    {
        Ran r;
        std::string cmd = "cd '" + dir.path + "' && " +
                          (option ? KP6CTL " --port '" + port + "' "
                                  : "KP6_PORT='" + port + "' " KP6CTL " ") +
                          args + " 2>err";
        r.out = run_command(cmd, &r.status);
        r.err = read_file(dir.file("err"));
        return r;
    }
};

class Kp6CtlSer2net : public Kp6CtlNet, public ::testing::WithParamInterface<bool> {};

TEST_P(Kp6CtlSer2net, ScanReadWriteBackupRestoreThroughTheDeviceServer)
{
    start({"--address", "01", "--address", "03"},
          "03 010079 07\n03 010074 0B\n03 010075 0C\n03 010077 FE\n");
    Ser2net server(sim->path);
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    const std::string url = GetParam() ? server.rfc2217_url() : server.raw_url();

    // Through the server a loaded machine answers later than a scan's
    // tenth of a second, and now and then not at all: it is given more
    // time and asked again, as a technician would.
    Ran local = ctl("--retries 2 scan --to 04");
    Ran r = on(url, "--timeout 400 --retries 2 scan --to 04", true);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(local.out, r.out);
    EXPECT_EQ("01 type=milliliter inverse=off\n03 type=milliliter inverse=off\n", r.out);

    r = on(url, "--address 03 read");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("er77     254 "));

    // 255 is the Telnet IAC: one FF reaches the controller, 255 reads back.
    r = on(url, "--address 03 write er77=255 er74=255");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("03: Write OK\n", r.out);
    EXPECT_TRUE(holds("03 010077 FF"));
    EXPECT_TRUE(holds("03 010074 FF"));
    bool one_ff = false;
    for (const std::string& l : sim->trace((size_t)-1, 300))
        one_ff = one_ff || l == "rx CB 77 00 01 FF";
    EXPECT_TRUE(one_ff);
    r = on(url, "--address 03 read --json");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"er77\":255")) << r.out;

    r = on(url, "backup -o saved.json 01 03");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("saved 01 03 to saved.json\n", r.out);
    EXPECT_NE(std::string::npos, read_file(dir.file("saved.json")).find("\"port\": \"" + url));
    on(url, "--address 03 write er77=1 er79=2");
    EXPECT_TRUE(holds("03 010077 01"));
    r = on(url, "restore -i saved.json", true);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("01: restored\n03: restored\n", r.out);
    EXPECT_TRUE(holds("03 010077 FF"));
    EXPECT_TRUE(holds("03 010079 07"));
}

INSTANTIATE_TEST_SUITE_P(RawAndRfc2217, Kp6CtlSer2net, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "Rfc2217" : "Raw";
                         });

TEST_F(Kp6CtlNet, PortsListsUrlsFromKp6PortsWholeAfterTheDevices)
{
    TempDir no_devices;
    int status = -1;
    std::string out = run_command("KP6_TTY_CLASS='" + no_devices.path +
                                      "' KP6_PORTS='rfc2217://[::1]:7001:/dev/pts/9:"
                                      "tcp://127.0.0.1:7003' " KP6CTL " ports",
                                  &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ("/dev/pts/9\nrfc2217://[::1]:7001\ntcp://127.0.0.1:7003\n", out);
}

TEST_F(Kp6CtlNet, ABadUrlIsRefusedBeforeAnythingConnects)
{
    Ran r = on("rfc2217://[::1]", "read", true);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: bad network line rfc2217://[::1]: no port: write HOST:PORT, the port a "
              "number from 1 to 65535\n",
              r.err);
    r = on("tcp://127.0.0.1:99999", "scan");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: bad network line KP6_PORT=tcp://127.0.0.1:99999: the port \"99999\" is "
              "not a "
              "number from 1 to 65535\n",
              r.err);
}

TEST_F(Kp6CtlNet, RefusedUnknownAndSilentServersExit3WithTheSystemsWords)
{
    std::string refused = "tcp://127.0.0.1:" + std::to_string(free_tcp_port());
    Ran r = on(refused, "read");
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("kp6ctl: cannot open " + refused + ": Connection refused\n", r.err);

    // A name no resolver knows, asked in a network namespace of loopback
    // alone, so that no query leaves the machine: the resolver's words.
    uint64_t t0 = plat_perf_counter();
    std::string unknown = "rfc2217://no-such-host.invalid:2217";
    std::string out = run_command("cd '" + dir.path + "' && unshare -n " KP6CTL " --port " +
                                  unknown + " read 2>err || echo exit $?");
    if (out.find("exit 3") != std::string::npos) {
        EXPECT_LT(ms_since(t0), 4000.0);
        EXPECT_EQ(0u, read_file(dir.file("err")).find("kp6ctl: cannot open " + unknown + ": "))
            << read_file(dir.file("err"));
    } else {
        std::printf("no network namespace here (%s): the unknown host is not tried\n", out.c_str());
    }

    // Accepts, never answers the negotiation: 3 s, then what it may be.
    ScriptedServer silent(ScriptedServer::SILENT, true);
    t0 = plat_perf_counter();
    r = on(silent.url(), "test");
    double ms = ms_since(t0);
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("kp6ctl: " + silent.url() +
                  " does not answer RFC 2217's negotiation (a raw TCP "
                  "port? try tcp://)\n",
              r.err);
    EXPECT_GE(ms, 2990.0);
    EXPECT_LT(ms, 3800.0);
    // --timeout lengthens the bound.
    t0 = plat_perf_counter();
    r = on(silent.url(), "--timeout 4000 test");
    EXPECT_EQ(3, r.status);
    EXPECT_GE(ms_since(t0), 3990.0);
}

TEST_F(Kp6CtlNet, AConnectionThatDropsEndsWithTheStepAndTheClose)
{
    start({"--address", "01"});
    ScriptedServer raw(ScriptedServer::DROP_AFTER_FIRST, false, sim->path);
    uint64_t t0 = plat_perf_counter();
    Ran r = on(raw.url(), "read");
    EXPECT_EQ(1, r.status);
    EXPECT_LT(ms_since(t0), 2000.0);
    // Closed, or reset when our next frame was still unread there: one line.
    EXPECT_EQ(0u, r.err.find("01: Error read ER78: the connection to " + raw.url() + " was closed"))
        << r.err;
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;

    ScriptedServer telnet(ScriptedServer::DROP_AFTER_FIRST, true, sim->path);
    t0 = plat_perf_counter();
    r = on(telnet.url(), "backup -o b.json 01 02 03");
    EXPECT_EQ(1, r.status);
    EXPECT_LT(ms_since(t0), 2000.0);  // the rest of the list is not tried
    EXPECT_EQ(0u,
              r.err.find("01: Error read ER78: the connection to " + telnet.url() + " was closed"))
        << r.err;
    EXPECT_FALSE(path_exists(dir.file("b.json")));

    t0 = plat_perf_counter();
    r = on(raw.url(), "scan");
    EXPECT_EQ(1, r.status);
    EXPECT_LT(ms_since(t0), 2000.0);
    EXPECT_NE(std::string::npos, r.err.find("the connection to " + raw.url() + " was closed"));
}

TEST_F(Kp6CtlNet, EachWrongSchemeIsNamed)
{
    start({"--address", "01"});
    Ser2net server(sim->path);
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    std::string raw_as_telnet = "rfc2217://127.0.0.1:" + std::to_string(server.raw_port);
    Ran r = on(raw_as_telnet, "read");
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("kp6ctl: " + raw_as_telnet +
                  " does not answer RFC 2217's negotiation (a raw TCP "
                  "port? try tcp://)\n",
              r.err);
    std::string telnet_as_raw = "tcp://127.0.0.1:" + std::to_string(server.rfc2217_port);
    for (int i = 0; i < 3; i++) {  // its greeting was an answer in some runs
        r = on(telnet_as_raw, "read");
        EXPECT_EQ(3, r.status);
        EXPECT_EQ("kp6ctl: " + telnet_as_raw + " speaks Telnet (try rfc2217://)\n", r.err);
    }
}

// Telnet commands without end: the step fails at its time-out at little
// cost, the connect within its bound, and an interrupt ends the run.
TEST_F(Kp6CtlNet, ATelnetFloodIsALineThatDoesNotAnswer)
{
    for (auto script : {ScriptedServer::NOP_FLOOD, ScriptedServer::ENDLESS_SB}) {
        ScriptedServer flood(script, true);
        CpuBeside c = cpu_beside_a_spin(dir.path, KP6CTL " --port " + flood.url() +
                                                      " --timeout 2000 read 2>err");
        EXPECT_EQ(1, c.status);
        EXPECT_EQ("01: Error read ER78: no answer in 2000 ms\n", read_file(dir.file("err")));
        EXPECT_GE(c.wall_ms, 1990.0);
        EXPECT_LT(c.wall_ms, 3500.0);
        ASSERT_LE(0, c.cpu_ms) << c.times;
        // Spinning, as much as the loop (93 % of the wall when idle).
        EXPECT_LT(c.cpu_ms, c.spin_ms / 2) << c.times << " beside " << c.spin_ms << " ms";

        flood.flood_at_once = true;
        uint64_t t0 = plat_perf_counter();
        Ran r = on(flood.url(), "test");
        EXPECT_EQ(3, r.status);
        EXPECT_EQ("kp6ctl: cannot open " + flood.url() + ": Connection timed out\n", r.err);
        EXPECT_LT(ms_since(t0), 3800.0);
        flood.flood_at_once = false;

        Child run({"/bin/sh", "-c", "exec " KP6CTL " scan 2>err"}, {"KP6_PORT=" + flood.url()},
                  dir.path);
        EXPECT_TRUE(eventually([&] { return flood.clients > 2; }, 5000));
        plat_sleep_ms(300);
        kill(run.pid, SIGINT);
        EXPECT_EQ(130, run.wait_exit(3000));
    }
}

TEST_F(Kp6CtlNet, TelnetCommandsBetweenTheAnswersBytesChangeNothing)
{
    start({"--address", "01"}, "01 010077 FF\n");
    ScriptedServer noisy(ScriptedServer::PROXY, true, sim->path, true);
    Ran r = on(noisy.url(), "read --json");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"er77\":255")) << r.out;
}

TEST_F(Kp6CtlNet, ScanThroughASlowLinkFindsWhatALocalScanFinds)
{
    start({"--address", "02"});
    // 80 ms each way: an answer takes 160 ms and more, past scan's 100 ms.
    ScriptedServer slow(ScriptedServer::PROXY, true, sim->path);
    slow.delay_ms = 80;
    Ran r = on(slow.url(), "scan --to 03");
    EXPECT_EQ(0, r.status) << r.err;
    // The local scan listens as long as a read waits: a loaded machine's
    // simulator can be late by more than the 100 ms it has by default.
    EXPECT_EQ(ctl("-t 1000 scan --to 03").out, r.out);
    EXPECT_EQ("02 type=milliliter inverse=off\n", r.out);
}
