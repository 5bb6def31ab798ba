// kp6ctl as a script runs it, against kp6-sim on a pseudo-terminal: the
// fixture its tests share. The simulator's state file and trace are the
// witnesses.
#ifndef KP6_KP6CTL_FIXTURE_H
#define KP6_KP6CTL_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../../platform/platform.h"
#include "../support/cpu_beside.h"
#include "../support/port_fixture.h"
#include "../support/sim.h"
#include "../support/testsupport.h"

struct Ran {
    int status;
    std::string out, err;
};

class Kp6Ctl : public ::testing::Test {
protected:
    TempDir dir;
    std::string state = dir.file("state");
    // Each test's own journal, unless it names another.
    std::string journal = dir.file("journal.jsonl");
    std::unique_ptr<Sim> sim;

    void start(std::vector<std::string> args, const std::string& prepared = "")
    {
        start_sim(sim, state, args, prepared);
    }
    // Runs kp6ctl in the scratch folder, on the simulator's line; `before`
    // goes ahead of the program (a time-out).
    Ran ctl(const std::string& args, const std::string& before = "")
    {
        Ran r;
        std::string cmd = "cd '" + dir.path + "' && KP6_PORT='" + (sim ? sim->path : "") +
                          "' KP6_JOURNAL='" + journal + "' " + before + KP6CTL " " + args +
                          " 2>err";
        r.out = run_command(cmd, &r.status);
        r.err = read_file(dir.file("err"));
        return r;
    }
    bool holds(const std::string& line) const { return has(read_file(state), line); }
    static bool has(const std::string& text, const std::string& part)
    {
        return text.find(part) != std::string::npos;
    }
    // kp6ctl in the background, to be interrupted; its messages go to `err`.
    std::unique_ptr<Child> ctl_running(const std::string& args)
    {
        return std::unique_ptr<Child>(
            new Child({"/bin/sh", "-c", "exec " KP6CTL " " + args + " 2>err"},
                      {"KP6_PORT=" + (sim ? sim->path : ""), "KP6_JOURNAL=" + journal}, dir.path));
    }
    // Waits until the simulator has heard a frame that begins with `frame`
    // (`times` of them).
    bool heard(const std::string& frame, int times = 1)
    {
        return eventually(
            [&] {
                int n = 0;
                for (const auto& l : sim->trace((size_t)-1, 20))
                    n += l.rfind("rx " + frame, 0) == 0;
                return n >= times;
            },
            10000);
    }
    // Frames the simulator has traced, once its output has settled.
    size_t frames_received()
    {
        size_t n = 0;
        for (const auto& l : sim->trace((size_t)-1, 300))
            n += l.rfind("rx ", 0) == 0;
        return n;
    }
};

#endif
