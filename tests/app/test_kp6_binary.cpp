// The real kp6 binary on the test's X display: start-up, window, catalogue,
// opening and closing a pseudo-terminal, and the lines it leaves in port.out.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../../platform/platform.h"
#include "../support/netpeer.h"
#include "../support/sim.h"
#include "../support/testsupport.h"
#include "gui_support.h"

static const std::string START_LINE =
    "\r\n\x82\xE5\xAE\xA4 \xA2 \xAF\xE0\xAE\xA3\xE0\xA0\xAC\xAC\xE3\r\n";

struct Tool {
    TempDir cwd, no_devices, bin;
    std::string home = cwd.path;  // where what the window remembers is kept
    std::unique_ptr<Child> child;
    std::string window;

    // Without a catalogue in the working folder, the program in the build
    // folder finds the one beside it; a copy of it elsewhere finds none.
    void start(const std::string& ports, bool catalogue, const std::string& env = "",
               bool beside = false)
    {
        std::string program = KP6_BINARY;
        if (catalogue && !beside) {
            make_dirs(cwd.file("ru"));
            write_file(cwd.file("ru/kp6.mo"), read_file(std::string(KP6_MO_DIR) + "/kp6.mo"));
        } else if (!catalogue) {
            program = bin.file("kp6");
            run_command("cp '" + std::string(KP6_BINARY) + "' '" + program + "'");
        }
        // A system that names no language, as the suite's defaults are Russian.
        std::vector<std::string> vars = {"KP6_PORTS=" + ports, "KP6_TTY_CLASS=" + no_devices.path,
                                         "HOME=" + home,       "LC_ALL=",
                                         "LC_MESSAGES=",       "LANG=C.UTF-8"};
        if (!env.empty())
            vars.push_back(env);
        child.reset(new Child({program}, vars, cwd.path));
        ASSERT_TRUE(child->read_until(
            [](const std::string& out) { return out.find("\n1\n") != std::string::npos; }, 20000))
            << child->output;
        ASSERT_TRUE(eventually(
            [&] {
                window = run_command("xdotool search --onlyvisible --pid " +
                                     std::to_string(child->pid) + " 2>/dev/null | head -1");
                while (!window.empty() && window.back() == '\n')
                    window.pop_back();
                return !window.empty();
            },
            20000));
    }
    void xdo(const std::string& args) { run_command("xdotool " + args); }
    void click(int x, int y)
    {
        xdo("mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
            " sleep 0.05 click 1");
    }
    void type(const std::string& keys) { xdo("key --delay 20 " + keys); }
    bool dismiss_alert(const std::string& title) { return x_dismiss_alert(child->pid, title); }
    std::string window_titled(const std::string& title)
    {
        return x_window_titled(child->pid, title);
    }
    // What a window manager's close button does (Escape does not close it).
    int close_window()
    {
        ask_to_close(std::stoul(window));
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

    Tool in_build;  // from the build folder, with nothing in the working one
    in_build.start("", true, "", true);
    EXPECT_EQ("КП-6\n", run_command("xdotool getwindowname " + in_build.window));
    EXPECT_EQ(0, in_build.close_window());
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
        ASSERT_TRUE(eventually(
            [&] {
                if (plat_serial_open(pty.slave.c_str(), &h) != 0)
                    return false;
                plat_serial_close(h);
                return true;
            },
            10000));
    }
    EXPECT_EQ(0, t.close_window());
    EXPECT_EQ(START_LINE, read_file(t.cwd.file("port.out")));
}

