// The bus window against kp6-sim playing three controllers, driven by keys.
#include <gtest/gtest.h>

#include <string>

#include <FL/fl_draw.H>

#include "../../app/buswin.h"
#include "../../app/find.h"
#include "../../app/prefs.h"
#include "../../device/backupfile.h"
#include "../../device/journal.h"
#include "../support/netpeer.h"
#include "../support/sim.h"
#include "gui_support.h"

class BusWindow : public WindowTest {
protected:
    TempDir regs;
    std::string state = regs.file("state");
    std::unique_ptr<Sim> sim;

    void TearDown() override
    {
        if (bus_window.window) {
            bus_window.window->hide();
            delete bus_window.window;
        }
        bus_window = bus_window_t();
        bus_state = bus_state_t();
        WindowTest::TearDown();
    }
    void SetUp() override
    {
        WindowTest::SetUp();
        health_reset();  // kept for the process's life, as in the window
    }
    // The simulator at 01, 05 and 1F (and `more` arguments), the window's
    // port open on it.
    void open_on(const std::string& prepared, std::vector<std::string> more = {})
    {
        write_file(state, prepared);
        std::vector<std::string> args = {"--address", "01", "--address", "05", "--address", "1F"};
        args.insert(args.end(), more.begin(), more.end());
        ASSERT_NO_FATAL_FAILURE(start_sim(sim, state, args));
        build(sim->path);
        OpenButton_OnClick(MainForm->OpenButton);
        ASSERT_NE(0, port);
    }
    std::string bus() { return std::to_string(xid(bus_window.window)); }
    // Keys to the bus window, the pointer on its table.
    void keys(const std::string& k) { xdotool("mousemove --window " + bus() + " 300 200 " + k); }
    // Ctrl+B, the whole-bus read it starts stopped by Escape, then the
    // range typed and read with F5.
    void open_and_read(const std::string& range)
    {
        when_window(gettext_easy("Bus"), "sleep 0.5 mousemove --window %w 300 200 key Escape");
        xdotool("mousemove --window " + std::to_string(xid(MainForm)) + " 400 300 key ctrl+b");
        EXPECT_TRUE(window_driven(20000));
        ASSERT_TRUE(pump_until([] { return bus_window.window && !bus_state.busy; }, 20000));
        std::string stopped = gettext_easy("Stopped; found: %d");
        EXPECT_EQ(0u,
                  std::string(bus_window.status->label()).find(stopped.erase(stopped.find('%'))));
        EXPECT_LT(selections(*sim), 100u);
        EXPECT_TRUE(MainForm->active());
        click(bus_window.range);
        xdotool("key ctrl+a type " + range);
        keys("key F5");
        ASSERT_TRUE(pump_until([] { return !bus_state.busy; }, 30000));
    }
    // Ctrl+`key`, then `name` given to the file dialog titled `title`.
    void through_file_dialog(const std::string& key, const std::string& title,
                             const std::string& name)
    {
        when_window(title, "mousemove --window %w 30 10 sleep 0.1 key Return", name);
        keys("key ctrl+" + key);
        EXPECT_TRUE(window_driven(20000)) << "no " << title;
    }
    const bus_row& row(size_t i) { return bus_state.rows.at(i); }
    std::string cell(size_t i, int col)
    {
        int differs;
        return bus_cell_text(row(i), col, &differs);
    }
    // The middle of row `r`'s address cell, in the window (none scrolled).
    std::string row_at(int r)
    {
        Fl_Table_Row* t = bus_window.table;
        int x = t->x() + Fl::box_dx(t->box()) + t->col_width(0) / 2;
        int y = t->y() + Fl::box_dy(t->box()) + t->col_header_height() + r * t->row_height(0) +
                t->row_height(0) / 2;
        return std::to_string(x) + " " + std::to_string(y);
    }
};

