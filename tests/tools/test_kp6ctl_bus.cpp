// kp6ctl over the whole bus, against kp6-sim: scan --read, --csv, --stats,
// and the collision a scan names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/sim.h"
#include "../support/testsupport.h"
#include "kp6ctl_fixture.h"

// Scans here wait 300 ms an address: what they test is not the time-out,
// and a loaded machine answers later than a scan's tenth of a second.
class Kp6CtlBus : public Kp6Ctl {};

// The health of every exchange, told by --stats and carried by --json.
TEST_F(Kp6CtlBus, StatsCountRetriesOverALossyLine)
{
    start({"--drop-every", "3"});  // each exchange after the first loses an answer
    Ran r = ctl("-t 300 --retries 1 --stats read --json");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.err, "\n01: 6 exchanges, 5 retries, 0 failed, answer ")) << r.err;
    EXPECT_TRUE(has(r.err, " ms slowest; 5 faults: 5 no answer\n")) << r.err;
    EXPECT_TRUE(has(r.out,
                    "\"health\":{\"exchanges\":6,\"retries\":5,\"failed\":0,\"no_answer\":5"))
        << r.out;
}

TEST_F(Kp6CtlBus, ScanReadCsvAndADryRunAgainstTheSiteFile)
{
    start({"--address", "01", "--address", "02", "--address", "05"},
          "02 010078 02\n02 010079 09\n02 010072 08\n02 010074 07\n02 010075 06\n02 010077 05\n");
    Ran r = ctl("-t 300 scan --to 08 --read --csv");
    EXPECT_EQ(0, r.status) << r.err;
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = r.out.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(r.out.substr(at, end - at));
    ASSERT_EQ(4u, lines.size()) << r.out;
    EXPECT_EQ(0u, lines[0].find("address,type,inverse,ER79,ER72,ER74,ER75,ER77,exchanges,"));
    const char* rows[] = {"01,milliliter,off,15,10,5,3,50,7,0,0,0,0,0,",
                          "02,liter,off,9,8,7,6,5,7,0,0,0,0,0,",
                          "05,milliliter,off,15,10,5,3,50,7,0,0,0,0,0,"};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(0u, lines[(size_t)i + 1].find(rows[i])) << lines[(size_t)i + 1];
        EXPECT_EQ(",read", lines[(size_t)i + 1].substr(lines[(size_t)i + 1].size() - 5));
    }
    EXPECT_TRUE(has(ctl("-t 300 scan --to 03 --read").out,
                    "02       liter       off      9     8"));

    write_file(dir.file("site.json"), backup_of({"01", "02"}));
    r = ctl("restore -i site.json --dry-run --csv");
    EXPECT_EQ(1, r.status) << r.err;  // something would change
    EXPECT_TRUE(has(r.out, ",site.json\r\n01,milliliter,")) << r.out;
    EXPECT_TRUE(has(r.out, ",read,\"differs (6): type milliliter -> liter, ER79 15 -> 9, "))
        << r.out;
    EXPECT_TRUE(has(r.out, ",read,matches\r\n")) << r.out;
    EXPECT_EQ(2, ctl("scan --csv").status);  // --csv goes with --read
}

// A compared file's name that a spreadsheet would run as a formula is
// written as text.
TEST_F(Kp6CtlBus, AFileNamedLikeAFormulaIsACellOfText)
{
    start({});
    write_file(dir.file("=2+3.json"), backup_of({"01"}));
    Ran r = ctl("restore -i =2+3.json --dry-run --csv");
    EXPECT_EQ(1, r.status) << r.err;  // the file's values differ
    EXPECT_TRUE(has(r.out, ",state,'=2+3.json\r\n01,milliliter,")) << r.out;
}

// Two controllers at 05 garble its answers: named, never listed; once the
// second falls silent, asking again reads it clean and it is a controller.
TEST_F(Kp6CtlBus, TheScanNamesTwoControllersAtOneAddress)
{
    const std::string garbled = "05: garbled answers: two controllers may share this address\n";
    start({"--address", "01", "--collide", "05"});
    Ran r = ctl("-t 300 scan --to 06");
    EXPECT_EQ("01 type=milliliter inverse=off\n", r.out);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(garbled, r.err);
    EXPECT_TRUE(has(ctl("-t 300 scan --to 06 --json").out,
                    "{\"address\":\"05\",\"fault\":\"garbled answers"));

    start({"--collide", "05", "--collide-for", "1"});
    r = ctl("-t 300 --stats scan --to 06");  // asked again without --retries
    EXPECT_EQ("05 type=milliliter inverse=off\n", r.out);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.err, "05: 1 exchange, 1 retry, 0 failed, answer ")) << r.err;
    EXPECT_TRUE(has(r.err, "; 1 fault: 1 garbled\n")) << r.err;
    EXPECT_FALSE(has(r.err, "garbled answers")) << r.err;
}

// Every command names two controllers at 05 as the scan does and writes
// nothing there; a backup keeps the controller that answered clean.
TEST_F(Kp6CtlBus, NoCommandTakesOrWritesTheSettingsOfTwoControllersAtOneAddress)
{
    const std::string garbled = "05: garbled answers: two controllers may share this address\n";
    start({"--address", "01", "--collide", "05"});
    write_file(dir.file("both.json"), backup_of({"01", "05"}));
    for (const char* args : {"-a 05 read", "-a 05 read --csv", "-a 05 write er79=20", "-a 05 test",
                             "backup -o f.json 01 05", "restore -i both.json"}) {
        Ran r = ctl(args);
        EXPECT_EQ(1, r.status) << args;
        EXPECT_EQ(0u, r.err.find(garbled)) << args << ": " << r.err;
    }
    EXPECT_TRUE(holds("05 010079 0F"));
    EXPECT_FALSE(holds("05 000024"));  // not even IR24
    EXPECT_TRUE(holds("01 010079 09"));
    std::string saved = read_file(dir.file("f.json"));
    EXPECT_TRUE(has(saved, "\"address\": \"01\"") && !has(saved, "\"05\"")) << saved;
}

// A lost selection is silence: asked again with --retries, and counted.
TEST_F(Kp6CtlBus, ALossyScanWithRetriesFindsEveryController)
{
    start({"--address", "01", "--address", "04", "--drop-every", "3"});  // 04's selection
    Ran r = ctl("-t 300 scan --to 05");
    EXPECT_EQ("01 type=milliliter inverse=off\n", r.out);
    start({"--address", "01", "--address", "04", "--drop-every", "3"});
    r = ctl("-t 300 --retries 3 scan --read --csv --to 05");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, "\r\n04,milliliter,off,15,")) << r.out;
    EXPECT_TRUE(has(r.err, " retries in ")) << r.err;
}

// A file the loader refuses stops the dry run before anything is sent.
TEST_F(Kp6CtlBus, AFileRefusedSendsNothing)
{
    start({"--address", "01"});
    std::string one = backup_of({"01"});
    std::string high = one, twice = backup_of({"01", "0x01"});
    high.replace(high.find("\"ER79\": 9"), 9, "\"ER79\": 300");
    Ran r;
    for (const std::string& file : {high, twice}) {
        write_file(dir.file("bad.json"), file);
        r = ctl("restore -i bad.json --dry-run --csv");
        EXPECT_EQ(2, r.status);
        EXPECT_EQ(0u, r.err.find("kp6ctl: bad.json:")) << r.err;
    }
    EXPECT_TRUE(has(r.err, "controller 01 twice")) << r.err;
    for (const auto& line : sim->trace((size_t)-1, 300))
        EXPECT_NE(0u, line.rfind("rx ", 0)) << line;
}
