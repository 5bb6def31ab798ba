// kp6-sim as a test peer: started with arguments, stopped by its PID.
#ifndef KP6_SIM_H
#define KP6_SIM_H

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "testsupport.h"

struct Sim {
    std::unique_ptr<Child> child;
    std::string path;  // the line it serves (first line of its output)

    Sim(const std::vector<std::string>& args);
    ~Sim();
    // The trace lines of frames so far (time stamps cut off), waiting up to
    // `ms` for at least `count` of them.
    std::vector<std::string> trace(size_t count = 0, int ms = 0);
    // SIGTERM (or `sig`), then the exit status; -1 if it did not end.
    int stop(int sig = 15);
};

// Starts `sim` with `args` on the state file `state`, tracing; `prepared`
// (when given) are the file's lines first. A failure to start is fatal.
void start_sim(std::unique_ptr<Sim>& sim, const std::string& state, std::vector<std::string> args,
               const std::string& prepared = "");

// The test's end of a line: raw, 4800 baud, exclusive.
struct TestLine {
    int handle = -1;
    explicit TestLine(const std::string& path);
    ~TestLine();
    void send(const std::string& bytes);
    // What arrives within `ms`, stopping early once `n` bytes are in.
    std::string receive(size_t n, int ms);
};

std::string hex(const std::string& bytes);  // "60 01 00"

// A technician's road through the window, for any driver of the real
// window (click, type and dismiss_alert at the window's own coordinates):
// Open Port, Test ("Ок"), Read, ER79 typed as 25, Write ("Запись
// выполнена"); each step checked in the simulator's trace, the write in
// its registers in `state`. Trace lines are awaited up to `ms`.
template <class Window>
void open_test_read_edit_write(Window& t, Sim& sim, const std::string& state, int ms)
{
    auto has = [&](const std::string& line, size_t count) {
        auto lines = sim.trace(count, ms);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    t.click(240, 20);  // Open Port
    t.click(166, 68);  // Test
    ASSERT_TRUE(t.dismiss_alert("Ок"));
    EXPECT_TRUE(has("rx 60 01 81 FB", 2));
    t.click(64, 108);  // Read: six exchanges, no message
    EXPECT_TRUE(has("rx CA 72 00 01 00", 26));
    t.click(188, 148);  // ER79: replace 7 by 25
    t.type("End BackSpace BackSpace BackSpace 2 5");
    t.click(64, 284);  // Write
    ASSERT_TRUE(t.dismiss_alert("Запись выполнена"));
    std::string regs = read_file(state);
    EXPECT_NE(std::string::npos, regs.find("01 000024 08")) << regs;
    EXPECT_NE(std::string::npos, regs.find("01 010079 19")) << regs;  // 25
}
// Sends `args` (xdotool's, after a move of the pointer onto it; "%w"
// names it) to the window titled `title` once it is up: false when it did
// not come.
template <class Window> bool to_window(Window& t, const std::string& title, std::string args)
{
    std::string id;
    if (!eventually([&] { return !(id = t.window_titled(title)).empty(); }, 15000))
        return false;
    for (size_t at; (at = args.find("%w")) != std::string::npos;)
        args.replace(at, 2, id);
    t.xdo("mousemove --window " + id + " 20 20 sleep 0.1 " + args);
    return true;
}

template <class Window> bool window_gone(Window& t, const std::string& title)
{
    return eventually([&] { return t.window_titled(title).empty(); }, 15000);
}

// Every trace line so far (what arrives within a fifth of a second).
inline std::vector<std::string> whole_trace(Sim& sim)
{
    return sim.trace((size_t)-1, 200);
}

// The selection frames the simulator has seen (a scan sends one an address).
inline size_t selections(Sim& sim)
{
    size_t n = 0;
    for (const auto& l : whole_trace(sim))
        n += l.rfind("rx 60 ", 0) == 0 && l.size() == 17;
    return n;
}

// The selections once the trace has been still for a second, within `ms`.
inline size_t selections_once_still(Sim& sim, int ms)
{
    size_t now = selections(sim), was;
    do {
        was = now;
        usleep(1000000);
        now = selections(sim);
    } while (now != was && (ms -= 1200) > 0);
    return now;
}

// A network line typed in, then Find, for any driver of the real window
// (in Russian) whose list has its chosen entry (or none) just before
// "Other port...": `url` without its port is refused and the dialog
// stays, with it the line is added and chosen; Open Port; Find stopped
// with Escape ends the simulator's trace there; Find to the end, Return,
// and Test asks the controller found, at `found` ("2A").
template <class Window>
void network_line_and_find(Window& t, Sim& sim, const std::string& url, const std::string& found,
                           int ms)
{
    const std::string dialog = "Другой порт", finding = "Поиск контроллеров";
    t.click(98, 20);  // the port list
    t.type("Down Return");
    size_t colon = url.rfind(':');
    // (type takes every word after it as text.)
    ASSERT_TRUE(to_window(t, dialog, "type --delay 20 '" + url.substr(0, colon) + "'"));
    ASSERT_TRUE(to_window(t, dialog, "key Return"));  // refused: the keys that follow go on
    ASSERT_TRUE(to_window(t, dialog, "type --delay 20 '" + url.substr(colon) + "'"));
    ASSERT_TRUE(to_window(t, dialog, "key Return"));
    ASSERT_TRUE(window_gone(t, dialog));
    t.click(240, 20);  // Open Port

    t.type("ctrl+f");
    ASSERT_TRUE(eventually([&] { return selections(sim) >= 5; }, ms));
    ASSERT_TRUE(to_window(t, finding, "key Escape"));
    ASSERT_TRUE(window_gone(t, finding));
    size_t asked = selections(sim);
    // Not one more address but the one that may be on its way still.
    EXPECT_GE(asked + 1, selections_once_still(sim, 10000));
    EXPECT_LT(asked, 20u);

    t.type("ctrl+f");
    auto last = [&] {
        auto lines = whole_trace(sim);
        return std::any_of(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind("rx 60 FE ", 0) == 0; });
    };
    ASSERT_TRUE(eventually(last, 60000));
    // Return takes nothing until the search has ended (its last time-out).
    ASSERT_TRUE(eventually(
        [&] {
            if (t.window_titled(finding).empty())
                return true;
            to_window(t, finding, "key Return");
            return eventually([&] { return t.window_titled(finding).empty(); }, 1000);
        },
        30000));
    t.click(166, 68);  // Test
    ASSERT_TRUE(t.dismiss_alert("Ок"));
    auto lines = whole_trace(sim);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.rfind("rx 60 " + found + " 81 ", 0) == 0;
    }));
}

std::string bytes(std::initializer_list<int> values);
// A kp6ctl backup of the controllers at `addresses`, each holding ER78 2,
// ER79 9, ER72 8, ER74 7, ER75 6, ER77 5: in every register other than
// kp6-sim's factory settings.
std::string backup_of(std::initializer_list<const char*> addresses);

#endif