// An RFC 4180 file's lines, each split into its fields; every line must
// end in CR LF.
static std::vector<std::vector<std::string>> csv_lines(const std::string& text)
{
    std::vector<std::vector<std::string>> lines(1, std::vector<std::string>(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        std::string& field = lines.back().back();
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"')
            field += text[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == ',')
            lines.back().emplace_back();
        else if (!quoted && c == '\r' && text.compare(i, 2, "\r\n") == 0 && ++i)
            lines.emplace_back(1);
        else
            field += c;
    }
    EXPECT_EQ(std::vector<std::string>(1), lines.back()) << "no CR LF at the end";
    lines.pop_back();
    return lines;
}

// Each controller's six registers: ER78, ER79, ER72, ER74, ER75, ER77.
static std::string registers(const std::string& a, const char* values)
{
    static const char* regs[] = {"78", "79", "72", "74", "75", "77"};
    std::string out;
    for (int i = 0; i < 6; i++)
        out += a + " 0100" + regs[i] + " " + std::string(values + 3 * i, 2) + "\n";
    return out;
}

TEST_F(BusWindow, ReadsTheBusStopsAtEscapeAndADoubleClickReadsInTheMainWindow)
{
    open_on(registers("01", "12 07 0A 05 03 32") + registers("1F", "0A 01 02 03 04 05"));
    open_and_read("01-20");
    ASSERT_EQ(3u, bus_state.rows.size());
    EXPECT_EQ("Found: 3", std::string(bus_window.status->label()));
    const char* shown[3][8] = {{"01", "Liter", "yes", "7", "10", "5", "3", "50"},
                               {"05", "Milliliter", "no", "15", "10", "5", "3", "50"},
                               {"1F", "Hand", "no", "1", "2", "3", "4", "5"}};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(ROW_READ, row(i).state);
        for (int c = 0; c <= BUS_COL_ER77; c++)
            EXPECT_EQ(shown[i][c], cell(i, c)) << i << " " << c;
        EXPECT_EQ("read", cell(i, BUS_COL_STATE));
        EXPECT_LE(7, std::stoi(cell(i, BUS_COL_EXCHANGES)));  // the scan's and the Read's
        EXPECT_EQ("0", cell(i, BUS_COL_FAILED));
    }
    EXPECT_EQ(0, bus_window.progress->value());

    // Read again: the row selected alone.
    std::string asked[3] = {cell(0, BUS_COL_EXCHANGES), cell(1, BUS_COL_EXCHANGES),
                            cell(2, BUS_COL_EXCHANGES)};
    keys("mousemove --window " + bus() + " " + row_at(1) + " click 1");
    click(bus_window.again);
    ASSERT_TRUE(pump_until([] { return !bus_state.busy; }, 10000));
    EXPECT_EQ(std::stoi(asked[1]) + 6, std::stoi(cell(1, BUS_COL_EXCHANGES)));
    EXPECT_EQ(asked[0], cell(0, BUS_COL_EXCHANGES));
    EXPECT_EQ(asked[2], cell(2, BUS_COL_EXCHANGES));
    EXPECT_EQ("Read again: 1 of 1", std::string(bus_window.status->label()));

    keys("mousemove --window " + bus() + " " + row_at(2) + " click --repeat 2 --delay 80 1");
    EXPECT_TRUE(pump_until([] { return MainForm->Hand_Type->value() == 1; }, 10000));
    EXPECT_STREQ("1F", MainForm->AddressInput->value());
    EXPECT_STREQ("4", MainForm->ER75_Input->value());
}

