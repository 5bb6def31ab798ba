#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string.h>

#include <string>
#include <vector>

#include "../../discovery/comdet.h"
#include "../../discovery/qsort.h"
#include "../../platform/platform.h"
#include "../support/testsupport.h"

// quick_sort on a plain int table through its three callbacks.
static std::vector<int> table;
static int pivot;

static void int_mid(unsigned i)
{
    pivot = table[i];
}
static signed char int_cmp(unsigned i)
{
    return table[i] < pivot ? -1 : table[i] > pivot ? 1 : 0;
}
static void int_swp(unsigned i, unsigned j)
{
    std::swap(table[i], table[j]);
}

TEST(QuickSort, SortsAnyTableThroughItsCallbacks)
{
    qsort_store_mid = int_mid;
    qsort_compare = int_cmp;
    DoSwap = int_swp;
    std::mt19937 rng(6);
    for (int n = 1; n <= 40; n++) {
        for (int round = 0; round < 20; round++) {
            table.resize(n);
            for (int& v : table)
                v = (int)(rng() % (round % 2 ? 5 : 1000));  // many duplicates, then few
            std::vector<int> want = table;
            std::sort(want.begin(), want.end());
            quick_sort(0, n - 1);
            ASSERT_EQ(want, table) << "n=" << n;
        }
    }
    table = {5, 9, 1, 7, 3};
    quick_sort(1, 3);  // only the given range moves
    EXPECT_EQ((std::vector<int>{5, 1, 7, 9, 3}), table);
}

// Discovery over an empty device class and KP6_PORTS, which keeps the order.
static void detect(const std::vector<std::string>& names)
{
    TempDir empty;
    plat_set_serial_root(empty.path.c_str());
    std::string list;
    for (const auto& n : names)
        list += (list.empty() ? "" : ":") + n;
    set_env("KP6_PORTS", list.c_str());
    EXPECT_EQ(1, ComDetect());
    set_env("KP6_PORTS", nullptr);
    plat_set_serial_root(nullptr);
}

static std::vector<std::string> detected()
{
    std::vector<std::string> out;
    for (int i = 0; i < com_num_detected; i++)
        out.push_back(com_port_names[i]);
    return out;
}

TEST(ComDetect, ComPortsSortByNumberOthersByBytes)
{
    memset(com_port_names, 0, sizeof com_port_names);
    detect({"COM10", "COM2", "COM1"});
    EXPECT_EQ((std::vector<std::string>{"COM1", "COM2", "COM10"}), detected());

    detect({"ttyUSB1", "COM3", "/dev/pts/4", "COM03", "ttyACM0", "COM12"});
    std::vector<std::string> got = detected();
    ASSERT_EQ(6u, got.size());
    EXPECT_EQ("/dev/pts/4", got[0]);
    std::vector<std::string> threes = {got[1], got[2]};  // COM3 equals COM03
    std::sort(threes.begin(), threes.end());
    EXPECT_EQ((std::vector<std::string>{"COM03", "COM3"}), threes);
    EXPECT_EQ("COM12", got[3]);
    EXPECT_EQ("ttyACM0", got[4]);
    EXPECT_EQ("ttyUSB1", got[5]);
    EXPECT_TRUE(std::all_of(com_port_types, com_port_types + 32,
                            [](unsigned v) { return v == 0; }));
}

TEST(ComDetect, NoneOneAndTheFirstSixteenValues)
{
    detect({});
    EXPECT_EQ(0, com_num_detected);
    detect({"ttyZ9"});
    EXPECT_EQ((std::vector<std::string>{"ttyZ9"}), detected());

    std::vector<std::string> twenty;
    for (int i = 20; i >= 1; i--)
        twenty.push_back("COM" + std::to_string(i));
    detect(twenty);
    ASSERT_EQ(16, com_num_detected);
    EXPECT_EQ("COM5", detected().front());  // COM1..COM4 were values 16 to 19
    EXPECT_EQ("COM20", detected().back());
}

