// What kp6ctl records in the journal: the writer made as the line opens, a
// record of each controller read and of each setting written, and the run
// stopped (exit 2) when a write cannot be recorded. No switch writes
// without it. (The journal command is kp6ctl_journal.cpp.)
#include <stdio.h>

#include <string>

#include "../device/journal.h"
#include "../discovery/net_url.h"
#include "../discovery/shown_text.h"
#include "../platform/platform.h"
#include "kp6ctl.h"

namespace kp6ctl {

static journal_writer writer;
static int path_result = JOURNAL_NO_PLACE;  // journal_path's, for this run's writer
bool journal_failed = false;

// The adapter's serial number where the machine's list knows the port
// ("ttyUSB0" also as "/dev/ttyUSB0"); empty else.
static std::string adapter_of(const std::string& port)
{
    if (port_name_is_url(port.c_str()))
        return "";
    std::string name = port.compare(0, 5, "/dev/") == 0 ? port.substr(5) : port;
    plat_port_info info;
    if (plat_serial_port_info(name.c_str(), &info) != 0)
        return "";
    char safe[4 * sizeof info.serial];
    text_shown_safe(info.serial, safe, sizeof safe);
    return safe;
}

void journal_start(void)
{
    writer = journal_writer();
    writer.program = std::string("kp6ctl ") + KP6_VERSION;
    writer.line = opt.port;
    writer.adapter = adapter_of(opt.port);
    path_result = journal_path(writer.path);
}

int journal_check(void)
{
    int error = 0;
    int rc = path_result != JOURNAL_OK ? path_result : journal_ready(writer, &error);
    if (rc == JOURNAL_OK)
        return EXIT_DONE;
    say(stderr, "kp6ctl: %s; nothing written\n",
        journal_problem_text(writer.path, rc, error).c_str());
    journal_failed = true;
    return EXIT_USAGE;
}

void journal_read(unsigned char address, const device_settings& s)
{
    int error = 0;
    line_health h;
    health_of(address, &h);
    int rc = path_result != JOURNAL_OK ? path_result
                                       : journal_found(writer, address, s, &h, &error);
    if (rc == JOURNAL_OK)
        return;
    say(stderr, "kp6ctl: %02X: read, not recorded: %s\n", address,
        journal_problem_text(writer.path, rc, error).c_str());
    journal_failed = true;
}

bool journal_written(unsigned char address, const device_settings* before,
                     const device_settings& asked, const device_settings* back, int failed_step,
                     const std::string& cause)
{
    int error = 0;
    std::string unrecorded;
    if (journal_sequence(writer, address, before, asked, back, failed_step, cause, &error,
                         &unrecorded) == JOURNAL_OK)
        return true;
    say(stderr, "%02X: %s\n", address, unrecorded.c_str());
    journal_failed = true;
    return false;
}

}  // namespace kp6ctl
