// kp6ctl as a script runs it, against kp6-sim on a pseudo-terminal; the
// simulator's state file and trace are the witnesses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "../../platform/platform.h"
#include "../support/netpeer.h"
#include "../support/port_fixture.h"
#include "../support/sim.h"
#include "../support/testsupport.h"
#include "kp6ctl_fixture.h"

TEST_F(Kp6Ctl, ScanFindsExactlyTheControllersAmongSilentAddresses)
{
    // 04 answers but fails its reads; the other 13 of 01 to 10 stay silent.
    start({"--address", "02", "--address", "05", "--fail-reads", "04"}, "05 010078 1A\n");
    uint64_t t0 = plat_perf_counter();
    Ran r = ctl("scan --from 01 --to 10");
    double ms = ms_since(t0);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("02 type=milliliter inverse=off\n05 type=hand inverse=on\n", r.out);
    EXPECT_EQ("", r.err);       // no progress line when nobody watches
    EXPECT_LT(ms, 13 * 600.0);  // the window's second would take 13 s

    // Every silent address is listened to for the whole 100 ms after its
    // frame's 10.4 ms on the line.
    t0 = plat_perf_counter();
    r = ctl("scan --from 11 --to 24");
    EXPECT_GE(ms_since(t0), 20 * 109.0);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("kp6ctl: no controller answered from 11 to 24\n", r.err);
}

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
    EXPECT_EQ("kp6ctl: er79=300: Error input ER79\n", r.err);
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
TEST_F(Kp6Ctl, HandIsWrittenAsTheWindowWritesIt)
{
    auto sent_er78 = [&] {
        std::string last;
        for (const auto& l : sim->trace((size_t)-1, 300))
            if (l.rfind("rx CB 78 00 01 ", 0) == 0)
                last = l.substr(15);
        return last;
    };
    start({}, "01 010078 2A\n");  // hand, and a bit the window never sends
    Ran r = ctl("write er79=20");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("04", sent_er78());
    write_file(dir.file("hand.json"), "{\"version\": 1, \"controllers\": [{\"address\": \"01\", "
                                      "\"registers\": {\"ER78\": 26, \"ER79\": 9, \"ER72\": 8, "
                                      "\"ER74\": 7, \"ER75\": 6, \"ER77\": 5}}]}\n");
    r = ctl("restore -i hand.json");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("14", sent_er78());
    EXPECT_TRUE(holds("01 010078 1A"));

    // A type code that is no type: the window would ask for a type first.
    r = ctl("write er78=5");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: er78=5: type code 5 is none of milliliter (0), liter (2), hand (10)\n",
              r.err);
    sim.reset();
    start({}, "01 010078 05\n");
    size_t frames = frames_received();
    r = ctl("write er79=1");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: 01: Select type: ER78 holds type code 5, which is no type; give "
              "type=milliliter, liter or hand\n",
              r.err);
    EXPECT_EQ(frames + 12, frames_received());  // the Read's, none of a write
    EXPECT_EQ(0, ctl("write er79=1 type=liter").status);
    EXPECT_EQ("02", sent_er78());
}

// A controller at 01 that answers after 1.5 s: its answer comes when the
// first run has given up, and must not pass for a reply at 05.
TEST_F(Kp6Ctl, ALateAnswerIsNoReplyToTheNextRun)
{
    start({"--turnaround", "1500"});
    EXPECT_EQ("01: No reply: no answer in 1000 ms\n", ctl("test").err);
    ASSERT_EQ(2u, sim->trace(2, 5000).size());  // the header, and the late answer
    Ran r = ctl("--address 05 test");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("05: No reply: no answer in 1000 ms\n", r.err);
}

// Converters are named by their stable links, 60 to 100 characters long.
TEST_F(Kp6Ctl, AStableLinkOfNinetyNineCharactersOpens)
{
    start({});
    std::string link = dir.file("serial/by-id/usb-Converter_RS485_Cable_A1B2C3D4-if00-port0");
    link += std::string(99 - link.size(), '0');
    ASSERT_EQ(0, system(("mkdir -p '" + dir.file("serial/by-id") + "'").c_str()));
    ASSERT_EQ(0, symlink(sim->path.c_str(), link.c_str()));
    EXPECT_EQ("01: Ok\n", ctl("--port " + link + " test").out);
    std::string env = "cd '" + dir.path + "' && KP6_PORT='" + link + "' " KP6CTL " test 2>&1";
    EXPECT_EQ("01: Ok\n", run_command(env));
}

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

