// The network lines' names: which names are URLs, and what is wrong with a
// bad one.
#include <gtest/gtest.h>

#include <string>

#include "../../discovery/net_url.h"

TEST(NetUrl, NamesAndWhatIsWrongWithBadOnes)
{
    net_url u;
    char why[160];
    EXPECT_EQ(1, net_url_parse("rfc2217://127.0.0.1:2001", &u, why, sizeof why));
    EXPECT_EQ(NET_RFC2217, u.mode);
    EXPECT_STREQ("127.0.0.1", u.host);
    EXPECT_EQ(2001, u.port);
    EXPECT_EQ(1, net_url_parse("tcp://[::1]:7", &u, why, sizeof why));
    EXPECT_EQ(NET_RAW, u.mode);
    EXPECT_STREQ("::1", u.host);
    EXPECT_EQ(1, net_url_parse("SOCKET://line-3.example:65535/", &u, why, sizeof why));
    EXPECT_EQ(NET_RAW, u.mode);
    EXPECT_STREQ("line-3.example", u.host);
    EXPECT_EQ(0, net_url_parse("/dev/ttyUSB0", &u, why, sizeof why));
    EXPECT_EQ(0, net_url_parse("ttyS0", &u, why, sizeof why));
    EXPECT_EQ(0, net_url_parse("/tmp/a://b", &u, why, sizeof why));
    const struct {
        const char* name;
        const char* why;
    } bad[] = {
        {"rfc2217://127.0.0.1", "no port: write HOST:PORT, the port a number from 1 to 65535"},
        {"tcp://:2000", "no host: write HOST:PORT after the scheme"},
        {"tcp://::1:2000", "an IPv6 address goes in brackets, as in [::1]:PORT"},
        {"tcp://[::1:2000", "the IPv6 address has no closing ]"},
        {"tcp://[]:2000", "no host between [ and ]"},
        {"tcp://[127.0.0.1]:2000", "\"127.0.0.1\" in brackets is not an IPv6 address"},
        {"tcp://host:0", "the port \"0\" is not a number from 1 to 65535"},
        {"tcp://host:65536", "the port \"65536\" is not a number from 1 to 65535"},
        {"tcp://host:http", "the port \"http\" is not a number from 1 to 65535"},
        {"tcp://host:0x10", "the port \"0x10\" is not a number from 1 to 65535"},
        {"tcp://host:20?x=1", "\"?x=1\" after the port is not understood"},
        {"tcp://a b:1", "the host has a character it cannot have: \" \""},
        {"telnet://host:23", "unknown scheme \"telnet\": write tcp://, socket:// or "
                             "rfc2217://HOST:PORT"},
    };
    for (const auto& b : bad) {
        EXPECT_EQ(-1, net_url_parse(b.name, &u, why, sizeof why)) << b.name;
        EXPECT_STREQ(b.why, why) << b.name;
    }
    // A host longer than the address holds is refused, never copied.
    std::string long_host = "tcp://" + std::string(NET_HOST_SIZE, 'h') + ":2000";
    EXPECT_EQ(-1, net_url_parse(long_host.c_str(), &u, why, sizeof why));
    EXPECT_STREQ("the host is too long", why);
}
