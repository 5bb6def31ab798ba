// Read, Write and Test from the window against kp6-sim.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>

#include <string>
#include <thread>

#include "../../app/find.h"
#include "../../app/kp6form.h"
#include "../../device/crc.h"
#include "../../device/exchange.h"
#include "../support/netpeer.h"
#include "../support/sim.h"
#include "gui_support.h"

class ReadWrite : public WindowTest {
protected:
    TempDir regs;
    std::string state = regs.file("state");
    std::unique_ptr<Sim> sim;

    // The window with the simulator's line opened; `prepared` are lines of
    // its state file.
    void open_on(std::vector<std::string> args, const std::string& prepared = "")
    {
        ASSERT_NO_FATAL_FAILURE(start_sim(sim, state, args, prepared));
        build(sim->path);
        OpenButton_OnClick(MainForm->OpenButton);
        ASSERT_NE(0, port);
    }
    // Runs a click action and returns the alerts it showed.
    std::vector<std::string> run(int (*action)(Fl_Widget*), Fl_Widget* w)
    {
        AlertCatcher alerts;
        action(w);
        // Each box titled with its first line, short.
        for (size_t i = 0; i < alerts.texts.size() && i < alerts.titles.size(); i++)
            EXPECT_EQ(alerts.texts[i].substr(0, alerts.texts[i].find('\n')), alerts.titles[i]);
        return alerts.texts;
    }
    std::vector<std::string> read() { return run(ReadButton_OnClick, MainForm->ReadButton); }
    std::vector<std::string> write() { return run(WriteButton_OnClick, MainForm->WriteButton); }
    bool registers_hold(const std::string& line) const
    {
        return read_file(state).find(line) != std::string::npos;
    }
    size_t frames_received()
    {
        size_t n = 0;
        for (const auto& l : sim->trace(0, 200))
            n += l.rfind("rx ", 0) == 0;
        return n;
    }
    xMainForm* f() { return MainForm; }
};

using Texts = std::vector<std::string>;

TEST_F(ReadWrite, ReadFillsTheWindowLiterInverseGun)
{
    open_on({}, "01 010078 12\n01 010079 07\n01 010074 0B\n01 010075 0C\n01 010077 FF\n"
                "01 010072 00\n");
    EXPECT_EQ(Texts{}, read());
    EXPECT_EQ(0, f()->ML_Type->value());
    EXPECT_EQ(1, f()->Liter_Type->value());
    EXPECT_EQ(0, f()->Hand_Type->value());
    EXPECT_FALSE(f()->ER74_Input->visible());
    EXPECT_FALSE(f()->ER75_Input->visible());
    EXPECT_EQ(1, f()->InversGunCheck->value());
    EXPECT_STREQ("7", f()->ER79_Input->value());
    EXPECT_STREQ("11", f()->ER74_Input->value());
    EXPECT_STREQ("12", f()->ER75_Input->value());
    EXPECT_STREQ("255", f()->ER77_Input->value());
    EXPECT_STREQ("0", f()->ER72_Input->value());
    // The six reads, in order.
    Texts rx;
    for (const auto& l : sim->trace(24, 5000))
        if (l.rfind("rx CA", 0) == 0)
            rx.push_back(l.substr(6, 2));
    EXPECT_EQ((Texts{"78", "79", "74", "75", "77", "72"}), rx);
}

TEST_F(ReadWrite, ReadOfHand)
{
    open_on({}, "01 010078 1A\n");
    EXPECT_EQ(Texts{}, read());
    EXPECT_EQ(1, f()->Hand_Type->value());
    EXPECT_EQ(0, f()->ML_Type->value());
    EXPECT_FALSE(f()->ER74_Input->visible());
    EXPECT_EQ(1, f()->InversGunCheck->value());
}

TEST_F(ReadWrite, AnUnknownTypeCodeLeavesRadiosAndFields)
{
    open_on({}, "01 010078 04\n");  // 4 is how Write puts Hand, not how Read knows it
    f()->Hand_Type->value(1);
    f()->InversGunCheck->value(1);
    EXPECT_EQ(Texts{}, read());
    EXPECT_EQ(1, f()->Hand_Type->value());
    EXPECT_EQ(0, f()->ML_Type->value());
    EXPECT_TRUE(f()->ER74_Input->visible());
    EXPECT_TRUE(f()->ER75_Input->visible());
    EXPECT_EQ(0, f()->InversGunCheck->value());
}

