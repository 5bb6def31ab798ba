// kp6ctl backup and restore against kp6-sim: the file written and read back,
// clones, a file refused before anything is sent, a dry run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "../../platform/platform.h"
#include "../support/port_fixture.h"
#include "../support/testsupport.h"
#include "kp6ctl_fixture.h"

TEST_F(Kp6Ctl, ReadWriteBackupRestoreRoundTrip)
{
    start({"--address", "01", "--address", "1F"},
          "1F 010078 12\n1F 010079 07\n1F 010074 0B\n1F 010075 0C\n1F 010077 FF\n"
          "1F 010072 00\n");
    Ran r = ctl("--address 1f read");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("type     liter\n"
              "inverse  on\n"
              "er78     18 (0x12)  liter, inverse gun on\n"
              "er79     7          engine start 0.7 s before the main valve opens\n"
              "er72     0          time-out 0 s\n"
              "er74     11         topping 110 g\n"
              "er75     12         buffer overflow 120 g\n"
              "er77     255        sensitivity 255\n",
              r.out);
    r = ctl("--address 0x1F read --json");
    EXPECT_EQ("{\"address\":\"1F\",\"type\":\"liter\",\"inverse\":true,\"er78\":18,\"er79\":7,"
              "\"er72\":0,\"er74\":11,\"er75\":12,\"er77\":255,\"health\":{\"exchanges\":6,",
              r.out.substr(0, r.out.find("\"retries\"")));

    // Only what is named changes; the rest goes back as it was read.
    r = ctl("write er79=25 type=hand inverse=on er74=7");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("01: Write OK\n", r.out);
    EXPECT_TRUE(holds("01 000024 08"));
    EXPECT_TRUE(holds("01 010078 1A"));  // hand, written as 4, reads back as 0A
    EXPECT_TRUE(holds("01 010079 19"));
    EXPECT_TRUE(holds("01 010074 07"));
    EXPECT_TRUE(holds("01 010072 0A"));
    EXPECT_TRUE(holds("01 010077 32"));
    EXPECT_TRUE(holds("1F 010078 12"));

    // A bad value stops the write before anything is sent.
    size_t frames = frames_received();
    r = ctl("write er72=1 er79=300");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: er79=300: Error input ER79: a number from 0 to 255\n", r.err);
    EXPECT_EQ(frames, frames_received());

    r = ctl("backup -o saved.json 01 1F");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("saved 01 1F to saved.json\n", r.out);
    std::string saved = read_file(dir.file("saved.json"));
    EXPECT_NE(std::string::npos, saved.find("\"version\": 1,"));
    EXPECT_NE(std::string::npos, saved.find("\"ER78\": 26,"));
    EXPECT_NE(std::string::npos, saved.find("\"ER78\": \"hand, inverse gun on\""));

    ctl("write er77=1");
    ctl("--address 1F write er77=2 type=milliliter");
    EXPECT_TRUE(holds("1F 010078 10"));
    r = ctl("restore -i saved.json");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("01: restored\n1F: restored\n", r.out);
    EXPECT_TRUE(holds("01 010077 32"));
    EXPECT_TRUE(holds("01 010078 1A"));
    EXPECT_TRUE(holds("1F 010077 FF"));
    EXPECT_TRUE(holds("1F 010078 12"));
}

