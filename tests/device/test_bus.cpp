// The whole bus through device/: the line's health, the scan's garbled
// answers, rows read, compared and written, the record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../device/bus.h"
#include "../../device/scan.h"
#include "../support/port_fixture.h"
#include "../support/sim.h"

class Bus : public PortLayerTest {
protected:
    void SetUp() override
    {
        PortLayerTest::SetUp();
        health_reset();
    }
    void TearDown() override
    {
        PortLayerTest::TearDown();
        exchange_set_options({});
    }
    line_health of(unsigned char a)
    {
        line_health h;
        health_of(a, &h);
        return h;
    }
};

TEST_F(Bus, HealthCountsEveryExchangeByCause)
{
    exchange_set_options({300, 1});
    {
        Sim sim({"--drop-every", "3"});  // each exchange after the first loses one answer
        ASSERT_EQ(0, open(sim.path));
        device_settings s = {};
        EXPECT_EQ(0, settings_read(h, 0x01, s));
        free_port(h, 0);
    }
    line_health one = of(0x01);
    EXPECT_EQ(6u, one.exchanges);
    EXPECT_EQ(5u, one.retries);
    EXPECT_EQ(5u, one.no_answer);
    EXPECT_EQ(0u, one.failed + one.refused + one.garbled);
    EXPECT_EQ(12u, one.answers);
    EXPECT_LE(one.median_ms, one.slowest_ms);

    Sim sim({"--fail-reads", "02", "--collide", "03"});
    ASSERT_EQ(0, open(sim.path));
    unsigned int word = WORD_ER78;
    EXPECT_EQ(-1, device_exchange(h, 0x02, word, CMD_READ_ER));
    EXPECT_EQ(-1, device_exchange(h, 0x03, word, CMD_READ_ER));
    line_health two = of(0x02), three = of(0x03);
    EXPECT_EQ(2u, two.refused);  // asked again, refused again
    EXPECT_EQ(1u, two.failed);
    EXPECT_EQ(2u, three.garbled);
    EXPECT_EQ(1u, three.failed);

    char text[300];
    line_health h = {42, 3, 0, 0, 0, 0, 40, 11, 14};
    health_text(h, text, sizeof text);
    EXPECT_STREQ("42 exchanges, 3 retries, 0 failed, answer 11 ms median, 14 ms slowest", text);
    h = {1, 1, 1, 1, 1, 0, 0, 0, 0};
    health_text(h, text, sizeof text);
    EXPECT_STREQ("1 exchange, 1 retry, 1 failed, no answer to time; 2 faults: 1 no answer, "
                 "1 refused",
                 text);
    health_reset();
    EXPECT_EQ(0, health_of(0x01, &h));
    EXPECT_EQ(0u, h.exchanges);
}

static int count_told(void* ctx, const bus_row&, unsigned done, unsigned total)
{
    EXPECT_LE(done, total);
    ++*(int*)ctx;
    return 0;
}

