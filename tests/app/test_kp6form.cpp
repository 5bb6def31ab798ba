#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <FL/Fl.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>

#include <string.h>

#include <algorithm>
#include <memory>
#include <string>

#include "../../app/kp6form.h"
#include "../../app/portlist.h"
#include "../../app/prefs.h"
#include "../../discovery/comdet.h"
#include "../../i18n/gett.h"
#include "../../platform/platform.h"
#include "../../port/plainw.h"
#include "../support/testsupport.h"
#include "gui_support.h"

struct Area {
    int x, y, w, h;
};

static bool overlap(const Area& a, const Area& b)
{
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

static bool within(const Area& a, const Area& in)
{
    return a.x >= in.x && a.y >= in.y && a.x + a.w <= in.x + in.w && a.y + a.h <= in.y + in.h;
}

// Where the toolkit draws `w`'s label: beside the widget, as its alignment
// puts it (wrapped short of the window's edge right of it), or inside it.
// *room: the width a framed widget has for it inside; -1 where it is drawn
// whole as far as it reaches, to stay clear of the rest.
static Area label_area(const Fl_Widget* w, int window_w, int* room)
{
    fl_font(w->labelfont(), w->labelsize());
    Fl_Align a = w->align();
    bool inside = !(a & 15) || (a & FL_ALIGN_INSIDE);
    int x = w->x() + Fl::box_dx(w->box()), space = w->w() - Fl::box_dw(w->box());
    if (auto b = dynamic_cast<const Fl_Light_Button*>(w)) {  // radios, check boxes: a mark first
        x += b->labelsize() + 4;
        space -= b->labelsize() + 4;
    }
    *room = inside && w->box() != FL_NO_BOX ? space : -1;
    int right = window_w - (w->x() + w->w() + 3);
    int lw = a & FL_ALIGN_WRAP ? (inside ? space : right) : 0, lh = 0;
    fl_measure(w->label(), lw, lh, 0);
    int mid = w->y() + (w->h() - lh) / 2;
    if (inside)
        return {a & FL_ALIGN_LEFT ? x : x + (space - lw) / 2, mid, lw, lh};
    if (a & FL_ALIGN_TOP)
        return {a & FL_ALIGN_LEFT ? w->x() : w->x() + (w->w() - lw) / 2, w->y() - lh, lw, lh};
    if (a & FL_ALIGN_LEFT)
        return {w->x() - 3 - lw, mid, lw, lh};
    return {w->x() + w->w() + 3, mid, lw, lh};
}

// What a user relies on, in both languages: the controls in their focus
// order, none over another or over another's label, every label whole in
// its place and everything inside the window.
TEST_F(WindowTest, ControlsAndLabelsFitTheWindowClearOfEachOtherInBothLanguages)
{
    for (int russian = 0; russian < 2; russian++) {
        SCOPED_TRACE(russian ? "ru" : "en");
        if (russian) {
            ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
        }
        rebuild("");
        xMainForm* f = MainForm;
        EXPECT_EQ(477, f->w());
        EXPECT_EQ(315, f->h());
        // Creation order is the child order (and the focus order).
        Fl_Widget* order[] = {f->ComChoice,      f->OpenButton,     f->TypeGroup,
                              f->CloseButton,    f->ReadButton,     f->TestButton,
                              f->AddressInput,   f->InversGunCheck, f->ER79_Input,
                              f->ER72_Input,     f->ER74_Input,     f->ER75_Input,
                              f->WriteButton,    f->ER77_Input,     f->FindButton,
                              f->SaveButton,     f->LoadButton,     f->BusButton,
                              f->HistoryButton,  f->TrafficButton,  f->StatusLine,
                              f->ConverterChoice};
        ASSERT_EQ(22, f->children());
        for (int i = 0; i < 22; i++)
            EXPECT_EQ(order[i], f->child(i)) << i;
        Fl_Widget* radios[] = {f->ML_Type, f->Liter_Type, f->Hand_Type};
        ASSERT_EQ(3, f->TypeGroup->children());
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(radios[i], f->TypeGroup->child(i)) << i;

        // Each widget's area, and each label not held in its widget's frame:
        // the window's own and the radios' within the Type frame apart.
        const Area window = {0, 0, f->w(), f->h()};
        const Fl_Group* frame = f->TypeGroup;
        for (const Fl_Group* g : {(const Fl_Group*)f, frame}) {
            std::vector<std::pair<Area, const Fl_Widget*>> areas;
            for (int i = 0; i < g->children(); i++) {
                const Fl_Widget* w = g->child(i);
                areas.push_back({{w->x(), w->y(), w->w(), w->h()}, w});
                if (!w->label() || !w->label()[0])
                    continue;
                EXPECT_EQ(12, w->labelsize()) << w->label();
                int room;
                Area l = label_area(w, f->w(), &room);
                if (room < 0)
                    areas.push_back({l, w});
                else
                    EXPECT_TRUE(l.w <= room && l.h <= w->h()) << w->label();
            }
            const Area in = g == f ? window : Area{frame->x(), frame->y(), frame->w(), frame->h()};
            auto name = [&](size_t i) {
                return std::string(areas[i].second->label() ? areas[i].second->label() : "-");
            };
            for (size_t i = 0; i < areas.size(); i++) {
                EXPECT_TRUE(within(areas[i].first, in)) << name(i);
                for (size_t j = i + 1; j < areas.size(); j++)
                    EXPECT_TRUE(areas[j].second == areas[i].second ||
                                !overlap(areas[i].first, areas[j].first))
                        << name(i) << " / " << name(j);
            }
        }
    }
}

TEST_F(WindowTest, LabelsComeFromTheCatalogue)
{
    ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
    build("");
    EXPECT_STREQ("КП-6", MainForm->label());
    EXPECT_STREQ("Открыть порт", MainForm->OpenButton->label());
    EXPECT_STREQ("Миллилитры", MainForm->ML_Type->label());
    EXPECT_STREQ("Чувствительность (ER77)", MainForm->ER77_Input->label());
    EXPECT_EQ(-1, MainForm->ComChoice->value());  // nothing to choose
}

TEST_F(WindowTest, PortNamesAppearLiterally)
{
    build("/dev/a_b:/x/&y:/z\\w");
    Fl_Choice* c = MainForm->ComChoice;
    ASSERT_EQ(4, c->size() - 1);  // one item each, no submenus, and "Other port..."
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(com_port_names[i]);
        std::string shown = c->menu()[i].label();
        std::string want = com_port_names[i];
        size_t amp = want.find('&');
        if (amp != std::string::npos)
            want.insert(amp, "&");  // "&&" draws one ampersand
        EXPECT_EQ(want, shown);
        EXPECT_EQ(0, c->menu()[i].submenu());
    }
}

