// The Win32 layer under Wine: COM7 leads to the pseudo-terminal kp6-sim
// holds on the Linux side (it answers each frame and traces what it hears
// into SIM_TRACE); the TCP server port against a real loopback client; the
// registry's list; the timers' clock.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../device/exchange.h"
#include "../../discovery/comdet.h"
#include "../../platform/platform.h"
#include "../../platform/win32_rules.h"
#include "../../port/kinds.h"
#include "../../port/plainw.h"
#include "../../timers/timersw.h"
#include "../support/port_fixture.h"
#include "../support/testsupport.h"
#include "../support/text_log.h"

// What kp6-sim has heard so far, one "rx 60 01 00 F8 C0" per frame.
static std::vector<std::string> heard()
{
    std::vector<std::string> out;
    std::string all = read_file(SIM_TRACE), line;
    for (char c : all) {
        if (c != '\n') {
            line += c;
            continue;
        }
        size_t at = line.find(" rx ");
        if (at != std::string::npos)
            out.push_back(line.substr(at + 1));
        line.clear();
    }
    return out;
}

static bool heard_frame(const std::string& frame)
{
    return eventually(
        [&] {
            auto h = heard();
            return std::find(h.begin(), h.end(), "rx " + frame) != h.end();
        },
        5000);
}

class Com7 : public PortLayerTest {
protected:
    void SetUp() override
    {
        PortLayerTest::SetUp();
        ASSERT_EQ(0, open("COM7"));
    }
    HANDLE device() { return (HANDLE)serial().handle; }
    void select(unsigned char address = 1)
    {
        unsigned char frame[5] = {0x60, address, 0x00, 0, 0xC0};
        frame[3] = 0xF8;  // csm8 of 60 01 00
        put_port(h, frame, 5);
    }
};

