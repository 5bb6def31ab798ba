// kp6ctl report: the service report from the journal, nothing on the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../device/journal.h"
#include "../support/testsupport.h"

namespace {

struct Ran {
    int status;
    std::string out, err;
};

class Kp6CtlReport : public ::testing::Test {
protected:
    TempDir dir;
    std::string journal = dir.file("journal.jsonl");
    Ran ctl(const std::string& args)
    {
        Ran r;
        r.out = run_command("cd '" + dir.path + "' && KP6_JOURNAL='" + journal + "' " KP6CTL " " +
                                args + " 2>err",
                            &r.status);
        r.err = read_file(dir.file("err"));
        return r;
    }
    std::string text(const std::string& pdf)
    {
        return run_command("pdftotext -layout '" + dir.file(pdf) + "' - 2>/dev/null");
    }
};

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST_F(Kp6CtlReport, TodaysRecordsTheHeadAndTheComparison)
{
    journal_writer w{journal, "kp6ctl 1.0.0", "/dev/ttyUSB0", "FT99"};
    int e;
    device_settings s = {2, 15, 30, 40, 50, 60};
    ASSERT_EQ(JOURNAL_OK, journal_found(w, 0x1F, s, nullptr, &e));
    ASSERT_EQ(JOURNAL_OK, journal_change(w, 0x1F, "ER72", 30, 94, 94, JOURNAL_CONFIRMED, &e));
    ASSERT_EQ(JOURNAL_OK, journal_found(w, 0x07, s, nullptr, &e));
    journal_verdict v;
    ASSERT_EQ(JOURNAL_OK, journal_walk(journal, nullptr, nullptr, nullptr, &v, &e));
    write_file(dir.file("site.json"),
               R"({"format": "kp6ctl backup", "version": 1, "controllers": [{"address": "1F",
               "registers": {"ER78": 2, "ER79": 15, "ER72": 30, "ER74": 40, "ER75": 50,
               "ER77": 60}}]})");
    Ran r = ctl("report -o r.pdf --site 'Depot 7' --technician petrov --language en -i site.json "
                "1F");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("r.pdf: 1 controller, 2 records, head " + v.head + "\n", r.out);
    std::string t = text("r.pdf");
    for (std::string part :
         std::vector<std::string>{"Depot 7", "petrov", "/dev/ttyUSB0 (FT99)", "Controller 1F", "94",
                                  "differs (1): ER72 94 -> 30", "verify --head " + v.head})
        EXPECT_TRUE(has(t, part)) << part << "\n" << t;
    EXPECT_FALSE(has(t, "Controller 07"));
    // Russian, and a period of its own.
    ASSERT_EQ(
        0,
        ctl("report -o ru.pdf --language ru --since 2020-01-01 --until 2020-01-01T12:00").status);
    t = text("ru.pdf");
    EXPECT_TRUE(has(t, "Нет записей за этот период")) << t;
    EXPECT_TRUE(has(t, "с 2020-01-01 00:00 по 2020-01-01 12:00")) << t;
}

TEST_F(Kp6CtlReport, RefusesBadUseBeforeWriting)
{
    EXPECT_EQ(2, ctl("report").status);
    EXPECT_EQ(2, ctl("report -o -").status);
    EXPECT_EQ(2, ctl("report -o r.pdf --since yesterday").status);
    EXPECT_EQ(2, ctl("report -o r.pdf --language de").status);
    EXPECT_EQ(2, ctl("report -o r.pdf --since 2026-02-02 --until 2026-02-01").status);
    make_dirs(journal);  // a journal that is a folder
    Ran r = ctl("report -o r.pdf");
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(has(r.err, "not a file")) << r.err;
    EXPECT_FALSE(path_exists(dir.file("r.pdf")));
}