TEST_F(BusWindow, ComparesWithASiteFileExportsItAndSavesTheBus)
{
    // As backup_of writes them, but 05's ER77 is 6.
    const char* site = "02 09 08 07 06 05";
    open_on(registers("01", site) + registers("05", "02 09 08 07 06 06") + registers("1F", site));
    open_and_read("01-1F");
    write_file(dir.file("site.json"), backup_of({"01", "05", "1F", "20"}));
    write_file(dir.file("twice.json"), backup_of({"01", "1"}));
    {
        AlertCatcher alerts;
        through_file_dialog("o", "Compare with", "twice.json");
        ASSERT_EQ(1u, alerts.texts.size());
        EXPECT_EQ(0u, alerts.texts[0].find("File not compared\n")) << alerts.texts[0];
        EXPECT_EQ(3u, bus_state.rows.size());
    }
    through_file_dialog("o", "Compare with", "site.json");
    ASSERT_EQ(4u, bus_state.rows.size());
    EXPECT_EQ((std::vector<int>{1, 2, 1}),
              (std::vector<int>{row(0).compared, row(1).compared, row(2).compared}));
    EXPECT_EQ(1u << REG_ER77, row(1).differ);
    EXPECT_EQ("\xE2\x89\xA0 6 (5)", cell(1, BUS_COL_ER77));
    EXPECT_EQ("differs (1)", cell(1, BUS_COL_COMPARED));
    EXPECT_EQ(ROW_MISSING, row(3).state);
    EXPECT_EQ(0x20, row(3).address);

    through_file_dialog("e", "Export the bus", "record.csv");
    std::vector<std::vector<std::string>> csv = csv_lines(read_file(dir.file("record.csv")));
    ASSERT_EQ(5u, csv.size());
    EXPECT_EQ((std::vector<std::string>{"address", "type", "inverse", "ER79", "ER72", "ER74",
                                        "ER75", "ER77"}),
              std::vector<std::string>(csv[0].begin(), csv[0].begin() + 8));
    EXPECT_EQ("site.json", csv[0].back());
    EXPECT_EQ((std::vector<std::string>{"05", "liter", "off", "9", "8", "7", "6", "6"}),
              std::vector<std::string>(csv[2].begin(), csv[2].begin() + 8));
    EXPECT_EQ(0u, csv[2].back().find("differs (1)")) << csv[2].back();
    EXPECT_EQ("matches", csv[3].back());
    EXPECT_EQ("20", csv[4][0]);
    EXPECT_EQ("", csv[4][1]);
    EXPECT_EQ("missing", csv[4].back());
    for (const auto& line : csv)
        EXPECT_EQ(csv[0].size(), line.size());

    {
        AlertCatcher alerts;  // a folder that cannot be written, by root neither
        through_file_dialog("e", "Export the bus", "/proc/kp6.csv");
        ASSERT_EQ(1u, alerts.texts.size());
        EXPECT_EQ(0u, alerts.texts[0].find("Record not written\ncannot write /proc/kp6.csv: "))
            << alerts.texts[0];
    }
    through_file_dialog("s", "Save the bus", "bus.json");
    std::vector<backup_entry> saved;
    std::string message;
    ASSERT_TRUE(load_backup(dir.file("bus.json"), saved, message)) << message;
    ASSERT_EQ(3u, saved.size());
    EXPECT_EQ(0x1F, saved[2].address);
    EXPECT_EQ(6, saved[1].settings.er77);
    EXPECT_EQ(2, saved[0].settings.er78);
}

// A window as shown, to KP6_SHOTS/NAME.ppm when that folder is named.
static void shoot(Fl_Window* w, const std::string& name)
{
    const char* shots = getenv("KP6_SHOTS");
    if (!shots || !w || !w->shown())
        return;
    w->make_current();
    uchar* px = fl_read_image(nullptr, 0, 0, w->w(), w->h());
    std::string ppm = "P6\n" + std::to_string(w->w()) + " " + std::to_string(w->h()) + "\n255\n";
    write_file(std::string(shots) + "/" + name + ".ppm",
               ppm + std::string((char*)px, (size_t)w->w() * w->h() * 3));
    delete[] px;
}

