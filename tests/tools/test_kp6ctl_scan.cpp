// kp6ctl scan against kp6-sim: the controllers found among silent
// addresses, and how long the silent ones take.
#include <gtest/gtest.h>

#include <string>

#include "../../platform/platform.h"
#include "../support/port_fixture.h"
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