TEST_F(WindowTest, OpenAndCloseSwitchTheControlsAndReleaseThePort)
{
    TestPty a, b;
    build(a.slave + ":" + b.slave);
    // A new window: nothing read, the port's controls off, the first port chosen.
    xMainForm* f = MainForm;
    EXPECT_STREQ("KP-6", f->label());
    for (Fl_Round_Button* r : {f->ML_Type, f->Liter_Type, f->Hand_Type})
        EXPECT_TRUE(r->type() == FL_RADIO_BUTTON && !r->value() && r->active());  // as a group
    for (Fl_Input* in : {f->ER79_Input, f->ER72_Input, f->ER74_Input, f->ER75_Input, f->ER77_Input})
        EXPECT_TRUE(in->visible() && !strcmp(in->value(), "0"));
    EXPECT_STREQ("1", f->AddressInput->value());
    EXPECT_EQ(0, f->InversGunCheck->value());
    EXPECT_TRUE(port_controls_active(false));
    EXPECT_STREQ(a.slave.c_str(), f->ComChoice->text());
    click(MainForm->OpenButton);
    ASSERT_TRUE(pump_until([] { return port != 0; }, 5000));
    EXPECT_TRUE(port_controls_active(true));
    EXPECT_STREQ(MainForm->ComChoice->text(), port_name(port));
    MainForm->ER72_Input->value("17");
    MainForm->InversGunCheck->value(1);

    click(MainForm->CloseButton);
    ASSERT_TRUE(pump_until([] { return port == 0; }, 5000));
    EXPECT_TRUE(port_controls_active(false));
    EXPECT_STREQ("17", MainForm->ER72_Input->value());
    EXPECT_EQ(1, MainForm->InversGunCheck->value());

    // The released device opens again, and so does the other one.
    for (int item : {0, 1, 0}) {
        MainForm->ComChoice->value(item);
        click(MainForm->OpenButton);
        ASSERT_TRUE(pump_until([] { return port != 0; }, 5000));
        EXPECT_STREQ(com_port_names[item], port_name(port));
        click(MainForm->CloseButton);
        ASSERT_TRUE(pump_until([] { return port == 0; }, 5000));
    }
}