TEST(ComDetect, NamesTooLongAreSkippedNotCut)
{
    // A stable link listed by hand shows whole up to 79 characters.
    std::string by_id = "/dev/serial/by-id/usb-Maker_USB-RS485_Cable_AB12CD34-if00-port0";
    std::string long79 = by_id + std::string(79 - by_id.size(), 'x');
    detect({long79 + "x", by_id, "COM7", long79});
    EXPECT_EQ((std::vector<std::string>{by_id, long79, "COM7"}), detected());
}

// KP6_PORTS as the user writes it, with network lines among the paths.
static std::vector<std::string> listed(const std::string& value)
{
    TempDir empty;
    plat_set_serial_root(empty.path.c_str());
    set_env("KP6_PORTS", value.c_str());
    ComDetect();
    set_env("KP6_PORTS", nullptr);
    plat_set_serial_root(nullptr);
    return detected();
}

TEST(ComDetect, Kp6PortsMixesPathsAndUrlsWhichKeepTheirColons)
{
    EXPECT_EQ((std::vector<std::string>{"/dev/pts/3", "ttyS1", "rfc2217://127.0.0.1:2001",
                                        "rfc2217://[::1]:2002", "tcp://localhost:2000"}),
              listed("tcp://localhost:2000:/dev/pts/3:rfc2217://[::1]:2002:ttyS1:"
                     "rfc2217://127.0.0.1:2001"));
    // What a value meant before stays: paths, ':'-separated, empty ones skipped.
    EXPECT_EQ((std::vector<std::string>{"/dev/pts/7", "/tmp/kp6line", "ttyUSB0"}),
              listed("/dev/pts/7::/tmp/kp6line:ttyUSB0:"));
    // A URL without its port ends at its host; the next element follows.
    EXPECT_EQ((std::vector<std::string>{"/dev/ttyS0", "SOCKET://h", "tcp://h:12/x"}),
              listed("SOCKET://h:/dev/ttyS0:tcp://h:12/x"));
}

TEST(ComDetect, UrlsAreListedWholeAfterTheMachinesPortsAndNeverCapped)
{
    // 79 characters: listed whole; 80: left out whole, like a long path.
    std::string host79 = std::string(79 - strlen("tcp://:2000"), 'h');
    std::string url79 = "tcp://" + host79 + ":2000", url80 = "tcp://h" + host79 + ":2000";
    ASSERT_EQ(79u, url79.size());
    std::string value = url79 + ":" + url80 + ":rfc2217://127.0.0.1:2001";
    for (int i = 0; i < 14; i++)
        value += ":COM" + std::to_string(30 - i);
    std::vector<std::string> got = listed(value);
    ASSERT_EQ(16u, got.size());
    EXPECT_EQ("COM17", got[0]);
    EXPECT_EQ("COM30", got[13]);
    EXPECT_EQ("rfc2217://127.0.0.1:2001", got[14]);
    EXPECT_EQ(url79, got[15]);
}

TEST(ComDetect, ExistsByNameIgnoresCaseAndLooksAtAllEntries)
{
    memset(com_port_names, 0, sizeof com_port_names);
    detect({"COM3", "ttyUSB0"});
    char com3[] = "com3", usb[] = "TTYUSB0", com4[] = "COM4", empty[] = "";
    EXPECT_EQ(1, ComExistsByName(com3));
    EXPECT_EQ(1, ComExistsByName(usb));
    EXPECT_EQ(0, ComExistsByName(com4));
    EXPECT_EQ(1, ComExistsByName(empty));  // entries past the count are empty
}

// A sysfs tree as the kernel lays it out: class/tty holds symlinks into
// devices/, each tty's `device` points at its parent device, whose
// `subsystem` names the bus. The legacy 8250 driver makes ttyS0..ttyS31
// whether or not a UART answers; only ttyS1 has one (type 4) unless
// `others` says otherwise. Before 6.5 they sit on the platform bus, from
// 6.5 on each on its own serial-base port device.
namespace fs = std::filesystem;

static void sys_link(const fs::path& root, const std::string& link, const std::string& target)
{
    fs::path l = root / link;
    fs::create_directories(l.parent_path());
    fs::create_symlink((root / target).lexically_relative(l.parent_path()), l);
}

