// TCP server ports on loopback, with ports the test finds free.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../support/cp866.h"
#include "../support/port_fixture.h"
#include "../support/text_log.h"

static unsigned short free_tcp_port()
{
    plat_socket s;
    unsigned short p = 0;
    if (plat_tcp_socket(&s) == 0 && plat_tcp_bind_any(s, 0) == 0)
        plat_tcp_local_port(s, &p);
    plat_tcp_close(s);
    return p;
}

static int connect_client(unsigned short port)
{
    int c = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(c, (struct sockaddr*)&a, sizeof a) != 0) {
        close(c);
        return -1;
    }
    return c;
}

// Reads what arrives within a short while.
static std::string client_read(int c, size_t n)
{
    std::string out;
    eventually(
        [&] {
            char buf[256];
            ssize_t r = recv(c, buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0)
                out.append(buf, (size_t)r);
            return out.size() >= n;
        },
        5000);
    return out;
}

class TcpServer : public PortLayerTest {
protected:
    unsigned short tcp = 0;
    std::string name;
    std::vector<int> clients;

    void SetUp() override
    {
        signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must end the test run
        PortLayerTest::SetUp();
        text_log_messages.clear();
        tcp = free_tcp_port();
        ASSERT_NE(0, tcp);
        name = "TCPS_" + std::to_string(tcp);
        ASSERT_EQ(0, open(name));
    }
    void TearDown() override
    {
        for (int c : clients)
            if (c >= 0)
                close(c);
        PortLayerTest::TearDown();
    }
    int client()
    {
        int c = connect_client(tcp);
        clients.push_back(c);
        return c;
    }
    std::string joined() const { return ::testing::PrintToString(text_log_messages); }
};

static std::string accepted(const std::string& name, int place)
{
    // 127.0.0.1 in network order read as a little-endian number.
    return cp866("[" + name + "] Присоед. клиент: ip=16777343 sock#=" + std::to_string(place));
}

TEST_F(TcpServer, ListensAndAcceptsAtTheNextOperationInPlaceOrder)
{
    EXPECT_EQ(KIND_TCPS, Port[h - 1].kind);
    EXPECT_EQ(tcp, Port[h - 1].base);
    EXPECT_EQ(0, port_avail(h));
    EXPECT_TRUE(text_log_messages.empty());  // nobody waiting: no message

    int a = client();
    ASSERT_GE(a, 0);
    EXPECT_EQ(0, port_avail(h));
    ASSERT_EQ(1u, text_log_messages.size());
    EXPECT_EQ(accepted(name, 0), text_log_messages[0]);
    EXPECT_EQ(10, text_log_numbers.back());
    int b = client();
    ASSERT_GE(b, 0);
    clear_buf(h);
    ASSERT_EQ(2u, text_log_messages.size());
    EXPECT_EQ(accepted(name, 1), text_log_messages[1]);

    // The later client's bytes come after the first client's.
    ASSERT_EQ(2, send(b, "CD", 2, 0));
    ASSERT_EQ(2, send(a, "AB", 2, 0));
    EXPECT_TRUE(eventually([&] { return port_avail(h) == 4; }, 5000));
    unsigned char buf[4];
    ASSERT_EQ(1, recv_port(h, buf, 4));
    EXPECT_EQ("ABCD", std::string((char*)buf, 4));

    unsigned char block[] = {1, 2, 3};
    put_port(h, block, 3);
    EXPECT_EQ(std::string("\1\2\3"), client_read(a, 3));
    EXPECT_EQ(std::string("\1\2\3"), client_read(b, 3));
    send_port(h, 9);
    EXPECT_EQ("\t", client_read(a, 1));
}

