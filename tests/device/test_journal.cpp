// The journal: its records, the chain that shows a record changed,
// removed or moved, and appends that hold under two writers.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/resource.h>

#include <string>
#include <thread>
#include <vector>

#include "../../device/journal.h"
#include "../../platform/platform.h"
#include "../support/testsupport.h"

using nlohmann::json;

namespace {

struct Journal : ::testing::Test {
    TempDir dir;
    journal_writer w{dir.file("j/journal.jsonl"), "kp6ctl 1.0.0", "/dev/pts/9", ""};
    device_settings s{0x12, 15, 30, 40, 50, 7};

    std::vector<std::string> lines(const std::string& path = "")
    {
        std::vector<std::string> out;
        std::string text = read_file(path.empty() ? w.path : path), l;
        for (char c : text)
            if (c == '\n')
                out.push_back(l), l.clear();
            else
                l += c;
        return out;
    }
    void put(const std::vector<std::string>& ls, const std::string& path)
    {
        std::string text;
        for (const auto& l : ls)
            text += l + "\n";
        write_file(path, text);
    }
    journal_verdict walk(const std::string& path, const char* head = nullptr)
    {
        journal_verdict v;
        int e = 0;
        EXPECT_EQ(journal_walk(path, nullptr, nullptr, head, &v, &e), JOURNAL_OK);
        return v;
    }
    // Five records: a read, then a write sequence of seven steps... four.
    void five()
    {
        ASSERT_EQ(journal_found(w, 0x1F, s, nullptr, nullptr), JOURNAL_OK);
        for (int i = 0; i < 4; i++)
            ASSERT_EQ(journal_change(w, 0x1F, "ER72", 30, 94 + i, 94 + i, JOURNAL_CONFIRMED,
                                     nullptr),
                      JOURNAL_OK);
    }
    std::string tampered(std::vector<std::string> ls)
    {
        put(ls, dir.file("copy"));
        return journal_verdict_text(walk(dir.file("copy")));
    }
};

std::string sha(const std::string& t)
{
    char hex[PLAT_SHA256_HEX];
    plat_sha256_hex(t.data(), (unsigned long)t.size(), hex);
    return hex;
}

TEST_F(Journal, RecordsAreChainedWithTheirFieldsInOrder)
{
    line_health h{42, 3, 0, 2, 0, 1, 40, 11, 14};
    ASSERT_EQ(journal_ready(w, nullptr), JOURNAL_OK);  // makes its folder
    ASSERT_EQ(journal_found(w, 0x1F, s, &h, nullptr), JOURNAL_OK);
    ASSERT_EQ(journal_change(w, 0x1F, "ER79", JOURNAL_NONE, 9, JOURNAL_NONE, JOURNAL_ACKNOWLEDGED,
                             nullptr),
              JOURNAL_OK);
    auto ls = lines();
    ASSERT_EQ(ls.size(), 2u);
    EXPECT_EQ(sha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    json a = json::parse(ls[0]), b = json::parse(ls[1]);
    std::vector<std::string> keys;
    nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(ls[0]);
    for (auto& kv : ordered.items())
        keys.push_back(kv.key());
    EXPECT_EQ(keys,
              (std::vector<std::string>{"seq", "time", "offset", "event", "user", "host", "program",
                                        "line", "address", "settings", "health", "prev"}));
    EXPECT_EQ(a["seq"], 1);
    EXPECT_EQ(a["prev"], std::string(64, '0'));
    EXPECT_EQ(a["address"], "1F");
    EXPECT_EQ(a["settings"]["ER78"], 0x12);
    EXPECT_EQ(a["settings"]["ER77"], 7);
    EXPECT_EQ(a["health"]["slowest_ms"], 14);
    EXPECT_EQ(a["health"]["garbled"], 1);
    line_health back{};  // the walk reads the health back whole, answers timed too
    journal_verdict read;
    journal_walk(
        w.path,
        [](void* c, const journal_record* r, unsigned long) {
            if (r && r->has_health)
                *(line_health*)c = r->health;
            return 1;
        },
        &back, nullptr, &read, nullptr);
    EXPECT_EQ(back.answers, 40u);
    EXPECT_EQ(back.slowest_ms, 14u);
    EXPECT_EQ(a["time"].get<std::string>().size(), 24u);
    EXPECT_EQ(a["time"].get<std::string>().back(), 'Z');
    EXPECT_EQ(a["offset"].get<std::string>()[3], ':');
    EXPECT_FALSE(a["user"].get<std::string>().empty());
    EXPECT_EQ(b["seq"], 2);
    EXPECT_EQ(b["prev"], sha(ls[0]));
    EXPECT_FALSE(b.contains("before"));
    EXPECT_FALSE(b.contains("after"));
    EXPECT_FALSE(b.contains("adapter"));
    EXPECT_EQ(b["result"], "acknowledged");

    journal_verdict v = walk(w.path, sha(ls[0]).c_str());
    EXPECT_TRUE(journal_intact(v));
    EXPECT_EQ(v.records, 2u);
    EXPECT_EQ(v.head, sha(ls[1]));
    EXPECT_EQ(journal_verdict_text(v).rfind("journal intact: 2 records, 20", 0), 0u);
}

TEST_F(Journal, SequenceRecordsEachStepSentWithItsOutcome)
{
    device_settings before = s, back = s, asked = s;
    asked.er72 = 94;
    back.er72 = 94;
    back.er75 = 51;  // reads back otherwise
    ASSERT_EQ(journal_sequence(w, 0x20, &before, asked, &back, 0, "", nullptr, nullptr),
              JOURNAL_OK);
    // Failed at ER79 (step 3), no read-back: IR24 and ER78 acknowledged.
    ASSERT_EQ(journal_sequence(w, 0x21, nullptr, asked, nullptr, 3, "no answer in 1000 ms", nullptr,
                               nullptr),
              JOURNAL_OK);
    // Stopped before ER78 (step 2): IR24 alone.
    ASSERT_EQ(journal_sequence(w, 0x22, nullptr, asked, nullptr, -2, "", nullptr, nullptr),
              JOURNAL_OK);
    auto ls = lines();
    ASSERT_EQ(ls.size(), 7u + 3u + 1u);
    json ir = json::parse(ls[0]), er72 = json::parse(ls[3]), er75 = json::parse(ls[5]);
    EXPECT_EQ(ir["setting"], "IR24");
    EXPECT_EQ(ir["asked"], 8);
    EXPECT_EQ(ir["result"], "acknowledged");
    EXPECT_EQ(er72["setting"], "ER72");
    EXPECT_EQ(er72["before"], 30);
    EXPECT_EQ(er72["asked"], 94);
    EXPECT_EQ(er72["after"], 94);
    EXPECT_EQ(er72["result"], "confirmed");
    EXPECT_EQ(er75["result"], "failed: reads back 51");
    EXPECT_EQ(json::parse(ls[8])["result"], "acknowledged");
    EXPECT_EQ(json::parse(ls[9])["result"], "failed: no answer in 1000 ms");
    EXPECT_EQ(json::parse(ls[9])["setting"], "ER79");
    EXPECT_EQ(json::parse(ls[10])["address"], "22");
    EXPECT_TRUE(journal_intact(walk(w.path)));
}

TEST_F(Journal, TamperingIsNamed)
{
    five();
    auto ls = lines();
    auto changed = ls;
    changed[2].replace(changed[2].find("\"asked\":95"), 10, "\"asked\":96");
    EXPECT_EQ(tampered(changed), "record 3: changed, or a record before it removed");
    auto removed = ls;
    removed.erase(removed.begin() + 2);
    EXPECT_EQ(tampered(removed), "record 4: changed, or a record before it removed");
    auto first_removed = ls;
    first_removed.erase(first_removed.begin());
    EXPECT_EQ(tampered(first_removed), "record 2: changed, or a record before it removed");
    auto swapped = ls;
    std::swap(swapped[2], swapped[3]);
    EXPECT_EQ(tampered(swapped), "records 3 and 4 out of order");
    auto junk = ls;
    junk.insert(junk.begin() + 1, "not json");
    EXPECT_EQ(tampered(junk), "line 2 is not a record");
    // Cut short after a head was printed: the chain is whole, the head gone.
    std::string head = sha(ls[4]);
    ls.pop_back();
    put(ls, dir.file("copy"));
    journal_verdict v = walk(dir.file("copy"), head.c_str());
    EXPECT_FALSE(journal_intact(v));
    EXPECT_NE(journal_verdict_text(v).find("is not in the journal: cut short or rebuilt"),
              std::string::npos);
}

TEST_F(Journal, DamagedJournalStillAppendsChainedToItsLastLine)
{
    five();
    std::string text = read_file(w.path) + "{\"torn\":";  // no LF
    write_file(w.path, text);
    ASSERT_EQ(journal_found(w, 0x01, s, nullptr, nullptr), JOURNAL_OK);
    auto ls = lines();
    ASSERT_EQ(ls.size(), 7u);
    json last = json::parse(ls[6]);
    EXPECT_EQ(last["seq"], 6);  // after the last record, past the torn line
    EXPECT_EQ(last["prev"], sha("{\"torn\":"));
    journal_verdict v = walk(w.path);
    EXPECT_EQ(journal_verdict_text(v), "line 6 is not a record");
    EXPECT_EQ(v.records, 6u);
}

TEST_F(Journal, AFullDiskKeepsWholeLinesAndNamesTheSettingNotRecorded)
{
    five();
    std::string text = read_file(w.path);
    size_t last = text.size() - 1 - text.rfind('\n', text.size() - 2);
    // Room for IR24's record and ER78's, not for ER79's.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old, lim;
    getrlimit(RLIMIT_FSIZE, &old);
    lim = old;
    lim.rlim_cur = text.size() + 2 * last + 10;
    setrlimit(RLIMIT_FSIZE, &lim);
    device_settings asked = s;
    asked.er79 = 9;
    int e = 0;
    std::string unrecorded;
    int rc = journal_sequence(w, 0x1F, &s, asked, nullptr, 0, "", &e, &unrecorded);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(rc, JOURNAL_SYSTEM);
    char why[200];
    plat_error_text(e, why, sizeof why);
    EXPECT_EQ(unrecorded, "ER79 was written (15 \u2192 9) but the journal could not record it: " +
                              std::string(why));
    journal_verdict v = walk(w.path);
    EXPECT_TRUE(journal_intact(v)) << journal_verdict_text(v);  // no line cut off
    EXPECT_EQ(v.records, 7u);
    EXPECT_EQ(journal_unrecorded_text("ER72", JOURNAL_NONE, 94, e).substr(0, 25),
              "ER72 was written (\u2192 94)");
}

TEST_F(Journal, TwoWritersAtOnceLoseNothing)
{
    auto writer = [this](unsigned char a) {
        journal_writer mine = w;  // each append opens the file anew
        for (int i = 0; i < 500; i++)
            journal_change(mine, a, "ER79", i % 256, 1, 1, JOURNAL_CONFIRMED, nullptr);
    };
    std::thread one(writer, 1), two(writer, 2);
    one.join();
    two.join();
    journal_verdict v = walk(w.path);
    EXPECT_EQ(v.records, 1000u);
    EXPECT_TRUE(journal_intact(v)) << journal_verdict_text(v);
}

TEST_F(Journal, NoFileIsRefusedBeforeAnythingIsWritten)
{
    make_dirs(dir.file("folder"));
    run_command("mkfifo '" + dir.file("fifo") + "'");
    make_symlink("/dev/null", dir.file("null"));
    const char* names[] = {"folder", "fifo", "null"};
    const int kinds[] = {PLAT_FILE_FOLDER, PLAT_FILE_FIFO, PLAT_FILE_DEVICE};
    for (int i = 0; i < 3; i++) {
        journal_writer bad = w;
        bad.path = dir.file(names[i]);
        int e = -1;
        EXPECT_EQ(journal_ready(bad, &e), JOURNAL_NOT_A_FILE) << names[i];
        EXPECT_EQ(e, kinds[i]);
        EXPECT_EQ(journal_found(bad, 1, s, nullptr, &e), JOURNAL_NOT_A_FILE);
        journal_verdict v;
        EXPECT_EQ(journal_walk(bad.path, nullptr, nullptr, nullptr, &v, &e), JOURNAL_NOT_A_FILE);
    }
    EXPECT_EQ(journal_problem_text("/x", JOURNAL_NOT_A_FILE, PLAT_FILE_FIFO),
              "the journal /x is a FIFO, not a file");
    journal_verdict v = walk(dir.file("missing"));
    EXPECT_EQ(journal_verdict_text(v), "journal empty: 0 records");
}

}  // namespace
