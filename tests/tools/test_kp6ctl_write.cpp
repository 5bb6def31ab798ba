// kp6ctl write against kp6-sim: what lands on the controller, and how each
// write is reported.
#include <gtest/gtest.h>

#include <string>

#include "../support/port_fixture.h"
#include "../support/testsupport.h"
#include "kp6ctl_fixture.h"

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