TEST_F(Kp6Ctl, ADamagedOrOutOfRangeBackupIsRefusedWithNothingSent)
{
    start({});
    ASSERT_EQ(0, ctl("backup -o good.json").status);
    std::string good = read_file(dir.file("good.json"));
    size_t frames = frames_received();
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string t = good;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    auto cr_only = [](std::string t) {
        std::replace(t.begin(), t.end(), '\n', '\r');
        return t;
    };
    const struct {
        std::string text, message;
    } cases[] = {
        {replaced("\"ER79\": 15", "\"ER79\": 256"),
         "bad.json:11: ER79 is 256, not a whole number from 0 to 255"},
        {replaced("\"ER77\": 50", "\"ER77\": -1"),
         "bad.json:15: ER77 is -1, not a whole number from 0 to 255"},
        {replaced("\"ER72\": 10,", "\"ER72\": 10"),
         "bad.json:13: not valid JSON: syntax error while parsing object - unexpected string "
         "literal; expected '}'"},
        {replaced("\"version\": 1", "\"version\": 2"),
         "bad.json:3: unknown version 2 (this kp6ctl reads version 1)"},
        {good.substr(0, good.size() / 2), "bad.json:"},
        {replaced("\"address\": \"01\"", "\"address\": \"00\""),
         "bad.json:8: address \"00\" is not 01 to FF in hexadecimal"},
        {replaced("\"ER78\": 0,", "\"ER78\": 4,"),
         "bad.json:10: ER78 is 4: type code 4 is none of milliliter (0), liter (2), hand (10)"},
        {replaced("\"ER79\": 15", "\"ER79\": -0"),
         "bad.json:11: ER79 is -0: write 0 to 255 in digits alone"},
        {replaced("\"ER79\": 15", "\"ER79\": " + std::string(1000000, '9')),
         "bad.json:11: not valid JSON: number overflow parsing '" + std::string(36, '9') +
             "...9'\n"},
        {cr_only(replaced("\"ER77\": 50", "\"ER77\": 5.0")),
         "bad.json:15: ER77 is 5.0: write 0 to 255 in digits alone"},
    };
    for (const auto& c : cases) {
        write_file(dir.file("bad.json"), c.text);
        Ran r = ctl("restore -i bad.json");
        EXPECT_EQ(2, r.status);
        EXPECT_EQ(0u, r.err.find("kp6ctl: " + c.message)) << r.err;
    }
    EXPECT_EQ(frames, frames_received());
    EXPECT_TRUE(holds("01 010079 0F"));
}

TEST_F(Kp6Ctl, AHostileBackupIsRefusedAtOnceWithNothingSent)
{
    start({});
    ASSERT_EQ(0, ctl("backup -o good.json").status);
    std::string good = read_file(dir.file("good.json"));
    size_t frames = frames_received();
    std::string twice = good;
    twice.replace(twice.find("\"ER79\": 15"), 10, "\"ER79\": 3, \"ER79\": 15");
    std::string deeper = good;
    deeper.replace(deeper.find("\"ER77\": 50"), 10, "\"ER77\": [[50]]");
    std::string longer = good.substr(0, good.size() - 3) + ",\n\"note\": \"" +
                         std::string(50 << 20, 'x') + "\"\n}\n";
    std::string many = "{";  // once a minute of the JSON library's key search
    for (int i = 0; i < 100000; i++) {
        char key[16];
        snprintf(key, sizeof key, "\"%x\":0,\n", i);
        many += key;
    }
    const struct {
        std::string text, message;
    } cases[] = {
        {std::string(100000, '['), "bad.json:1: nested deeper than a backup file is (4 levels)"},
        {deeper, "bad.json:15: nested deeper than a backup file is (4 levels)"},
        {twice, "bad.json:11: \"ER79\" given twice in one object"},
        {longer, "bad.json:27: longer than a backup file may be (1 MiB, 1048576 bytes)"},
        {many + "\"version\": 2}",
         "bad.json:100001: unknown version 2 (this kp6ctl reads version 1)"},
    };
    uint64_t t0 = plat_perf_counter();
    for (const auto& c : cases) {
        write_file(dir.file("bad.json"), c.text);
        Ran r = ctl("restore -i bad.json");
        EXPECT_EQ(2, r.status);
        EXPECT_EQ("kp6ctl: " + c.message + "\n", r.err);
    }
    EXPECT_LT(ms_since(t0), 20000.0);  // once more than a minute

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

    // A backup that cannot be written leaves the old file as it was: exit 1
    // and the system's words.
    make_dirs(dir.file("good.json.tmp"));
    Ran r = ctl("backup -o good.json");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("kp6ctl: cannot write good.json: ")) << r.err;
    EXPECT_EQ(good, read_file(dir.file("good.json")));
    remove(dir.file("good.json.tmp").c_str());
    EXPECT_EQ(0, ctl("backup -o good.json").status);
    EXPECT_FALSE(path_exists(dir.file("good.json.tmp")));
    r = ctl("backup -o - >/dev/full");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("kp6ctl: cannot write -: No space left on device\n", r.err);
}

