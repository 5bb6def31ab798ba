// The port layer over a recording fake of the platform: line switching,
// echo accounting, failed writes, line settings and the log's exact bytes.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../support/cp866.h"
#include "../support/platform_fake.h"
#include "../support/port_fixture.h"

using Calls = std::vector<std::string>;

class FakePort : public PortLayerTest {
protected:
    FakePort() { clock = false; }
    void SetUp() override
    {
        fake_reset();
        PortLayerTest::SetUp();
        ASSERT_EQ(0, open("ttyUSB1"));
        fake_device.calls.clear();
    }
};

TEST_F(FakePort, OpenSetsTheLineTo4800EightNoneOne)
{
    EXPECT_EQ(4800u, fake_device.line.baud);
    EXPECT_EQ(8, fake_device.line.byte_size);
    EXPECT_EQ(0, fake_device.line.parity);
    EXPECT_EQ(0, fake_device.line.stop_bits);
    EXPECT_EQ(0, fake_device.line.cts_flow);
}

TEST_F(FakePort, EachTurnTypeSwitchesItsLinesAroundAWrite)
{
    const std::string S_RTS = "escape 3", C_RTS = "escape 4", S_DTR = "escape 5",
                      C_DTR = "escape 6";
    const struct {
        int type;
        std::string before, after;
        int echo;
    } table[] = {
        {0, "", "", 0},       {1, S_DTR, C_DTR, 5}, {2, C_DTR, S_DTR, 5},
        {3, S_RTS, C_RTS, 5}, {4, C_RTS, S_RTS, 5}, {5, "", "", 0},
        {6, S_DTR, C_DTR, 0}, {7, C_DTR, S_DTR, 0}, {8, "", "", 0},
    };
    unsigned char block[5] = {1, 2, 3, 4, 5};
    for (const auto& row : table) {
        SCOPED_TRACE(row.type);
        serial().turn_type = (unsigned char)row.type;
        serial().echo_skip = 0;
        fake_device.calls.clear();
        fake_device.busy_out_polls = 2;
        put_port(h, block, 5);
        Calls want;
        if (!row.before.empty())
            want.push_back(row.before);
        want.push_back("write 5");
        if (row.type != 0 && row.type != 5) {
            want.insert(want.end(), {"outq 5", "outq 5", "outq 0"});
            if (!row.after.empty())
                want.push_back(row.after);
        }
        EXPECT_EQ(want, fake_device.calls);
        EXPECT_EQ(row.echo, serial().echo_skip);
    }
}

// A converter chosen by name starts the line receiving, switches it around
// each write, and a driver that refuses the switch is told.
TEST_F(FakePort, ConvertersByNameAndADriverThatRefusesTheirLines)
{
    const std::pair<const char*, int> names[] = {{"auto", 0},
                                                 {"rts", 3},
                                                 {"rts-inverted", 4},
                                                 {"dtr", 6},
                                                 {"dtr-inverted", 7},
                                                 {"dtr-echo", 1},
                                                 {"dtr-echo-inverted", 2},
                                                 {"handshake", 5},
                                                 {"kernel", CONVERTER_KERNEL},
                                                 {"RTS", -1},
                                                 {"", -1},
                                                 {"kernel ", -1}};
    for (const auto& n : names)
        EXPECT_EQ(n.second, converter_type(n.first)) << n.first;
    port_control(h, (char)converter_type("rts"));
    unsigned char frame[4] = {0x60, 0x01, 0x81, 0xFB};
    put_port(h, frame, 4);
    EXPECT_EQ((Calls{"escape 4", "escape 3", "write 4", "outq 0", "escape 4"}), fake_device.calls);
    EXPECT_EQ(0, port_control_fault(h));
    fake_device.escape_error = 25;
    EXPECT_EQ(25, port_control_fault(h));
    port_control(h, 0);
    EXPECT_EQ(0, port_control_fault(h));  // nothing to switch
    // The driver's own mode: refused, or on until the port closes.
    fake_device.calls.clear();
    EXPECT_EQ(25, port_rs485(h));
    fake_device.escape_error = 0;
    EXPECT_EQ(0, port_rs485(h));
    free_port(h, 0);
    EXPECT_EQ((Calls{"rs485 1", "rs485 1", "rs485 0"}),
              Calls(fake_device.calls.begin(), fake_device.calls.begin() + 3));
}

TEST_F(FakePort, EchoCountWrapsAt256AndSingleBytesCountOne)
{
    serial().turn_type = 1;
    std::vector<unsigned char> block(300, 0xAA);
    put_port(h, block.data(), 300);
    EXPECT_EQ(44, serial().echo_skip);
    send_port(h, 1);
    EXPECT_EQ(45, serial().echo_skip);
    serial().echo_skip = 250;
    put_port(h, block.data(), 10);
    EXPECT_EQ(4, serial().echo_skip);
    serial().turn_type = 7;
    send_port(h, 1);
    EXPECT_EQ(4, serial().echo_skip);
}

