// A recording stand-in for the platform layer: one serial device whose
// input, failures and modem lines the test sets, and a clock it controls.
#ifndef KP6_PLATFORM_FAKE_H
#define KP6_PLATFORM_FAKE_H

#include <deque>
#include <string>
#include <vector>

#include "../../platform/platform.h"

struct FakeDevice {
    std::string input;                    // what the driver holds for reading
    std::string written;                  // every byte written so far
    std::deque<std::string> replies;      // each write makes the next arrive
    std::vector<std::string> calls;       // "escape 3", "write 5", "outq 2", "line", ...
    int write_error = 0;                  // code the next writes fail with
    int set_line_error = 0;               // code plat_serial_set_line fails with
    int escape_error = 0;                 // code plat_serial_escape fails with
    int error_counts = 1;                 // 0: the driver keeps no counts of line errors
    unsigned long new_errors[3] = {};     // parity, framing, overrun errors since asked
    int open_error = 0;                   // code plat_serial_open fails with
    unsigned busy_out_polls = 0;          // output queue reads as busy this often
    unsigned last_write = 0;              // what it reads as then: the last write's length
    int deliver_at_most = -1;             // reads deliver no more than this
    unsigned modem = 0;                   // PLAT_MS_* bits
    plat_line line = {9600, 7, 2, 2, 0};  // settings the device has
    bool open = false;
    bool gone = false;  // the system says the device is gone
};

extern FakeDevice fake_device;
extern plat_datetime fake_local;  // what the clock reads
extern plat_datetime fake_utc;
extern int fake_set_time_error;  // code setting the clock fails with
extern std::vector<plat_datetime> fake_set_times;
extern int fake_net_starts;  // socket-library starts not yet stopped

void fake_reset();

#endif
