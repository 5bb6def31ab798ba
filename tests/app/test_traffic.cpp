// The traffic view against kp6-sim, opened with Ctrl+T, checked through
// Save as text; its Record switch through the traffic log's reader.
#include <gtest/gtest.h>

#include <FL/fl_draw.H>

#include <string>

#include "../../app/traffic.h"
#include "../../device/traffic_file.h"
#include "../support/sim.h"
#include "gui_support.h"

class TrafficView : public WindowTest {
protected:
    TempDir regs;
    std::unique_ptr<Sim> sim;

    void TearDown() override
    {
        if (traffic_view.window) {
            traffic_view.window->hide();
            delete traffic_view.window;
        }
        traffic_view = traffic_view_t();
        pl_traffic_hook = nullptr;
        step_failed_hook = nullptr;
        pl_port_log = 0;
        WindowTest::TearDown();
    }
    void open_on(std::vector<std::string> args)
    {
        ASSERT_NO_FATAL_FAILURE(start_sim(sim, regs.file("state"), args));
        build(sim->path);
        OpenButton_OnClick(MainForm->OpenButton);
        ASSERT_NE(0, port);
        xdotool("mousemove --window " + std::to_string(xid(MainForm)) + " 400 300 key ctrl+t");
        ASSERT_TRUE(pump_until([] { return traffic_view.window && traffic_view.window->visible(); },
                               10000));
    }
    void read_at(const char* address)
    {
        MainForm->AddressInput->value(address);
        ReadButton_OnClick(MainForm->ReadButton);
        Fl::flush();
    }
    std::string saved()
    {
        when_window(gettext_easy("Save the traffic"),
                    "mousemove --window %w 30 10 sleep 0.1 key Return", "frames.txt");
        xdotool("mousemove --window " + std::to_string(xid(traffic_view.window)) +
                " 300 200 key ctrl+s");
        EXPECT_TRUE(window_driven(20000));
        return read_file(dir.file("frames.txt"));
    }
    // The view as shown, to KP6_SHOTS/NAME.ppm when that folder is named.
    static void shot(const char* name, Fl_Window* w = nullptr)
    {
        const char* shots = getenv("KP6_SHOTS");
        w = w ? w : traffic_view.window;
        if (!shots)
            return;
        pump_until([] { return false; }, 300);
        w->make_current();
        uchar* px = fl_read_image(nullptr, 0, 0, w->w(), w->h());
        std::string ppm = "P6\n" + std::to_string(w->w()) + " " + std::to_string(w->h()) +
                          "\n255\n";
        write_file(std::string(shots) + "/" + name + ".ppm",
                   ppm + std::string((char*)px, (size_t)w->w() * w->h() * 3));
        delete[] px;
    }
};

// A Read's frames in order with their meanings; a refused step's marked.
TEST_F(TrafficView, ShowsAReadAsItHappensAndMarksAFailedStep)
{
    ASSERT_NO_FATAL_FAILURE(open_on({"--address", "1F", "--fail-reads", "02"}));
    read_at("1F");
    std::string text = saved();
    const char* order[] = {"-> 1F   60 1F 00 80 C0  select 1F\n", "<- 1F   C0  selected\n",
                           "-> 1F   CA 78 00 01 00  read ER78\n", "<- 1F   05 00 EB  ER78 = 0\n",
                           "-> 1F   CA 79 00 01 00  read ER79\n", "<- 1F   05 0F F5  ER79 = 15\n",
                           "-> 1F   CA 74 00 01 00  read ER74\n"};
    size_t at = 0;
    for (const char* line : order) {
        size_t found = text.find(line, at);
        ASSERT_NE(std::string::npos, found) << line << text;
        at = found;
    }
    {
        AlertCatcher alerts;
        read_at("02");
    }
    EXPECT_NE(std::string::npos, traffic_text().find("<- 02 ! 15 00 AB  refused\n"))
        << traffic_text();
    // Only 02's frames; an address list that is none shows all.
    traffic_view.addresses->value("02");
    traffic_view.addresses->do_callback();
    EXPECT_EQ(std::string::npos, traffic_text().find(" 1F ")) << traffic_text();
    shot("traffic-en");
    shot("traffic-main-en", MainForm);
    click(traffic_view.clear);
    EXPECT_EQ("", traffic_text());
}