TEST_F(Bus, ReadComparedWrittenAndRecorded)
{
    std::string state = dir.file("state");
    write_file(state, "01 010078 02\n01 010079 09\n01 010072 08\n01 010074 07\n01 010075 06\n"
                      "01 010077 05\n");
    Sim sim({"--address", "01", "--address", "02", "--address", "05", "--collide", "07", "--state",
             state});
    ASSERT_EQ(0, open(sim.path));
    std::vector<bus_row> rows;
    int told = 0;
    ASSERT_EQ(SCAN_DONE, bus_read(h, 0x01, 0x08, rows, count_told, &told));
    ASSERT_EQ(4u, rows.size());
    EXPECT_EQ(8 + 1 + 3 * 2, told);  // each address asked, the garbled one, each read and its row
    const int states[] = {ROW_READ, ROW_READ, ROW_READ, ROW_GARBLED};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(states[i], rows[(size_t)i].state) << i;
    EXPECT_EQ(0x07, rows[3].address);
    EXPECT_EQ(15, rows[1].settings.er79);

    std::vector<backup_entry> file;
    std::string message;
    ASSERT_TRUE(parse_backup("site.json", backup_of({"01", "02", "09"}), file, message));
    bus_compare_rows(rows, file);
    ASSERT_EQ(5u, rows.size());
    EXPECT_EQ(COMPARED_SAME, rows[0].compared);
    EXPECT_EQ(COMPARED_DIFFERS, rows[1].compared);
    EXPECT_EQ(0x3Fu, rows[1].differ);
    EXPECT_EQ(COMPARED_NOT_IN_FILE, rows[2].compared);
    EXPECT_EQ(ROW_MISSING, rows[4].state);
    EXPECT_EQ("differs (6): type milliliter -> liter, ER79 15 -> 9, ER72 10 -> 8, ER74 5 -> 7, "
              "ER75 3 -> 6, ER77 50 -> 5",
              bus_compared_text(rows[1]));

    // The file's 02 written to 02 and read back: now it matches.
    EXPECT_EQ(RESTORE_DONE, bus_write_row(h, rows[1], file[1].settings));
    EXPECT_EQ(ROW_WRITTEN, rows[1].state);
    bus_compare_rows(rows, file);
    EXPECT_EQ(COMPARED_SAME, rows[1].compared);
    EXPECT_EQ(5u, rows.size());  // the missing row not twice

    EXPECT_EQ("address,type,inverse,ER79,ER72,ER74,ER75,ER77,exchanges,retries,failed,"
              "no answer,refused,garbled,answer median ms,answer slowest ms,state,"
              "\"site, 2026.json\"\r\n",
              bus_csv_header("site, 2026.json"));
    line_health h1 = of(0x01);
    h1.median_ms = 3;
    h1.slowest_ms = 9;
    EXPECT_EQ("01,liter,off,9,8,7,6,5,7,0,0,0,0,0,3,9,read,matches\r\n",
              bus_csv_row(rows[0], &h1, "site.json"));
    EXPECT_EQ("07,,,,,,,,,,,,,,,,garbled answers: two controllers may share this address\r\n",
              bus_csv_row(rows[3], nullptr, nullptr));
    EXPECT_EQ("09,,,,,,,,,,,,,,,,missing: no answer,missing\r\n",
              bus_csv_row(rows[4], nullptr, "x"));
    // Cells a spreadsheet would take for a formula stay text.
    const char* cells[][2] = {{"-1", "'-1"},   {"@x", "'@x"},       {"+x", "'+x"},
                              {"\tx", "'\tx"}, {"\rx", "\"'\rx\""}, {"a=b", "a=b"}};
    for (const auto& c : cells)
        EXPECT_EQ(c[1], csv_field(c[0]));
}

TEST_F(Bus, AGarbledAnswerThatComesCleanOnARetryIsNoCollision)
{
    // At the line's own pace the garbled answer's second byte comes late:
    // it is no answer to the retry.
    Sim sim({"--collide", "04", "--collide-for", "1", "--baud", "4800"});
    ASSERT_EQ(0, open(sim.path));
    exchange_set_options({ANSWER_TIMEOUT_MS, 1});
    std::vector<bus_row> rows;
    ASSERT_EQ(SCAN_DONE, bus_read(h, 0x03, 0x05, rows, nullptr, nullptr));
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(ROW_READ, rows[0].state);
    line_health four = of(0x04);
    EXPECT_EQ(1u, four.retries);
    EXPECT_EQ(1u, four.garbled);
    EXPECT_EQ(0u, four.failed);

    // More bytes than an answer are garbled too, in a scan.
    Sim stray({"--stray", "EE"});
    free_port(h, 0);
    ASSERT_EQ(0, open(stray.path));
    ASSERT_EQ(SCAN_DONE, bus_read(h, 0x01, 0x01, rows, nullptr, nullptr));
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(ROW_GARBLED, rows[0].state);
}

// A controller that reads back otherwise than written: the row says so and
// holds what it read back, and the comparison marks what differs.
TEST_F(Bus, AWriteThatReadsBackOtherwiseSaysSo)
{
    Sim sim({"--corrupt-read", "2"});  // the read-back's ER79
    ASSERT_EQ(0, open(sim.path));
    std::vector<backup_entry> file;
    std::string message;
    ASSERT_TRUE(parse_backup("site.json", backup_of({"01"}), file, message)) << message;
    std::vector<bus_row> rows(1);
    rows[0].address = 0x01;
    EXPECT_EQ(RESTORE_READS_OTHERWISE, bus_write_row(h, rows[0], file[0].settings));
    EXPECT_EQ("written, reads back otherwise", bus_row_state_text(rows[0]));
    bus_compare_rows(rows, file);
    EXPECT_EQ(1u << REG_ER79, rows[0].differ);
}