TEST_F(Com7, OpensAt4800EightNoneOneAndExchangesBothWays)
{
    EXPECT_EQ(7, Port[h - 1].base);
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(device(), &dcb));
    EXPECT_EQ(4800u, dcb.BaudRate);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_EQ(0u, dcb.fOutxCtsFlow);
    EXPECT_EQ(0u, dcb.fOutX);  // (Wine reads DTR and RTS control back as enabled)
    EXPECT_EQ(0u, dcb.fInX);
    EXPECT_EQ(1u, dcb.fBinary);
    EXPECT_EQ(0u, dcb.fNull);      // 00 bytes are data here
    EXPECT_EQ(0x11, dcb.XonChar);  // drivers refuse equal flow characters
    EXPECT_EQ(0x13, dcb.XoffChar);
    COMMTIMEOUTS t;
    ASSERT_TRUE(GetCommTimeouts(device(), &t));
    EXPECT_EQ(2u, t.ReadIntervalTimeout);
    EXPECT_EQ(2u, t.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(2u, t.ReadTotalTimeoutConstant);
    EXPECT_EQ(20u, t.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(20u, t.WriteTotalTimeoutConstant);

    // The whole exchange of a Read: frames out, answers in.
    unsigned int word = WORD_ER79;
    ASSERT_EQ(1, device_exchange(h, 1, word, CMD_READ_ER));
    EXPECT_EQ(15u, word);  // the factory's engine start
    EXPECT_TRUE(heard_frame("60 01 00 F8 C0"));
    EXPECT_TRUE(heard_frame("CA 79 00 01 00"));
    // The pseudo-terminal itself, seen from the Linux side, holds what the
    // driver was told.
    std::string trace = read_file(SIM_TRACE);
    EXPECT_NE(std::string::npos, trace.find(" line 4800 8N1 start=^Q stop=^S\n")) << trace;

    // Windows refuses a second opener of a held port (access denied);
    // Wine lets it share the pseudo-terminal.
    unsigned short other = 99;
    char again[] = "COM7";
    int rc = open_port(&other, again, 0);
    if (rc == 0) {
        std::printf("Wine shares a held serial device with a second opener\n");
        free_port(other, 0);
    } else {
        EXPECT_EQ(ERROR_ACCESS_DENIED, rc);
        EXPECT_EQ(0, other);
    }
    // A name that is no device comes back with the system's code.
    other = 99;
    char missing[] = "COM5";
    EXPECT_NE(0, open_port(&other, missing, 0));
    EXPECT_EQ(0, other);
}

// What real drivers refuse and Wine lets through is refused by the layer
// itself, with the system's code for a bad parameter.
TEST_F(Com7, CallsThatBreakTheDocumentedRulesAreRefused)
{
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(device(), &dcb));
    win32_call c = {};
    c.api = W32_SET_COMM_STATE;
    c.dcb = &dcb;
    EXPECT_EQ(0, win32_rule_broken(c));
    DCB bad = dcb;
    bad.XoffChar = bad.XonChar;
    c.dcb = &bad;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, win32_rule_broken(c));
    bad = dcb;
    bad.ByteSize = 5;
    bad.StopBits = TWOSTOPBITS;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, win32_rule_broken(c));
    bad = dcb;
    bad.fBinary = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, win32_rule_broken(c));

    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, MAXDWORD, 20, 20};
    c = {};
    c.api = W32_SET_TIMEOUTS;
    c.timeouts = &t;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, win32_rule_broken(c));
    t = {MAXDWORD, 0, 0, 0, 0};  // a write that could wait for ever
    EXPECT_EQ(ERROR_INVALID_PARAMETER, win32_rule_broken(c));

    // RTS is the driver's while it runs the handshake: the layer's own
    // switch is refused and leaves the port as it was.
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    c = {};
    c.api = W32_ESCAPE;
    c.code = SETRTS;
    c.dcb = &dcb;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, win32_rule_broken(c));
    c.code = SETDTR;
    EXPECT_EQ(0, win32_rule_broken(c));

    c = {};
    c.api = W32_CREATE_FILE;
    c.path = "COM7";  // not in the device namespace: COM10 and up would fail
    c.access = GENERIC_READ | GENERIC_WRITE;
    c.creation = OPEN_EXISTING;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, win32_rule_broken(c));
    c = {};
    c.api = W32_READ_WRITE;
    c.size = 1;
    c.buffer = &c;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, win32_rule_broken(c));  // no count pointer

    // Sockets only between a start and its stop.
    c = {};
    c.api = W32_SOCKET;
    EXPECT_EQ(WSANOTINITIALISED, win32_rule_broken(c));
    ASSERT_EQ(0, plat_net_start());
    EXPECT_EQ(0, win32_rule_broken(c));
    plat_net_stop();
    EXPECT_EQ(WSANOTINITIALISED, win32_rule_broken(c));
}

TEST_F(Com7, QueueCountsReadsAndTheirTimeOuts)
{
    plat_handle d = serial().handle;
    // Each selection is answered with C0; the answers queue up unread.
    unsigned q = 0;
    for (unsigned n = 1; n <= 3; n++) {
        select();
        ASSERT_TRUE(eventually([&] { return plat_serial_in_queue(d, &q) == 0 && q == n; }, 3000))
            << n << ": " << q;
    }
    EXPECT_EQ(1, plat_serial_wait_input(d, 0));
    unsigned out = 99;
    EXPECT_EQ(0, plat_serial_out_queue(d, &out));
    EXPECT_EQ(0u, out);
    unsigned char buf[16];
    unsigned done = 0;
    EXPECT_EQ(0, plat_serial_read(d, buf, 2, &done));
    ASSERT_EQ(2u, done);
    EXPECT_EQ(0xC0, buf[1]);
    EXPECT_EQ(1, port_avail(h));  // the third, through the port layer
    ASSERT_EQ(1, recv_port(h, buf, 1));
    EXPECT_EQ(0xC0, buf[0]);

    // Nothing queued: a read returns at once, a wait lasts its time.
    uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(0, plat_serial_read(d, buf, sizeof buf, &done));
    EXPECT_EQ(0u, done);
    EXPECT_EQ(0, plat_serial_wait_input(d, 100));
    uint32_t took = plat_tick_ms() - t0;
    EXPECT_GE(took, 100u);
    EXPECT_LT(took, 2000u);
    EXPECT_EQ(0, getc_port_ms(h, buf, 50));
}

