// kp6ctl over the whole bus, against kp6-sim: scan --read, --csv, --stats,
// and the collision a scan names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/sim.h"
#include "../support/testsupport.h"

class Kp6CtlBus : public ::testing::Test {
protected:
    TempDir dir;
    std::unique_ptr<Sim> sim;
    int status = -1;
    std::string err;

    void start(std::vector<std::string> args, const std::string& state = "")
    {
        write_file(dir.file("state"), state);
        args.insert(args.end(), {"--state", dir.file("state"), "--trace"});
        sim.reset(new Sim(args));
        ASSERT_FALSE(sim->path.empty());
    }
    std::string ctl(const std::string& args)
    {
        std::string out = run_command("cd '" + dir.path + "' && " KP6CTL " -p '" + sim->path +
                                          "' " + args + " 2>err",
                                      &status);
        err = read_file(dir.file("err"));
        return out;
    }
    bool has(const std::string& text, const std::string& part)
    {
        return text.find(part) != std::string::npos;
    }
};

// The health of every exchange, told by --stats and carried by --json.
TEST_F(Kp6CtlBus, StatsCountRetriesOverALossyLine)
{
    start({"--drop-every", "3"});  // each exchange after the first loses an answer
    std::string out = ctl("-t 300 --retries 1 --stats read --json");
    EXPECT_EQ(0, status) << err;
    EXPECT_TRUE(has(err, "\n01: 6 exchanges, 5 retries, 0 failed, answer ")) << err;
    EXPECT_TRUE(has(err, " ms slowest; 5 faults: 5 no answer\n")) << err;
    EXPECT_TRUE(has(out, "\"health\":{\"exchanges\":6,\"retries\":5,\"failed\":0,\"no_answer\":5"))
        << out;
}

TEST_F(Kp6CtlBus, ScanReadCsvAndADryRunAgainstTheSiteFile)
{
    start({"--address", "01", "--address", "02", "--address", "05"},
          "02 010078 02\n02 010079 09\n02 010072 08\n02 010074 07\n02 010075 06\n02 010077 05\n");
    std::string out = ctl("scan --to 08 --read --csv");
    EXPECT_EQ(0, status) << err;
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = out.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(out.substr(at, end - at));
    ASSERT_EQ(4u, lines.size()) << out;
    EXPECT_EQ(0u, lines[0].find("address,type,inverse,ER79,ER72,ER74,ER75,ER77,exchanges,"));
    const char* rows[] = {"01,milliliter,off,15,10,5,3,50,7,0,0,0,0,0,",
                          "02,liter,off,9,8,7,6,5,7,0,0,0,0,0,",
                          "05,milliliter,off,15,10,5,3,50,7,0,0,0,0,0,"};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(0u, lines[(size_t)i + 1].find(rows[i])) << lines[(size_t)i + 1];
        EXPECT_EQ(",read", lines[(size_t)i + 1].substr(lines[(size_t)i + 1].size() - 5));
    }
    EXPECT_TRUE(has(ctl("scan --to 03 --read"), "02       liter       off      9     8"));

    write_file(dir.file("site.json"), backup_of({"01", "02"}));
    out = ctl("restore -i site.json --dry-run --csv");
    EXPECT_EQ(1, status) << err;  // something would change
    EXPECT_TRUE(has(out, ",site.json\r\n01,milliliter,")) << out;
    EXPECT_TRUE(has(out, ",read,\"differs (6): type milliliter -> liter, ER79 15 -> 9, ")) << out;
    EXPECT_TRUE(has(out, ",read,matches\r\n")) << out;
    ctl("scan --csv");
    EXPECT_EQ(2, status);  // --csv goes with --read
}

// Two controllers at 05 garble its answers: named, never listed; once the
// second falls silent, a retry reads it clean and it is a controller again.
TEST_F(Kp6CtlBus, TheScanNamesTwoControllersAtOneAddress)
{
    const std::string garbled = "05: garbled answers: two controllers may share this address\n";
    start({"--address", "01", "--collide", "05"});
    EXPECT_EQ("01 type=milliliter inverse=off\n", ctl("scan --to 06"));
    EXPECT_EQ(1, status);
    EXPECT_EQ(garbled, err);
    EXPECT_TRUE(has(ctl("scan --to 06 --json"), "{\"address\":\"05\",\"fault\":\"garbled answers"));

    start({"--collide", "05", "--collide-for", "1"});
    EXPECT_EQ("05 type=milliliter inverse=off\n", ctl("--retries 1 --stats scan --to 06"));
    EXPECT_EQ(0, status) << err;
    EXPECT_TRUE(has(err, "05: 1 exchange, 1 retry, 0 failed, answer ")) << err;
    EXPECT_TRUE(has(err, "; 1 fault: 1 garbled\n")) << err;
    EXPECT_FALSE(has(err, "garbled answers")) << err;
}

// A file the loader refuses stops the dry run before anything is sent.
TEST_F(Kp6CtlBus, AFileRefusedSendsNothing)
{
    start({"--address", "01"});
    std::string one = backup_of({"01"});
    std::string high = one, twice = backup_of({"01", "0x01"});
    high.replace(high.find("\"ER79\": 9"), 9, "\"ER79\": 300");
    for (const std::string& file : {high, twice}) {
        write_file(dir.file("bad.json"), file);
        ctl("restore -i bad.json --dry-run --csv");
        EXPECT_EQ(2, status);
        EXPECT_EQ(0u, err.find("kp6ctl: bad.json:")) << err;
    }
    EXPECT_TRUE(has(err, "controller 01 twice")) << err;
    for (const auto& line : sim->trace((size_t)-1, 300))
        EXPECT_NE(0u, line.rfind("rx ", 0)) << line;
}
