// What kp6ctl's files share: the options, the output, interrupts, the line
// and the commands. kp6ctl.cpp reads the options and runs a command.
#ifndef KP6_KP6CTL_H
#define KP6_KP6CTL_H

#include <stdio.h>

#include <string>
#include <vector>

#include "../device/settings.h"

namespace kp6ctl {

enum { EXIT_DONE = 0, EXIT_CONTROLLER = 1, EXIT_USAGE = 2, EXIT_PORT = 3 };

struct Options {
    std::string port;
    unsigned char address = 0x01;
    bool address_given = false;
    unsigned long timeout_ms = 0;  // 0: the command's own default
    bool log = false;
    bool help = false;
    bool version = false;
    std::string command;
    std::vector<std::string> words;  // the command's arguments
    bool json_out = false;
    unsigned char from = 0x01, to = 0xFE;
    std::string file;
    std::vector<unsigned char> targets;  // restore --to
};

extern Options opt;

// ---- kp6ctl.cpp: the options -------------------------------------------------

extern const char BAD_ADDRESS[];
void add_address(std::vector<unsigned char>& list, unsigned char a);

// ---- kp6ctl_output.cpp ---------------------------------------------------------

extern bool output_closed, output_closed_first;
void note_output_closed(void);
void write_text(FILE* f, const char* text);
__attribute__((format(gnu_printf, 2, 3))) void say(FILE* f, const char* fmt, ...);
int usage_error(const char* fmt, const std::string& what);
const char* meter_name(int meter);
std::string lower(std::string s);
std::string meaning(int reg, unsigned v);

// ---- kp6ctl_line.cpp -----------------------------------------------------------

extern int interrupts_to_stop;
int stop_requested(void);
bool interrupted(void);
int exit_interrupted(void);
std::string left_by_write(int failed);

extern unsigned short line_port;
extern bool line_lost_told;
int open_line(unsigned long default_timeout_ms);
bool line_lost(void);
void close_line(void);
void controller_failed(unsigned char address, const char* what);
int read_controller(unsigned char address, device_settings& s);

// ---- the commands ----------------------------------------------------------------

int cmd_ports(void);  // kp6ctl_scan.cpp
int cmd_scan(void);
int cmd_test(void);  // kp6ctl_settings.cpp
int cmd_read(void);
int cmd_write(void);
int cmd_backup(void);  // kp6ctl_backup.cpp
int cmd_restore(void);

}  // namespace kp6ctl

#endif
