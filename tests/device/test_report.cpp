// The service report: its period, gathered from a journal, and the PDF as
// a reader's tools see it (text, fonts, structure).
#include <gtest/gtest.h>

#include <string>

#include "../../device/journal.h"
#include "../../device/report.h"
#include "../../i18n/gett.h"
#include "../../i18n/words.h"
#include "../support/testsupport.h"

namespace {

std::string pdf_text(const std::string& pdf)
{
    return run_command("pdftotext -layout '" + pdf + "' - 2>&1");
}

bool has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class Report : public ::testing::Test {
protected:
    TempDir dir;
    journal_writer w{dir.file("journal.jsonl"), "kp6ctl 1.0.0", "/dev/ttyUSB0", "FT1234"};
    report_data d;
    void SetUp() override
    {
        d.site = "Pump station 4";
        d.line = w.line;
        d.adapter = w.adapter;
        d.technician = "ivanov";
        d.program = w.program;
    }
    void TearDown() override
    {
        words_hook = nullptr;
        free_mo_file();
    }
    // 1F read, its ER72 written 30 -> 94 and read back; 20 read.
    void journal_visit()
    {
        int e;
        device_settings s = {2, 15, 30, 40, 50, 60};
        ASSERT_EQ(JOURNAL_OK, journal_found(w, 0x1F, s, nullptr, &e));
        ASSERT_EQ(JOURNAL_OK, journal_change(w, 0x1F, "IR24", JOURNAL_NONE, 8, JOURNAL_NONE,
                                             JOURNAL_ACKNOWLEDGED, &e));
        ASSERT_EQ(JOURNAL_OK, journal_change(w, 0x1F, "ER72", 30, 94, 94, JOURNAL_CONFIRMED, &e));
        device_settings t = {0, 7, 8, 9, 10, 11};
        ASSERT_EQ(JOURNAL_OK, journal_found(w, 0x20, t, nullptr, &e));
    }
    std::string make(const std::string& name)
    {
        int e = 0;
        EXPECT_EQ(REPORT_OK, report_gather(w.path, nullptr, d, &e));
        std::string path = dir.file(name), message;
        EXPECT_EQ(REPORT_OK, report_save(d, path, message)) << message;
        return path;
    }
};

}  // namespace

TEST(ReportTime, BoundsAndLocalTimeToTheMillisecond)
{
    std::string b;
    EXPECT_TRUE(journal_period_stamp("2026-12-09", 0, b) && b == "2026-12-09T00:00:00.000");
    EXPECT_TRUE(journal_period_stamp("2026-12-09", 1, b) && b == "2026-12-09T23:59:59.999");
    EXPECT_TRUE(journal_period_stamp("2026-12-09 10:05", 1, b) && b == "2026-12-09T10:05:59.999");
    for (const char* bad : {"2026-13-01", "2026-12-09T25:00", "2026-12-9", "today", ""})
        EXPECT_FALSE(journal_period_stamp(bad, 0, b)) << bad;
    EXPECT_TRUE(journal_local_stamp("2026-12-31T22:30:00.250Z", "+03:00", b));
    EXPECT_EQ("2027-01-01T01:30:00.250", b);
    EXPECT_TRUE(journal_local_stamp("2026-03-01T01:00:00.000Z", "-05:30", b));
    EXPECT_EQ("2026-02-28T19:30:00.000", b);
    EXPECT_FALSE(journal_local_stamp("2026-03-01 01:00:00", "+00:00", b));
}

TEST(ReportText, LongAndControlTextIsCutAndEscaped)
{
    std::string cut = report_clean_text(std::string(10000, 'x'));
    EXPECT_EQ(std::string(REPORT_TEXT_MAX, 'x') + "...", cut);
    EXPECT_EQ("a\\x1Bb\\nc", report_clean_text("a\x1b"
                                               "b\nc"));
    // Cyrillic is counted by characters, never cut inside one.
    std::string ru;
    for (int i = 0; i < 300; i++)
        ru += "ж";
    EXPECT_EQ(2u * REPORT_TEXT_MAX + 3, report_clean_text(ru).size());
}