// The dialog of that title, shot once it shows (KP6_SHOTS_RU: the Russian
// one, its name ending in -ru).
static std::string shot_title, shot_name;
static int shot_ticks;
static void shoot_if_shown(void*)
{
    for (Fl_Window* x = Fl::first_window(); x; x = Fl::next_window(x))
        if (x->label() && shot_title == x->label() && x->shown() && ++shot_ticks == 4) {
            shoot(x, shot_name);  // drawn by now
            return;
        }
    Fl::repeat_timeout(0.05, shoot_if_shown);
}
static void shoot_when_shown(const char* title, const char* name)
{
    if (!getenv("KP6_SHOTS"))
        return;
    shot_title = title, shot_name = std::string(name) + (getenv("KP6_SHOTS_RU") ? "-ru" : "-en");
    shot_ticks = 0;
    Fl::add_timeout(0.05, shoot_if_shown);
}

TEST_F(BusWindow, WritesATemplateToTheSelectedRowsAndReadsThemBack)
{
    open_on("", {"--turnaround", "40"});  // a controller's write takes a second
    open_and_read("01-1F");
    ASSERT_EQ(3u, bus_state.rows.size());
    write_file(dir.file("template.json"), backup_of({"01"}));
    through_file_dialog("o", "Compare with", "template.json");
    EXPECT_EQ("differs (6)", cell(0, BUS_COL_COMPARED));
    EXPECT_EQ("differs (6)", cell(2, BUS_COL_COMPARED));

    keys("mousemove --window " + bus() + " " + row_at(1) + " click 1 mousemove --window " + bus() +
         " " + row_at(2) + " keydown ctrl click 1 keyup ctrl");
    if (getenv("KP6_SHOTS_RU")) {
        ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
        bus_texts_forget();
    }
    shoot_when_shown(gettext_easy("Write file to selected"), "write-preview");
    when_window(gettext_easy("Write file to selected"),
                "mousemove --window %w 30 10 sleep 0.3 key Return");
    keys("key ctrl+w");
    EXPECT_TRUE(window_driven(20000));
    ASSERT_TRUE(pump_until([] { return !bus_state.busy; }, 20000));
    EXPECT_EQ("Written: 2 of 2", std::string(bus_window.status->label()));
    std::string regs_now = read_file(state);
    for (const char* a : {"05", "1F"}) {
        EXPECT_NE(std::string::npos, regs_now.find(std::string(a) + " 010079 09")) << regs_now;
        EXPECT_NE(std::string::npos, regs_now.find(std::string(a) + " 010078 02")) << regs_now;
    }
    EXPECT_EQ(std::string::npos, regs_now.find("01 010079 09")) << regs_now;
    EXPECT_EQ(ROW_WRITTEN, row(1).state);
    EXPECT_EQ("matches", cell(2, BUS_COL_COMPARED));  // compared from what was read back
    EXPECT_EQ("differs (6)", cell(0, BUS_COL_COMPARED));
    // Journaled: each row read, then each setting written, read back as asked.
    std::string journal = read_file(home.file("journal.jsonl"));
    for (const char* a : {"05", "1F"})
        EXPECT_NE(std::string::npos, journal.find(std::string("\"address\":\"") + a +
                                                  "\",\"setting\":\"ER79\",\"before\""))
            << journal;
    size_t confirmed = 0;
    for (size_t at = 0; (at = journal.find("\"result\":\"confirmed\"", at)) != std::string::npos;
         at++)
        confirmed++;
    EXPECT_EQ(2u * 6, confirmed);  // IR24 is not read back

    // Every row, Escape while the first is written: it is finished, the
    // others are named and left untouched.
    AlertCatcher alerts;
    when_window("Write file to selected", "mousemove --window %w 30 10 sleep 0.3 key Return sleep "
                                          "0.3 mousemove --window " +
                                              bus() + " 300 200 key Escape");
    keys("key ctrl+a ctrl+w");
    EXPECT_TRUE(window_driven(20000));
    ASSERT_TRUE(pump_until([&] { return !bus_state.busy && !alerts.texts.empty(); }, 20000));
    EXPECT_EQ(std::vector<std::string>{"Stopped; not written: 05, 1F"}, alerts.texts);
    EXPECT_EQ("not written", cell(1, BUS_COL_STATE));  // though written the time before
    EXPECT_EQ(ROW_WRITTEN, row(0).state);
    EXPECT_EQ("matches", cell(0, BUS_COL_COMPARED));
    EXPECT_NE(std::string::npos, read_file(state).find("01 010079 09"));
}

