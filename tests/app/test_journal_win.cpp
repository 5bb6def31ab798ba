// The window's journal: Read and Write recorded, a Write refused that the
// journal cannot record, and History (Ctrl+H), against kp6-sim.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "../../app/history.h"
#include "../../app/kp6form.h"
#include "../support/sim.h"
#include "gui_support.h"

using nlohmann::json;

class WindowJournal : public WindowTest {
protected:
    TempDir regs, place;
    std::string state = regs.file("state"), journal = place.file("journal.jsonl");
    std::unique_ptr<Sim> sim;

    void SetUp() override
    {
        WindowTest::SetUp();
        set_env("KP6_JOURNAL", journal.c_str());
    }
    void TearDown() override
    {
        set_env("KP6_JOURNAL", nullptr);
        WindowTest::TearDown();
    }
    void open_on(const std::string& prepared)
    {
        ASSERT_NO_FATAL_FAILURE(start_sim(sim, state, {}, prepared));
        build(sim->path);
        OpenButton_OnClick(MainForm->OpenButton);
        ASSERT_NE(0, port);
    }
    // Clicks `b` through X: the alerts it showed.
    std::vector<std::string> click_for_alert(Fl_Button* b)
    {
        AlertCatcher alerts;
        click(b);
        pump_until([&] { return !alerts.texts.empty(); }, 20000);
        return alerts.texts;
    }
    std::vector<json> records()
    {
        std::vector<json> out;
        std::string text = read_file(journal);
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            out.push_back(json::parse(text.substr(at, end - at), nullptr, false));
        return out;
    }
};

TEST_F(WindowJournal, ReadAndWriteThroughXAreRecorded)
{
    open_on("01 010078 02\n01 010079 07\n01 010072 1E\n");
    AlertCatcher none;
    click(MainForm->ReadButton);
    ASSERT_TRUE(pump_until([&] { return records().size() == 1; }, 20000));
    EXPECT_TRUE(none.texts.empty());
    MainForm->ER72_Input->value("94");
    EXPECT_EQ(std::vector<std::string>{"Write OK"}, click_for_alert(MainForm->WriteButton));
    std::vector<json> r = records();
    ASSERT_EQ(8u, r.size());
    EXPECT_EQ("found", r[0]["event"]);
    EXPECT_EQ("01", r[0]["address"]);
    const char* order[] = {"IR24", "ER78", "ER79", "ER72", "ER74", "ER75", "ER77"};
    for (int i = 1; i < 8; i++) {
        EXPECT_EQ("change", r[i]["event"]);
        EXPECT_EQ(order[i - 1], r[i]["setting"]);
        EXPECT_EQ("kp6 1.0.0", r[i]["program"]);
        EXPECT_EQ(sim->path, r[i]["line"]);
        EXPECT_EQ("acknowledged", r[i]["result"]);
        EXPECT_FALSE(r[i].contains("after"));
    }
    EXPECT_EQ(30, r[4]["before"]);
    EXPECT_EQ(94, r[4]["asked"]);
    EXPECT_EQ(7, r[3]["before"]);
}

TEST_F(WindowJournal, AJournalThatIsAFolderRefusesTheWriteUnsent)
{
    open_on("01 010078 02\n");
    set_env("KP6_JOURNAL", place.path.c_str());
    std::vector<std::string> said = click_for_alert(MainForm->ReadButton);
    ASSERT_EQ(1u, said.size());
    EXPECT_EQ(0u, said[0].find("01 read, but the journal could not record it: ")) << said[0];
    Fl::wait(0.3);
    size_t frames = sim->trace(0, 0).size();
    MainForm->ER79_Input->value("9");
    said = click_for_alert(MainForm->WriteButton);
    ASSERT_EQ(1u, said.size());
    EXPECT_EQ("Nothing was written: the journal cannot record the changes\nthe journal " +
                  place.path + " is a folder, not a file",
              said[0]);
    Fl::wait(0.3);
    EXPECT_EQ(frames, sim->trace(0, 0).size());  // not even the confirming reads
    EXPECT_NE(std::string::npos, read_file(state).find("01 010078 02"));
}

TEST_F(WindowJournal, HistoryShowsTheVerdictAndTheTypedAddressNewestFirst)
{
    build(place.file("no-port"));
    // Records as kp6ctl on another line left them.
    journal_writer w = {journal, "kp6ctl 1.0.0", "/dev/ttyUSB0", ""};
    device_settings s = {2, 7, 30, 4, 5, 6};
    int error = 0;
    ASSERT_EQ(JOURNAL_OK, journal_found(w, 0x01, s, nullptr, &error));
    ASSERT_EQ(JOURNAL_OK, journal_found(w, 0x05, s, nullptr, &error));
    ASSERT_EQ(JOURNAL_OK, journal_change(w, 0x01, "ER72", 30, 94, 94, "confirmed", &error));
    auto history = [&] {
        when_window("History", "sleep 0.3 key Escape");
        xdotool("mousemove --window " + std::to_string(xid(MainForm)) + " 400 300 key ctrl+h");
        EXPECT_TRUE(window_driven(20000));
    };
    history();
    Fl_Hold_Browser* list = history_dialog.list;
    EXPECT_STREQ("journal intact: 3 records", history_dialog.verdict->label());
    ASSERT_EQ(3, list->size());  // the heading, then the newest first
    EXPECT_NE(nullptr, strstr(list->text(2), "ER72\t@.30 → 94\t@.confirmed")) << list->text(2);
    EXPECT_NE(nullptr, strstr(list->text(3), "read")) << list->text(3);

    std::string text = read_file(journal);
    text.replace(text.find("ttyUSB0"), 7, "ttyUSB1");  // the first record altered
    write_file(journal, text);
    history();
    EXPECT_EQ(0u, std::string(history_dialog.verdict->label()).find("journal damaged at record "));
    EXPECT_EQ(3, list->size());  // what can be read is still shown
}