// Clicks Open Port and returns the alert it raised: text and button.
static std::vector<std::string> alert_of_open()
{
    AlertCatcher alerts;
    click(MainForm->OpenButton);
    pump_until([&] { return !alerts.texts.empty(); }, 5000);
    std::vector<std::string> seen = alerts.texts;
    seen.insert(seen.end(), alerts.buttons.begin(), alerts.buttons.end());
    return seen;
}

TEST_F(WindowTest, FailingOpenShowsUntranslatedErrorAndStaysClosed)
{
    ASSERT_EQ(1, read_mo_file("kp6.mo", KP6_MO_DIR));
    build("/dev/kp6-missing-tty");
    // The fixed English word, then the cause in the window's language.
    EXPECT_EQ((std::vector<std::string>{
                  "error\nне удаётся открыть /dev/kp6-missing-tty: Нет такого файла или каталога",
                  "Закрыть"}),
              alert_of_open());
    EXPECT_EQ(0, port);
    EXPECT_TRUE(port_controls_active(false));
}

TEST_F(WindowTest, NetworkLinesAreListedWholeAfterTheDevicesAndARefusedOneShowsError)
{
    TestPty pty;
    std::string refused = "rfc2217://127.0.0.1:1",
                long_url = "tcp://" + std::string(59, 'h') + ".invalid:65535";
    ASSERT_EQ(79u, long_url.size());
    build(long_url + ":" + refused + ":" + pty.slave);
    Fl_Choice* c = MainForm->ComChoice;
    ASSERT_EQ(4, c->size() - 1);
    EXPECT_EQ(pty.slave, c->menu()[0].label());
    EXPECT_EQ(refused, c->menu()[1].label());
    EXPECT_EQ(long_url, c->menu()[2].label());
    c->value(1);
    EXPECT_EQ((std::vector<std::string>{"error\ncannot open " + refused + ": Connection refused",
                                        "Close"}),
              alert_of_open());
    EXPECT_EQ(0, port);
    EXPECT_TRUE(port_controls_active(false));
}

TEST_F(WindowTest, OpenWithAnEmptyListShowsError)
{
    build("");
    EXPECT_EQ((std::vector<std::string>{"error", "Close"}), alert_of_open());
    EXPECT_EQ(0, port);
}

TEST_F(WindowTest, TypeRadiosShowAndHideToppingFields)
{
    TestPty pty;
    build(pty.slave);
    OpenButton_OnClick(MainForm->OpenButton);
    ASSERT_NE(0, port);
    xMainForm* f = MainForm;
    auto shown = [f] { return f->ER74_Input->visible() && f->ER75_Input->visible(); };
    auto hidden = [f] { return !f->ER74_Input->visible() && !f->ER75_Input->visible(); };

    click(f->Liter_Type);
    EXPECT_TRUE(pump_until(hidden, 5000));
    EXPECT_EQ(1, f->Liter_Type->value());
    click(f->ML_Type);
    EXPECT_TRUE(pump_until(shown, 5000));
    EXPECT_EQ(0, f->Liter_Type->value());
    click(f->Hand_Type);
    EXPECT_TRUE(pump_until(hidden, 5000));
    f->ER74_Input->show();
    f->ER75_Input->show();
    click(f->Hand_Type);  // already on: hides again
    EXPECT_TRUE(pump_until(hidden, 5000));
    EXPECT_EQ(1, f->Hand_Type->value());
}