TEST_F(BusWindow, TwoControllersAnsweringAtOneAddressAreNamed)
{
    open_on("", {"--collide", "05"});
    open_and_read("01-1F");
    ASSERT_EQ(3u, bus_state.rows.size());
    EXPECT_EQ(ROW_GARBLED, row(1).state);
    EXPECT_EQ("garbled answers: two controllers may share this address", cell(1, BUS_COL_STATE));
    EXPECT_EQ("", cell(1, BUS_COL_TYPE));
    EXPECT_EQ(ROW_READ, row(0).state);
    EXPECT_EQ(ROW_READ, row(2).state);
    EXPECT_EQ("Found: 2", std::string(bus_window.status->label()));

    // Read again, every row: 05 stays garbled, and Write passes it by.
    keys("mousemove --window " + bus() + " " + row_at(0) + " click 1 mousemove --window " + bus() +
         " " + row_at(2) + " keydown shift click 1 keyup shift");
    click(bus_window.again);
    ASSERT_TRUE(pump_until([] { return !bus_state.busy && bus_window.again->active(); }, 30000));
    EXPECT_EQ(ROW_GARBLED, row(1).state);
    write_file(dir.file("template.json"), backup_of({"01"}));
    through_file_dialog("o", "Compare with", "template.json");
    when_window(gettext_easy("Write file to selected"),
                "mousemove --window %w 30 10 sleep 0.3 key Return");
    keys("key ctrl+w");
    EXPECT_TRUE(window_driven(20000));
    ASSERT_TRUE(pump_until([] { return !bus_state.busy; }, 20000));
    EXPECT_EQ("Written: 2 of 2; garbled answers, not written: 05",
              std::string(bus_window.status->label()));
    EXPECT_EQ(std::string::npos, read_file(state).find("05 000024")) << read_file(state);
}

// The simulator gone while the bus is read again: the rows done keep their
// state, the rest stay not read, and one box says why.
TEST_F(BusWindow, ALostLineKeepsTheRowsDoneAndSaysSoOnce)
{
    open_on("", {"--turnaround", "20"});
    open_and_read("01-1F");
    ASSERT_EQ(3u, bus_state.rows.size());
    static Sim* to_stop;
    to_stop = sim.get();
    static void (*watch)(void*) = [](void*) {
        if (bus_state.busy && bus_state.rows.size() == 3 && bus_state.rows[0].state == ROW_READ)
            to_stop->stop(9);
        else
            Fl::repeat_timeout(0.01, watch);
    };
    Fl::add_timeout(0.01, watch);
    AlertCatcher alerts;
    keys("key F5");
    ASSERT_TRUE(pump_until([&] { return !bus_state.busy && !alerts.texts.empty(); }, 20000));
    Fl::wait(0.3);
    ASSERT_EQ(1u, alerts.texts.size());
    EXPECT_EQ(0u, alerts.texts[0].find("The line was lost\n")) << alerts.texts[0];
    EXPECT_EQ(ROW_READ, row(0).state);
    EXPECT_EQ(ROW_NOT_READ, row(2).state);
    EXPECT_EQ(0u, std::string(bus_window.status->label()).find("The line was lost; found: 3"));
    EXPECT_EQ(0, port);  // closed, so that it can be opened again
    EXPECT_TRUE(MainForm->OpenButton->active());
}

