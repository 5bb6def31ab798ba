// kp6ctl's journal against kp6-sim: a record for each read and each setting
// written, and no write sent, or none after, when the journal cannot take it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../support/port_fixture.h"
#include "../support/testsupport.h"
#include "kp6ctl_fixture.h"

using json = nlohmann::json;

// The journal's records, and those of one event ("change": "ER79=20"...).
static std::vector<json> records(const std::string& path, const char* event = nullptr)
{
    std::vector<json> out;
    std::string text = read_file(path);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        json j = json::parse(text.substr(at, end - at), nullptr, false);
        if (!j.is_discarded() && (!event || j.value("event", "") == event))
            out.push_back(j);
    }
    return out;
}

TEST_F(Kp6Ctl, WriteAndRestoreRecordEachSetting)
{
    start({"--address", "01", "--address", "02"});
    Ran r = ctl("write er79=20");
    ASSERT_EQ(0, r.status) << r.err;
    std::vector<json> change = records(journal, "change");
    ASSERT_EQ(7u, change.size());
    EXPECT_EQ("IR24", change[0]["setting"]);
    EXPECT_FALSE(change[0].contains("before"));
    const json& er79 = change[2];
    EXPECT_EQ("ER79", er79["setting"]);
    EXPECT_EQ(15, er79["before"]);
    EXPECT_EQ(20, er79["asked"]);
    EXPECT_FALSE(er79.contains("after"));  // write reads nothing back
    EXPECT_EQ("acknowledged", er79["result"]);
    EXPECT_EQ("kp6ctl " KP6_VERSION, er79["program"]);
    EXPECT_EQ("01", er79["address"]);
    EXPECT_EQ(sim->path, er79["line"]);

    // restore reads back: each setting confirmed; --to clones one entry.
    write_file(dir.file("one.json"), backup_of({"01"}));
    r = ctl("restore -i one.json --to 02");
    ASSERT_EQ(0, r.status) << r.err;
    change = records(journal, "change");
    ASSERT_EQ(14u, change.size());
    for (size_t i = 8; i < 14; i++) {
        EXPECT_EQ("02", change[i]["address"]);
        EXPECT_TRUE(change[i].contains("asked") && change[i].contains("after"));
        EXPECT_EQ(change[i]["asked"], change[i]["after"]);
        EXPECT_EQ("confirmed", change[i]["result"]);
    }

    // A step that fails is recorded with kp6ctl's words; none after it.
    sim.reset();
    start({"--drop-every", "25"});
    r = ctl("-t 200 write er79=20");
    EXPECT_EQ(1, r.status);
    change = records(journal, "change");
    ASSERT_EQ(16u, change.size());
    EXPECT_EQ("ER78", change[15]["setting"]);
    EXPECT_EQ("failed: Error write ER78: no answer in 200 ms", change[15]["result"]);
    EXPECT_EQ(0u, records(journal, "found").size());  // write's reads are no "found"
}

TEST_F(Kp6Ctl, EachReadIsRecordedAsFound)
{
    start({"--address", "01", "--address", "05"}, "05 010079 2A\n");
    EXPECT_EQ(0, ctl("read 01").status);
    EXPECT_EQ(0, ctl("backup -o saved.json 01 05").status);
    EXPECT_EQ(0, ctl("scan --from 04 --to 05 --read").status);
    std::vector<json> found = records(journal, "found");
    ASSERT_EQ(4u, found.size());
    const char* addresses[] = {"01", "01", "05", "05"};
    for (size_t i = 0; i < found.size(); i++)
        EXPECT_EQ(addresses[i], found[i]["address"]) << i;
    EXPECT_EQ(42, found[3]["settings"]["ER79"]) << found[3].dump();

    // A read the journal cannot take: shown as before, exit 2.
    mkdir(dir.file("folder").c_str(), 0700);
    Ran r = ctl("read 01", "KP6_JOURNAL=folder ");
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.out.find("er79     15")) << r.out;
    EXPECT_TRUE(has(r.err, "kp6ctl: 01: read, not recorded: the journal folder is a folder, "
                           "not a file"))
        << r.err;
}

// A journal that is no file: nothing at all is sent.
TEST_F(Kp6Ctl, NoWriteWithoutAJournal)
{
    start({});
    write_file(dir.file("one.json"), backup_of({"01"}));
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    ASSERT_EQ(0, symlink("/dev/null", dir.file("device").c_str()));
    mkdir(dir.file("folder").c_str(), 0700);
    const char* kinds[][2] = {{"fifo", "a FIFO"}, {"device", "a device"}, {"folder", "a folder"}};
    for (auto& k : kinds) {
        std::string named = std::string("KP6_JOURNAL=") + k[0] + " ";
        for (const char* command : {"write er79=20", "restore -i one.json"}) {
            Ran r = ctl(command, named);
            EXPECT_EQ(2, r.status) << command;
            EXPECT_EQ(std::string("kp6ctl: the journal ") + k[0] + " is " + k[1] +
                          ", not a file; nothing written\n",
                      r.err);
        }
    }
    EXPECT_EQ(0u, frames_received());
    EXPECT_NE(2, ctl("restore -i one.json --dry-run", "KP6_JOURNAL=fifo ").status);
}

// A full disk met part way (the file's size limit): the setting written
// but not recorded is named, and nothing more is sent.
TEST_F(Kp6Ctl, FullJournalStopsTheRun)
{
    start({"--address", "01", "--address", "02"});
    ASSERT_EQ(0, ctl("write er79=20").status);
    std::string kept = read_file(journal);
    size_t per_record = kept.size() / 7;
    std::string limit = std::to_string(kept.size() + 3 * per_record + per_record / 2);
    Ran r = ctl("-a 01,02 write er72=94", "prlimit --fsize=" + limit + " ");
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(has(r.err, "01: ER72 was written (10 → 94) but the journal could not record "
                           "it: File too large\n"))
        << r.err;
    EXPECT_TRUE(has(r.err, "02: not written\n")) << r.err;
    EXPECT_TRUE(holds("01 010072 5E"));
    EXPECT_FALSE(holds("02 010072 5E"));
    EXPECT_EQ(7u + 3u, records(journal, "change").size());
}