// Each state in kp6ctl restore's words, the CSV's too; a failed row keeps
// its cause when a stopped write passes it by, any other says "not written".
TEST(BusRowWords, StatesSayWhatRestoreSays)
{
    bus_row r = {};
    r.address = 0x05;
    r.state = ROW_READS_OTHERWISE;
    EXPECT_EQ("written, reads back otherwise", bus_row_state_text(r));
    EXPECT_NE(std::string::npos,
              bus_csv_row(r, nullptr, nullptr).find(",\"written, reads back otherwise\"\r\n"));
    r.not_written = 1;
    EXPECT_EQ("not written", bus_row_state_text(r));
    r.state = ROW_WRITE_FAILED;
    r.failed_step = 2;
    r.fault = "no answer in 1000 ms";
    EXPECT_EQ("write failed: Error write ER78: no answer in 1000 ms", bus_row_state_text(r));
    r.failed_step = -3;
    EXPECT_EQ("write stopped before ER79", bus_row_state_text(r));
    r.not_written = 0;
    r.state = ROW_FAILED;
    r.failed_step = -2;
    EXPECT_EQ("read stopped before ER79", bus_row_state_text(r));
    r.state = ROW_NOT_READ_BACK;
    EXPECT_EQ("written, not read back (stopped)", bus_row_state_text(r));

    // A read (again) whose answers stay garbled is no controller's.
    exchange_last_fault = exchange_fault();
    exchange_last_fault.kind = FAULT_COLLISION;
    bus_row_read(r, device_settings(), 1);
    EXPECT_EQ(ROW_GARBLED, r.state);
    EXPECT_EQ(0, bus_row_has_settings(r));
    exchange_last_fault = exchange_fault();
}

static int count_asked(void* ctx, unsigned char, int answered, unsigned char)
{
    *(int*)ctx += answered == SCAN_ASKING;
    return 0;
}

// The window's retries: a clean line's scan asks each address once; a lossy
// one's silent addresses are asked again until every controller is read.
TEST_F(Bus, SilentAddressesAreAskedAgainOnlyOnALossyLine)
{
    exchange_options o = {300, 2};
    o.silent_on_loss = 1;
    exchange_set_options(o);
    Sim clean({"--address", "01", "--address", "05"});
    ASSERT_EQ(0, open(clean.path));
    int asked = 0;
    unsigned next;
    EXPECT_EQ(SCAN_DONE, bus_scan(h, 0x01, 0x08, 100, count_asked, &asked, &next));
    EXPECT_EQ(8, asked);
    free_port(h, 0);
    Sim lossy({"--address", "01", "--address", "03", "--address", "05", "--drop-every", "4"});
    ASSERT_EQ(0, open(lossy.path));
    std::vector<bus_row> rows;
    ASSERT_EQ(SCAN_DONE, bus_read(h, 0x01, 0x06, rows, nullptr, nullptr));
    ASSERT_EQ(3u, rows.size());
    for (const bus_row& r : rows)
        EXPECT_EQ(ROW_READ, r.state) << (int)r.address;
}

// Find scans inside the window: the window's next Read runs as before it.
TEST_F(Bus, AScanLeavesTheExchangeOptionsAsTheyWere)
{
    exchange_set_options({700});
    Sim sim({"--address", "02"});
    ASSERT_EQ(0, open(sim.path));
    int asked = 0;
    unsigned next;
    ASSERT_EQ(SCAN_DONE, bus_scan(h, 0x01, 0x03, 100, count_asked, &asked, &next));
    const exchange_options& o = exchange_get_options();
    EXPECT_EQ(700u, o.answer_timeout_ms);
    EXPECT_EQ(0, o.answer_after_frame + o.whole_answers);
    EXPECT_EQ(1, o.repeat_silence);
}
