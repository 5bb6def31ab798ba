// The Telnet/RFC 2217 receive filter and sender helpers, as plain functions.
#include <gtest/gtest.h>

#include <string>

#include "../../port/telnet.h"

static std::string B(std::initializer_list<int> v)
{
    std::string s;
    for (int x : v)
        s += (char)x;
    return s;
}

// Feeds `in` in pieces cut at `cuts` and collects the line's bytes.
static std::string filter(telnet_rx& t, const std::string& in, std::vector<size_t> cuts = {})
{
    std::string out;
    size_t at = 0;
    cuts.push_back(in.size());
    for (size_t c : cuts) {
        std::string piece = in.substr(at, c - at);
        std::string buf(piece.size(), '\0');
        unsigned k = telnet_filter(&t, (const unsigned char*)piece.data(), (unsigned)piece.size(),
                                   (unsigned char*)&buf[0]);
        out += buf.substr(0, k);
        at = c;
    }
    return out;
}

// A stream as ser2net sends it: its greeting, the settings' answers, a
// modem-state notification, NOPs and doubled FFs between data bytes.
static const std::string stream =
    B({0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF, 0xFE,
       0x01, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C}) +
    "\x05" + B({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x12, 0xC0, 0xFF, 0xF0}) + B({0xFF, 0xFF}) +
    B({0xFF, 0xFA, 0x2C, 0x6B, 0xFF, 0xFF, 0xFF, 0xF0}) + "\x01" + B({0xFF, 0xF1}) +
    B({0xFF, 0xFA, 0x2C, 0x66, 0x08, 0xFF, 0xF0}) + B({0xFF, 0xFF, 0xC0});

TEST(TelnetFilter, LineBytesComeOutAloneAtEverySplit)
{
    const std::string want = B({0x05, 0xFF, 0x01, 0xFF, 0xC0});
    telnet_rx whole;
    telnet_rx_init(&whole);
    EXPECT_EQ(want, filter(whole, stream));
    // Cut once at every place, and byte by byte: the same bytes, the same state.
    for (size_t cut = 0; cut <= stream.size(); cut++) {
        telnet_rx t;
        telnet_rx_init(&t);
        EXPECT_EQ(want, filter(t, stream, {cut})) << "cut at " << cut;
        EXPECT_EQ(whole.cpc_seen, t.cpc_seen);
    }
    std::vector<size_t> every;
    for (size_t i = 1; i < stream.size(); i++)
        every.push_back(i);
    telnet_rx t;
    telnet_rx_init(&t);
    EXPECT_EQ(want, filter(t, stream, every));
    EXPECT_EQ(std::string((const char*)whole.reply, whole.reply_len),
              std::string((const char*)t.reply, t.reply_len));
}

TEST(TelnetFilter, AnswersTheNegotiationOnceAndNotesTheSettingsAnswers)
{
    telnet_rx t;
    telnet_rx_init(&t);
    filter(t, stream);
    // SGA both ways agreed, ECHO declined; BINARY and COM-PORT were asked for
    // already, so the server's DO and WILL for them need no answer.
    EXPECT_EQ(B({0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x03, 0xFF, 0xFE, 0x01}),
              std::string((const char*)t.reply, t.reply_len));
    EXPECT_EQ(1, t.com_port_agreed);
    EXPECT_EQ(1u << 1 | 1u << 2 | 1u << 7, t.cpc_seen);
    t.reply_len = 0;
    filter(t, B({0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x00}));  // said again: no loop
    EXPECT_EQ(0, t.reply_len);
    filter(t, B({0xFF, 0xFD, 0x18}));  // terminal type: refused
    EXPECT_EQ(B({0xFF, 0xFC, 0x18}), std::string((const char*)t.reply, t.reply_len));
    filter(t, B({0xFF, 0xFE, 0x2C}));
    EXPECT_EQ(0, t.com_port_agreed);
    EXPECT_EQ(4, t.refused);
}

TEST(TelnetFilter, FloodsAndOverlongSubnegotiationsStayBounded)
{
    telnet_rx t;
    telnet_rx_init(&t);
    std::string flood;
    for (int i = 0; i < 100; i++)
        flood += B({0xFF, 0xFD, 0x20 + i});
    filter(t, flood);
    EXPECT_LE(t.reply_len, TN_REPLY_MAX);
    EXPECT_EQ(300, t.run);  // commands only, counted
    // Too long for any answer: dropped whole, not taken as the baud rate's.
    std::string sb = B({0xFF, 0xFA, 0x2C, 0x65});
    sb += std::string(300, 'x') + B({0xFF, 0xF0}) + "ok";
    EXPECT_EQ("ok", filter(t, sb));
    EXPECT_LE(t.sb_len, TN_SB_MAX);
    EXPECT_FALSE(t.cpc_seen & 1u << 1);
    EXPECT_EQ(0, t.run);
    // A command where SE belongs ends the sub-negotiation and counts.
    EXPECT_EQ("z", filter(t, B({0xFF, 0xFA, 0x2C, 0x67, 0x01, 0xFF, 0xF1}) + "z"));
    EXPECT_TRUE(t.cpc_seen & 1u << 3);
}

TEST(TelnetSend, DoublesEveryFfAndFramesComPortCommands)
{
    const unsigned char in[] = {0x60, 0xFF, 0xFF, 0x00};
    unsigned char out[16];
    unsigned n = telnet_escape(in, 4, out);
    EXPECT_EQ(B({0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}), std::string((char*)out, n));
    const unsigned char baud[4] = {0, 0, 0x12, 0xC0};
    n = telnet_com_port(CPC_SET_BAUDRATE, baud, 4, out);
    EXPECT_EQ(B({0xFF, 0xFA, 0x2C, 0x01, 0, 0, 0x12, 0xC0, 0xFF, 0xF0}),
              std::string((char*)out, n));
    n = telnet_opening(out);
    EXPECT_EQ(B({0xFF, 0xFB, 0x2C, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00}),
              std::string((char*)out, n));
}