// rts and the echoing kinds drop what arrives first only while it repeats
// what was sent: a converter that echoes, in parts or whole, and one that
// hears nothing of its own sending both give the answer.
TEST_F(FakePort, AnEchoIsDroppedOnlyWhileItRepeatsWhatWasSent)
{
    serial().turn_type = 3;
    unsigned char frame[5] = {'1', '2', '3', '4', '5'};
    put_port(h, frame, 5);
    fake_device.input = "12345abc";
    EXPECT_EQ(1, win_put_into_buf(&slot()));
    EXPECT_EQ(3, port_avail(h));
    EXPECT_EQ('a', peek_port(h, 0));
    clear_buf(h);

    put_port(h, frame, 5);
    fake_device.input = "123";
    EXPECT_EQ(0, win_put_into_buf(&slot()));
    EXPECT_EQ(2, serial().echo_skip);
    fake_device.input = "45RS";
    EXPECT_EQ(2, port_avail(h));
    EXPECT_EQ('R', peek_port(h, 0));
    clear_buf(h);

    put_port(h, frame, 5);
    fake_device.input = "ab1";  // no echo at all
    EXPECT_EQ(3, port_avail(h));
    EXPECT_EQ(0, serial().echo_skip);
    clear_buf(h);
    put_port(h, frame, 5);
    fake_device.input = "12x45";  // an echo cut short by the answer
    EXPECT_EQ(3, port_avail(h));
    EXPECT_EQ('x', peek_port(h, 0));
}

// Where no echo is expected, bytes that repeat the whole block just sent
// are a converter's echo, dropped even in parts; bytes that part from it,
// or wait past its line time, are data.
TEST_F(FakePort, AnEchoOfTheWholeBlockIsDroppedAndNothingElse)
{
    unsigned char test[4] = {0x60, 0x05, 0x81, 0xEB};
    put_port(h, test, 4);
    fake_device.input = "\x60\x05";
    EXPECT_EQ(0, port_avail(h));
    fake_device.input = "\x81\xEB\xC0";
    EXPECT_EQ(1, port_avail(h));
    EXPECT_EQ(0xC0, peek_port(h, 0));
    clear_buf(h);
    put_port(h, test, 4);
    fake_device.input = "\x60\x05\x77";
    EXPECT_EQ(3, port_avail(h));
    clear_buf(h);
    put_port(h, test, 4);
    fake_device.input = "\x60";  // a Test's answer may be any byte
    EXPECT_EQ(0, port_avail(h));
    uint32_t start = plat_tick_ms();
    port_wait(h, 5000);  // ends when the rest of an echo would have come
    EXPECT_LT(plat_tick_ms() - start, 3000u);
    EXPECT_EQ(1, port_avail(h));
}

// The driver's line errors reach the statistics line as the port is
// serviced; a driver that keeps no counts claims none.
TEST_F(FakePort, LineErrorsAreCountedAsThePortIsServiced)
{
    unsigned long errors[3] = {2, 12, 1};
    memcpy(fake_device.new_errors, errors, sizeof errors);
    EXPECT_EQ(0, port_avail(h));
    plat_line_errors e;
    ASSERT_EQ(0, port_line_errors(h, &e));
    EXPECT_EQ(2u, e.parity);
    EXPECT_EQ(12u, e.framing);
    EXPECT_EQ(1u, e.overrun);
    pl_port_log = 1;
    close_net();
    EXPECT_NE(std::string::npos, log().find("=2, ")) << log();
    EXPECT_NE(std::string::npos, log().find(")=13\r\n")) << log();
    start_net(1);
    fake_device.error_counts = 0;
    ASSERT_EQ(0, open_port(&h, (char*)"ttyUSB1", 0));
    EXPECT_EQ(1, port_line_errors(h, &e));
    EXPECT_EQ(0, p_errors);
}

TEST_F(FakePort, ShortReadsAppendOnlyWhatWasDelivered)
{
    fake_device.input = "abcdef";
    fake_device.deliver_at_most = 2;
    EXPECT_EQ(2, port_avail(h));
    EXPECT_EQ(4, port_avail(h));
    EXPECT_EQ(6, port_avail(h));
}

TEST_F(FakePort, AHeldLineEndsTheDrainWaitAtItsBound)
{
    serial().turn_type = 3;
    fake_device.busy_out_polls = 1000000;
    unsigned char b[4] = {};
    uint32_t t0 = plat_tick_ms();
    put_port(h, b, 4);
    uint32_t took = plat_tick_ms() - t0;
    EXPECT_GE(took, 200u);
    EXPECT_LT(took, 10000u);
    EXPECT_EQ("escape 4", fake_device.calls.back());  // the line is given back
}

