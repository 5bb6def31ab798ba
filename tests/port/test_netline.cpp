// Network lines in the port layer: against ser2net (raw TCP and RFC 2217) in
// front of kp6-sim, and against a scripted server on loopback for the
// faults a device server can show.
#include <errno.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "../../device/exchange.h"
#include "../../device/settings.h"
#include "../../platform/platform.h"
#include "../../port/plainw.h"
#include "../../timers/timersw.h"
#include "../support/netpeer.h"
#include "../support/port_fixture.h"
#include "../support/sim.h"
#include "../support/testsupport.h"

class NetLine : public PortLayerTest {
protected:
    void SetUp() override
    {
        PortLayerTest::SetUp();
        net_connect_ms = NET_CONNECT_MS;
    }
    void TearDown() override
    {
        PortLayerTest::TearDown();
        net_connect_ms = NET_CONNECT_MS;
        exchange_set_options({});
    }
};

TEST_F(NetLine, ABadUrlFailsBeforeAnythingConnects)
{
    EXPECT_EQ(EINVAL, open("rfc2217://127.0.0.1"));
    EXPECT_EQ(0, h);
}

TEST_F(NetLine, RefusedAndSilentServersFailWithinTheBound)
{
    int port = free_tcp_port();
    uint64_t t0 = plat_perf_counter();
    EXPECT_EQ(ECONNREFUSED, open("tcp://127.0.0.1:" + std::to_string(port)));
    EXPECT_EQ(ECONNREFUSED, open("rfc2217://127.0.0.1:" + std::to_string(port)));
    EXPECT_LT(ms_since(t0), 500.0);

    // A name no resolver knows: kp6ctl's tests ask it in a network of their
    // own, so that no query leaves the machine.

    // Accepts, but never answers the negotiation (a raw port): the bound's
    // time-out, and why.
    ScriptedServer silent(ScriptedServer::SILENT, true);
    net_connect_ms = 400;
    t0 = plat_perf_counter();
    EXPECT_EQ(ETIMEDOUT, open(silent.url()));
    double ms = ms_since(t0);
    EXPECT_GE(ms, 390.0);
    EXPECT_LT(ms, 900.0);
    EXPECT_EQ(0, h);
    EXPECT_EQ(NET_FAULT_NO_NEGOTIATION, net_fault());

    ScriptedServer refusing(ScriptedServer::REFUSE_COM_PORT, true);
    EXPECT_EQ(EPROTONOSUPPORT, open(refusing.url()));
}

// A listener on the loopback address of `family`; its port, or 0.
static int loopback_listener(int family, int* fd)
{
    *fd = socket(family, SOCK_STREAM, 0);
    sockaddr_storage a = {};
    socklen_t len;
    if (family == AF_INET6) {
        auto* a6 = (sockaddr_in6*)&a;
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        len = sizeof *a6;
    } else {
        auto* a4 = (sockaddr_in*)&a;
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a4;
    }
    if (*fd < 0 || bind(*fd, (sockaddr*)&a, len) != 0 || listen(*fd, 2) != 0 ||
        getsockname(*fd, (sockaddr*)&a, &len) != 0)
        return 0;
    return ntohs(family == AF_INET6 ? ((sockaddr_in6*)&a)->sin6_port
                                    : ((sockaddr_in*)&a)->sin_port);
}