// ER78 goes out as the window writes it, whatever the controller or the
// file holds beside the type and inverse gun.
TEST_F(Kp6Ctl, CloneWithToAndEachControllerOnce)
{
    start({"--address", "01", "--address", "02", "--address", "03"},
          "01 010079 2A\n01 010078 02\n");
    ASSERT_EQ(0, ctl("backup -o one.json").status);
    Ran r = ctl("restore -i one.json --to 02 --to 3");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("02: restored from 01\n03: restored from 01\n", r.out);
    for (const char* a : {"02", "03"}) {
        EXPECT_TRUE(holds(std::string(a) + " 010079 2A"));
        EXPECT_TRUE(holds(std::string(a) + " 010078 02"));
    }
    // One entry per controller, however its address is written.
    r = ctl("backup -o two.json 01 0x1 02 1 2");
    EXPECT_EQ("saved 01 02 to two.json\n", r.out);
    std::string two = read_file(dir.file("two.json"));
    // From a file of several, the one to copy is named.
    EXPECT_EQ(2, ctl("restore -i two.json --to 03").status);
    size_t frames = frames_received();
    two.replace(two.find("\"address\": \"02\""), 15, "\"address\": \"1\"");
    write_file(dir.file("twice.json"), two);
    r = ctl("restore -i twice.json");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: twice.json:27: controller 01 twice: address \"1\" here, \"01\" at line 8\n",
              r.err);
    EXPECT_EQ(frames, frames_received());
}

TEST_F(Kp6Ctl, ABackupReplacesAFileAsItWas)
{
    start({});
    auto mode = [&](const std::string& name) {
        struct stat st = {};
        lstat(dir.file(name).c_str(), &st);
        return st.st_mode;
    };
    write_file(dir.file("private.json"), "old");
    chmod(dir.file("private.json").c_str(), 0600);
    EXPECT_EQ(0, ctl("backup -o private.json").status);
    EXPECT_EQ(S_IFREG | 0600u, mode("private.json"));
    EXPECT_NE(std::string::npos, read_file(dir.file("private.json")).find("\"01\""));

    // A link stays; what it leads to is replaced, beside itself.
    make_dirs(dir.file("kept"));
    write_file(dir.file("kept/line3.json"), "old");
    chmod(dir.file("kept/line3.json").c_str(), 0640);
    make_symlink("kept/line3.json", dir.file("line3.json"));
    EXPECT_EQ(0, ctl("backup -o line3.json").status);
    EXPECT_TRUE(S_ISLNK(mode("line3.json")));
    EXPECT_EQ(S_IFREG | 0640u, mode("kept/line3.json"));
    EXPECT_NE(std::string::npos, read_file(dir.file("kept/line3.json")).find("\"01\""));

    // A read-only file is refused before anything is sent, whoever asks.
    write_file(dir.file("sealed.json"), "old");
    chmod(dir.file("sealed.json").c_str(), 0444);
    size_t frames = frames_received();
    Ran r = ctl("backup -o sealed.json");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: cannot write sealed.json: Permission denied\n", r.err);
    EXPECT_EQ("old", read_file(dir.file("sealed.json")));
    EXPECT_EQ(frames, frames_received());
    EXPECT_EQ("", run_command("cd '" + dir.path + "' && find . -name '*.tmp'"));
}

TEST_F(Kp6Ctl, ARestoreToAFailingControllerNamesItAndWritesTheOthers)
{
    // 02 is silent, 04 takes writes but fails reads; all take their time.
    start({"--address", "01", "--address", "03", "--fail-reads", "04", "--turnaround", "20"});
    write_file(dir.file("four.json"), backup_of({"01", "02", "03", "04"}));
    Ran r = ctl("--timeout 200 restore -i four.json");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("02: Error write IR24: no answer in 200 ms\n02: nothing written\n"
              "04: written, not read back: Error read ER78: acknowledged with 15, not 05\n",
              r.err);
    EXPECT_EQ("01: restored\n03: restored\n", r.out);
    for (const char* a : {"01", "03", "04"})
        EXPECT_TRUE(holds(std::string(a) + " 010077 05")) << a;
}

