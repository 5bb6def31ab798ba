// kp6ctl's line: the traffic log's file, the converter between the port and
// the bus, its echo, and what each adapter says it is.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "../../platform/platform.h"
#include "../support/netpeer.h"
#include "../support/port_fixture.h"
#include "../support/sim.h"
#include "../support/testsupport.h"
#include "kp6ctl_fixture.h"

// A log that is no file is refused before anything is sent, a FIFO without
// waiting for a reader; one that fills up stops the run with the system's
// words.
TEST_F(Kp6Ctl, ALogThatIsNoFileOrFailsEndsTheRunWithExit2)
{
    start({"--address", "01"});
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    const std::pair<std::string, std::string> refused[] = {
        {"fifo", "the log fifo is a FIFO, not a file\n"},
        {"/dev/full", "the log /dev/full is a device, not a file\n"},
        {".", "the log . is a folder, not a file\n"},
        {sim->path,
         "the log " + sim->path + " is the line " + sim->path + " itself; give a file\n"},
    };
    for (const auto& c : refused) {
        Ran r = ctl("--log=" + c.first + " read", "timeout 30 ");
        EXPECT_EQ(2, r.status) << c.first;
        EXPECT_EQ("kp6ctl: " + c.second, r.err);
    }
    EXPECT_EQ(0u, frames_received());
    // 512 bytes of log: the scan stops at the record that does not fit.
    Ran r = ctl("-p " + sim->path + " --log=small.log -a 01-20 scan",
                "trap '' XFSZ; ulimit -f 1; ");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("kp6ctl: cannot write the log small.log: File too large\n")) << r.err;
    EXPECT_LT(frames_received(), 20u);
}

// A converter switched by a modem line the pseudo-terminal does not have is
// named before anything is sent; an unknown name lists the names.
TEST_F(Kp6Ctl, ConvertersByNameAndALineWithoutModemLines)
{
    start({"--address", "01"});
    EXPECT_EQ("01: Ok\n", ctl("test", "KP6_CONVERTER=auto ").out);
    size_t frames = frames_received();
    Ran r = ctl("--converter rts test");
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("kp6ctl: the converter rts cannot be switched: the driver of " + sim->path +
                  " refuses the modem lines (Inappropriate ioctl for device)\n",
              r.err);
    r = ctl("--converter kernel test");
    EXPECT_EQ(3, r.status);
    EXPECT_EQ(0u, r.err.find("kp6ctl: this port's driver has no RS-485 mode; try rts")) << r.err;
    r = ctl("--converter=rs485 test");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("kp6ctl: unknown converter rs485: give one of auto, rts, ")) << r.err;
    EXPECT_EQ(2, ctl("test", "KP6_CONVERTER=x ").status);
    EXPECT_EQ(frames, frames_received());
}

// A two-wire converter that echoes every byte: with the default converter
// the echo is dropped and marked, reads and writes work, and a Test where
// nobody answers is no reply, not its own header.
TEST_F(Kp6Ctl, AnEchoingConverterWorksWithNoSetting)
{
    start({"--echo", "--address", "01"});
    Ran r = ctl("-v read");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("er79     15 ")) << r.out;
    EXPECT_NE(std::string::npos, r.err.find(" <> 60 01 00 F8 C0  (echo)\n")) << r.err;
    EXPECT_EQ(0, ctl("write er79=7").status);
    EXPECT_TRUE(holds("01 010079 07"));
    r = ctl("test 01,05");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("01: Ok\n", r.out);
    EXPECT_EQ("05: No reply: no answer in 1000 ms\n", r.err);
}

// A sysfs tree as the kernel lays out a USB adapter: what its USB device
// says, found up the tree from the tty, and its stable name; an adapter
// whose attributes are binary or too long is listed by its name alone.
TEST_F(Kp6Ctl, PortsSayWhatEachAdapterIs)
{
    TempDir t;
    run_command("cd '" + t.path +
                "' && mkdir -p class/tty by-id && for d in 1-1 1-2; do "
                "mkdir -p usb/$d/$d:1.0/tty && echo 1234 >usb/$d/idVendor; done && "
                "mkdir usb/1-1/1-1:1.0/tty/ttyUSB0 usb/1-2/1-2:1.0/tty/ttyACM0 && "
                "ln -s ../../../1-1:1.0 usb/1-1/1-1:1.0/tty/ttyUSB0/device && "
                "ln -s ../../../1-2:1.0 usb/1-2/1-2:1.0/tty/ttyACM0/device && "
                "ln -s ../../usb/1-1/1-1:1.0/tty/ttyUSB0 class/tty/ttyUSB0 && "
                "ln -s ../../usb/1-2/1-2:1.0/tty/ttyACM0 class/tty/ttyACM0 && "
                "echo Acme >usb/1-1/manufacturer && echo USB RS485 Converter >usb/1-1/product && "
                "echo A10K5XYZ >usb/1-1/serial && head -c 10000 /dev/zero | tr '\\0' m "
                ">usb/1-2/manufacturer && printf 'Bad\\001\\000' >usb/1-2/product && "
                "ln -s ../../ttyUSB0 by-id/usb-Acme_USB_RS485_Converter_A10K5XYZ-if00-port0 && "
                "ln -s ../../ttyACM0 \"by-id/$(printf 'x\\nttyFAKE\\t\\033[2J')\" && "
                "mkfifo usb/1-1/1-1:1.0/tty/ttyUSB0/type");  // read, it would hang
    std::string env = "KP6_TTY_CLASS='" + t.file("class/tty") + "' KP6_SERIAL_BY_ID='" +
                      t.file("by-id") + "' KP6_PORTS= ";
    std::string stable = t.file("by-id/usb-Acme_USB_RS485_Converter_A10K5XYZ-if00-port0");
    // What a device says is shown made safe: it forges no line, moves no terminal.
    EXPECT_EQ("ttyACM0\tBad\\x01\t" + t.file("by-id/x\\nttyFAKE\\t\\x1B[2J") +
                  "\nttyUSB0\tAcme USB RS485 Converter, serial A10K5XYZ\t" + stable + "\n",
              ctl("ports", env).out);
    EXPECT_EQ("[{\"name\":\"ttyACM0\",\"manufacturer\":\"\",\"product\":\"Bad\\u0001\",\"serial\":"
              "\"\",\"stable\":\"" +
                  t.file("by-id/x\\nttyFAKE\\t\\u001b[2J") +
                  "\"},{\"name\":\"ttyUSB0\",\"manufacturer\":\"Acme\","
                  "\"product\":\"USB RS485 Converter\",\"serial\":\"A10K5XYZ\",\"stable\":\"" +
                  stable + "\"}]\n",
              ctl("ports --json", env).out);
}