TEST_F(NetLine, ConnectsToAnIpv6AddressInBracketsAndToANameThroughTheResolver)
{
    int fd6, fd4;
    int port6 = loopback_listener(AF_INET6, &fd6);
    if (port6 == 0) {
        close(fd6);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_EQ(0, open("tcp://[::1]:" + std::to_string(port6)));
    EXPECT_EQ(KIND_NET, Port[h - 1].kind);
    free_port(h, 0);
    h = 0;
    close(fd6);
    // "localhost" goes through the resolver (on its thread); every address
    // it gives is tried.
    int port4 = loopback_listener(AF_INET, &fd4);
    ASSERT_NE(0, port4);
    ASSERT_EQ(0, open("tcp://localhost:" + std::to_string(port4)));
    free_port(h, 0);
    h = 0;
    close(fd4);
}

// Both kinds of line through ser2net, in front of the simulator.
class NetLineSer2net : public NetLine, public ::testing::WithParamInterface<bool> {};

TEST_P(NetLineSer2net, ReadsAndWritesTheControllerAndFfPassesAsOneByte)
{
    TempDir state_dir;
    Sim sim({"--address", "01", "--address", "1F", "--trace", "--state", state_dir.file("state")});
    ASSERT_FALSE(sim.path.empty());
    Ser2net server(sim.path);
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    const bool rfc2217 = GetParam();
    pl_port_log = 0xFFFF;
    uint64_t t0 = plat_perf_counter();
    ASSERT_EQ(0, open(rfc2217 ? server.rfc2217_url() : server.raw_url()));
    EXPECT_LT(ms_since(t0), 500.0);
    EXPECT_EQ(KIND_NET, Port[h - 1].kind);
    EXPECT_GT(port_round_trip_us(h), 0u);
    EXPECT_LT(port_round_trip_us(h), 100000u);

    EXPECT_EQ(1, device_test(h, 0x01));
    clear_buf(h);
    device_settings s = {};
    ASSERT_EQ(0, settings_read(h, 0x1F, s));
    EXPECT_EQ(50, s.er77);
    s.er77 = 255;  // 0xFF, the Telnet IAC
    s.er79 = 0xFF;
    ASSERT_EQ(0, settings_write(h, 0x1F, s));
    device_settings back = {};
    ASSERT_EQ(0, settings_read(h, 0x1F, back));
    EXPECT_EQ(255, back.er77);
    EXPECT_EQ(255, back.er79);
    EXPECT_NE(std::string::npos, read_file(state_dir.file("state")).find("1F 010077 FF"));
    // The simulator saw one FF, in a frame it took as exactly right.
    bool seen = false;
    for (const std::string& l : sim.trace((size_t)-1, 300))
        seen = seen || l == "rx CB 77 00 01 FF";
    EXPECT_TRUE(seen) << ::testing::PrintToString(sim.trace((size_t)-1, 0));
    EXPECT_EQ(0, port_gone(h, nullptr));
    // The traffic log holds the line's bytes, no Telnet.
    close_log();
    std::string log = read_file("port.out");
    EXPECT_NE(std::string::npos, log.find("CB 77 00 01 FF"));
    EXPECT_EQ(std::string::npos, log.find("FF FF"));
    EXPECT_EQ(std::string::npos, log.find("FA 2C"));

    // Closing waits for nothing (well within the connect's bound) and the
    // line opens again.
    t0 = plat_perf_counter();
    free_port(h, 0);
    h = 0;
    EXPECT_LT(ms_since(t0), net_connect_ms / 2.0);
    ASSERT_TRUE(eventually(
        [&] { return open(rfc2217 ? server.rfc2217_url() : server.raw_url()) == 0; }, 3000));
    EXPECT_EQ(1, device_test(h, 0x01));
}

INSTANTIATE_TEST_SUITE_P(RawAndRfc2217, NetLineSer2net, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "Rfc2217" : "Raw";
                         });

TEST_F(NetLine, TelnetCommandsBetweenDataBytesAndSplitAcrossReadsAreTakenOut)
{
    Sim sim({"--address", "01"});
    ASSERT_FALSE(sim.path.empty());
    ScriptedServer noisy(ScriptedServer::PROXY, true, sim.path, true);
    ASSERT_EQ(0, open(noisy.url()));
    device_settings s = {};
    ASSERT_EQ(0, settings_read(h, 0x01, s));
    EXPECT_EQ(15, s.er79);
    EXPECT_EQ(50, s.er77);
}