// Escape once a menu is up (it holds the grab while it is).
static void escape_the_menu(void*)
{
    if (!Fl::grab())
        return Fl::repeat_timeout(0.02, escape_the_menu);
    run_command("xdotool key Escape");
}

TEST_F(ReadWrite, AReadThatFailsAtER72KeepsWhatItRead)
{
    // 10 frames carry ER78 to ER77; the line is gone for ER72.
    open_on({"--hangup-after", "10"}, "01 010079 09\n01 010077 21\n");
    f()->ER72_Input->value("5");
    EXPECT_EQ(Texts{"Error read ER72\nthe line " + sim->path + " was lost"}, read());
    EXPECT_EQ(0, port);  // closed for the lost line
    EXPECT_TRUE(port_controls_active(false));
    EXPECT_NE(nullptr, strstr(f()->StatusLine->label(), "closed: the line was lost"));
    EXPECT_STREQ("9", f()->ER79_Input->value());
    EXPECT_STREQ("5", f()->ER74_Input->value());
    EXPECT_STREQ("3", f()->ER75_Input->value());
    EXPECT_STREQ("33", f()->ER77_Input->value());
    EXPECT_STREQ("5", f()->ER72_Input->value());
    // Plugged in again: the list, opened, has the new line, which opens and reads.
    Sim again({});
    set_env("KP6_PORTS", again.path.c_str());
    Fl_Widget* c = f()->ComChoice;  // its menu runs its own loop: Escape from there
    Fl::add_timeout(0.02, escape_the_menu);
    xdotool("mousemove --window " + std::to_string(xid(MainForm)) + " " +
            std::to_string(c->x() + 20) + " " + std::to_string(c->y() + 10) + " click 1");
    Fl::remove_timeout(escape_the_menu);
    click(f()->OpenButton);
    ASSERT_NE(0, port);
    EXPECT_STREQ(again.path.c_str(), port_name(port));
    EXPECT_EQ(Texts{}, read());
}

TEST_F(ReadWrite, ASilentControllerFailsAtTheFirstStep)
{
    ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
    open_on({"--silent"});
    EXPECT_EQ(Texts{"Ошибка чтения ER78\nнет ответа за 1000 мс"}, read());
    f()->ML_Type->value(1);
    EXPECT_EQ(Texts{"Ошибка записи IR24\nнет ответа за 1000 мс"}, write());
    EXPECT_EQ(Texts{"Нет ответа\nнет ответа за 1000 мс"}, run(TestButton_OnClick, f()->TestButton));
}

TEST_F(ReadWrite, WriteSendsIR24ThenTheSixSettings)
{
    open_on({});
    f()->Hand_Type->value(1);
    f()->InversGunCheck->value(1);
    f()->ER79_Input->value("255");
    f()->ER72_Input->value("0");
    f()->ER74_Input->value("12");
    f()->ER75_Input->value(" 7 ");
    f()->ER77_Input->value("100");
    EXPECT_EQ(Texts{"Write OK"}, write());
    EXPECT_TRUE(registers_hold("01 000024 08"));
    EXPECT_TRUE(registers_hold("01 010078 1A"));  // Hand, written as 4, reads as 0A
    EXPECT_TRUE(registers_hold("01 010079 FF"));
    EXPECT_TRUE(registers_hold("01 010072 00"));
    EXPECT_TRUE(registers_hold("01 010074 0C"));
    EXPECT_TRUE(registers_hold("01 010075 07"));
    EXPECT_TRUE(registers_hold("01 010077 64"));
    Texts sent;
    for (const auto& l : sim->trace(28, 5000))
        if (l.rfind("rx C", 0) == 0)
            sent.push_back(l.substr(3));
    EXPECT_EQ((Texts{"C9 24 00 00 08", "CB 78 00 01 14", "CB 79 00 01 FF", "CB 72 00 01 00",
                     "CB 74 00 01 0C", "CB 75 00 01 07", "CB 77 00 01 64"}),
              sent);

    f()->Hand_Type->value(0);
    f()->ML_Type->value(1);
    f()->InversGunCheck->value(0);
    EXPECT_EQ(Texts{"Write OK"}, write());
    EXPECT_TRUE(registers_hold("01 010078 00"));
}

