#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "../../platform/platform.h"
#include "../support/testsupport.h"

TEST(PlatformSerial, OpensPtyRawAt4800ExclusivelyAndCloses)
{
    TestPty pty;
    ASSERT_FALSE(pty.slave.empty());
    plat_handle h;
    ASSERT_EQ(0, plat_serial_open(pty.slave.c_str(), &h));
    const plat_timeouts t = {2, 2, 2, 20, 20};
    EXPECT_EQ(0, plat_serial_set_timeouts(h, &t));
    const plat_line line = {4800, 8, 0, 0, 0};
    ASSERT_EQ(0, plat_serial_set_line(h, &line));

    struct termios tio;
    ASSERT_EQ(0, tcgetattr(h, &tio));
    EXPECT_EQ(B4800, cfgetospeed(&tio));
    EXPECT_EQ(B4800, cfgetispeed(&tio));
    EXPECT_EQ((tcflag_t)CS8, tio.c_cflag & CSIZE);
    EXPECT_EQ(0u, tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(0u, tio.c_iflag & (IXON | IXOFF | ICRNL));
    EXPECT_EQ(0u, tio.c_oflag & OPOST);

    plat_line back;
    ASSERT_EQ(0, plat_serial_get_line(h, &back));
    EXPECT_EQ(4800u, back.baud);
    EXPECT_EQ(8, back.byte_size);
    EXPECT_EQ(0, back.parity);
    EXPECT_EQ(0, back.stop_bits);

    // A second opener is refused while the first holds the device.
    plat_handle h2;
    int rc = plat_serial_open(pty.slave.c_str(), &h2);
    EXPECT_NE(0, rc);
    EXPECT_EQ(PLAT_NO_HANDLE, h2);

    // A pseudo-terminal has no modem lines: switching them reports a code.
    EXPECT_NE(0, plat_serial_escape(h, PLAT_SETDTR));

    plat_serial_close(h);
    EXPECT_EQ(-1, fcntl(h, F_GETFD));
    ASSERT_EQ(0, plat_serial_open(pty.slave.c_str(), &h2));
    plat_serial_close(h2);
}

TEST(PlatformSerial, FailuresComeBackAsSystemCodes)
{
    plat_handle h;
    EXPECT_EQ(ENOENT, plat_serial_open("/dev/kp6-no-such-device", &h));
    TempDir dir;
    write_file(dir.file("plain"), "x");
    EXPECT_EQ(ENOTTY, plat_serial_open(dir.file("plain").c_str(), &h));

    TestPty pty;
    ASSERT_EQ(0, plat_serial_open(pty.slave.c_str(), &h));
    plat_line odd = {12345, 8, 0, 0, 0};
    EXPECT_NE(0, plat_serial_set_line(h, &odd));
    plat_line bits = {4800, 9, 0, 0, 0};
    EXPECT_NE(0, plat_serial_set_line(h, &bits));
    plat_serial_close(h);
}

// The pty driver keeps 8 data bits and no parity whatever it is told, so
// only the rate and the stop bits can be read back from one.
TEST(PlatformSerial, EveryParityIsAcceptedRateAndStopBitsReadBack)
{
    TestPty pty;
    plat_handle h;
    ASSERT_EQ(0, plat_serial_open(pty.slave.c_str(), &h));
    for (unsigned char parity = 0; parity <= 4; parity++) {
        plat_line line = {parity % 2 ? 9600ul : 115200ul, 7, parity, 2, 0};
        ASSERT_EQ(0, plat_serial_set_line(h, &line));
        plat_line back;
        ASSERT_EQ(0, plat_serial_get_line(h, &back));
        EXPECT_EQ(line.baud, back.baud);
        EXPECT_EQ(2, back.stop_bits);
    }
    plat_serial_close(h);
}

// A fake tty class folder: entries with and without a device, and a
// phantom port of the platform bus.
static void fake_tty(const TempDir& d, const std::string& name, const char* subsystem)
{
    std::string dev = d.file("devices/" + name);
    make_dirs(d.file("class/" + name));
    if (!subsystem)
        return;
    make_dirs(dev);
    make_dirs(d.file(std::string("bus/") + subsystem));
    make_symlink(d.file(std::string("bus/") + subsystem), dev + "/subsystem");
    make_symlink(dev, d.file("class/" + name + "/device"));
}

static std::vector<std::pair<std::string, std::string>> enumerate()
{
    std::vector<std::pair<std::string, std::string>> out;
    plat_serial_key key;
    EXPECT_EQ(0, plat_serial_key_open(&key));
    for (int i = 0; i < key.count; i++) {
        char value[80], data[80];
        if (plat_serial_key_enum(&key, i, value, sizeof value, data, sizeof data) == 0)
            out.emplace_back(value, data);
    }
    char value[80], data[80];
    EXPECT_NE(0, plat_serial_key_enum(&key, key.count, value, sizeof value, data, sizeof data));
    plat_serial_key_close(&key);
    return out;
}

TEST(PlatformSerialList, DevicesOfTheClass)
{
    TempDir d;
    fake_tty(d, "ttyUSB0", "usb-serial");
    fake_tty(d, "ttyS3", "platform");  // phantom 8250 port
    fake_tty(d, "tty7", nullptr);      // virtual console, no device
    plat_set_serial_root(d.file("class").c_str());
    auto list = enumerate();
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ("ttyUSB0", list[0].second);

    plat_set_serial_root(d.file("missing").c_str());
    EXPECT_TRUE(enumerate().empty());
    plat_set_serial_root(nullptr);
}

static std::atomic<int> thread_ran;

static int thread_body(void* arg)
{
    usleep(20000);
    thread_ran = *(int*)arg;
    return 1;
}

TEST(PlatformTime, TickSleepCounterAndThreadJoin)
{
    uint32_t t0 = plat_tick_ms();
    uint64_t c0 = plat_perf_counter();
    plat_sleep_ms(20);
    EXPECT_GE((uint32_t)(plat_tick_ms() - t0), 19u);
    EXPECT_GE(plat_perf_counter() - c0, 19000000u);

    plat_datetime local, utc;
    plat_local_time(&local);
    plat_utc_time(&utc);
    EXPECT_GE(utc.year, 2024);
    EXPECT_TRUE(utc.month >= 1 && utc.month <= 12);
    EXPECT_TRUE(local.millisecond >= 0 && local.millisecond <= 999);

    int value = 7;
    thread_ran = 0;
    plat_thread t;
    ASSERT_EQ(0, plat_thread_start(&t, 1024, thread_body, &value));
    ASSERT_EQ(0, plat_thread_join(t));
    EXPECT_EQ(7, thread_ran.load());
}
