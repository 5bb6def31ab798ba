// kp6-sim as a test peer: started with arguments, stopped by its PID.
#ifndef KP6_SIM_H
#define KP6_SIM_H

#include <gtest/gtest.h>

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
std::string bytes(std::initializer_list<int> values);
// A kp6ctl backup of the controllers at `addresses`, each holding ER78 2,
// ER79 9, ER72 8, ER74 7, ER75 6, ER77 5: in every register other than
// kp6-sim's factory settings.
std::string backup_of(std::initializer_list<const char*> addresses);

#endif