TEST_F(ReadWrite, BadInputStopsTheWriteBeforeAnythingIsSent)
{
    open_on({});
    EXPECT_EQ(Texts{"Select type"}, write());  // no type chosen yet
    f()->Liter_Type->value(1);
    const struct {
        Fl_Input* field;
        const char* text;
        const char* message;
    } cases[] = {
        {f()->ER79_Input, "256", "Error input ER79"},
        {f()->ER72_Input, "", "Error input ER72"},
        {f()->ER74_Input, "-1", "Error input ER74"},
        {f()->ER75_Input, "12abc", "Error input ER75"},
        {f()->ER77_Input, "99999999999", "Error input ER77"},
        {f()->ER72_Input, "0x10", "Error input ER72"},
    };
    for (const auto& c : cases) {
        std::string was = c.field->value();
        c.field->value(c.text);
        EXPECT_EQ(Texts{std::string(c.message) + "\na number from 0 to 255"}, write()) << c.text;
        EXPECT_STREQ(c.text, c.field->value());
        c.field->value(was.c_str());
    }
    // The hidden fields are checked too.
    f()->ER74_Input->hide();
    f()->ER74_Input->value("300");
    EXPECT_EQ(Texts{"Error input ER74\na number from 0 to 255"}, write());
    EXPECT_EQ(0u, frames_received());
}

TEST_F(ReadWrite, TestReportsTheController)
{
    ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
    open_on({"--address", "2A"});
    f()->AddressInput->value("2a");
    EXPECT_EQ(Texts{"Ок"}, run(TestButton_OnClick, f()->TestButton));
    EXPECT_EQ(0, port_avail(port));
    f()->AddressInput->value("2b");
    EXPECT_EQ(Texts{"Нет ответа\nнет ответа за 1000 мс"}, run(TestButton_OnClick, f()->TestButton));
    CloseButton_OnClick(f()->CloseButton);
    EXPECT_EQ(Texts{"Откройте порт"}, run(TestButton_OnClick, f()->TestButton));
}

// Typed and clicked as a technician would: a controller at 01 answers only
// after 1.5 s. Its late answer must not pass for a reply at 05.
TEST_F(ReadWrite, ALateAnswerIsNoReplyToTheNextTest)
{
    open_on({"--turnaround", "1500"});
    auto test_at = [&](const char* digit) {
        click(f()->AddressInput);
        xdotool(std::string("key End BackSpace BackSpace ") + digit);
        AlertCatcher alerts;
        click(f()->TestButton);
        pump_until([&] { return !alerts.texts.empty(); }, 5000);
        return alerts.texts;
    };
    EXPECT_EQ(Texts{"No reply\nno answer in 1000 ms"}, test_at("1"));
    ASSERT_EQ(2u, sim->trace(2, 5000).size());  // the header, and the late answer
    EXPECT_TRUE(pump_until([&] { return port_avail(port) == 1; }, 5000));
    EXPECT_EQ(Texts{"No reply\nno answer in 1000 ms"}, test_at("5"));
}

// The X server's clipboard or primary selection, held by xclip while it lives.
struct Selection {
    TempDir dir;
    std::unique_ptr<Child> xclip;
    Selection(const char* which, const std::string& text)
    {
        write_file(dir.file("text"), text);
        xclip.reset(new Child({"/bin/sh", "-c",
                               std::string("exec xclip -quiet -selection ") + which + " -i " +
                                   dir.file("text") + " 2>/dev/null"},
                              {}, ""));
        std::string cmd = std::string("xclip -o -selection ") + which + " 2>/dev/null";
        if (!eventually([&] { return run_command(cmd) == text; }, 10000))
            ADD_FAILURE() << "xclip does not hold " << text;
    }
};