TEST_F(FakePort, TheDrainBoundFollowsTheRateOfTheDeviceNowOpen)
{
    ASSERT_EQ(0, init_port(h, 115200, 8, 'N', 1));
    free_port(h, 0);
    char name[] = "ttyUSB2";
    ASSERT_EQ(0, open_port(&h, name, 0));  // the same slot, at 4800
    ASSERT_EQ(4800u, fake_device.line.baud);
    serial().turn_type = 3;
    fake_device.busy_out_polls = 1000000;
    std::vector<unsigned char> block(400);
    uint32_t t0 = plat_tick_ms();
    put_port(h, block.data(), (int)block.size());
    // 400 bytes take 1 s at 4800; at 115200 the wait would end after 42 ms
    // and the margin.
    EXPECT_GE(plat_tick_ms() - t0, 900u);
}

static std::string stamp()
{
    return " 07.12.26 (01:04:26:058) ";
}

TEST_F(FakePort, AFailedWriteIsRecordedBeforeItsWriteRecord)
{
    pl_port_log = 1;
    fake_device.write_error = 5;
    size_t before = log().size();
    unsigned char b[2] = {0x60, 0xC0};
    put_port(h, b, 2);
    EXPECT_EQ("\r\n" + stamp() + cp866("Ошибка записи в порт 1<> (код 5)") + "\r\n\r\n" + stamp() +
                  cp866("Запись (порт 1)-> ") + "60 C0 \r\n\x60\xC0",
              log().substr(before));

    // send_port and the switching types do not record a failed write.
    before = log().size();
    send_port(h, 0x41);
    serial().turn_type = 3;
    put_port(h, b, 2);
    std::string rest = log().substr(before);
    EXPECT_EQ(std::string::npos, rest.find(cp866("Ошибка")));
    EXPECT_EQ(2u, (size_t)std::count(rest.begin(), rest.end(), '>') - 0);

    from_put = 1;  // a single byte then writes no record
    before = log().size();
    send_port(h, 0x41);
    EXPECT_EQ(before, log().size());
    from_put = 0;
}

TEST_F(FakePort, RecordsHaveTheirExactBytes)
{
    pl_port_log = 1;
    size_t at = log().size();
    auto added = [&] {
        std::string s = log().substr(at);
        at = log().size();
        return s;
    };
    unsigned char b[3] = {0x60, 0xC0, 0x0D};
    write_log(1, b, 2);
    EXPECT_EQ("\r\n\r\n" + stamp() + cp866("Запись (порт 1)-> ") + "60 C0 \r\n\x60\xC0", added());
    write_log(1, b, 0);
    EXPECT_EQ("\r\n\r\n" + stamp() + cp866("Запись (порт 1)-> ") + "\r\n", added());
    read_log(1, b, 3, 3);
    EXPECT_EQ("\r\n" + stamp() + cp866("Чтение  порта 1<- ") + "60 C0 0D \r\n\x60\xC0\r", added());
    read_log(1, b, 3, 2);
    EXPECT_EQ("\r\n" + stamp() + cp866("Чтение  порта 1<- ") + "60 C0 \r\n\x60\xC0" +
                  cp866("Т-аут на 3 байт получено 2<- "),
              added());
    read_log(1, nullptr, 3, 0);
    EXPECT_EQ("\r\n" + stamp() +
                  cp866("Чтение  порта 1<- Т-аут на 3 байт - данные не получены <- "),
              added());
    clear_log(1, b + 2, 1);
    EXPECT_EQ("\r\n" + stamp() + cp866("Очистка буфера порта 1<> ") + "0D \r\n\r", added());
    err_log(1, 1167);
    EXPECT_EQ("\r\n" + stamp() + cp866("Ошибка записи в порт 1<> (код 1167)"), added());

    // Other handles' bits are clear; handle 0 is never logged.
    write_log(2, b, 2);
    write_log(0, b, 2);
    err_log(0, 1);
    EXPECT_EQ("", added());

    fake_local = plat_datetime{2000, 1, 6, 2, 23, 59, 9, 7};
    write_log(1, b, 1);
    EXPECT_EQ("\r\n\r\n 02.01.00 (23:59:09:007) " + cp866("Запись (порт 1)-> ") + "60 \r\n\x60",
              added());
}

