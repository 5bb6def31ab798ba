// The port layer and its clock started for one test, in a scratch folder
// that is the working folder ("port.out" lands there); `h` is the port the
// test opens, freed at the end, and the traffic log's mask is cleared.
#ifndef KP6_PORT_FIXTURE_H
#define KP6_PORT_FIXTURE_H

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "../../platform/platform.h"
#include "../../port/kinds.h"
#include "../../port/plainw.h"
#include "../../timers/timersw.h"
#include "testsupport.h"

class PortLayerTest : public ::testing::Test {
protected:
    ScratchDir dir;
    unsigned short h = 0;
    bool clock = true;  // false: the layer alone, over a fake platform

    void SetUp() override
    {
        if (clock)
            install_event(1);
        start_net(1);
    }
    void TearDown() override
    {
        free_port(h, 0);
        pl_port_log = 0;
        close_net();
        if (clock)
            remove_event(1);
    }
    // open_port on `name` into `h`: its status.
    int open(const std::string& name)
    {
        char n[PORT_NAME_SIZE];
        snprintf(n, sizeof n, "%s", name.c_str());
        return open_port(&h, n, 0);
    }
    Entry& slot() { return Port[h - 1]; }
    serial_device& serial() { return serial_device_of(h); }
    std::string log() { return read_file(dir.file("port.out")); }
};

// Milliseconds since a reading of plat_perf_counter.
inline double ms_since(uint64_t t0)
{
    return (double)(plat_perf_counter() - t0) * 1000.0 / (double)plat_perf_frequency();
}

#endif