TEST_F(ReadWrite, TheAddressIsTypedAndPastedInHexadecimal)
{
    open_on({"--address", "1F"});
    Fl_Input* in = f()->AddressInput;
    std::string win = std::to_string(xid(MainForm));
    // Keys into the focused field, starting from an empty one.
    auto retype = [&](const std::string& keys) {
        click(in);
        xdotool("key End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace" + keys);
    };
    // Runs the Test with a click: the header frame it put on the line.
    size_t tests = 0;
    auto test_frame = [&]() {
        AlertCatcher alerts;
        click(f()->TestButton);
        pump_until([&] { return !alerts.texts.empty(); }, 5000);
        std::vector<std::string> rx;
        eventually(
            [&] {
                rx.clear();
                for (const auto& l : sim->trace(1000, 50))
                    if (l.rfind("rx ", 0) == 0)
                        rx.push_back(l);
                return rx.size() > tests;
            },
            5000);
        return rx.size() > tests ? rx[tests++] : std::string();
    };
    unsigned char test_1f[] = {0x60, 0x1F, 0x81};
    std::string frame_1f = "rx 60 1F 81 " + hex(std::string(1, (char)csm8(test_1f, 3)));

    retype(" type 1f");
    EXPECT_STREQ("1f", in->value());
    EXPECT_EQ(frame_1f, test_frame());

    retype(" type a");
    EXPECT_EQ(0x0A, address_from_text(in->value()));
    EXPECT_EQ("rx 60 0A 81", test_frame().substr(0, 11));

    retype(" type 0X1F");
    EXPECT_EQ(0x1F, address_from_text(in->value()));
    retype(" type 123");  // no third digit
    EXPECT_STREQ("12", in->value());
    xdotool("key Left type g");
    EXPECT_STREQ("12", in->value());
    EXPECT_EQ(1, in->position());

    {
        Selection clipboard("clipboard", "1f");
        retype(" key ctrl+v");
        EXPECT_STREQ("1f", in->value());
        EXPECT_EQ(frame_1f, test_frame());
    }
    {
        Selection clipboard("clipboard", "123");
        click(in);
        xdotool("key End Left ctrl+v");
        EXPECT_STREQ("1f", in->value());
        EXPECT_EQ(1, in->position());
    }
    {
        Selection primary("primary", "1f");
        retype("");
        click(in, 2);
        EXPECT_TRUE(pump_until([&] { return std::string("1f") == in->value(); }, 5000));
    }
}

// Gives the file dialog titled `title` the name of a file in the working
// folder and takes it with Return, once the action that Ctrl and `key`
// run has opened it; `then` goes to the question that follows, if one does.
static void through_file_dialog(const std::string& key, const std::string& title,
                                const std::string& name, const std::string& then = "")
{
    when_window(title, "mousemove --window %w 30 10 sleep 0.1 key Return", name);
    if (!then.empty())
        then_window("Another controller", "mousemove --window %w 10 10 " + then);
    xdotool("mousemove --window " + std::to_string(xid(MainForm)) + " 400 300 key ctrl+" + key);
    EXPECT_TRUE(window_driven(20000)) << "no " << title;
}

TEST_F(ReadWrite, SaveWritesABackupThatKp6ctlRestores)
{
    open_on({}, "01 010078 12\n01 010079 07\n01 010074 0B\n01 010075 0C\n01 010077 FF\n"
                "01 010072 00\n");
    {
        AlertCatcher alerts;
        xdotool("mousemove --window " + std::to_string(xid(MainForm)) + " 400 300 key ctrl+s");
        ASSERT_TRUE(pump_until([&] { return !alerts.texts.empty(); }, 5000));
        EXPECT_EQ(Texts{"Select type"}, alerts.texts);  // as Write: no type chosen yet
    }
    EXPECT_EQ(Texts{}, read());
    AlertCatcher alerts;
    f()->ER79_Input->value("25");
    f()->Hand_Type->value(1);
    f()->Liter_Type->value(0);
    through_file_dialog("s", "Save settings", "kept.json");
    std::string file = read_file(dir.file("kept.json"));
    EXPECT_NE(std::string::npos, file.find("\"ER78\": 26")) << file;  // hand as held, inverse gun
    EXPECT_EQ("", run_command("cd '" + dir.path + "' && find . -name '*.tmp'"));

    // A folder that cannot be written, by root neither: said so.
    through_file_dialog("s", "Save settings", "/proc/kp6.json");
    ASSERT_EQ(1u, alerts.texts.size());
    EXPECT_EQ(0u, alerts.texts[0].find("Settings not saved\ncannot write /proc/kp6.json: "))
        << alerts.texts[0];

    CloseButton_OnClick(f()->CloseButton);
    write_file(state, "01 010078 00\n");
    int status = -1;
    std::string out = run_command("KP6_JOURNAL='" + dir.file("journal.jsonl") +
                                      "' " KP6CTL " --port " + sim->path + " restore -i " +
                                      dir.file("kept.json") + " 2>&1",
                                  &status);
    EXPECT_EQ(0, status) << out;
    EXPECT_TRUE(registers_hold("01 010078 1A"));  // hand, inverse gun
    EXPECT_TRUE(registers_hold("01 010079 19"));  // 25
}