// The switch sets the port's bit: the log then holds the Read's records.
TEST_F(TrafficView, RecordToPortOutWritesTheLogItsReaderTakes)
{
    ASSERT_NO_FATAL_FAILURE(open_on({"--address", "1F"}));
    EXPECT_FALSE(traffic_view.record->value());
    click(traffic_view.record);
    ASSERT_TRUE(pump_until([] { return traffic_view.record->value() != 0; }, 5000));
    EXPECT_EQ(1u << (port - 1), pl_port_log);
    read_at("1F");
    FILE* f = fopen(dir.file("port.out").c_str(), "rb");
    ASSERT_TRUE(f);
    std::string seen;
    log_read(
        f,
        [](const log_record& r, void* ctx) {
            if (r.what == REC_SENT || r.what == REC_RECEIVED)
                *(std::string*)ctx += std::string(r.what == REC_SENT ? ">" : "<") +
                                      std::to_string(r.len) + " ";
        },
        &seen);
    fclose(f);
    EXPECT_EQ(0u, seen.find(">5 <1 >5 <3 >5 <1 >5 <3 ")) << seen;
    // Remembered with the port: closed, the bit is as before; opened in a
    // later run, set again and shown; switched off, forgotten.
    CloseButton_OnClick(MainForm->CloseButton);
    EXPECT_EQ(0u, pl_port_log);
    for (bool on : {true, false}) {
        rebuild(sim->path);
        OpenButton_OnClick(MainForm->OpenButton);
        ASSERT_NE(0, port);
        EXPECT_EQ(on ? 1u << (port - 1) : 0u, pl_port_log);
        TrafficButton_OnClick(nullptr);
        EXPECT_EQ(on, traffic_view.record->value() != 0);
        if (on)
            shot("traffic-record-en");
        click(traffic_view.record);
        ASSERT_TRUE(pump_until([on] { return (traffic_view.record->value() != 0) != on; }, 5000));
    }
}

// In Russian: the controls whole, the decoder's words translated.
TEST_F(TrafficView, RussianControlsWhole)
{
    ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
    ASSERT_NO_FATAL_FAILURE(open_on({"--address", "1F"}));
    read_at("1F");
    EXPECT_EQ(std::string::npos, traffic_text().find("select")) << traffic_text();
    fl_font(FL_HELVETICA, 12);
    Fl_Widget* controls[] = {traffic_view.pause, traffic_view.clear, traffic_view.save,
                             traffic_view.record};
    for (Fl_Widget* w : controls) {
        EXPECT_LE(fl_width(w->label()) + 8, w->w()) << w->label();
        EXPECT_LE(w->x() + w->w(), traffic_view.window->w()) << w->label();
    }
    shot("traffic-ru");
    shot("traffic-main-ru", MainForm);
    click(traffic_view.record);
    ASSERT_TRUE(pump_until([] { return traffic_view.record->value() != 0; }, 5000));
    shot("traffic-record-ru");
    EXPECT_LE(fl_width(MainForm->TrafficButton->label()) + 8, MainForm->TrafficButton->w());
}

// Listen only: a script plays master and controller on a pty the window
// has open; every frame named, nothing sent, Escape stops.
TEST_F(TrafficView, ListenOnlyNamesWhatOthersSay)
{
    std::string script = dir.file("play.py"), go = dir.file("go");
    write_file(script, "import os, sys, time, tty\n"
                       "m, s = os.openpty()\n"
                       "tty.setraw(s)\n"
                       "print(os.ttyname(s), flush=True)\n"
                       "while not os.path.exists(sys.argv[1]): time.sleep(0.01)\n"
                       "for b in ['60 1F 00 80 C0', 'C0', 'CA 79 00 01 00', '05 07 FF']:\n"
                       "    os.write(m, bytes.fromhex(b)); time.sleep(0.15)\n"
                       "import select; time.sleep(1)\n"
                       "r = select.select([m], [], [], 0.5)[0]\n"
                       "sys.stdout.write((os.read(m, 100).hex() if r else '') + '\\n')\n"
                       "sys.stdout.flush(); time.sleep(30)\n");
    Child play({"/usr/bin/python3", script, go}, {}, dir.path);
    ASSERT_TRUE(play.read_until([](const std::string& o) { return o.find('\n') != o.npos; },
                                10000));
    build(play.output.substr(0, play.output.find('\n')));
    OpenButton_OnClick(MainForm->OpenButton);
    ASSERT_NE(0, port);
    TrafficButton_OnClick(nullptr);
    click(traffic_view.listen);
    ASSERT_TRUE(pump_until([] { return traffic_view.listen->value() != 0; }, 5000));
    EXPECT_FALSE(MainForm->active());
    write_file(go, "");
    ASSERT_TRUE(pump_until([] { return traffic_text().find("ER79 = 7") != std::string::npos; },
                           20000))
        << traffic_text();
    std::string text = traffic_text();
    for (const char* f : {"-> 1F   60 1F 00 80 C0  select 1F\n", "<- 1F   C0  selected\n",
                          "-> 1F   CA 79 00 01 00  read ER79\n", "<- 1F   05 07 FF  ER79 = 7\n"})
        EXPECT_NE(std::string::npos, text.find(f)) << f << text;
    xdotool("mousemove --window " + std::to_string(xid(traffic_view.window)) +
            " 300 200 key Escape");
    ASSERT_TRUE(pump_until([] { return traffic_view.listen->value() == 0; }, 5000));
    EXPECT_TRUE(traffic_view.window->shown());
    EXPECT_TRUE(MainForm->active());
    // What the script read back from the line: the window sent nothing.
    ASSERT_TRUE(play.read_until([](const std::string& o) { return o.find('\n') != o.rfind('\n'); },
                                10000));
    EXPECT_EQ("\n", play.output.substr(play.output.find('\n') + 1)) << play.output;
}