TEST_F(WindowTest, OnlyALeftClickRunsAnAction)
{
    TestPty pty;
    build(pty.slave);
    click(MainForm->OpenButton, 3);
    click(MainForm->OpenButton, 2);
    EXPECT_EQ(0, port);

    MainForm->OpenButton->take_focus();
    ASSERT_EQ(MainForm->OpenButton, Fl::focus());
    int x = MainForm->OpenButton->x() + 10, y = MainForm->OpenButton->y() + 10;
    xdotool("mousemove --window " + std::to_string(xid(MainForm)) + " " + std::to_string(x) + " " +
            std::to_string(y) + " sleep 0.05 key space");
    EXPECT_EQ(0, port);
    EXPECT_TRUE(MainForm->OpenButton->active());

    click(MainForm->OpenButton, 1);
    EXPECT_TRUE(pump_until([] { return port != 0; }, 5000));
}

TEST_F(WindowTest, ResizingScalesTheControls)
{
    build("");
    MainForm->size(954, 630);
    EXPECT_EQ(2 * 192, MainForm->OpenButton->x());
    EXPECT_EQ(2 * 96, MainForm->OpenButton->w());
    EXPECT_EQ(2 * 272, MainForm->WriteButton->y());
}

// Clicks item `menu_item` of the menu that pops up, once it is up; gives
// up with Escape, so that a menu that does not come leaves no one waiting.
static std::unique_ptr<Child> menu_clicker;
static int menu_item, menu_polls;
static Fl_Choice* menu_of;
static void click_in_menu(void*)
{
    std::string cmd;
    for (Fl_Window* w = Fl::first_window(); w; w = Fl::next_window(w)) {
        if (!w->menu_window() || !w->shown())
            continue;
        int n = menu_of->size() - 1;
        int y = w->h() * (2 * menu_item + 1) / (2 * n);
        cmd = "mousemove --window " + std::to_string(xid(w)) + " " + std::to_string(w->w() / 2) +
              " " + std::to_string(y) + " sleep 0.05 click 1";
    }
    if (cmd.empty() && ++menu_polls < 250) {
        Fl::repeat_timeout(0.02, click_in_menu);
        return;
    }
    if (cmd.empty())
        cmd = "key Escape";
    menu_clicker.reset(new Child({"/bin/sh", "-c", "exec xdotool " + cmd}, {}, ""));
}

static void choose_by_clicks(int item, Fl_Choice* choice = nullptr)
{
    menu_item = item;
    menu_polls = 0;
    menu_of = choice ? choice : MainForm->ComChoice;
    Fl::add_timeout(0.02, click_in_menu);
    click(menu_of);
    EXPECT_TRUE(pump_until([] { return menu_clicker && menu_clicker->wait_exit(0) != -1; }, 10000));
    Fl::remove_timeout(click_in_menu);
    menu_clicker.reset();
    EXPECT_LT(menu_polls, 250) << "no menu came up";
}

TEST_F(WindowTest, TheChosenPortIsTheOneShownWhateverItsName)
{
    TestPty pty;
    std::string base = "/tmp/k" + std::to_string(getpid());
    // A stable link as long as a listed name may be (79 characters) too.
    std::string by_id = base + "-usb-Maker_USB-RS485_Cable_AB12CD34-if00-port0";
    const std::vector<std::string> names = {
        base + "a|b", base + "c", base + "\tt",
        base + "&y",  base + "y", by_id + std::string(79 - by_id.size(), 'x')};
    struct Links {
        std::vector<std::string> paths;
        ~Links()
        {
            for (const auto& p : paths)
                unlink(p.c_str());
        }
    } links;
    std::string list;
    for (const auto& n : names) {
        make_symlink(pty.slave, n);
        links.paths.push_back(n);
        list += (list.empty() ? "" : ":") + n;
    }
    build(list);
    Fl_Choice* c = MainForm->ComChoice;
    ASSERT_EQ((int)names.size() + 1, c->size() - 1);
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        char label[128];
        ASSERT_EQ(1, menu_escape(name.c_str(), label, sizeof label));
        int item = -1;
        for (int i = 0; i < c->size() - 1; i++)
            if (c->menu()[i].label() && label == std::string(c->menu()[i].label()))
                item = i;
        ASSERT_NE(-1, item);
        c->value(item == 0);  // start from another item
        choose_by_clicks(item);
        ASSERT_EQ(item, c->value());
        EXPECT_STREQ(label, c->text());
        click(MainForm->OpenButton);
        ASSERT_TRUE(pump_until([] { return port != 0; }, 5000));
        EXPECT_EQ(name, port_name(port));
        click(MainForm->CloseButton);
        ASSERT_TRUE(pump_until([] { return port == 0; }, 5000));
    }
}

