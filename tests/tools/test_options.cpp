// The options kp6ctl and kp6-sim take and refuse, read by the parser they
// share: each tool's own words and exit code for each mistake.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "../support/testsupport.h"

struct Said {
    const char* args;
    int status;
    const char* first_line;  // of standard error
};

// Runs `program` in a scratch folder: its standard error.
static std::string expect_said(const char* program, const Said& c)
{
    TempDir dir;
    int status = -1;
    std::string err = run_command("cd '" + dir.path + "' && env -u KP6_PORT -u KP6_ADDRESS " +
                                      program + " " + c.args + " 2>&1 >/dev/null",
                                  &status);
    EXPECT_EQ(c.status, status) << c.args;
    EXPECT_EQ(c.first_line, err.substr(0, err.find('\n') + 1)) << c.args;
    return err;
}

TEST(Options, Kp6ctlTakesEachFormAndNamesEachMistake)
{
    const char* no_port = "kp6ctl: cannot open /nonexistent/tty: No such file or directory\n";
    const Said cases[] = {
        {"-p/nonexistent/tty -a1f-20 -t5 --retries=2 --log=x.log -v read 01", 3, no_port},
        {"--port=/nonexistent/tty --log scan --from 05 --to=06 --read --csv", 3, no_port},
        {"--json read", 2, "kp6ctl: unknown option --json\n"},
        {"read --bogus=1", 2, "kp6ctl: unknown option --bogus (or not one of this command)\n"},
        {"scan -o x", 2, "kp6ctl: unknown option -o (or not one of this command)\n"},
        {"-vV read", 2, "kp6ctl: unknown option -vV\n"},
        {"bogus", 2, "kp6ctl: unknown command bogus\n"},
        {"read -p", 2, "kp6ctl: --port needs a device path or a port name\n"},
        {"-t0 read", 2, "kp6ctl: --timeout needs milliseconds, 1 to 60000\n"},
        {"backup --output=", 2, "kp6ctl: --output needs a file name\n"},
        {"--log= read", 2, "kp6ctl: --log needs a file name\n"},
        {"scan --to zz", 2,
         "kp6ctl: bad address \"zz\": give 01 to FF in hexadecimal (1f, 0x1F)\n"},
        {"restore --to", 2, "kp6ctl: --to needs a hexadecimal address\n"},
        {"ports 01", 2, "kp6ctl: 01: ports takes no such word\n"},
        {"read --json --csv", 2, "kp6ctl: read: give --json or --csv, not both\n"},
        {"restore -i x --csv", 2, "kp6ctl: --csv goes with restore --dry-run\n"},
    };
    for (const Said& c : cases)
        expect_said(KP6CTL, c);
}

// Each mistake, then the usage.
TEST(Options, Kp6SimTakesNoEqualsAndShowsItsUsage)
{
    const Said cases[] = {
        {"--address=01", 2, "kp6-sim: unknown argument --address=01\n"},
        {"-", 2, "kp6-sim: unknown argument -\n"},
        {"--baud 0", 2, "kp6-sim: bad or missing value for --baud\n"},
        {"--trace --stray", 2, "kp6-sim: bad or missing value for --stray\n"},
    };
    for (const Said& c : cases) {
        std::string err = expect_said(KP6_SIM, c);
        EXPECT_EQ(strlen(c.first_line), err.find("usage: kp6-sim [--address HEX]...")) << err;
    }
}