// Every fourth answer lost: with the Retries the window starts with, every
// row is read; with none, every row fails. The choice is remembered, and
// the main window keeps its single try.
TEST_F(BusWindow, RetriesReadEveryRowOfALossyLine)
{
    open_on("", {"--drop-every", "4"});
    open_and_read("01-1F");
    ASSERT_EQ(3u, bus_state.rows.size());
    EXPECT_EQ("Found: 3", std::string(bus_window.status->label()));
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(ROW_READ, row(i).state) << i;
        EXPECT_LT(0, std::stoi(cell(i, BUS_COL_RETRIES))) << i;
    }
    EXPECT_EQ(0, exchange_get_options().retries);

    click(bus_window.retries);
    xdotool("key ctrl+a type 0");
    keys("mousemove --window " + bus() + " " + row_at(0) + " click 1 mousemove --window " + bus() +
         " " + row_at(2) + " keydown shift click 1 keyup shift");
    click(bus_window.again);
    ASSERT_TRUE(pump_until([] { return !bus_state.busy && bus_window.again->active(); }, 30000));
    EXPECT_EQ("Read again: 0 of 3", std::string(bus_window.status->label()));
    prefs_load();
    EXPECT_EQ(0, pref_retries);
}

// 1F written from the main window after the bus was read: Compare reads it
// again and shows what it holds now.
TEST_F(BusWindow, CompareReadsAgainARowWrittenFromTheMainWindow)
{
    const char* site = "02 09 08 07 06 05";
    open_on(registers("01", site) + registers("05", site) + registers("1F", site));
    open_and_read("01-1F");
    write_file(dir.file("site.json"), backup_of({"01", "05", "1F"}));
    keys("mousemove --window " + bus() + " " + row_at(2) + " click --repeat 2 --delay 80 1");
    ASSERT_TRUE(pump_until([] { return std::string(MainForm->ER77_Input->value()) == "5"; },
                           10000));
    {
        AlertCatcher alerts;
        click(MainForm->ER77_Input);
        xdotool("key ctrl+a type 9");
        click(MainForm->WriteButton);
        ASSERT_TRUE(pump_until([&] { return !alerts.texts.empty(); }, 20000));
    }
    ASSERT_NE(std::string::npos, read_file(state).find("1F 010077 09"));
    through_file_dialog("o", "Compare with", "site.json");
    ASSERT_TRUE(pump_until([] { return !bus_state.busy; }, 20000));
    EXPECT_EQ("\xE2\x89\xA0 9 (5)", cell(2, BUS_COL_ER77));
    EXPECT_EQ("differs (1)", cell(2, BUS_COL_COMPARED));
    EXPECT_EQ("matches", cell(0, BUS_COL_COMPARED));
}

// In Russian: the selected row's state and health under the table, every
// button as wide as its words; Clear health starts the counts again.
TEST_F(BusWindow, RussianHealthLineAndButtonsWhole)
{
    ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
    open_on("");
    open_and_read("01-1F");
    ASSERT_EQ(3u, bus_state.rows.size());
    keys("mousemove --window " + bus() + " " + row_at(1) + " click 1");
    ASSERT_TRUE(pump_until([] { return bus_window.status->label()[0] == '0'; }, 10000));
    std::string said = bus_window.status->label();
    EXPECT_EQ(0u, said.find("05: прочитан\nобменов: ")) << said;
    EXPECT_NE(std::string::npos, said.find("неудачных: 0, ответ: медиана ")) << said;
    fl_font(FL_HELVETICA, 12);
    Fl_Widget* buttons[] = {bus_window.read,   bus_window.again,   bus_window.stop,
                            bus_window.clear,  bus_window.compare, bus_window.write,
                            bus_window.record, bus_window.save,    bus_window.report};
    for (Fl_Widget* b : buttons)
        EXPECT_LE(fl_width(b->label()) + 8, b->w()) << b->label();
    click(bus_window.clear);
    ASSERT_TRUE(pump_until([&] { return cell(1, BUS_COL_EXCHANGES).empty(); }, 10000));
    EXPECT_STREQ("Счётчики линии обнулены", bus_window.status->label());
}

