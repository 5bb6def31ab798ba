#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "../../port/kinds.h"
#include "../../port/plainw.h"
#include "../support/testsupport.h"

static const char START_LINE[] =
    "\r\n\x82\xE5\xAE\xA4 \xA2 \xAF\xE0\xAE\xA3\xE0\xA0\xAC\xAC\xE3\r\n";  // "Вход в программу"

// Each test runs in a scratch folder, where "port.out" is written.
class PortTable : public ::testing::Test {
protected:
    ScratchDir dir;
    void SetUp() override
    {
        close_net();
        pl_port_log = 0;
    }
    void TearDown() override
    {
        for (unsigned short h = 1; h <= PORT_COUNT; h++)
            free_port(h, 0);
        close_net();
        pl_port_log = 0;
    }
    std::string log() { return read_file(dir.file("port.out")); }
};

TEST_F(PortTable, StartLineIsWrittenOncePerStartInCodePage866)
{
    EXPECT_EQ(20u, sizeof START_LINE - 1);
    start_net(1);
    EXPECT_EQ(std::string(START_LINE), log());
    start_net(1);  // already started: nothing more
    EXPECT_EQ(std::string(START_LINE), log());
    close_net();
    EXPECT_EQ(std::string(START_LINE), log());
    start_net(1);
    close_net();
    EXPECT_EQ(std::string(START_LINE) + START_LINE, log());
}

TEST_F(PortTable, StatisticsLineWhenAnyLogBitIsSet)
{
    start_net(1);
    pl_port_log = 0x8000;
    p_errors = 3;
    close_net();
    // "Ошибок паритета=3, пакетов( стоп-бит)=0" in code page 866.
    const std::string stats = "\r\n\x8E\xE8\xA8\xA1\xAE\xAA \xAF\xA0\xE0\xA8\xE2\xA5\xE2\xA0=3, "
                              "\xAF\xA0\xAA\xA5\xE2\xAE\xA2( \xE1\xE2\xAE\xAF-\xA1\xA8\xE2)=0\r\n";
    EXPECT_EQ(std::string(START_LINE) + stats, log());
}

// A port.out that is no file is never opened (a FIFO would block the start
// until a reader came): the layer runs without a log and says why.
TEST_F(PortTable, ALogThatIsNoFileIsRefusedUnopened)
{
    ASSERT_EQ(0, mkfifo(dir.file("port.out").c_str(), 0600));
    start_net(1);
    int kind = -1;
    EXPECT_EQ(LOG_NOT_FILE, log_fault(&kind));
    EXPECT_EQ(PLAT_FILE_FIFO, kind);
    close_net();
    unlink(dir.file("port.out").c_str());
    start_net(1);
    EXPECT_EQ(0, log_fault(nullptr));
    EXPECT_EQ(std::string(START_LINE), log());
}

TEST_F(PortTable, RefusalsLeaveTheHandleAlone)
{
    unsigned short h = 77;
    char stub[] = "STUB", empty[] = "";
    EXPECT_EQ(9, open_port(&h, stub, 0));
    EXPECT_EQ(77, h);
    start_net(1);
    EXPECT_EQ(3, open_port(&h, empty, 0));
    EXPECT_EQ(77, h);
    EXPECT_EQ(0, open_port(&h, stub, 1));  // a mode opens nothing
    EXPECT_EQ(77, h);
    close_net();
    EXPECT_EQ(9, open_port(&h, stub, 0));
    EXPECT_EQ(0, port_by_base(0));
}

// The layer's refusals share their numbers with the system's codes (9 is
// EBADF); the last open says which it was.
TEST_F(PortTable, TheLastOpenSaysWhetherTheLayerOrTheSystemRefused)
{
    unsigned short h = 0;
    char stub[] = "STUB", empty[] = "", missing[] = "kp6-no-such-tty9", any[] = "TCPS_";
    EXPECT_EQ(9, open_port(&h, stub, 0));
    EXPECT_EQ(OPEN_NOT_STARTED, open_port_why());
    start_net(1);
    EXPECT_EQ(3, open_port(&h, empty, 0));
    EXPECT_EQ(OPEN_EMPTY_NAME, open_port_why());
    EXPECT_EQ(ENOENT, open_port(&h, missing, 0));
    EXPECT_EQ(OPEN_SYSTEM_ERROR, open_port_why());
    ASSERT_EQ(0, open_port(&h, any, 0));
    EXPECT_EQ(OPEN_DONE, open_port_why());
    unsigned short taken = 0;
    ASSERT_EQ(0, plat_tcp_local_port(tcps_listener(h), &taken));
    std::string again = "TCPS_" + std::to_string(taken);
    EXPECT_EQ(-1, open_port(&h, &again[0], 0));
    EXPECT_EQ(OPEN_SERVER_SETUP, open_port_why());
}

