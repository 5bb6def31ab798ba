// The line's traffic in words: decode on logs the port layer wrote,
// monitor listening to a pty a script plays, and kp6-sim --replay.
#include <signal.h>

#include "kp6ctl_fixture.h"

// A Test, a Read and a Write, logged; 0D 0A inside a record's raw bytes
// (ER79 = 13 10 would be written as 0D, its answer 05 0D ..; the stray
// bytes make a read record hold CR LF and a false record start).
TEST_F(Kp6Ctl, DecodeNamesEveryFrameOfTestReadAndWrite)
{
    start({"--address", "1F"});
    ASSERT_EQ(0, ctl("-a 1F --log test").status);
    ASSERT_EQ(0, ctl("-a 1F --log write er79=13").status);
    ASSERT_EQ(0, ctl("-a 1F --log read").status);
    Ran r = ctl("decode port.out");
    EXPECT_EQ(0, r.status) << r.err;
    for (const char* line :
         {" 1 -> 60 1F 81 83  test 1F\n", " 1 <> C0  answered (cleared)\n",
          " 1 -> 60 1F 00 80 C0  select 1F\n", " 1 <- C0  selected\n",
          " 1 -> C9 24 00 00 08  write IR24 = 8\n", " 1 -> CB 79 00 01 0D  write ER79 = 13\n",
          " 1 <- 05 0D F1  ER79 = 13 written\n", " 1 -> CA 79 00 01 00  read ER79\n",
          " 1 <- 05 0D F1  ER79 = 13\n", "    program started\n"})
        EXPECT_TRUE(has(r.out, line)) << line << r.out;
    // A record's raw bytes that hold CR LF and a record's start are taken
    // by their count.
    std::string fake = " 10.12.26 (09:00:00:000) ";
    std::string tricky = "\r\n" + fake + "x\r\n";
    std::string rec = "\r\n" + fake + "\x97\xE2\xA5\xAD\xA8\xA5  \xAF\xAE\xE0\xE2\xA0 1<- ";
    std::string bytes;
    for (unsigned char c : tricky) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02X ", c);
        bytes += hex;
    }
    write_file(dir.file("tricky.out"), rec + bytes + "\r\n" + tricky + rec + "C0 \r\n\xC0");
    r = ctl("decode tricky.out");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, " 1 <- 0D 0A 20 31 30")) << r.out;
    EXPECT_TRUE(has(r.out, " 1 <- C0  unknown\n")) << r.out;  // no request before it
    // Cut short, no log: named by line, the rest still decoded.
    write_file(dir.file("cut.out"), "no log\r\n" + rec + "C0 C0 \r\nC");
    r = ctl("decode cut.out");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(has(r.err, "cut.out:1: not a record of the traffic log\n")) << r.err;
    EXPECT_TRUE(has(r.err, "cut.out:3: the record is cut short: 1 of 2 bytes\n")) << r.err;
    r = ctl("-a 02 decode --json port.out");
    EXPECT_EQ("", r.out);
    r = ctl("-a 1F decode --json port.out");
    EXPECT_TRUE(has(r.out, ",\"port\":1,\"dir\":\"->\",\"hex\":\"60 1F 81 83\",\"meaning\":"
                           "\"test 1F\"}\n"))
        << r.out;
}