TEST_F(TcpServer, ASeventeenthClientWaitsForAFreePlace)
{
    for (int i = 0; i < 17; i++) {
        ASSERT_GE(client(), 0);
        port_avail(h);
    }
    ASSERT_EQ(16u, text_log_messages.size()) << joined();
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(accepted(name, i), text_log_messages[i]);

    // Client 3 goes away; the sends that fail drop it, and the waiting
    // client takes its place at the next operation.
    struct linger hard = {1, 0};
    setsockopt(clients[3], SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(clients[3]);
    clients[3] = -1;
    unsigned char block[] = {0x55};
    EXPECT_TRUE(eventually(
        [&] {
            put_port(h, block, 1);  // never SIGPIPE
            return tcps_client(h, 3) == PLAT_NO_SOCKET;
        },
        5000));
    EXPECT_EQ(0, port_avail(h));
    ASSERT_EQ(17u, text_log_messages.size());
    EXPECT_EQ(accepted(name, 3), text_log_messages[16]);
    EXPECT_NE(PLAT_NO_SOCKET, tcps_client(h, 3));
}

TEST_F(TcpServer, ClientsThatGoFreeTheirPlacesAtOnceAndLeaveTheirBytes)
{
    // The server only receives, so no failed send tells who has gone.
    int stay = client();
    ASSERT_TRUE(eventually(
        [&] {
            port_avail(h);
            return text_log_messages.size() == 1;
        },
        5000));
    std::string sent;
    for (int i = 0; i < 16; i++) {
        SCOPED_TRACE(i);
        int c = connect_client(tcp);
        ASSERT_GE(c, 0);
        ASSERT_TRUE(eventually(
            [&] {
                port_avail(h);
                return text_log_messages.size() == (size_t)i + 2;
            },
            5000))
            << joined();
        if (i % 2 == 0) {  // closes after a few bytes
            std::string bytes(3, (char)('a' + i));
            ASSERT_EQ(3, send(c, bytes.data(), 3, 0));
            sent += bytes;
        } else {  // resets with nothing sent
            struct linger hard = {1, 0};
            setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(c);
        ASSERT_TRUE(eventually(
            [&] {
                port_avail(h);
                int taken = 0;
                for (int i = 0; i < 16; i++)
                    taken += tcps_client(h, i) != PLAT_NO_SOCKET;
                return taken == 1;
            },
            5000));
    }
    int late = client();
    ASSERT_EQ(3, send(late, "new", 3, 0));
    sent += "new";
    EXPECT_TRUE(eventually([&] { return port_avail(h) == (int)sent.size(); }, 5000));
    std::string got(sent.size(), 0);
    ASSERT_EQ(1, recv_port(h, (unsigned char*)&got[0], (int)got.size()));
    EXPECT_EQ(sent, got);
    unsigned char block[] = {7};
    put_port(h, block, 1);
    EXPECT_EQ("\7", client_read(stay, 1));
    EXPECT_EQ("\7", client_read(late, 1));
}

static std::string pattern(size_t n)
{
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(i * 131 + i / 4093);
    return s;
}

TEST_F(TcpServer, AFloodArrivesWholeAndInOrderWhileTheCallerDrains)
{
    int c = client();
    ASSERT_TRUE(eventually(
        [&] {
            port_avail(h);
            return text_log_messages.size() == 1;
        },
        5000));
    struct timeval give_up = {20, 0};
    setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &give_up, sizeof give_up);
    const std::string flood = pattern(1 << 20);
    std::atomic<bool> done(false);
    std::thread sender([&] {
        size_t off = 0;
        ssize_t w;
        while (off < flood.size() && (w = send(c, flood.data() + off, flood.size() - off, 0)) > 0)
            off += (size_t)w;
        done = true;
    });
    std::string got;
    std::vector<unsigned char> buf(RX_SIZE);
    for (int idle = 0; got.size() < flood.size() && idle < 2000;) {
        int n = port_avail(h);
        if (n > 0 && recv_port(h, buf.data(), n))
            got.append((char*)buf.data(), (size_t)n);
        idle = n > 0 || !done ? 0 : idle + 1;
        usleep(1000);
    }
    sender.join();
    EXPECT_EQ(flood.size(), got.size());
    EXPECT_TRUE(flood == got);
}

TEST_F(TcpServer, ABigBlockReachesAReaderWholeAndAClientThatNeverReadsIsDropped)
{
    int reader = client(), stalled = client();
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(eventually(
        [&] {
            port_avail(h);
            return text_log_messages.size() == 2;
        },
        5000));
    struct timeval give_up = {20, 0};
    setsockopt(reader, SOL_SOCKET, SO_RCVTIMEO, &give_up, sizeof give_up);
    const std::string block = pattern(10 << 20);
    std::string got;
    std::thread rd([&] {
        std::vector<char> buf(1 << 16);
        ssize_t r;
        while (got.size() < block.size() && (r = recv(reader, buf.data(), buf.size(), 0)) > 0)
            got.append(buf.data(), (size_t)r);
    });
    uint32_t t0 = plat_tick_ms();
    put_port(h, (unsigned char*)&block[0], (int)block.size());
    uint32_t took = plat_tick_ms() - t0;
    rd.join();
    EXPECT_LT(took, 30000u);  // the bound is about 6 s
    EXPECT_EQ(block.size(), got.size());
    EXPECT_TRUE(block == got);
    EXPECT_NE(PLAT_NO_SOCKET, tcps_client(h, 0));
    EXPECT_EQ(PLAT_NO_SOCKET, tcps_client(h, 1));
}

TEST_F(TcpServer, FreeingClosesClientsAndListener)
{
    int a = client();
    port_avail(h);
    EXPECT_EQ(1, free_port(h, 0));
    char c;
    EXPECT_TRUE(eventually([&] { return recv(a, &c, 1, MSG_DONTWAIT) == 0; }, 5000));
    EXPECT_LT(connect_client(tcp), 0);
    h = 0;
}

TEST_F(TcpServer, BindFailureOnAPortInUseReportsAndReturnsMinusOne)
{
    // The server itself holds `tcp`.
    unsigned short again = 99;
    text_log_messages.clear();
    EXPECT_EQ(-1, open_port(&again, &name[0], 0));
    EXPECT_EQ(99, again);
    ASSERT_EQ(1u, text_log_messages.size());
    EXPECT_EQ(cp866("[" + name + "] Bind к интерфейсу по умолчанию: ошибка 98"),
              text_log_messages[0]);

    // A name far longer than the message buffer is cut there, not past it.
    std::string longname = "TCPS_" + std::to_string(tcp) + std::string(80, 'x');
    text_log_messages.clear();
    EXPECT_EQ(-1, open_port(&again, &longname[0], 0));
    ASSERT_EQ(1u, text_log_messages.size());
    EXPECT_EQ(99u, text_log_messages[0].size());
}

TEST_F(TcpServer, PortNumbersAreCutTo16Bits)
{
    unsigned short h2 = 0;
    char big[] = "TCPS_70000";
    if (open_port(&h2, big, 0) == 0) {  // 4464 may be taken on this machine
        EXPECT_EQ(4464, Port[h2 - 1].base);
        unsigned short bound = 0;
        plat_tcp_local_port(tcps_listener(h2), &bound);
        EXPECT_EQ(4464, bound);
        free_port(h2, 0);
    }
    // No number: the system picks the port, base stays 0, and the slot is
    // still held until it is freed.
    char none[] = "TCPS_";
    ASSERT_EQ(0, open_port(&h2, none, 0));
    EXPECT_EQ(0, Port[h2 - 1].base);
    unsigned short h3 = 0;
    char stub[] = "STUB";
    ASSERT_EQ(0, open_port(&h3, stub, 0));
    EXPECT_NE(h2, h3);
    free_port(h2, 0);
}

TEST_F(TcpServer, AWaitWakesForAClientAndItsBytes)
{
    install_event(1);
    int c = -1;
    std::thread later([&] {
        usleep(100 * 1000);
        c = connect_client(tcp);
        usleep(100 * 1000);
        send(c, "A", 1, 0);
    });
    unsigned char b = 0;
    uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(1, getc_port_ms(h, &b, 10000));
    EXPECT_LT(plat_tick_ms() - t0, 5000u);
    later.join();
    clients.push_back(c);
    EXPECT_EQ('A', b);
    remove_event(1);
}