TEST_F(PortTable, StubTakesNoSlotAndReusesItsRing)
{
    start_net(1);
    unsigned short h1 = 0, h2 = 0;
    char stub[] = "STUB";
    ASSERT_EQ(0, open_port(&h1, stub, 0));
    EXPECT_EQ(1, h1);
    EXPECT_EQ(KIND_STUB, Port[0].kind);
    unsigned char* ring = Port[0].rx_buf;
    ASSERT_NE(nullptr, ring);
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(0, open_port(&h2, stub, 0));
        EXPECT_EQ(1, h2);
    }
    EXPECT_EQ(ring, Port[0].rx_buf);
    EXPECT_EQ(1, free_port(h1, 0));  // the slot counts as free: nothing to do
    EXPECT_EQ(ring, Port[0].rx_buf);
    EXPECT_EQ(1, free_port(0, 0));
}

TEST_F(PortTable, SerialPortOpensAt4800AndFreesTheDevice)
{
    TestPty pty;
    start_net(1);
    unsigned short h = 0;
    std::string name = pty.slave;
    ASSERT_EQ(0, open_port(&h, &name[0], 0));
    EXPECT_EQ(1, h);
    Entry& e = Port[0];
    EXPECT_EQ(KIND_SERIAL, e.kind);
    EXPECT_STREQ(pty.slave.c_str(), e.name);
    EXPECT_EQ(atoi(pty.slave.c_str() + strlen("/dev/pts/")), e.base);
    EXPECT_EQ(0, e.rx_head);
    EXPECT_EQ(0, e.rx_tail);
    EXPECT_EQ(0, serial_device_of(h).echo_skip);
    EXPECT_EQ(0, serial_device_of(h).turn_type);
    ASSERT_NE(nullptr, e.rx_buf);

    struct termios tio;
    ASSERT_EQ(0, tcgetattr(serial_device_of(h).handle, &tio));
    EXPECT_EQ(B4800, cfgetospeed(&tio));
    EXPECT_EQ((tcflag_t)CS8, tio.c_cflag & CSIZE);
    EXPECT_EQ(0u, tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));

    if (e.base != 0) {
        EXPECT_EQ(h, port_by_base(e.base));
    }
    EXPECT_EQ(0, port_by_base(60000));

    int fd = serial_device_of(h).handle;
    EXPECT_EQ(1, free_port(h, 0));
    EXPECT_EQ(0, e.base);
    EXPECT_EQ(nullptr, e.rx_buf);
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    ASSERT_EQ(0, open_port(&h, &name[0], 0));  // released: opens again
    EXPECT_EQ(1, h);
}

TEST_F(PortTable, DeviceNumberedZeroHoldsItsSlotAndIsClosed)
{
    TestPty pty;
    // The path must hold no digit but the final 0.
    std::string folder;
    for (int i = 0; folder.empty() && i < 100; i++) {
        std::string name = "/tmp/serial-zero-";
        for (int k = 0; k < 8; k++)
            name += (char)('a' + rand() % 26);
        if (mkdir(name.c_str(), 0700) == 0)
            folder = name;
    }
    ASSERT_FALSE(folder.empty());
    std::string link = folder + "/ttyK0";
    make_symlink(pty.slave, link);
    start_net(1);
    unsigned short h = 0, h2 = 0;
    ASSERT_EQ(0, open_port(&h, &link[0], 0));
    EXPECT_EQ(0, Port[h - 1].base);
    char stub[] = "STUB";
    ASSERT_EQ(0, open_port(&h2, stub, 0));
    EXPECT_NE(h, h2);  // the device's slot is not handed out again
    int fd = serial_device_of(h).handle;
    EXPECT_EQ(1, free_port(h, 0));
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    ASSERT_EQ(0, open_port(&h, &link[0], 0));
    free_port(h, 0);
    run_command("rm -rf '" + folder + "'");
}