// The window speaks the system's language: Russian where it asks for
// Russian or names none, English for any other, LC_ALL first.
TEST(Kp6Binary, TheWindowFollowsTheSystemsLanguage)
{
    const struct {
        const char* env;
        const char* title;
    } cases[] = {{"LANG=en_US.UTF-8", "KP-6\n"},
                 {"LANG=xx_YY", "KP-6\n"},
                 {"LANG=ru_RU.UTF-8", "КП-6\n"},
                 {"LC_ALL=ru_RU.UTF-8", "КП-6\n"},
                 {"LC_MESSAGES=de_DE.UTF-8", "KP-6\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.env);
        Tool t;
        t.start("", true, c.env);
        EXPECT_EQ(c.title, run_command("xdotool getwindowname " + t.window));
        EXPECT_EQ(0, t.close_window());
    }
}

// The whole road of a click: real X events on the real window, against the
// simulated controller, checked in its trace and its registers.
TEST(Kp6Binary, OpenTestReadEditWriteEndToEnd)
{
    TempDir regs;
    std::string state = regs.file("state");
    write_file(state, "01 010078 12\n01 010079 07\n");  // Liter, inverse gun
    Sim sim({"--state", state, "--trace"});
    ASSERT_FALSE(sim.path.empty());
    Tool t;
    t.start(sim.path, true, "KP6_PORT_LOG=1");

    open_test_read_edit_write(t, sim, state, 5000);
    ASSERT_FALSE(HasFatalFailure());
    std::string regs_now = read_file(state);
    EXPECT_NE(std::string::npos, regs_now.find("01 010078 12")) << regs_now;  // as read

    EXPECT_EQ(0, t.close_window());
    // The window's port was logged: here the Test's header and its answer.
    std::string log = read_file(t.cwd.file("port.out"));
    EXPECT_NE(std::string::npos, log.find("60 01 81 FB \r\n\x60\x01\x81\xFB")) << log;
    EXPECT_NE(std::string::npos, log.find("C0 \r\n\xC0")) << log;
}

// Two windows open at once, each adding a line, one removing one: the file
// keeps every change, whichever closes last.
TEST(Kp6Binary, TwoWindowsKeepEachOthersLines)
{
    TempDir home;
    std::string prefs = home.file(".fltk/kp6/kp6.prefs");
    make_dirs(home.file(".fltk/kp6"));
    write_file(prefs, "; a\n; b\n; c\n\n[./lines]\n\n1:tcp://127.0.0.1:7000\n");
    Tool a, b;
    a.home = b.home = home.path;
    a.start("", true);
    b.start("", true);
    b.xdo("windowmove " + b.window + " 100 100");  // not over the other
    const std::string dialog = "Другой порт";
    auto add = [&](Tool& t, const std::string& url) {
        t.click(98, 20);  // the port list: a line chosen, "Other port..." below it
        t.type("Down Return");
        ASSERT_TRUE(to_window(t, dialog, "type --delay 20 '" + url + "'"));
        ASSERT_TRUE(to_window(t, dialog, "key Return"));
        ASSERT_TRUE(window_gone(t, dialog));
    };
    add(a, "tcp://127.0.0.1:7001");
    add(b, "tcp://127.0.0.1:7002");
    a.click(98, 20);
    a.type("Down Return");
    ASSERT_TRUE(to_window(a, dialog, "mousemove --window %w 40 138 click 1"));   // 7000
    ASSERT_TRUE(to_window(a, dialog, "mousemove --window %w 464 140 click 1"));  // Remove
    ASSERT_TRUE(to_window(a, dialog, "key Escape"));
    EXPECT_EQ(0, b.close_window());
    EXPECT_EQ(0, a.close_window());
    std::string text = read_file(prefs);
    EXPECT_EQ(std::string::npos, text.find("127.0.0.1:7000")) << text;
    EXPECT_NE(std::string::npos, text.find(":tcp://127.0.0.1:7001\n")) << text;
    EXPECT_NE(std::string::npos, text.find(":tcp://127.0.0.1:7002\n")) << text;
}

// A network line named in KP6_PORTS, through ser2net in front of the
// simulator, in both of its kinds: the same clicks, the same frames.
TEST(Kp6Binary, NetworkLineThroughSer2netEndToEnd)
{
    for (bool rfc2217 : {false, true}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "raw");
        TempDir regs;
        std::string state = regs.file("state");
        write_file(state, "01 010078 12\n01 010079 07\n01 010077 FF\n");
        Sim sim({"--state", state, "--trace"});
        ASSERT_FALSE(sim.path.empty());
        Ser2net server(sim.path);
        ASSERT_TRUE(server.running()) << "ser2net did not start";
        std::string url = rfc2217 ? server.rfc2217_url() : server.raw_url();
        Tool t;
        t.start(url, true, "KP6_PORT_LOG=1");

        open_test_read_edit_write(t, sim, state, 5000);
        ASSERT_FALSE(HasFatalFailure());
        std::string regs_now = read_file(state);
        EXPECT_NE(std::string::npos, regs_now.find("01 010077 FF")) << regs_now;  // as read
        auto lines = sim.trace(40, 5000);
        EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "rx CB 77 00 01 FF"));

        t.click(344, 20);  // Close Port
        EXPECT_EQ(0, t.close_window());
        std::string log = read_file(t.cwd.file("port.out"));
        EXPECT_NE(std::string::npos, log.find("60 01 81 FB \r\n\x60\x01\x81\xFB")) << log;
        EXPECT_EQ(std::string::npos, log.find("FF FF")) << log;  // no Telnet in the log
    }
}