// Ctrl+P: the site (remembered) and technician asked, then the file; the
// report holds the rows' journal records since the window opened, in the
// window's language.
TEST_F(BusWindow, ReportOfTheRowsSinceTheWindowOpened)
{
    bool ru = getenv("KP6_SHOTS_RU") != nullptr;
    if (ru) {
        ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
    }
    set_env("KP6_JOURNAL", dir.file("journal.jsonl").c_str());
    open_on("");
    open_and_read("01-1F");
    journal_writer w{dir.file("journal.jsonl"), "kp6 1.0.0", sim->path, ""};
    int e;
    device_settings was = row(1).settings, now = was;
    now.er79 = 42;
    ASSERT_EQ(JOURNAL_OK, journal_found(w, 0x05, was, nullptr, &e));
    ASSERT_EQ(JOURNAL_OK, journal_change(w, 0x05, "ER79", was.er79, 42, 42, JOURNAL_CONFIRMED, &e));
    ASSERT_EQ(JOURNAL_OK, journal_found(w, 0x05, now, nullptr, &e));
    shoot(bus_window.window, ru ? "buswin-report-ru" : "buswin-report-en");
    shoot_when_shown(gettext_easy("Service report"), "report-dialog");
    when_window(gettext_easy("Service report"), "sleep 2 mousemove --window %w 30 10 key Return",
                "Pump station 4");
    then_window(gettext_easy("Save the report"), "mousemove --window %w 30 10 sleep 0.1 key Return",
                "report.pdf");
    keys("key ctrl+p");
    EXPECT_TRUE(window_driven(30000));
    set_env("KP6_JOURNAL", nullptr);
    EXPECT_STREQ("Pump station 4", pref_site);
    std::string text = run_command("pdftotext -layout '" + dir.file("report.pdf") +
                                   "' - 2>/dev/null");
    for (std::string part : {"Pump station 4", "kp6 1.0.0", "ER79", "42", sim->path.c_str()})
        EXPECT_NE(std::string::npos, text.find(part)) << part << "\n" << text;
    EXPECT_NE(std::string::npos, text.find(ru ? "Контроллер 05" : "Controller 05")) << text;
}

// A raw line to a Telnet server: Find and the bus window say what the main
// window says, not that the connection closed.
TEST_F(BusWindow, ARawLineSpeakingTelnetIsNamedByFindAndTheBusWindow)
{
    Sim controller({"--address", "01"});
    ScriptedServer late(ScriptedServer::PROXY, true, controller.path);
    late.delay_ms = 300;
    std::string raw = "tcp://127.0.0.1:" + std::to_string(late.port);
    build(raw);
    OpenButton_OnClick(MainForm->OpenButton);
    ASSERT_NE(0, port);
    static std::string said;
    static void (*keep)(void*) = [](void*) {
        if (find_dialog.status && find_dialog.status->label())
            said = find_dialog.status->label();
        Fl::repeat_timeout(0.02, keep);
    };
    Fl::add_timeout(0.02, keep);
    when_window("Find controllers", "mousemove --window %w 10 10 sleep 2 key Escape");
    click(MainForm->FindButton);
    EXPECT_TRUE(window_driven(30000));
    Fl::remove_timeout(keep);
    EXPECT_NE(std::string::npos, said.find(raw + " speaks Telnet (try rfc2217://)")) << said;
    EXPECT_EQ(0, port);

    OpenButton_OnClick(MainForm->OpenButton);
    ASSERT_NE(0, port);
    AlertCatcher alerts;
    xdotool("mousemove --window " + std::to_string(xid(MainForm)) + " 400 300 key ctrl+b");
    ASSERT_TRUE(pump_until([&] { return !alerts.texts.empty() && !bus_state.busy; }, 20000));
    EXPECT_NE(std::string::npos, alerts.texts[0].find(raw + " speaks Telnet (try rfc2217://)"))
        << alerts.texts[0];
}