// Each refusal's line and cause: tests/device/test_backupfile.cpp. Here
// kp6ctl's side: exit 2 with the loader's words, nothing sent, and a file
// past the bound read no further.
TEST_F(Kp6Ctl, ADamagedOrHostileBackupIsRefusedAtOnceWithNothingSent)
{
    start({});
    ASSERT_EQ(0, ctl("backup -o good.json").status);
    std::string good = read_file(dir.file("good.json"));
    size_t frames = frames_received();
    std::string bad = good;
    bad.replace(bad.find("\"ER79\": 15"), 10, "\"ER79\": 256");
    std::string longer = good.substr(0, good.size() - 3) + ",\n\"note\": \"" +
                         std::string(50 << 20, 'x') + "\"\n}\n";
    const struct {
        std::string text, message;
    } cases[] = {
        {bad, "bad.json:11: ER79 is 256, not a whole number from 0 to 255"},
        {longer, "bad.json:27: longer than a backup file may be (1 MiB, 1048576 bytes)"},
    };
    for (const auto& c : cases) {
        write_file(dir.file("bad.json"), c.text);
        Ran r = ctl("restore -i bad.json");
        EXPECT_EQ(2, r.status);
        EXPECT_EQ("kp6ctl: " + c.message + "\n", r.err);
    }
    EXPECT_TRUE(holds("01 010079 0F"));

    // What is not a regular file is refused unopened: a FIFO without a
    // writer would block the reader for ever, a device is never touched.
    make_dirs(dir.file("folder"));
    ASSERT_EQ(0, system(("mkfifo '" + dir.file("fifo") + "'").c_str()));
    const struct {
        std::string args, message;
    } paths[] = {
        {"restore -i folder", "kp6ctl: folder: a folder, not a regular file\n"},
        {"restore -i fifo", "kp6ctl: fifo: a FIFO, not a regular file\n"},
        {"restore -i /dev/null", "kp6ctl: /dev/null: a device, not a regular file\n"},
        {"backup -o fifo", "kp6ctl: cannot write fifo: a FIFO, not a regular file\n"},
        {"backup -o folder", "kp6ctl: cannot write folder: a folder, not a regular file\n"},
    };
    for (const auto& c : paths) {
        Ran r = ctl(c.args, "timeout 20 ");
        EXPECT_EQ(2, r.status) << c.args;
        EXPECT_EQ(c.message, r.err);
    }
    EXPECT_EQ(frames, frames_received());
    EXPECT_EQ("./fifo\n", run_command("cd '" + dir.path + "' && find . -type p"));

    // A backup that cannot be written (here: a name with no room for its
    // temporary's ending) leaves the old file as it was: exit 1 and the
    // system's words.
    std::string name = std::string(250, 'g');
    write_file(dir.file(name), good);
    Ran r = ctl("backup -o " + name);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("kp6ctl: cannot write " + name + ": File name too long\n", r.err);
    EXPECT_EQ(good, read_file(dir.file(name)));
    EXPECT_EQ("", run_command("cd '" + dir.path + "' && find . -name '*.tmp'"));
    r = ctl("backup -o - >/dev/full");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("kp6ctl: cannot write -: No space left on device\n", r.err);
}

TEST_F(Kp6Ctl, ADryRunShowsWhatARestoreWouldChange)
{
    start({"--address", "01", "--address", "02"},
          "01 010078 02\n01 010079 09\n01 010072 08\n01 010074 07\n01 010075 06\n01 010077 05\n");
    write_file(dir.file("two.json"), backup_of({"01", "02"}));
    Ran r = ctl("restore -i two.json --dry-run");
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("01: nothing would change\ner78     2 (0x02)     liter, inverse "));
    EXPECT_NE(std::string::npos,
              r.out.find("02: 6 of 6 registers would change\n"
                         "er78     0 (0x00)     milliliter, inverse gun off\n"
                         "      -> 2 (0x02)     liter, inverse gun off\n"
                         "er79     15           engine start 1.5 s before the main valve opens\n"
                         "      -> 9            engine start 0.9 s before the main valve opens\n"))
        << r.out;
    for (const auto& l : sim->trace((size_t)-1, 300))
        EXPECT_TRUE(l.rfind("rx C", 0) != 0 || l.rfind("rx CA ", 0) == 0) << l;
    EXPECT_TRUE(holds("02 010079 0F"));
    EXPECT_EQ(0, ctl("-a 01 restore -i two.json --to 01 --dry-run").status);
}
