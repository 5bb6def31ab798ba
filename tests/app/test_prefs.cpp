// What the window remembers between starts, and preferences it cannot use.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <FL/Fl.H>

#include <string.h>

#include <string>

#include "../../app/kp6form.h"
#include "../../app/portlist.h"
#include "../../app/prefs.h"
#include "../../platform/platform.h"
#include "../../port/plainw.h"
#include "../support/testsupport.h"
#include "gui_support.h"

// What the window cannot take never stops it and is never lost: an entry it
// cannot read (a line over 1,000 characters, an odd group) is passed over
// alone and written back as it stood, as are entries it does not know; a file it cannot use at all
// is kept aside whole, said once; a FIFO and a read-only file are left as they are.
TEST_F(WindowTest, PreferencesItCannotUseAreKeptAsideOrPassedOverAlone)
{
    TestPty pty;
    std::string dir = home.file(".fltk/kp6"), prefs = dir + "/kp6.prefs";
    make_dirs(dir);
    const std::string head = "; a\n; b\n; c\n";
    write_file(prefs, head + "[.]\naddress:2A\nzoom:2\n+5\nport:" + std::string(1200, 'p') +
                          "\n[garbage]\nport:/dev/ttyS0\n[./" + std::string(300, 'g') +
                          "]\n1:tcp://127.0.0.1:9\n[./other/sub]\n; a note\nx:1\n[./lines]\n"
                          "1:tcp://127.0.0.1:7001\n");
    {
        AlertCatcher alerts;
        rebuild(pty.slave);
        EXPECT_STREQ("2A", MainForm->AddressInput->value());
        ASSERT_EQ(1, pref_line_count);
        EXPECT_STREQ("tcp://127.0.0.1:7001", pref_lines[0]);
        EXPECT_TRUE(alerts.texts.empty());
        OpenButton_OnClick(MainForm->OpenButton);  // saves
        std::string kept = read_file(prefs);
        for (const std::string& text :
             {std::string("[garbage]\nport:/dev/ttyS0\n"),
              "[./" + std::string(300, 'g') + "]\n1:tcp://127.0.0.1:9\n",
              std::string("[./other/sub]\n; a note\nx:1\n"), std::string("zoom:2\n+5\n"),
              "port:" + pty.slave + "\n", std::string("1:tcp://127.0.0.1:7001\n")})
            EXPECT_NE(std::string::npos, kept.find(text)) << text << " in\n" << kept;
        rebuild(pty.slave);
        EXPECT_STREQ(pty.slave.c_str(), pref_port);
        struct stat was, now;
        ASSERT_EQ(0, stat(prefs.c_str(), &was));
        prefs_save();  // nothing changed: the file is not written again
        ASSERT_EQ(0, stat(prefs.c_str(), &now));
        EXPECT_EQ(was.st_ino, now.st_ino);
        for (const char* address : {"2B", "2C"}) {  // a save with a change: the file as long
            snprintf(pref_address, sizeof pref_address, "%s", address);
            prefs_save();
            EXPECT_EQ(kept.size(), read_file(prefs).size()) << read_file(prefs);
        }
        CloseButton_OnClick(MainForm->CloseButton);
    }
    const std::string unusable[] = {std::string("; a\n\0\n", 6), head + std::string(70000, 'x')};
    for (const std::string& text : unusable) {
        write_file(prefs, text);
        AlertCatcher alerts;
        rebuild(pty.slave);
        EXPECT_STREQ("1", MainForm->AddressInput->value());
        OpenButton_OnClick(MainForm->OpenButton);  // remembers the port
        ASSERT_TRUE(pump_until([&] { return !alerts.texts.empty(); }, 10000));
        std::string said = alerts.texts[0], aside = said.substr(said.find_last_of(" \n") + 1);
        EXPECT_EQ(0u, said.find("The remembered settings could not be read")) << said;
        EXPECT_EQ(0u, aside.find(prefs + ".damaged-")) << said;
        EXPECT_EQ(text, read_file(aside));
        EXPECT_NE(std::string::npos, read_file(prefs).find("port:" + pty.slave));
        EXPECT_EQ(1u, alerts.texts.size());
    }
    EXPECT_EQ("2\n", run_command("ls '" + dir + "' | grep -c damaged"));  // the day's second: -2
    for (const char* kind : {"fifo", "read-only"}) {
        SCOPED_TRACE(kind);
        unlink(prefs.c_str());
        if (kind[0] == 'f')
            ASSERT_EQ(0, mkfifo(prefs.c_str(), 0600));
        else
            write_file(prefs, head + "[.]\nport:x\n");
        chmod(prefs.c_str(), 0444);
        AlertCatcher alerts;
        rebuild(pty.slave);
        OpenButton_OnClick(MainForm->OpenButton);
        EXPECT_TRUE(alerts.texts.empty());
        if (kind[0] == 'r') {
            EXPECT_EQ(head + "[.]\nport:x\n", read_file(prefs));
        }
    }
    // A home where the folder cannot be made: nothing is remembered, nothing said.
    run_command("rm -rf '" + home.file(".fltk") + "'");
    write_file(home.file(".fltk"), "");
    AlertCatcher alerts;
    rebuild(pty.slave);
    OpenButton_OnClick(MainForm->OpenButton);
    EXPECT_NE(0, port);
    EXPECT_TRUE(alerts.texts.empty());
}
