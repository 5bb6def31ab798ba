// The real kp6 binary on the test's X display: start-up, window, catalogue,
// opening and closing a pseudo-terminal, and the lines it leaves in port.out.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../../platform/platform.h"
#include "../support/testsupport.h"

static const std::string START_LINE =
    "\r\n\x82\xE5\xAE\xA4 \xA2 \xAF\xE0\xAE\xA3\xE0\xA0\xAC\xAC\xE3\r\n";

struct Tool {
    TempDir cwd, no_devices;
    std::unique_ptr<Child> child;
    std::string window;

    void start(const std::string& ports, bool catalogue)
    {
        if (catalogue) {
            make_dirs(cwd.file("ru"));
            write_file(cwd.file("ru/kp6.mo"), read_file(std::string(KP6_MO_DIR) + "/kp6.mo"));
        }
        child.reset(new Child({KP6_BINARY},
                              {"KP6_PORTS=" + ports, "KP6_TTY_CLASS=" + no_devices.path},
                              cwd.path));
        ASSERT_TRUE(child->read_until(
            [](const std::string& out) { return out.find("\n1\n") != std::string::npos; }, 20000))
            << child->output;
        ASSERT_TRUE(eventually([&] {
            window = run_command("xdotool search --onlyvisible --pid " + std::to_string(child->pid) +
                                 " 2>/dev/null | head -1");
            if (window.empty())
                window = run_command("xdotool search --onlyvisible --name '^(KP-6|КП-6)$' "
                                     "2>/dev/null | head -1");
            while (!window.empty() && window.back() == '\n')
                window.pop_back();
            return !window.empty();
        }, 20000));
    }
    void xdo(const std::string& args) { run_command("xdotool " + args); }
    void click(int x, int y)
    {
        xdo("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
            " sleep 0.05 click 1");
    }
    int close_window()
    {
        xdo("mousemove --window " + window + " 400 300 sleep 0.05 key Escape");
        return child->wait_exit(20000);
    }
};

TEST(Kp6Binary, StartsAtItsPlaceWithEnglishTitleAndOneStartLine)
{
    Tool t;
    t.start("", false);
    // "1" follows the window's own lookups on standard output.
    EXPECT_EQ(0u, t.child->output.find("tick not found="));
    std::string geometry = run_command("xdotool getwindowgeometry " + t.window);
    EXPECT_NE(std::string::npos, geometry.find("Position: 795,345")) << geometry;
    EXPECT_NE(std::string::npos, geometry.find("Geometry: 477x315")) << geometry;
    EXPECT_EQ("KP-6\n", run_command("xdotool getwindowname " + t.window));
    EXPECT_EQ(0, t.close_window());
    EXPECT_EQ(START_LINE, read_file(t.cwd.file("port.out")));
}

static std::string stty(const std::string& dev)
{
    return run_command("stty -a -F " + dev + " 2>&1");
}

TEST(Kp6Binary, OpensThePseudoTerminalAt4800AndReleasesIt)
{
    TestPty pty;
    Tool t;
    t.start(pty.slave, true);
    EXPECT_EQ("КП-6\n", run_command("xdotool getwindowname " + t.window));
    EXPECT_NE(std::string::npos, t.child->output.find("tick=")) << t.child->output;

    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        t.click(240, 20);  // Open Port
        ASSERT_TRUE(eventually([&] { return stty(pty.slave).find("speed 4800 baud;") == 0; },
                               10000))
            << stty(pty.slave);
        std::string settings = stty(pty.slave);
        EXPECT_NE(std::string::npos, settings.find(" cs8")) << settings;
        EXPECT_NE(std::string::npos, settings.find("-parenb")) << settings;
        EXPECT_NE(std::string::npos, settings.find("-cstopb")) << settings;
        EXPECT_NE(std::string::npos, settings.find("-crtscts")) << settings;
        plat_handle h;
        EXPECT_NE(0, plat_serial_open(pty.slave.c_str(), &h));  // held by the tool

        t.click(344, 20);  // Close Port
        ASSERT_TRUE(eventually([&] {
            if (plat_serial_open(pty.slave.c_str(), &h) != 0)
                return false;
            plat_serial_close(h);
            return true;
        }, 10000));
    }
    EXPECT_EQ(0, t.close_window());
    EXPECT_EQ(START_LINE, read_file(t.cwd.file("port.out")));
}
