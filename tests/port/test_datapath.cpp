// Receive and transmit paths and line settings over pseudo-terminals; the
// test holds the master side.
#include <errno.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "../support/cp866.h"
#include "../support/port_fixture.h"

// A pipe with a byte waiting, put at descriptor `fd` for the scope: a wait
// that looks at `fd` finds it readable.
struct ReadableAt {
    int fd, saved, p[2];
    explicit ReadableAt(int at) : fd(at), saved(dup(at))
    {
        EXPECT_EQ(0, pipe(p));
        EXPECT_EQ(1, write(p[1], "x", 1));
        dup2(p[0], fd);
    }
    ~ReadableAt()
    {
        if (saved >= 0) {
            dup2(saved, fd);
            close(saved);
        } else {
            close(fd);
        }
        close(p[0]);
        close(p[1]);
    }
};

class DataPath : public PortLayerTest {
protected:
    TestPty pty;

    void SetUp() override
    {
        PortLayerTest::SetUp();
        ASSERT_EQ(0, open(pty.slave));
    }
    void from_device(const std::string& bytes)
    {
        ASSERT_EQ((ssize_t)bytes.size(), write(pty.master, bytes.data(), bytes.size()));
    }
    std::string to_device(size_t n)
    {
        std::string out;
        eventually(
            [&] {
                char buf[256];
                struct timeval tv = {0, 0};
                fd_set fds;
                FD_ZERO(&fds);
                FD_SET(pty.master, &fds);
                if (select(pty.master + 1, &fds, nullptr, nullptr, &tv) > 0) {
                    ssize_t r = read(pty.master, buf, sizeof buf);
                    if (r > 0)
                        out.append(buf, (size_t)r);
                }
                return out.size() >= n;
            },
            5000);
        return out;
    }
    // Waits until the driver has the bytes, so one servicing finds them all.
    void wait_queued(unsigned n)
    {
        ASSERT_TRUE(eventually(
            [&] {
                unsigned q = 0;
                plat_serial_in_queue(serial().handle, &q);
                return q >= n;
            },
            5000));
    }
};

TEST_F(DataPath, BytesBothWaysWithExactCountsAllOrNothing)
{
    unsigned char frame[] = {0x60, 0x01, 0x00, 0x9F, 0xC0};
    put_port(h, frame, 5);
    EXPECT_EQ(std::string((char*)frame, 5), to_device(5));

    from_device(std::string("\x05\x2A", 2));
    wait_queued(2);
    EXPECT_EQ(2, port_avail(h));
    unsigned char buf[8] = {};
    EXPECT_EQ(0, recv_port(h, buf, 3));  // never a part of a request
    EXPECT_EQ(2, port_avail(h));
    from_device("\x07");
    wait_queued(1);
    EXPECT_EQ(1, recv_port(h, buf, 3));
    EXPECT_EQ(std::string("\x05\x2A\x07"), std::string((char*)buf, 3));
    EXPECT_EQ(0, port_avail(h));
    EXPECT_EQ(1, recv_port(h, buf, 0));
    EXPECT_EQ(1, port_sent(h));
}

TEST_F(DataPath, RingWrapsAt10000AndPeekCountsFromTheOldest)
{
    slot().rx_head = slot().rx_tail = 9998;
    from_device("ABCD");
    wait_queued(4);
    EXPECT_EQ(4, port_avail(h));
    EXPECT_EQ('D', peek_port(h, 3));
    EXPECT_EQ('D', slot().rx_buf[1]);
    EXPECT_EQ(0, peek_port(h, 4));
    EXPECT_EQ(0, peek_port(h, -1));
    unsigned char buf[4];
    ASSERT_EQ(1, recv_port(h, buf, 4));
    EXPECT_EQ("ABCD", std::string((char*)buf, 4));
    EXPECT_EQ(2, slot().rx_tail);
}

TEST_F(DataPath, AFullRingKeepsItsOldestBytesAndItsCount)
{
    std::string data;
    for (int i = 0; i < 12000; i++)
        data += (char)('a' + i % 26);
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t w = write(pty.master, data.data() + sent,
                          std::min<size_t>(1024, data.size() - sent));
        ASSERT_GT(w, 0);
        sent += (size_t)w;
        port_avail(h);
    }
    EXPECT_TRUE(eventually(
        [&] {
            unsigned q = 0;
            plat_serial_in_queue(serial().handle, &q);
            return port_avail(h) == RX_SIZE - 1 && q == 0;
        },
        5000));
    EXPECT_EQ('a', peek_port(h, 0));
    EXPECT_EQ(data[RX_SIZE - 2], (char)peek_port(h, RX_SIZE - 2));
}

TEST_F(DataPath, GetcWaitsForAByteOrTimesOut)
{
    unsigned char b = 0;
    EXPECT_EQ(0, getc_port_ms(h, &b, 0));
    uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(0, getc_port_ms(h, &b, 40));
    EXPECT_GE(plat_tick_ms() - t0, 30u);

    std::thread later([&] {
        usleep(50000);
        from_device("Z");
    });
    t0 = plat_tick_ms();
    EXPECT_EQ(1, getc_port_ms(h, &b, 10000));
    EXPECT_LT(plat_tick_ms() - t0, 5000u);  // taken as it came, not at the deadline
    later.join();
    EXPECT_EQ('Z', b);

    from_device("Q");
    wait_queued(1);
    EXPECT_EQ(1, getc_port_ms(h, &b, 0));
    EXPECT_EQ('Q', b);
}