TEST_F(Report, GathersFoundLeftAndVerdict)
{
    journal_visit();
    int e;
    std::vector<unsigned char> only = {0x1F};
    ASSERT_EQ(REPORT_OK, report_gather(w.path, &only, d, &e));
    ASSERT_EQ(1u, d.controllers.size());
    const report_controller& c = d.controllers[0];
    EXPECT_EQ(30, c.found.er72);
    EXPECT_EQ(94, c.left.er72);
    EXPECT_EQ(1u << REG_ER72, c.changed);
    EXPECT_EQ(JOURNAL_CONFIRMED, c.verdict);
    EXPECT_EQ(3u, d.records);
    EXPECT_EQ(64u, d.head.size());
}

TEST_F(Report, PdfHoldsEveryValueAndTheHeadWithTheFontEmbedded)
{
    journal_visit();
    std::string pdf = make("report.pdf");
    std::string text = pdf_text(pdf);
    for (const char* part :
         {"Service report", "Pump station 4", "FT1234", "ivanov", "kp6ctl 1.0.0", "Controller 1F",
          "Controller 20", "ER72", "30", "94", "Page 1 of 1", "confirmed", "Customer"})
        EXPECT_TRUE(has(text, part)) << part << "\n" << text;
    EXPECT_TRUE(has(text, d.head)) << "the head whole, on one line";
    EXPECT_TRUE(has(text, "kp6ctl journal --verify --head " + d.head));
    std::string fonts = run_command("pdffonts '" + pdf + "'");
    EXPECT_TRUE(has(fonts, "DejaVuSans-Bold")) << fonts;
    EXPECT_TRUE(has(fonts, "DejaVuSansMono")) << fonts;
    EXPECT_EQ(std::string::npos, fonts.find(" no  ", fonts.find("----"))) << "all embedded\n"
                                                                          << fonts;
    int status;
    run_command("qpdf --check '" + pdf + "' >/dev/null 2>&1", &status);
    EXPECT_EQ(0, status);
}

TEST_F(Report, RussianEmptyPeriodAndLongSite)
{
    ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
    words_hook = gettext_easy;
    journal_visit();
    ASSERT_TRUE(journal_period_stamp("2000-01-01", 0, d.since) &&
                journal_period_stamp("2000-01-02", 1, d.until));
    d.site = std::string(10000, 's');
    std::string text = pdf_text(make("empty.pdf"));
    EXPECT_TRUE(has(text, "Сервисный отчёт")) << text;
    EXPECT_TRUE(has(text, "Нет записей за этот период")) << text;
    EXPECT_FALSE(has(text, "Service report"));
    EXPECT_FALSE(has(text, std::string(REPORT_TEXT_MAX + 1, 's')));
}

TEST_F(Report, ManyControllersFlowOverPagesEachNumbered)
{
    int e;
    for (int a = 1; a <= 40; a++)
        journal_found(w, (unsigned char)a, device_settings{0, 1, 2, 3, 4, 5}, nullptr, &e);
    std::string text = pdf_text(make("many.pdf"));
    int pages = 0;
    while (has(text, "Page " + std::to_string(pages + 1) + " of "))
        pages++;
    ASSERT_GT(pages, 3);
    EXPECT_TRUE(has(text, "Page 1 of " + std::to_string(pages)));
    EXPECT_TRUE(has(text, "Controller 28"));
}

TEST_F(Report, WrittenWholeOrNotAtAll)
{
    journal_visit();
    int e;
    ASSERT_EQ(REPORT_OK, report_gather(w.path, nullptr, d, &e));
    std::string message;
    make_dirs(dir.file("folder"));
    EXPECT_EQ(REPORT_SAVE, report_save(d, dir.file("folder"), message));
    EXPECT_TRUE(has(message, "folder")) << message;
    // Through a link the file it leads to is written; the link stays.
    make_symlink(dir.file("real.pdf"), dir.file("link.pdf"));
    EXPECT_EQ(REPORT_OK, report_save(d, dir.file("link.pdf"), message)) << message;
    EXPECT_EQ(0, read_file(dir.file("real.pdf")).rfind("%PDF-", 0));
}
