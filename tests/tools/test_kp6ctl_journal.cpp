// kp6ctl journal: the listing, its filters and formats, and --verify.
#include "kp6ctl_fixture.h"

#include "../../device/journal.h"

namespace {

struct Kp6CtlJournal : Kp6Ctl {
    std::string path = dir.file("journal.jsonl");
    journal_writer w{path, "kp6ctl 1.0.0", "/dev/ttyUSB0", "A10K5XYZ"};

    void SetUp() override
    {
        device_settings s{2, 15, 30, 40, 50, 7};
        ASSERT_EQ(journal_found(w, 0x1F, s, nullptr, nullptr), JOURNAL_OK);
        ASSERT_EQ(journal_change(w, 0x1F, "ER72", 30, 94, 94, JOURNAL_CONFIRMED, nullptr), 0);
        ASSERT_EQ(journal_change(w, 0x20, "ER79", JOURNAL_NONE, 9, JOURNAL_NONE,
                                 "failed: no answer in 1000 ms", nullptr),
                  0);
    }
    Ran journal(const std::string& args)
    {
        return ctl("journal " + args, "KP6_JOURNAL=" + path + " ");
    }
    std::string head()
    {
        journal_verdict v;
        journal_walk(path, nullptr, nullptr, nullptr, &v, nullptr);
        return v.head;
    }
};

TEST_F(Kp6CtlJournal, ListsFiltersAndFormats)
{
    Ran r = journal("");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "ER72")) << r.out;
    EXPECT_TRUE(has(r.out, "ER72     30 \u2192 94         confirmed")) << r.out;
    EXPECT_TRUE(has(r.out, "read     78=2 79=15 72=30 74=40 75=50 77=7"));
    EXPECT_TRUE(has(r.out, "/dev/ttyUSB0 (A10K5XYZ)"));
    EXPECT_LT(r.out.find("ER72"), r.out.find("ER79"));  // newest last
    r = journal("-a 20 --csv");
    EXPECT_TRUE(r.out.rfind("time,user,line,address,setting,before \u2192 after,result\r\n", 0) ==
                0)
        << r.out;
    EXPECT_TRUE(has(r.out, ",20,ER79,\u2192 9,failed: no answer in 1000 ms\r\n"));
    EXPECT_FALSE(has(r.out, "ER72"));
    r = journal("--json --since 2000-01-01 --until 2999-12-31T23:59");
    EXPECT_EQ(r.out, read_file(path));
    r = journal("--until 2000-01-01");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(journal("--since 2026-13-01").status, 2);
    EXPECT_EQ(journal("--head " + head()).status, 2);  // only with --verify
}

TEST_F(Kp6CtlJournal, VerifyTellsABreakByItsExitCode)
{
    std::string h = head();
    Ran r = journal("--verify --head " + h);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "journal intact: 3 records, ")) << r.out;
    EXPECT_TRUE(has(r.out, "head " + h + "\n"));
    std::string text = read_file(path);
    write_file(path, text.substr(0, text.find('\n') + 1) + "garbage\n" +
                         text.substr(text.find('\n') + 1));
    r = journal("--verify");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "line 2 is not a record\n");
    r = journal("");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "-- line 2 is not a record --\n")) << r.out;
    EXPECT_TRUE(has(r.out, "ER79"));  // read past the break
    EXPECT_TRUE(has(r.err, "damaged"));
    // Cut short: its last record gone, the head printed before is not found.
    write_file(path, text.substr(0, text.rfind('\n', text.size() - 2) + 1));
    r = journal("--verify --head " + h);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "is not in the journal")) << r.out;
    run_command("mkfifo '" + dir.file("fifo") + "'");
    r = ctl("journal", "KP6_JOURNAL=" + dir.file("fifo") + " ");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, "is a FIFO, not a file")) << r.err;
    r = ctl("journal --verify", "KP6_JOURNAL=" + dir.file("none") + " ");
    EXPECT_EQ(r.out, "journal empty: 0 records\n");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