TEST_F(PortTable, FailedOpensReturnTheSystemCodeAndZeroTheHandle)
{
    start_net(1);
    unsigned short h = 5;
    char missing[] = "kp6-no-such-tty3", stub1[] = "STUB1";
    EXPECT_EQ(ENOENT, open_port(&h, missing, 0));
    EXPECT_EQ(0, h);
    h = 5;
    EXPECT_EQ(ENOENT, open_port(&h, stub1, 0));  // STUB1 is a device name
    EXPECT_EQ(0, h);
    EXPECT_EQ(0, Port[0].base);

    // Too long for the slot: refused whole. Every name the slot holds
    // reaches the system, device prefix and all.
    std::string huge(PORT_NAME_SIZE, 'a');
    h = 5;
    EXPECT_EQ(ENAMETOOLONG, open_port(&h, &huge[0], 0));
    EXPECT_EQ(0, h);
    std::string longdev(PORT_NAME_SIZE - 1, 'b');
    EXPECT_EQ(ENOENT, open_port(&h, &longdev[0], 0));
    std::string longpath = "/dev/" + std::string(PORT_NAME_SIZE - 6, 'c');
    EXPECT_EQ(ENOENT, open_port(&h, &longpath[0], 0));
}

TEST_F(PortTable, SixteenPortsInUseLeaveNoSlot)
{
    start_net(1);
    std::unique_ptr<TestPty> ptys[PORT_COUNT];
    for (int i = 0; i < PORT_COUNT; i++) {
        ptys[i].reset(new TestPty);
        unsigned short h = 0;
        std::string name = ptys[i]->slave;
        ASSERT_EQ(0, open_port(&h, &name[0], 0)) << name;
        EXPECT_EQ(i + 1, h);
    }
    unsigned short h = 42;
    char stub[] = "STUB", empty[] = "";
    EXPECT_EQ(1, open_port(&h, stub, 0));
    EXPECT_EQ(1, open_port(&h, empty, 0));  // the slot search comes first
    EXPECT_EQ(42, h);
    free_port(9, 0);
    ASSERT_EQ(0, open_port(&h, stub, 0));
    EXPECT_EQ(9, h);
}

static int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            n++;
        closedir(d);
    }
    return n;
}

TEST_F(PortTable, ARestartClosesWhatTheTableHeld)
{
    TestPty pty;
    start_net(1);
    int before = open_descriptors();
    unsigned short h = 0, server = 0;
    std::string name = pty.slave;
    char tcps[] = "TCPS_";
    ASSERT_EQ(0, open_port(&h, &name[0], 0));
    ASSERT_EQ(0, open_port(&server, tcps, 0));
    int fd = serial_device_of(h).handle;
    close_net();
    EXPECT_NE(-1, fcntl(fd, F_GETFD));  // stopping closes nothing
    start_net(1);
    EXPECT_EQ(before, open_descriptors());
    ASSERT_EQ(0, open_port(&h, &name[0], 0));  // the device is no longer held
}

TEST_F(PortTable, NoCallTouchesAHandleItDidNotOpen)
{
    // Standard input holds bytes that are nobody's to read.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ASSERT_EQ(18, write(fds[1], "not for any port\r\n", 18));
    int saved = dup(0);
    ASSERT_EQ(0, dup2(fds[0], 0));
    start_net(1);
    unsigned short stub = 0, never = PORT_COUNT;
    char name[] = "STUB";
    ASSERT_EQ(0, open_port(&stub, name, 0));
    // Handle 0, as the zero-filled table has it before the first start.
    serial_device_of(stub).handle = 0;
    serial_device_of(never).handle = 0;
    for (unsigned short p : {stub, never}) {
        SCOPED_TRACE(p);
        unsigned char buf[4] = {}, status = 0;
        EXPECT_EQ(0, win_put_into_buf(&Port[p - 1]));
        EXPECT_EQ(1, port_sent(p));
        clear_buf(p);
        EXPECT_EQ(0, port_avail(p));
        EXPECT_EQ(0, recv_port(p, buf, 1));
        put_port(p, buf, 4);
        init_port(p, 9600, 8, 'N', 1);
        port_control(p, 1);
        my_set_flags(p, 3);
        get_flags(p, &status);
        get_comm_mask(p);
    }
    int left = 0;
    ioctl(fds[0], FIONREAD, &left);
    dup2(saved, 0);
    close(saved);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(18, left);
}