// A network line typed into the window, tested against ser2net, and Find
// (the garbled answers of two controllers at 05 listed, not chosen); the
// next start, with the same home, has the line chosen and the address kept.
TEST(Kp6Binary, ANetworkLineTypedInAndFindAreRememberedAtTheNextStart)
{
    TempDir regs, home;
    Sim sim({"--state", regs.file("state"), "--trace", "--address", "2A", "--collide", "05"});
    ASSERT_FALSE(sim.path.empty());
    Ser2net server(sim.path);
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    auto tests_at_2a = [&] {
        auto lines = whole_trace(sim);
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.rfind("rx 60 2A 81 ", 0) == 0; });
    };
    {
        Tool t;
        t.home = home.path;
        t.start("", true);
        network_line_and_find(t, sim, server.rfc2217_url(), "2A", 5000);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(0, t.close_window());
    }
    ASSERT_EQ(1, tests_at_2a());
    Tool again;
    again.home = home.path;
    again.start("", true);
    again.click(240, 20);  // Open Port: the line is chosen
    again.click(166, 68);  // Test: at the address kept
    ASSERT_TRUE(again.dismiss_alert("Ок"));
    EXPECT_EQ(2, tests_at_2a());

    // The dialog lists the line and removes it.
    again.click(344, 20);  // Close Port
    again.click(98, 20);
    again.type("Down Return");
    ASSERT_TRUE(to_window(again, "Другой порт", "mousemove --window %w 40 138 click 1"));
    std::string prefs = home.file(".fltk/kp6/kp6.prefs"), line = "1:" + server.rfc2217_url();
    ASSERT_NE(std::string::npos, read_file(prefs).find(line));
    ASSERT_TRUE(to_window(again, "Другой порт", "mousemove --window %w 464 140 click 1"));
    EXPECT_TRUE(eventually([&] { return read_file(prefs).find(line) == std::string::npos; }, 5000));
    ASSERT_TRUE(to_window(again, "Другой порт", "key Escape"));
    EXPECT_EQ(0, again.close_window());
}

// The converter chosen beside the port: rts, whose line a pseudo-terminal
// has not, is refused with the port left free, and is there at the next
// start; auto opens it and Test is answered.
TEST(Kp6Binary, TheConverterIsRefusedLeavingThePortFreeAndRememberedAtTheNextStart)
{
    TempDir regs, home;
    Sim sim({"--state", regs.file("state")});
    ASSERT_FALSE(sim.path.empty());
    auto port_free = [&] {
        plat_handle h;
        if (plat_serial_open(sim.path.c_str(), &h) != 0)
            return false;
        plat_serial_close(h);
        return true;
    };
    std::string prefs = home.file(".fltk/kp6/kp6.prefs");
    for (int run = 0; run < 2; run++) {
        SCOPED_TRACE(run);
        Tool t;
        t.home = home.path;
        t.start(sim.path, true);
        if (run == 0) {
            t.click(396, 108);  // Converter: the item after auto
            t.type("Down Return");
            ASSERT_TRUE(eventually(
                [&] { return read_file(prefs).find("=rts") != std::string::npos; }, 5000));
        }
        t.click(240, 20);  // Open Port
        ASSERT_TRUE(t.dismiss_alert("error"));
        EXPECT_TRUE(port_free());
        if (run == 1) {
            t.click(396, 108);
            t.type("Up Return");
            t.click(240, 20);
            t.click(166, 68);  // Test
            ASSERT_TRUE(t.dismiss_alert("Ок"));
            EXPECT_FALSE(port_free());
        }
        EXPECT_EQ(0, t.close_window());
    }
}
