// kp6-sim as a test peer: started with arguments, stopped by its PID.
#ifndef KP6_SIM_H
#define KP6_SIM_H

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
std::string bytes(std::initializer_list<int> values);

#endif