TEST_F(Com7, CloseLetsTheFrameOutAndTheDeviceOpensAgain)
{
    select();
    free_port(h, 0);  // at once after the write
    h = 0;
    EXPECT_TRUE(heard_frame("60 01 00 F8 C0"));
    char name[] = "COM7";
    ASSERT_TRUE(eventually([&] { return open_port(&h, name, 0) == 0; }, 5000));
    clear_buf(h);
    unsigned int word = WORD_ER78;
    EXPECT_EQ(1, device_exchange(h, 1, word, CMD_READ_ER));
}

TEST_F(Com7, LineSettingsAndModemLines)
{
    // (A pseudo-terminal keeps 8 bits without parity whatever it is told.)
    EXPECT_EQ(0, init_port(h, 9600, 8, 'N', 2));
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(device(), &dcb));
    EXPECT_EQ(9600u, dcb.BaudRate);
    EXPECT_EQ(TWOSTOPBITS, dcb.StopBits);
    EXPECT_NE(0, init_port(h, 4800, 9, 'N', 1));  // refused, with the system's code
    ASSERT_TRUE(GetCommState(device(), &dcb));
    EXPECT_EQ(9600u, dcb.BaudRate);

    // Wine emulates no modem lines on a pseudo-terminal: the calls fail
    // with ERROR_NOT_SUPPORTED (50) there, and work on a real port. Either
    // way the port layer reports nothing and shows no line on.
    plat_handle d = serial().handle;
    int rc = plat_serial_escape(d, PLAT_SETRTS);
    unsigned bits = 0xFF;
    int ms = plat_serial_modem_status(d, &bits);
    if (rc != 0 || ms != 0) {
        std::printf("modem lines not emulated here: escape %d, status %d\n", rc, ms);
        EXPECT_EQ(ERROR_NOT_SUPPORTED, rc);
        EXPECT_EQ(ERROR_NOT_SUPPORTED, ms);
        EXPECT_EQ(0u, bits);
    }
    EXPECT_EQ(ERROR_INVALID_PARAMETER, plat_serial_escape(d, 7));
    EXPECT_EQ(1, my_set_flags(h, 3));
    unsigned char status = 0xFF;
    EXPECT_EQ(1, get_flags(h, &status));
    if (ms != 0) {
        EXPECT_EQ(0, status);
    }
    unsigned mask = 0;
    EXPECT_EQ(0, plat_serial_event_mask(d, &mask));
}

TEST(Win32Tcp, ServerPortAgainstALoopbackClient)
{
    ScratchDir dir;
    text_log_messages.clear();
    start_net(1);
    unsigned short h = 0;
    char name[] = "TCPS_0";  // the system picks the port
    ASSERT_EQ(0, open_port(&h, name, 0));
    unsigned short at = 0;
    ASSERT_EQ(0, plat_tcp_local_port(tcps_listener(h), &at));

    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(at);
    ASSERT_EQ(0, connect(c, (sockaddr*)&a, sizeof a));
    ASSERT_EQ(3, send(c, "abc", 3, 0));
    ASSERT_TRUE(eventually([&] { return port_avail(h) == 3; }, 5000));
    ASSERT_EQ(1u, text_log_messages.size());
    // "[TCPS_0] Присоед. клиент: ip=16777343 sock#=0" in code page 866.
    EXPECT_EQ(
        "[TCPS_0] \x8F\xE0\xA8\xE1\xAE\xA5\xA4. \xAA\xAB\xA8\xA5\xAD\xE2: ip=16777343 sock#=0",
        text_log_messages[0]);
    unsigned char got[3];
    ASSERT_EQ(1, recv_port(h, got, 3));
    EXPECT_EQ(std::string("abc"), std::string((char*)got, 3));

    unsigned char reply[] = {'x', 'y', 'z'};
    put_port(h, reply, 3);
    char back[4] = {};
    EXPECT_EQ(3, recv(c, back, 3, 0));
    EXPECT_STREQ("xyz", back);

    free_port(h, 0);
    EXPECT_EQ(0, recv(c, back, 3, 0));  // the server has closed its end
    closesocket(c);
    // The layer's own start of the socket library was undone: one more
    // stop ends the test's, and the library is down.
    WSACleanup();
    EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    close_net();
}