TEST_F(ReadWrite, LoadFillsTheWindowFromTheTypedAddressAndWriteSendsIt)
{
    open_on({"--address", "05"});
    auto entry = [](const std::string& address, const std::string& er79) {
        return "{\"address\": \"" + address + "\", \"registers\": {\"ER78\": 2, \"ER79\": " + er79 +
               ", \"ER72\": 4, \"ER74\": 5, \"ER75\": 6, \"ER77\": 77}}";
    };
    write_file(dir.file("two.json"), "{\"version\": 1, \"controllers\": [\n" + entry("01", "33") +
                                         ",\n" + entry("05", "44") + "]}\n");
    write_file(dir.file("bad.json"), "{\"version\": 1,\n \"controllers\": [{\"address\": 5}]}\n");
    AlertCatcher alerts;
    f()->AddressInput->value("7");
    through_file_dialog("o", "Load settings", "two.json");
    through_file_dialog("o", "Load settings", "bad.json");
    ASSERT_EQ(2u, alerts.texts.size());
    EXPECT_EQ("Settings not loaded\n" + dir.file("two.json") +
                  ": The file holds 01, 05; none at 07",
              alerts.texts[0]);
    // The loader's own words: file, line, what is wrong.
    EXPECT_EQ(0u, alerts.texts[1].find("Settings not loaded\n" + dir.file("bad.json") + ":2: "))
        << alerts.texts[1];
    EXPECT_STREQ("0", f()->ER79_Input->value());  // unchanged

    f()->AddressInput->value("5");
    through_file_dialog("o", "Load settings", "two.json");
    EXPECT_EQ(1, f()->Liter_Type->value());
    EXPECT_FALSE(f()->ER74_Input->visible());
    EXPECT_STREQ("44", f()->ER79_Input->value());
    EXPECT_STREQ("77", f()->ER77_Input->value());
    EXPECT_TRUE(whole_trace(*sim).empty());  // Load sends nothing
    alerts.texts.clear();
    click(f()->WriteButton);
    ASSERT_TRUE(pump_until([&] { return !alerts.texts.empty(); }, 10000));
    EXPECT_EQ(Texts{"Write OK"}, alerts.texts);
    EXPECT_TRUE(registers_hold("05 010079 2C"));  // 44
    EXPECT_TRUE(registers_hold("05 010078 02"));
}

// ER72's answer garbled once (30 read as 94), then ER77 typed: Write reads
// what it would send back unchanged again first, and writes nothing while
// one disagrees (a clean one writes: the road through the window).
TEST_F(ReadWrite, WriteConfirmsTheSettingsItSendsBackUnchanged)
{
    open_on({"--corrupt-read", "6"}, "01 010072 1E\n");
    auto alerts = std::make_unique<AlertCatcher>();
    click(f()->ReadButton);
    ASSERT_TRUE(pump_until([&] { return std::string("94") == f()->ER72_Input->value(); }, 10000));
    EXPECT_STREQ("The fields hold 01's settings, as read", f()->StatusLine->label());
    click(f()->ER77_Input);
    xdotool("key End BackSpace BackSpace BackSpace type 4");
    click(f()->WriteButton);
    ASSERT_TRUE(pump_until([&] { return !alerts->texts.empty(); }, 10000));
    EXPECT_EQ(Texts{"ER72 showed 94, the controller now holds 30: the line is noisy; read again"},
              alerts->texts);
    alerts.reset();
    for (const auto& l : whole_trace(*sim))  // not even IR24
        EXPECT_TRUE(l.rfind("rx C9", 0) && l.rfind("rx CB", 0)) << l;
    EXPECT_TRUE(registers_hold("01 010072 1E"));
    EXPECT_TRUE(registers_hold("01 010077 32"));
}

// 1F read, then 3A typed: Write asks first; No sends nothing, Yes sends
// 1F's values to 3A.
TEST_F(ReadWrite, WriteToAnotherAddressThanTheFieldsAsksFirst)
{
    open_on({"--address", "1F", "--address", "3A"}, "1F 010079 09\n");
    f()->AddressInput->value("1F");
    EXPECT_EQ(Texts{}, read());
    click(f()->AddressInput);
    xdotool("key End BackSpace BackSpace BackSpace type 3a");
    AlertCatcher alerts;
    size_t before = frames_received();
    when_window("Another controller", "mousemove --window %w 10 10 key Escape");
    click(f()->WriteButton);
    EXPECT_TRUE(window_driven(20000));
    EXPECT_EQ(before, frames_received());
    when_window("Another controller", "mousemove --window %w 10 10 key Return");
    click(f()->WriteButton);
    EXPECT_TRUE(window_driven(20000));
    ASSERT_TRUE(pump_until([&] { return !alerts.texts.empty(); }, 10000));
    EXPECT_EQ(Texts{"Write OK"}, alerts.texts);
    EXPECT_TRUE(registers_hold("3A 010079 09"));
    EXPECT_STREQ("The fields hold 3A's settings, as written", f()->StatusLine->label());
    CloseButton_OnClick(f()->CloseButton);  // the fields keep them
    EXPECT_STREQ("The fields hold 3A's settings, as written", f()->StatusLine->label());
}