TEST_F(WindowTest, ToppingFieldsFollowTheRadioHoweverItChanged)
{
    TestPty pty;
    build(pty.slave);
    OpenButton_OnClick(MainForm->OpenButton);
    ASSERT_NE(0, port);
    xMainForm* f = MainForm;
    std::string win = std::to_string(xid(f));
    auto at = [&](Fl_Widget* w) {
        return " mousemove --window " + win + " " + std::to_string(w->x() + w->w() / 2) + " " +
               std::to_string(w->y() + w->h() / 2) + " sleep 0.05";
    };
    auto fields_shown = [f](bool on) {
        return pump_until(
            [&] {
                return (f->ER74_Input->visible() != 0) == on &&
                       (f->ER75_Input->visible() != 0) == on;
            },
            3000);
    };

    click(f->ML_Type);
    EXPECT_TRUE(fields_shown(true));
    // Pressed on Liter, released outside it: nothing changes.
    xdotool(at(f->Liter_Type) + " mousedown 1" + at(f->Hand_Type) + at(f->InversGunCheck) +
            " mouseup 1");
    EXPECT_EQ(1, f->ML_Type->value());
    EXPECT_EQ(0, f->Liter_Type->value());
    EXPECT_TRUE(fields_shown(true));

    click(f->Liter_Type, 3);
    EXPECT_EQ(1, f->Liter_Type->value());
    EXPECT_TRUE(fields_shown(false));
    click(f->ML_Type, 2);
    EXPECT_EQ(1, f->ML_Type->value());
    EXPECT_TRUE(fields_shown(true));

    // The arrow keys move the focus, the space bar turns the radio on.
    f->ML_Type->take_focus();
    xdotool(at(f->ER72_Input) + " key Down sleep 0.05 key Down sleep 0.05 key space");
    EXPECT_EQ(1, f->Hand_Type->value());
    EXPECT_TRUE(fields_shown(false));
    xdotool("key Up sleep 0.05 key Up sleep 0.05 key space");
    EXPECT_EQ(1, f->ML_Type->value());
    EXPECT_TRUE(fields_shown(true));
}

TEST_F(WindowTest, EscapeLeavesTheWindowAndThePortOpen)
{
    TestPty pty;
    build(pty.slave);
    click(MainForm->OpenButton);
    ASSERT_TRUE(pump_until([] { return port != 0; }, 5000));
    click(MainForm->ER72_Input);
    ASSERT_EQ(MainForm->ER72_Input, Fl::focus());
    xdotool("key Escape");
    Fl::wait(0.2);
    EXPECT_TRUE(MainForm->shown() && MainForm->visible());
    EXPECT_NE(0, port);
    EXPECT_TRUE(port_controls_active(true));
}

// A USB converter plugged in while the window runs, into a sysfs tree laid
// out as the kernel's: class/tty links to the tty under the converter.
static void plug_usb_serial(const std::string& sys, const std::string& name)
{
    std::string usb = sys + "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/" + name;
    make_dirs(usb + "/tty/" + name);
    make_dirs(sys + "/bus/usb-serial");
    make_symlink(sys + "/bus/usb-serial", usb + "/subsystem");
    make_symlink(usb, usb + "/tty/" + name + "/device");
    make_symlink(usb + "/tty/" + name, sys + "/class/tty/" + name);
}