TEST_F(Kp6Ctl, UsageTestAndPortFailures)
{
    start({"--address", "2A"});
    EXPECT_EQ("2A: Ok\n", ctl("--address 2a test").out);
    EXPECT_EQ(std::string::npos, read_file(dir.file("port.out")).find("->"));
    ctl("--log --address 2a test");  // the port's traffic goes to the log
    EXPECT_NE(std::string::npos, read_file(dir.file("port.out")).find("-> 60 2A 81 "));
    Ran r = ctl("--address 2b --timeout 100 test");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("2B: No reply: no answer in 100 ms\n", r.err);
    size_t frames = frames_received();
    r = ctl("--address 100 read");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("kp6ctl: bad address \"100\": give 01 to FF in hexadecimal"));
    EXPECT_EQ(2, ctl("--address 0 read").status);
    EXPECT_EQ(2, ctl("frobnicate").status);
    EXPECT_EQ(0, ctl("restore --help").status);
    r = ctl("--port " + dir.file("none") + " read");
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("kp6ctl: cannot open " + dir.file("none") + ": No such file or directory\n", r.err);
    EXPECT_EQ(frames, frames_received());
    // The line is held for exclusive use.
    TestLine held(sim->path);
    r = ctl("read");
    EXPECT_EQ(3, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot open")) << r.err;
}

// ---- what happened, said exactly -----------------------------------------------------

// Each fault of the line is named after the step it ended, exit 1.
TEST_F(Kp6Ctl, EachFaultIsNamedAfterItsStep)
{
    const struct {
        std::vector<std::string> sim;
        std::string args, err;
    } cases[] = {
        {{"--silent"}, "-t 200 read", "01: Error read ER78: no answer in 200 ms\n"},
        {{"--select-reply", "55"},
         "read",
         "01: Error read ER78: the selection was answered with 55, not C0\n"},
        {{"--ack", "15"}, "write er79=1", "01: Error read ER78: acknowledged with 15, not 05\n"},
        {{"--short-answer"}, "-t 200 read", "01: Error read ER78: 2 of 3 answer bytes\n"},
        {{"--silent"}, "-t 200 test", "01: No reply: no answer in 200 ms\n"},
        {{"--hangup-after", "2"}, "read", "01: Error read ER79: the line "},
    };
    for (const auto& c : cases) {
        sim.reset();
        start(c.sim);
        Ran r = ctl(c.args);
        EXPECT_EQ(1, r.status) << c.args;
        EXPECT_EQ(c.err, r.err.substr(0, c.err.size()));
        if (c.sim[0] == "--hangup-after") {
            EXPECT_EQ(c.err + sim->path + " was lost\n", r.err);
        }
    }
}

// What a failed write left: the simulator loses its 25th or 26th answer,
// ER78's selection or acknowledgement (after the read's 12, the second
// read's 10 and IR24's 2).
TEST_F(Kp6Ctl, WritesAreReportedAsTheyLanded)
{
    start({"--drop-every", "25"});
    Ran r = ctl("-t 200 write er79=20");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("01: Error write ER78: no answer in 200 ms\n"
              "01: IR24 written; ER78, ER79, ER72, ER74, ER75, ER77 keep their old values\n",
              r.err);
    EXPECT_TRUE(holds("01 010079 0F"));
    sim.reset();
    start({"--drop-every", "26"});
    r = ctl("-t 200 write er79=20");
    EXPECT_EQ("01: Error write ER78: selected, then no answer in 200 ms\n01: IR24 written; ER78 "
              "may or may not be written; ER79, ER72, ER74, ER75, ER77 keep their old values\n",
              r.err);

    // Every write acknowledged, the read-back refused: on the controller.
    sim.reset();
    start({"--fail-reads", "01"});
    write_file(dir.file("one.json"), backup_of({"01"}));
    r = ctl("restore -i one.json");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("01: written, not read back: Error read ER78: acknowledged with 15, not 05\n", r.err);
    EXPECT_TRUE(holds("01 010077 05"));
}

// Every third answer lost: --retries carries the line and counts.
TEST_F(Kp6Ctl, RetriesTurnAFlakyLineIntoASuccess)
{
    start({"--drop-every", "3"});
    EXPECT_EQ(1, ctl("-t 200 read").status);
    Ran r = ctl("-t 200 --retries 1 read --json");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"er79\":15")) << r.out;
    EXPECT_NE(std::string::npos, r.err.find(" retries in 6 exchanges\n")) << r.err;
    EXPECT_EQ(0u, r.err.rfind("kp6ctl: ", r.err.find(" retries"))) << r.err;
    r = ctl("-t 200 --retries=2 write er79=20");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(holds("01 010079 14"));
    EXPECT_EQ(2, ctl("--retries x read").status);
}