// 1F's file with 01 typed: asked first; No leaves the fields, Yes fills
// them and says whose settings they are.
TEST_F(ReadWrite, LoadOfAnotherControllersFileAsksFirst)
{
    open_on({});
    write_file(dir.file("kp6-1F.json"), backup_of({"1F"}));
    f()->AddressInput->value("01");
    through_file_dialog("o", "Load settings", "kp6-1F.json", "key Escape");
    EXPECT_STREQ("0", f()->ER79_Input->value());
    through_file_dialog("o", "Load settings", "kp6-1F.json", "key Return");
    EXPECT_STREQ("9", f()->ER79_Input->value());
    EXPECT_STREQ("1F's settings loaded from kp6-1F.json", f()->StatusLine->label());
}

// Network faults by their cause: an RFC 2217 line at ser2net's raw port,
// then ser2net killed in the middle of a Read (the port closes itself).
TEST_F(ReadWrite, NetworkFaultsAreNamedAndALostConnectionClosesThePort)
{
    sim.reset(new Sim({"--turnaround", "200", "--trace"}));
    Ser2net server(sim->path);
    ASSERT_TRUE(server.running()) << "ser2net did not start";
    std::string wrong = "rfc2217://127.0.0.1:" + std::to_string(server.raw_port);
    build(wrong + ":" + server.raw_url());
    EXPECT_EQ(Texts{"error\n" + wrong +
                    " does not answer RFC 2217's negotiation (a raw TCP port? try tcp://)"},
              run(OpenButton_OnClick, f()->OpenButton));
    f()->ComChoice->value(1);
    OpenButton_OnClick(f()->OpenButton);
    ASSERT_NE(0, port);
    std::thread killer([&] {  // in the second of six exchanges
        eventually(
            [&] {
                for (const auto& l : sim->trace((size_t)-1, 20))
                    if (l.rfind("rx CA 79", 0) == 0)
                        return true;
                return false;
            },
            10000);
        kill(server.child->pid, SIGKILL);
    });
    Texts said = read();
    killer.join();
    server.child->wait_exit(5000);
    server.child.reset();
    ASSERT_EQ(1u, said.size());
    EXPECT_EQ(0u, said[0].find("Error read ER7")) << said[0];
    EXPECT_NE(std::string::npos,
              said[0].find("\nthe connection to " + server.raw_url() + " was closed"))
        << said[0];
    EXPECT_EQ(0, port);
    EXPECT_TRUE(port_controls_active(false));
}

// The dialog's last words kept; Escape once they say the line was lost.
static std::string find_status, find_progress;
static void keep_find(void*)
{
    if (find_dialog.status && find_dialog.status->label() && find_dialog.status->label()[0]) {
        bool was = find_status.find("The line was lost") == 0;
        find_status = find_dialog.status->label();
        find_progress = find_dialog.progress->label();
        if (!was && find_status.find("The line was lost") == 0)
            run_command("xdotool mousemove --window " + std::to_string(xid(find_dialog.window)) +
                        " 10 10 key Escape");
    }
    Fl::repeat_timeout(0.02, keep_find);
}

// The line lost in the middle of Find: said once, in the dialog, whose
// last line never says "Done"; the port is closed.
TEST_F(ReadWrite, ALineLostDuringFindIsSaidOnceAndClosesThePort)
{
    open_on({"--hangup-after", "4"});
    find_status.clear();
    Fl::add_timeout(0.02, keep_find);
    when_window("Find controllers", "mousemove --window %w 10 10");
    click(f()->FindButton);
    EXPECT_TRUE(window_driven(30000));
    Fl::remove_timeout(keep_find);
    EXPECT_EQ(0u, find_status.find("The line was lost at 0")) << find_status;
    EXPECT_NE(std::string::npos, find_status.find("the line " + sim->path + " was lost"));
    EXPECT_EQ(0u, find_progress.find("Line lost at 0")) << find_progress;
    EXPECT_EQ(0, port);
}