TEST_F(NetLine, AConnectionThatDropsIsAPulledOutDeviceAndOpensAgain)
{
    Sim sim({"--address", "01"});
    ASSERT_FALSE(sim.path.empty());
    for (bool telnet : {false, true}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "raw");
        ScriptedServer dropping(ScriptedServer::DROP_AFTER_FIRST, telnet, sim.path);
        ASSERT_EQ(0, open(dropping.url()));
        device_settings s = {};
        uint64_t t0 = plat_perf_counter();
        EXPECT_EQ(1, settings_read(h, 0x01, s));  // step 1: ER78
        EXPECT_LT(ms_since(t0), 1500.0);
        char why[200];
        exchange_fault_text(exchange_last_fault, why, sizeof why);
        EXPECT_EQ(FAULT_LINE_LOST, exchange_last_fault.kind);
        EXPECT_EQ(0u, std::string(why).find("the connection to " + dropping.url() + " was closed"))
            << why;
        int code = -1;
        EXPECT_TRUE(eventually(
            [&] {
                port_avail(h);
                return port_gone(h, &code) == 1;
            },
            1000));
        // The server closed it (with our last bytes unread: a reset).
        EXPECT_TRUE(code == 0 || code == ECONNRESET) << code;
        // Nothing hangs: waits sleep their time, sends go nowhere.
        t0 = plat_perf_counter();
        EXPECT_EQ(0, port_wait(h, 20));
        EXPECT_EQ(0, port_avail(h));
        unsigned char b[2] = {0x60, 0x01};
        put_port(h, b, 2);
        clear_buf(h);
        exchange_set_options({ANSWER_TIMEOUT_MS, 3});  // a lost line is never asked again
        EXPECT_EQ(0, device_test(h, 0x01));
        exchange_set_options({});
        EXPECT_LT(ms_since(t0), 1500.0);
        free_port(h, 0);
        h = 0;
        // Opening again reconnects (this server answers once more).
        ASSERT_EQ(0, open(dropping.url()));
        EXPECT_EQ(0, port_gone(h, nullptr));
        EXPECT_EQ(1, device_test(h, 0x01));
        free_port(h, 0);
        h = 0;
    }
}

TEST_F(NetLine, ClearBufDiscardsWhatHasArrivedAndNeverWaits)
{
    const int turnaround_ms = 600;
    Sim sim({"--address", "01", "--turnaround", std::to_string(turnaround_ms)});
    ASSERT_FALSE(sim.path.empty());
    ScriptedServer proxy(ScriptedServer::PROXY, true, sim.path);
    ASSERT_EQ(0, open(proxy.url()));
    unsigned char test[4] = {0x60, 0x01, 0x81, 0xFB};
    put_port(h, test, 4);
    ASSERT_TRUE(eventually([&] { return port_avail(h) == 1; }, 2000));
    put_port(h, test, 4);  // its answer comes a turnaround later
    uint64_t t0 = plat_perf_counter();
    clear_buf(h);
    EXPECT_LT(ms_since(t0), turnaround_ms / 2.0);
    EXPECT_EQ(0, port_avail(h));
    EXPECT_TRUE(eventually([&] { return port_avail(h) == 1; }, 2000));
}

// Telnet commands without end, from the first byte or once the line is set:
// the connect's time-out within its bound, then each exchange's at its
// time-out, and Clear at once.
TEST_F(NetLine, ATelnetFloodIsALineThatDoesNotAnswer)
{
    for (auto script : {ScriptedServer::NOP_FLOOD, ScriptedServer::ENDLESS_SB}) {
        SCOPED_TRACE(script == ScriptedServer::NOP_FLOOD ? "NOP flood" : "endless SB");
        ScriptedServer at_once(script, true);
        at_once.flood_at_once = true;
        net_connect_ms = 400;
        uint64_t t0 = plat_perf_counter();
        EXPECT_EQ(ETIMEDOUT, open(at_once.url()));
        EXPECT_LT(ms_since(t0), 900.0);
        EXPECT_EQ(NET_FAULT_NONE, net_fault());  // it spoke Telnet

        ScriptedServer later(script, true);
        ASSERT_EQ(0, open(later.url()));
        exchange_set_options({300});
        device_settings s = {};
        t0 = plat_perf_counter();
        EXPECT_EQ(1, settings_read(h, 0x01, s));
        EXPECT_GE(ms_since(t0), 290.0);
        EXPECT_LT(ms_since(t0), 900.0);
        t0 = plat_perf_counter();
        clear_buf(h);
        EXPECT_LT(ms_since(t0),
                  (double)exchange_get_options().answer_timeout_ms);  // no time-out waited out
        EXPECT_EQ(0, port_gone(h, nullptr));
        free_port(h, 0);
        h = 0;
    }
}

// A Telnet server's greeting that comes late to a tcp:// line is no answer:
// the line is lost as one that speaks Telnet.
TEST_F(NetLine, ALateTelnetGreetingOnARawLineIsNoAnswer)
{
    Sim sim({"--address", "01"});
    ASSERT_FALSE(sim.path.empty());
    ScriptedServer slow(ScriptedServer::PROXY, true, sim.path);
    slow.delay_ms = 300;
    ASSERT_EQ(0, open("tcp://127.0.0.1:" + std::to_string(slow.port)));
    EXPECT_EQ(0, device_test(h, 0x01));
    EXPECT_EQ(1, port_gone(h, nullptr));
    EXPECT_EQ(NET_FAULT_TELNET, net_fault());
}