// The machine's list is the registry's: COM7, the port the prefix maps.
// A key of the test's own, with 20 values, gives the first 16 in order.
TEST(Win32Discovery, RegistryListsSortAndStopAtSixteen)
{
    ComDetect();
    std::vector<std::string> names(com_port_names, com_port_names + com_num_detected);
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "COM7"));

    const char* key_path = "Software\\kp6-test\\SERIALCOMM";
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, key_path, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &k, nullptr));
    for (int i = 0; i < 20; i++) {
        char value[32], data[32];
        snprintf(value, sizeof value, "\\Device\\Serial%02d", i);
        snprintf(data, sizeof data, "COM%d", 20 - i);
        RegSetValueExA(k, value, 0, REG_SZ, (const BYTE*)data, (DWORD)strlen(data) + 1);
    }
    RegCloseKey(k);
    plat_set_serial_root(key_path);
    ComDetect();
    plat_set_serial_root(nullptr);
    RegDeleteKeyA(HKEY_CURRENT_USER, key_path);
    ASSERT_EQ(16, com_num_detected);
    // The first sixteen in the list's order, whatever order the values are in.
    EXPECT_STREQ("COM1", com_port_names[0]);
    EXPECT_STREQ("COM6", com_port_names[5]);
    EXPECT_STREQ("COM16", com_port_names[15]);
}

// The timers' clock moves in 1 ms steps (the tick count would move in
// 16 ms ones), and the event thread publishes it; the program's folder is
// known.
TEST(Win32Clock, TimersSeeMillisecondStepsAndTheFolderIsKnown)
{
    uint32_t last = plat_tick_ms(), smallest = 1000, start = last;
    while (plat_tick_ms() - start < 100) {
        uint32_t now = plat_tick_ms();
        if (now != last && now - last < smallest)
            smallest = now - last;
        last = now;
    }
    EXPECT_LE(smallest, 2u);
    install_event(1);
    uint32_t first = rttimer;
    EXPECT_TRUE(eventually([&] { return rttimer != first; }, 2000));
    remove_event(1);

    char folder[MAX_PATH];
    ASSERT_EQ(0, plat_executable_dir(folder, sizeof folder));
    EXPECT_EQ(nullptr, strchr(folder + strlen(folder) - 1, '\\'));
    EXPECT_NE(std::string::npos, std::string(folder).find("tests"));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, plat_symlink("a", "b"));
}

// What a path names is told without opening it (COM7 and NUL name devices
// in any folder); only a file opens as one, and a file takes the place of
// one that is there.
TEST(Win32Files, KindsUnopenedAndAFileReplacesAnother)
{
    ScratchDir dir;
    write_file("a.json", "new");
    write_file("b.json", "old");
    make_dirs("sub");
    int kind = -1;
    EXPECT_EQ(0, plat_file_kind("a.json", &kind));
    EXPECT_EQ(PLAT_FILE_REGULAR, kind);
    EXPECT_EQ(0, plat_file_kind("sub", &kind));
    EXPECT_EQ(PLAT_FILE_FOLDER, kind);
    for (const char* device : {"COM7", "nul", "sub\\con.txt", "\\\\.\\COM7"}) {
        kind = -1;
        EXPECT_EQ(0, plat_file_kind(device, &kind)) << device;
        EXPECT_EQ(PLAT_FILE_DEVICE, kind) << device;
    }
    EXPECT_NE(0, plat_file_kind("none.json", &kind));
    FILE* f = nullptr;
    EXPECT_EQ(-1, plat_file_open_regular("sub", &f, &kind));
    EXPECT_EQ(-1, plat_file_open_regular("COM7", &f, &kind));
    ASSERT_EQ(0, plat_file_open_regular("a.json", &f, &kind));
    char text[8] = {};
    EXPECT_EQ(3u, fread(text, 1, sizeof text, f));
    fclose(f);
    EXPECT_EQ(0, plat_file_replace("a.json", "b.json"));
    EXPECT_EQ("new", read_file("b.json"));
    EXPECT_FALSE(path_exists("a.json"));
}