// A script plays master and controller on a pty: every frame is named.
TEST_F(Kp6Ctl, MonitorNamesWhatOthersSayAndTellsALostLine)
{
    std::string script = dir.file("play.py"), go = dir.file("go");
    write_file(script, "import os, sys, time, tty\n"
                       "m, s = os.openpty()\n"
                       "tty.setraw(s)\n"
                       "print(os.ttyname(s), flush=True)\n"
                       "while not os.path.exists(sys.argv[1]): time.sleep(0.01)\n"
                       "for b in ['60 1F 00 80 C0', 'C0', 'CA 79 00 01 00', '05 07 FF', 'FF FF',\n"
                       "          '60 1F 81 00', '60 02 00 F4 C0', '15']:\n"
                       "    os.write(m, bytes.fromhex(b)); time.sleep(0.15)\n"
                       "while not os.path.exists(sys.argv[1] + '.end'): time.sleep(0.01)\n"
                       "os.close(m); os.close(s)\n");
    Child play({"/usr/bin/python3", script, go}, {}, dir.path);
    ASSERT_TRUE(play.read_until([](const std::string& o) { return o.find('\n') != o.npos; },
                                10000));
    std::string pty = play.output.substr(0, play.output.find('\n'));
    Child mon({"/bin/sh", "-c", "exec " KP6CTL " -p " + pty + " monitor --raw cap 2>err"}, {},
              dir.path);
    ASSERT_TRUE(eventually([&] { return has(read_file(dir.file("err")), "listening"); }, 10000));
    write_file(go, "");
    ASSERT_TRUE(mon.read_until([](const std::string& o) { return o.find("refused") != o.npos; },
                               20000))
        << mon.output;
    write_file(go + ".end", "");  // the line goes: said once, exit 1
    EXPECT_EQ(1, mon.wait_exit(10000));
    EXPECT_TRUE(has(read_file(dir.file("err")), "was lost")) << read_file(dir.file("err"));
    for (const char* f :
         {"-> 60 1F 00 80 C0  select 1F\n", "<- C0  selected\n", "-> CA 79 00 01 00  read ER79\n",
          "<- 05 07 FF  ER79 = 7\n", "<- FF FF  unknown\n",
          "-> 60 1F 81 00  test 1F: bad checksum 00, not 83\n", "-> 60 02 00 F4 C0  select 02\n",
          "<- 15  refused\n"})
        EXPECT_TRUE(has(mon.output, f)) << f << mon.output;
    std::string cap = read_file(dir.file("cap"));
    EXPECT_EQ(0u, cap.find("kp6 capture 1, ")) << cap;
    EXPECT_TRUE(has(cap, " <- 05 07 FF\n")) << cap;
}

// A read logged against a controller whose line loses answers, replayed:
// the same values and the same fault; a file that is no capture refused.
TEST_F(Kp6Ctl, ReplayAnswersAsTheCapturedControllers)
{
    start({"--address", "1F", "--drop-every", "9"});
    Ran first = ctl("-a 1F --log read");
    Ran second = ctl("-a 1F --log read");
    ASSERT_EQ(1, second.status) << second.err;
    sim.reset();
    start({"--replay", dir.file("port.out")});
    Ran again = ctl("-a 1F read");
    EXPECT_EQ(first.out, again.out);
    EXPECT_EQ(first.err, again.err);
    again = ctl("-a 1F read");
    EXPECT_EQ(second.out, again.out);
    EXPECT_EQ(second.err, again.err);
    write_file(dir.file("nothing"), "hello\n");
    int status;
    std::string out = run_command(
        "cd '" + dir.path + "' && " KP6_SIM " --replay nothing 2>&1 >/dev/null", &status);
    EXPECT_NE(0, status);
    EXPECT_TRUE(has(out, "nothing is no capture (kp6ctl monitor --raw) nor a traffic log: line 1: "
                         "not a record of the traffic log"))
        << out;
    // A capture's answer comes at its recorded time: too late for 200 ms.
    write_file(dir.file("late.cap"), "kp6 capture 1, 4800 baud\n0.000000 -> 60 1F 81 83\n"
                                     "0.400000 <- C0\n");
    sim.reset();
    start({"--replay", dir.file("late.cap")});
    EXPECT_EQ(1, ctl("-a 1F -t 200 test").status);
    EXPECT_EQ(0, ctl("-a 1F -t 2000 test").status);
    // Listening sends nothing; Ctrl-C ends it with 0.
    std::unique_ptr<Child> mon = ctl_running("monitor");
    ASSERT_TRUE(eventually([&] { return has(read_file(dir.file("err")), "listening"); }, 10000));
    kill(mon->pid, SIGINT);
    EXPECT_EQ(0, mon->wait_exit(10000));
    EXPECT_EQ(2u, frames_received());  // the two Tests alone
}