TEST_F(WindowTest, APortPluggedInLaterIsListedWhenTheListOpensWhileClosed)
{
    TempDir sys;
    make_dirs(sys.file("class/tty"));
    plat_set_serial_root(sys.file("class/tty").c_str());
    TestPty pty;
    build(pty.slave);
    Fl_Choice* c = MainForm->ComChoice;
    ASSERT_EQ(2, c->size() - 1);  // the pseudo-terminal and "Other port..."
    EXPECT_STREQ("Other port...", c->menu()[1].label());
    plug_usb_serial(sys.path, "ttyUSB0");
    choose_by_clicks(1);  // the list as it opens: the new port comes second
    ASSERT_EQ(3, c->size() - 1);
    EXPECT_STREQ("ttyUSB0", c->text());
    EXPECT_STREQ("ttyUSB0", c->tooltip());

    MainForm->ComChoice->value(0);
    click(MainForm->OpenButton);
    ASSERT_TRUE(pump_until([] { return port != 0; }, 5000));
    plug_usb_serial(sys.path, "ttyUSB1");
    click(c);  // inactive while the port is open: the list stays as it is
    EXPECT_EQ(3, c->size() - 1);
}

// What an adapter says it is stands beside its name, and its stable name is
// listed after it; Open takes the bare names.
TEST_F(WindowTest, AnAdapterIsListedWithWhatItSaysItIsAndItsStableName)
{
    TempDir sys;
    make_dirs(sys.file("class/tty"));
    make_dirs(sys.file("by-id"));
    plug_usb_serial(sys.path, "ttyUSB0");
    std::string usb = sys.file("devices/pci0000:00/0000:00:14.0/usb1/1-1/");
    for (auto f :
         {"idVendor=1234", "manufacturer=Acme", "product=USB RS485 Converter", "serial=A10K5XYZ"})
        write_file(usb + std::string(f, strchr(f, '=')), std::string(strchr(f, '=') + 1) + "\n");
    std::string stable = sys.file("by-id/usb-Acme_USB_RS485_Converter_A10K5XYZ-if00-port0");
    make_symlink("../../ttyUSB0", stable);
    set_env("KP6_SERIAL_BY_ID", sys.file("by-id").c_str());
    plat_set_serial_root(sys.file("class/tty").c_str());
    build("");
    set_env("KP6_SERIAL_BY_ID", nullptr);
    Fl_Choice* c = MainForm->ComChoice;
    ASSERT_EQ(3, c->size() - 1);
    EXPECT_STREQ("ttyUSB0", c->menu()[0].label());
    EXPECT_EQ(stable, c->menu()[1].label());
    EXPECT_STREQ("ttyUSB0\nAcme USB RS485 Converter, serial A10K5XYZ", c->tooltip());
    // The open list is as wide as the name and what it is.
    fl_font(FL_HELVETICA, FL_NORMAL_SIZE);
    int h = 0, w = c->menu()[0].measure(&h, nullptr);
    EXPECT_GE(w, (int)fl_width("ttyUSB0 \xE2\x80\x94 Acme USB RS485 Converter, serial A10K5XYZ"));
    EXPECT_STREQ("ttyUSB0", list_names[0]);
}