// A dry run reads and compares; nothing but reads goes out.
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

TEST_F(Kp6Ctl, ListsAndRangesOfAddresses)
{
    start({"--address", "01", "--address", "04", "--address", "05"});
    Ran r = ctl("-t 200 -a 01,03:05 read --json");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.out.find("[{\"address\":\"01\",")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("},{\"address\":\"05\",")) << r.out;
    EXPECT_EQ("03: Error read ER78: no answer in 200 ms\n", r.err);
    r = ctl("test 4-5,1");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("04: Ok\n05: Ok\n01: Ok\n", r.out);
    r = ctl("read 1,4");
    EXPECT_EQ(0u, r.out.find("address  01\ntype     milliliter\n"));
    EXPECT_NE(std::string::npos, r.out.find("\n\naddress  04\ntype "));
    r = ctl("-a 4:5 write er79=30");
    EXPECT_EQ("04: Write OK\n05: Write OK\n", r.out);
    EXPECT_TRUE(holds("05 010079 1E"));
    EXPECT_EQ("saved 04 05 to l.json\n", ctl("backup -o l.json 0x4-5").out);
    r = ctl("read 5-4");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("kp6ctl: the range 5-4 runs downwards")) << r.err;
}

TEST_F(Kp6Ctl, EnvironmentBoundsLogsAndHabits)
{
    start({"--address", "01", "--address", "FF"});
    // A bad KP6_ADDRESS matters only where the address is used.
    EXPECT_EQ(0, ctl("ports", "KP6_ADDRESS=zz ").status);
    EXPECT_EQ(0, ctl("--version", "KP6_ADDRESS=zz ").status);
    EXPECT_EQ(0, ctl("--address 01 read", "KP6_ADDRESS=zz ").status);
    Ran r = ctl("read", "KP6_ADDRESS=zz ");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: KP6_ADDRESS=zz is no bus address (01 to FF)\n", r.err);

    // No file is left behind without --log; -v shows the frames instead.
    std::string before = run_command("ls -a '" + dir.path + "'");
    r = ctl("-v test");
    EXPECT_EQ(before, run_command("ls -a '" + dir.path + "'"));
    EXPECT_NE(std::string::npos, r.err.find(" -> 60 01 81 FB\n")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" <> C0  (cleared)\n")) << r.err;  // the answer
    ctl("read --log traffic.log");
    EXPECT_NE(std::string::npos, read_file(dir.file("traffic.log")).find("-> 60 01 00 F8 C0"));
    EXPECT_FALSE(path_exists(dir.file("port.out")));

    // A time-out shorter than the frames take at 4800 baud: refused unsent.
    size_t frames = frames_received();
    r = ctl("-t 15 read");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("kp6ctl: --timeout 15 is too short: at 4800 baud a frame and its answer take 17 ms "
              "on the line; give 17 or more\n",
              r.err);
    EXPECT_EQ(2, ctl("-t 5 scan").status);
    EXPECT_EQ(frames, frames_received());

    // scan reaches FF; --json as read shapes its data.
    r = ctl("scan --from F0 --json");
    EXPECT_EQ("[{\"address\":\"FF\",\"type\":\"milliliter\",\"inverse\":false,\"er78\":0,"
              "\"health\":{\"exchanges\":1,",
              r.out.substr(0, r.out.find("\"retries\"")));
    r = ctl("-p " + sim->path + " -a ff -t 500 test");
    EXPECT_EQ("FF: Ok\n", r.out);
    EXPECT_EQ("kp6ctl " KP6_VERSION "\n", ctl("-V").out);
    EXPECT_EQ(0u, ctl("help read").out.find("usage: kp6ctl [-p PORT] [-a ADDRS] read"));
    EXPECT_EQ(0u, ctl("-h").out.find("usage: kp6ctl "));
    EXPECT_EQ(2, ctl("help nothing").status);
}

// Both programs name the version of project(), wherever the option stands,
// with no port or line needed.
TEST(Versions, Kp6ctlAndKp6SimPrintTheirNameAndVersion)
{
    int status = -1;
    EXPECT_EQ("kp6ctl " KP6_VERSION "\n", run_command("KP6_PORT= " KP6CTL " --version", &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ("kp6ctl " KP6_VERSION "\n", run_command(KP6CTL " read --version", &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ("kp6-sim " KP6_VERSION "\n", run_command(KP6_SIM " --version </dev/null", &status));
    EXPECT_EQ(0, status);
}