TEST_F(DataPath, EchoIsDroppedAcrossReads)
{
    port_control(h, 1);
    unsigned char frame[] = {'a', 'b', 'c', 'd', 'e'};
    put_port(h, frame, 5);
    EXPECT_EQ("abcde", to_device(5));
    from_device("abc");
    wait_queued(3);
    EXPECT_EQ(0, port_avail(h));
    EXPECT_EQ(2, serial().echo_skip);
    from_device("deXY");
    wait_queued(4);
    EXPECT_EQ(2, port_avail(h));
    EXPECT_EQ(0, serial().echo_skip);
    EXPECT_EQ('X', peek_port(h, 0));
}

static const std::string CLEAR_HEAD = cp866("Очистка буфера порта 1<> ");

TEST_F(DataPath, ClearEmptiesRingAndDriverQueueWithOneRecord)
{
    from_device("1234");
    wait_queued(4);
    ASSERT_EQ(4, port_avail(h));
    from_device("567890");
    wait_queued(6);
    pl_port_log = 1;
    size_t before = log().size();
    clear_buf(h);
    EXPECT_EQ(0, port_avail(h));
    unsigned q = 0;
    plat_serial_in_queue(serial().handle, &q);
    EXPECT_EQ(0u, q);
    std::string rec = log().substr(before);
    // One clear record of the 4 ring bytes; no read record.
    ASSERT_EQ(0u, rec.find("\r\n "));
    EXPECT_EQ(CLEAR_HEAD + "31 32 33 34 \r\n1234", rec.substr(rec.find(CLEAR_HEAD)));
    EXPECT_EQ(std::string::npos, rec.find(cp866("Чтение")));

    // With an empty ring, what the driver held is the record.
    from_device("abcdef");
    wait_queued(6);
    before = log().size();
    clear_buf(h);
    rec = log().substr(before);
    EXPECT_EQ(CLEAR_HEAD + "61 62 63 64 65 66 \r\nabcdef", rec.substr(rec.find(CLEAR_HEAD)));
    EXPECT_EQ(0, port_avail(h));
}

TEST_F(DataPath, LineSettingsReadBackFromTheDevice)
{
    ASSERT_EQ(0, init_port(h, 9600, 8, 'N', 2));
    struct termios tio;
    ASSERT_EQ(0, tcgetattr(serial().handle, &tio));
    EXPECT_EQ(B9600, cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CSTOPB);

    ASSERT_EQ(0, init_port(h, 0, 8, 'N', 3));  // 3 stop bits: kept as they were
    ASSERT_EQ(0, tcgetattr(serial().handle, &tio));
    EXPECT_EQ(B4800, cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CSTOPB);

    EXPECT_EQ(EINVAL, init_port(h, 9600, 9, 'N', 1));
    EXPECT_EQ(EINVAL, init_port(h, 12345, 8, 'N', 1));

    // A pseudo-terminal has no modem lines; that goes unreported.
    EXPECT_EQ(1, set_flags(h, 3));
    EXPECT_EQ(1, my_clr_flags(h, 3));
    unsigned char status = 0xFF;
    EXPECT_EQ(1, get_flags(h, &status));
    EXPECT_EQ(0, status & 0x0F);
    EXPECT_EQ(0, get_comm_mask(h));
    port_control(h, 3);
    EXPECT_EQ(3, serial().turn_type);
}

TEST_F(DataPath, DirectionSwitchedWriteReturnsAndCountsTheEcho)
{
    port_control(h, 1);
    unsigned char frame[] = {1, 2, 3};
    uint32_t t0 = plat_tick_ms();
    put_port(h, frame, 3);
    EXPECT_LT(plat_tick_ms() - t0, 5000u);
    EXPECT_EQ(3, serial().echo_skip);
    EXPECT_EQ(std::string("\1\2\3"), to_device(3));
}

TEST_F(DataPath, APulledDeviceAnswersAsAnEmptyLine)
{
    pl_port_log = 1;
    from_device("ab");
    wait_queued(2);
    close(pty.master);
    pty.master = -1;
    port_avail(h);
    unsigned char frame[] = {0x60, 0x01};
    put_port(h, frame, 2);  // fails: recorded, nothing else
    put_port(h, frame, 2);
    clear_buf(h);
    EXPECT_EQ(0, port_avail(h));
    unsigned char b;
    EXPECT_EQ(0, getc_port_ms(h, &b, 20));
    EXPECT_EQ(0, port_wait(h, 20));  // ready for ever, but nothing to take
    EXPECT_NE(std::string::npos, log().find(cp866("Ошибка записи в порт 1<> (код ")));
    EXPECT_EQ(1, free_port(h, 0));
    h = 0;
}