// The converter is chosen beside the port and remembered with it; one whose
// lines the port's driver refuses is said, with the port left closed.
TEST_F(WindowTest, TheConverterIsRememberedPerPortAndARefusalLeavesThePortClosed)
{
    TestPty pty;
    build(pty.slave + ":tcp://127.0.0.1:1");
    Fl_Choice* conv = MainForm->ConverterChoice;
    EXPECT_STREQ("auto", conv->text());
    EXPECT_TRUE(conv->active_r());
    choose_by_clicks(1, conv);
    EXPECT_STREQ("rts", conv->text());
    EXPECT_EQ((std::vector<std::string>{"error\nthe converter rts cannot be switched: the driver "
                                        "of " +
                                            pty.slave +
                                            " refuses the modem lines\n(Inappropriate ioctl for "
                                            "device)",
                                        "Close"}),
              alert_of_open());
    EXPECT_EQ(0, port);
    EXPECT_TRUE(port_controls_active(false));
    EXPECT_TRUE(MainForm->OpenButton->active_r());

    // A network line has none; the port's own comes back with it.
    choose_by_clicks(1);
    EXPECT_STREQ("auto", conv->text());
    EXPECT_FALSE(conv->active_r());
    choose_by_clicks(0);
    EXPECT_STREQ("rts", conv->text());

    rebuild(pty.slave);
    conv = MainForm->ConverterChoice;
    EXPECT_STREQ("rts", conv->text());
    // Another window's choice, saved meanwhile, is kept by this one's.
    char prefs[1100];
    ASSERT_EQ(0, prefs_path(prefs, sizeof prefs));
    std::string text = read_file(prefs), mine = pty.slave + "=rts";
    ASSERT_NE(std::string::npos, text.find(mine)) << text;
    write_file(prefs, text.replace(text.find(mine), mine.size(), mine + "\n2:COM9=dtr"));
    choose_by_clicks(0, conv);
    EXPECT_EQ(std::string::npos, read_file(prefs).find(mine));
    EXPECT_NE(std::string::npos, read_file(prefs).find("1:COM9=dtr"));
    click(MainForm->OpenButton);
    ASSERT_TRUE(pump_until([] { return port != 0; }, 5000));
    EXPECT_FALSE(conv->active_r());
    click(MainForm->CloseButton);
    ASSERT_TRUE(pump_until([] { return port == 0; }, 5000));
    EXPECT_TRUE(conv->active_r());
    rebuild(pty.slave);
    EXPECT_STREQ("auto", MainForm->ConverterChoice->text());
}

TEST_F(WindowTest, ALongNameIsElidedInTheMiddleWithTheWholeNameAsTooltip)
{
    std::string url = "rfc2217://device-server-in-hall-7.plant.example.com:27002";
    build(url);
    EXPECT_EQ(url, MainForm->ComChoice->tooltip());
    EXPECT_EQ(url, MainForm->ComChoice->text());  // the item itself is whole
    fl_font(FL_HELVETICA, FL_NORMAL_SIZE);
    char shown[200];
    elide_middle(url.c_str(), 150, shown, sizeof shown);
    std::string s = shown;
    EXPECT_LE(fl_width(shown), 150);
    EXPECT_EQ(0u, s.find("rfc2217:")) << s;
    EXPECT_EQ(s.size() - 6, s.rfind(":27002")) << s;
    EXPECT_NE(std::string::npos, s.find("\xE2\x80\xA6")) << s;
    elide_middle("ttyUSB0", 150, shown, sizeof shown);
    EXPECT_STREQ("ttyUSB0", shown);
}

static std::string why_seen;
static void keep_why(void*)
{
    if (net_line.why && net_line.why->label() && net_line.why->label()[0])
        why_seen = net_line.why->label();
    Fl::repeat_timeout(0.02, keep_why);
}

// "Other port..." takes a device's path: one that is not there is refused
// with the reason, one that is is listed, chosen and remembered.
TEST_F(WindowTest, OtherPortTakesADevicePathCheckedAndRemembered)
{
    TestPty pty;
    build("");
    why_seen.clear();
    Fl::add_timeout(0.02, keep_why);
    when_window("Other port", "mousemove --window %w 30 56 sleep 0.1 key Return sleep 1 key Escape",
                "/dev/kp6-none");
    choose_by_clicks(0);
    EXPECT_TRUE(window_driven(20000));
    Fl::remove_timeout(keep_why);
    EXPECT_EQ("No such port: No such file or directory", why_seen);
    EXPECT_EQ(0, pref_line_count);

    when_window("Other port", "mousemove --window %w 30 56 sleep 0.1 key Return", pty.slave);
    choose_by_clicks(0);
    EXPECT_TRUE(window_driven(20000));
    EXPECT_STREQ(pty.slave.c_str(), MainForm->ComChoice->text());
    rebuild("");  // remembered at the next start
    ASSERT_EQ(2, MainForm->ComChoice->size() - 1);
    EXPECT_STREQ(pty.slave.c_str(), MainForm->ComChoice->menu()[0].label());
}