TEST_F(FakePort, SmallWritersAndAMissingFile)
{
    char two[3] = "..";
    x_byte(two, 0x9F);
    EXPECT_EQ("9F", std::string(two));
    size_t before = log().size();
    put_msg("abc");
    put_byte(0x0A);
    close_log();  // these two leave flushing to the stream
    EXPECT_EQ("abc0A ", log().substr(before));

    // Without the file, every writer writes nothing and nothing breaks.
    pl_port_log = 1;
    unsigned char b[1] = {1};
    write_log(1, b, 1);
    read_log(1, nullptr, 1, 0);
    clear_log(1, b, 1);
    err_log(1, 5);
    put_msg("x");
    put_byte(1);
    open_log();
    before = log().size();
    write_log(1, b, 1);
    EXPECT_GT(log().size(), before);
}

TEST_F(FakePort, InitPortAppliesWhatItCan)
{
    EXPECT_EQ(0, init_port(h, 0, 7, 'E', 2));
    EXPECT_EQ(4800u, fake_device.line.baud);
    EXPECT_EQ(7, fake_device.line.byte_size);
    EXPECT_EQ(2, fake_device.line.parity);
    EXPECT_EQ(2, fake_device.line.stop_bits);

    const struct {
        char letter;
        int parity;
    } letters[] = {{'N', 0}, {'O', 1}, {'E', 2}, {'M', 3}, {'S', 4}, {'Z', 4}};
    for (const auto& l : letters) {
        ASSERT_EQ(0, init_port(h, 19200, 8, (unsigned char)l.letter, 1));
        EXPECT_EQ(l.parity, fake_device.line.parity) << l.letter;
        EXPECT_EQ(0, fake_device.line.stop_bits);
    }
    ASSERT_EQ(0, init_port(h, 19200, 8, 'e', 3));  // kept as they were
    EXPECT_EQ(4, fake_device.line.parity);
    EXPECT_EQ(0, fake_device.line.stop_bits);

    fake_device.set_line_error = 22;
    EXPECT_EQ(22, init_port(h, 9600, 8, 'N', 1));
    EXPECT_EQ(2, init_port(0, 9600, 8, 'N', 1));
}

TEST_F(FakePort, PortControlAndTheModemLines)
{
    port_control(h, 5);  // CTS handshake, RTS raised
    EXPECT_EQ(1, fake_device.line.cts_flow);
    EXPECT_EQ((Calls{"line", "escape 3"}), fake_device.calls);
    EXPECT_EQ(1, set_flags(h, 3));  // type 5 leaves the lines to the caller

    fake_device.calls.clear();
    port_control(h, 2);  // starts in the receive state
    EXPECT_EQ((Calls{"escape 5"}), fake_device.calls);
    EXPECT_EQ(2, serial().turn_type);

    fake_device.calls.clear();
    EXPECT_EQ(0, set_flags(h, 3));
    EXPECT_EQ(0, clr_flags(h, 3));
    EXPECT_TRUE(fake_device.calls.empty());
    EXPECT_EQ(1, my_set_flags(h, 3));
    EXPECT_EQ(1, my_clr_flags(h, 2));
    EXPECT_EQ(1, my_set_flags(h, 0xFC));  // neither line named
    EXPECT_EQ((Calls{"escape 5", "escape 3", "escape 4"}), fake_device.calls);

    fake_device.calls.clear();
    trans_turn_send(h, 8);
    trans_turn_send(h, -1);
    trans_turn_receive(h, 5);
    EXPECT_TRUE(fake_device.calls.empty());
    trans_turn_send(h, 4);
    EXPECT_EQ((Calls{"escape 4"}), fake_device.calls);

    fake_device.modem = PLAT_MS_CTS | PLAT_MS_RLSD;
    unsigned char status = 0xFF;
    EXPECT_EQ(1, get_flags(h, &status));
    EXPECT_EQ(0x90, status);
    EXPECT_EQ(0x1FF, get_comm_mask(h));
}

TEST_F(FakePort, WaitsSleepOnTheirOwnDeviceAndTouchNoOtherHandle)
{
    EXPECT_EQ(0, port_wait(h, 5));
    fake_device.input = "x";
    EXPECT_EQ(1, port_wait(h, 5));
    EXPECT_EQ((Calls{"wait 100", "wait 100"}), fake_device.calls);

    unsigned short stub = 0, freed = h;
    char name[] = "STUB";
    ASSERT_EQ(0, open_port(&stub, name, 0));
    free_port(h, 0);
    h = 0;
    fake_device.calls.clear();
    for (unsigned short p : {(unsigned short)0, stub, freed, (unsigned short)17})
        EXPECT_EQ(0, port_wait(p, 5)) << p;
    EXPECT_TRUE(fake_device.calls.empty());
}

TEST_F(FakePort, AServerPortThatFailsToSetUpStopsTheSocketLibraryAgain)
{
    unsigned short t = 0;
    char name[] = "TCPS_5000";
    EXPECT_EQ(-1, open_port(&t, name, 0));  // the fake has no network
    EXPECT_EQ(0, fake_net_starts);
}