TEST_F(DataPath, FreedSlotsAndHandlesAbove16ActLikeNoPort)
{
    from_device("xy");
    wait_queued(2);
    unsigned short freed = h;
    int stale = serial().handle;
    free_port(h, 0);
    h = 0;
    // The descriptors a freed slot or a stub still name may belong to
    // someone else by now.
    ReadableAt reused(stale), input(0);
    for (unsigned short p : {(unsigned short)0, freed, (unsigned short)17, (unsigned short)999}) {
        SCOPED_TRACE(p);
        unsigned char buf[2] = {7, 7}, status = 9;
        EXPECT_EQ(0, port_avail(p));
        EXPECT_EQ(0, peek_port(p, 0));
        EXPECT_EQ(0, recv_port(p, buf, 1));
        EXPECT_EQ(-1, getc_port_ms(p, buf, 10));
        EXPECT_EQ(0, port_wait(p, 5));
        EXPECT_EQ(7, buf[0]);
        clear_buf(p);
        put_port(p, buf, 2);
        send_port(p, 1);
        EXPECT_EQ(1, port_sent(p));
        EXPECT_EQ(2, init_port(p, 9600, 8, 'N', 1));
        port_control(p, 1);
        EXPECT_EQ(0, set_flags(p, 1));
        EXPECT_EQ(0, get_flags(p, &status));
        EXPECT_EQ(9, status);
        EXPECT_EQ(0, get_comm_mask(p));
    }
}

TEST_F(DataPath, StubsSendAndReceiveNothing)
{
    unsigned short s = 0;
    char stub[] = "STUB";
    ASSERT_EQ(0, open_port(&s, stub, 0));
    pl_port_log = 0xFFFF;
    size_t before = log().size();
    unsigned char buf[1] = {1}, status = 5;
    put_port(s, buf, 1);
    EXPECT_EQ(0, port_avail(s));
    EXPECT_EQ(-1, getc_port_ms(s, buf, 0));
    {
        ReadableAt input(0);
        EXPECT_EQ(0, port_wait(s, 5));
    }
    EXPECT_EQ(0, init_port(s, 9600, 8, 'N', 1));
    EXPECT_EQ(0, get_flags(s, &status));
    EXPECT_EQ(5, status);
    EXPECT_EQ(before, log().size());
}

TEST_F(DataPath, KP6_PORT_LOGSwitchesLoggingOnAtStart)
{
    free_port(h, 0);
    close_net();
    const struct {
        const char* value;
        uint16_t mask;
    } cases[] = {{"1", 1},   {"0x3", 3}, {"0XfF", 255}, {"65535", 65535}, {"65536", 0},
                 {"abc", 0}, {"-1", 0},  {"12x", 0},    {"", 0},          {nullptr, 0}};
    for (const auto& c : cases) {
        set_env("KP6_PORT_LOG", c.value);
        start_net(1);
        EXPECT_EQ(c.mask, pl_port_log) << (c.value ? c.value : "unset");
        close_net();
    }
    set_env("KP6_PORT_LOG", "1");
    start_net(1);
    set_env("KP6_PORT_LOG", nullptr);
    std::string name = pty.slave;
    ASSERT_EQ(0, open_port(&h, &name[0], 0));
    unsigned char frame[] = {0x60, 0xC0};
    put_port(h, frame, 2);
    from_device("\x05");
    wait_queued(1);
    unsigned char b;
    ASSERT_EQ(1, getc_port_ms(h, &b, 1000));
    std::string text = log();
    EXPECT_NE(std::string::npos, text.find(cp866("Запись (порт 1)-> ") + "60 C0 \r\n\x60\xC0"));
    EXPECT_NE(std::string::npos, text.find(cp866("Чтение  порта 1<- ") + "05 \r\n\x05"));
}

TEST_F(DataPath, FreeingLetsABlockJustWrittenReachTheLine)
{
    std::string block;
    for (int i = 0; i < 2048; i++)
        block += (char)(i * 7 + i / 256);
    std::string name = pty.slave;
    for (int round = 0; round < 8; round++) {
        SCOPED_TRACE(round);
        put_port(h, (unsigned char*)&block[0], (int)block.size());
        free_port(h, 0);
        EXPECT_EQ(block, to_device(block.size()));
        ASSERT_EQ(0, open_port(&h, &name[0], 0));
    }
}

TEST_F(DataPath, AWriteToALineThatDoesNotDrainEndsWithinItsLineTime)
{
    ASSERT_EQ(0, init_port(h, 115200, 8, 'N', 1));
    // The master never reads: fill what the pseudo-terminal holds, until it
    // has taken nothing more for a while.
    std::string chunk(4096, 'f');
    for (int still = 0; still < 5; still++) {
        while (write(serial().handle, chunk.data(), chunk.size()) > 0)
            still = 0;
        ASSERT_EQ(EAGAIN, errno);
        usleep(20000);
    }
    std::string block(2048, 'U');
    uint32_t t0 = plat_tick_ms();
    put_port(h, (unsigned char*)&block[0], (int)block.size());
    EXPECT_LT(plat_tick_ms() - t0, 10000u);  // 20 ms a byte would be 41 s
}
