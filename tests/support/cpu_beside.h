// What a program costs in processor time, held against what a busy loop
// got beside it: a bound that holds on an idle machine and a loaded one.
#ifndef KP6_CPU_BESIDE_H
#define KP6_CPU_BESIDE_H

#include <stdio.h>
#include <time.h>

#include <atomic>
#include <string>
#include <thread>

#include "../../platform/platform.h"
#include "testsupport.h"

// The processor time (user and system) `shell` took, in `dir`, beside a
// busy loop's over the same wall time: what a program that spins would
// have got at the machine's load, idle or busy. In milliseconds.
struct CpuBeside {
    int status = -1;
    double cpu_ms = -1, spin_ms = 0, wall_ms = 0;
    std::string times;
};
inline CpuBeside cpu_beside_a_spin(const std::string& dir, const std::string& shell)
{
    CpuBeside c;
    std::atomic<bool> done(false);
    std::thread spin([&] {
        while (!done.load(std::memory_order_relaxed)) {
        }
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        c.spin_ms = (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
    });
    uint64_t t0 = plat_perf_counter();
    c.times = run_command(
        "cd '" + dir + "' && bash -c \"TIMEFORMAT='%U %S'; time " + shell + "\" 2>&1", &c.status);
    c.wall_ms = (double)(plat_perf_counter() - t0) * 1000.0 / (double)plat_perf_frequency();
    done = true;
    spin.join();
    double user = 0, sys = 0;
    if (sscanf(c.times.c_str(), "%lf %lf", &user, &sys) == 2)
        c.cpu_ms = (user + sys) * 1000.0;
    return c;
}

#endif