static void sys_tty(const fs::path& root, const std::string& parent, const std::string& name,
                    bool has_device, const char* type)
{
    std::string tty = parent + "/tty/" + name;
    fs::create_directories(root / tty);
    if (type)
        write_file((root / tty / "type").string(), std::string(type) + "\n");
    write_file((root / tty / "dev").string(), "4:64\n");
    sys_link(root, "class/tty/" + name, tty);
    if (has_device)  // the kernel's own spelling of the way up
        fs::create_symlink("../../../" + fs::path(parent).filename().string(),
                           root / tty / "device");
}

static void fake_sysfs(const fs::path& root, bool serial_base, const char* others = "0")
{
    std::string legacy = "devices/platform/serial8250";
    if (!serial_base)
        sys_link(root, legacy + "/subsystem", "bus/platform");
    for (int n = 0; n < 32; n++) {
        std::string name = "ttyS" + std::to_string(n);
        std::string parent = legacy;
        if (serial_base) {
            parent = legacy + "/serial8250:0/serial8250:0." + std::to_string(n);
            sys_link(root, parent + "/subsystem", "bus/serial-base");
        }
        sys_tty(root, parent, name, true, n == 1 ? "4" : others);
    }
    std::string usb = "devices/pci0000:00/0000:00:14.0/usb1";
    sys_link(root, usb + "/1-1/1-1:1.0/ttyUSB0/subsystem", "bus/usb-serial");
    sys_tty(root, usb + "/1-1/1-1:1.0/ttyUSB0", "ttyUSB0", true, nullptr);
    sys_link(root, usb + "/1-2/1-2:1.0/subsystem", "bus/usb");
    sys_tty(root, usb + "/1-2/1-2:1.0", "ttyACM0", true, nullptr);
    for (const char* v : {"tty0", "tty1", "console", "ptmx"})
        sys_tty(root, "devices/virtual", v, false, nullptr);
}

TEST(ComDetect, SysfsBeforeAndFrom65ListsRealPortsAndKp6PortsInNaturalOrder)
{
#ifdef _WIN32
    GTEST_SKIP() << "the Linux tty class";
#endif
    std::string ports = "ttyUSB10:/dev/pts/3:/tmp/twenty-chars-xx:ttyS10:" +
                        std::string(5000, 'p') +
                        ":ttyUSB2";  // the 5000 characters are left out whole
    const std::vector<std::string> want = {"/dev/pts/3", "/tmp/twenty-chars-xx",
                                           "ttyACM0",    "ttyS1",
                                           "ttyS10",     "ttyUSB0",
                                           "ttyUSB2",    "ttyUSB10"};
    for (bool serial_base : {false, true}) {
        SCOPED_TRACE(serial_base ? "serial-base" : "platform");
        TempDir d;
        fake_sysfs(d.path, serial_base);
        // A name the machine reports is listed only up to 19 characters.
        std::string usb = "devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0";
        sys_link(d.path, usb + "/subsystem", "bus/usb");
        sys_tty(d.path, usb, "ttyUSB_twenty_chars0", true, nullptr);
        plat_set_serial_root(d.file("class/tty").c_str());
        set_env("KP6_PORTS", ports.c_str());
        ComDetect();
        EXPECT_EQ(want, detected());

        // A multiport card fills the list: the ports asked for still show,
        // then the machine's first in the list's order (not the directory's),
        // ttyS10 once.
        TempDir many;
        fake_sysfs(many.path, serial_base, "4");
        plat_set_serial_root(many.file("class/tty").c_str());
        ComDetect();
        std::vector<std::string> first = {"/dev/pts/3", "/tmp/twenty-chars-xx", "ttyACM0"};
        for (int n = 0; n <= 10; n++)
            first.push_back("ttyS" + std::to_string(n));
        first.insert(first.end(), {"ttyUSB2", "ttyUSB10"});
        EXPECT_EQ(first, detected());
        set_env("KP6_PORTS", nullptr);
        plat_set_serial_root(nullptr);
    }
}
