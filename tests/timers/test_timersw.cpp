#include <dirent.h>
#include <gtest/gtest.h>

#include "../../timers/timersw.h"
#include "../support/testsupport.h"

// Without the event thread the counters hold still, so tests can set them.
static void set_clock(uint32_t t)
{
    rttimer = t;
    srttimer = (uint16_t)t;
}

class Timers : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto& t : timers)
            t.active = 0;
        set_clock(1000);
    }
};

TEST_F(Timers, NumberedTimersExpireOnceAndFreeTheirSlot)
{
    short zero = set_timer(0);
    EXPECT_EQ(0, zero);
    EXPECT_EQ(1, timer_exp(zero));  // a difference of 0 counts as reached
    EXPECT_EQ(1, timer_exp(zero));  // and stays so while the slot is free

    short id = set_timer(1000);
    EXPECT_EQ(0, id);  // lowest free slot again
    set_clock(1999);
    EXPECT_EQ(0, timer_exp(id));
    EXPECT_EQ(1u, timer_left(id));
    adjust_timer(id, 10);
    set_clock(2008);
    EXPECT_EQ(0, timer_exp(id));
    set_clock(2010);
    EXPECT_EQ(0u, timer_left(id));  // due, yet still running until polled
    EXPECT_EQ(1, timers[0].active);
    EXPECT_EQ(1, timer_exp(id));
    EXPECT_EQ(0u, timer_left(id));
    EXPECT_EQ(0u, timer_left(-1));
    EXPECT_EQ(0, timers[0].active);

    short a = set_timer(5), b = set_timer(5);
    EXPECT_EQ(1, b);
    kill_timer(a);
    EXPECT_EQ(0, timers[0].active);
    EXPECT_EQ(1, timers[1].active);
    EXPECT_EQ(0, set_timer(5));
}

TEST_F(Timers, FullTableAndOutOfRangeIdentifiers)
{
    for (int i = 0; i < TIMER_COUNT; i++)
        ASSERT_EQ(i, set_timer(100));
    EXPECT_EQ(-1, set_timer(100));
    EXPECT_EQ(1, timer_exp(-1));
    EXPECT_EQ(1, timer_exp(512));
    kill_timer(-1);
    kill_timer(512);
    adjust_timer(-1, 5);
    adjust_timer(512, 5);
    for (int i = 0; i < TIMER_COUNT; i++)
        ASSERT_EQ(1, timers[i].active);
    EXPECT_EQ(0, timer_exp(511));
}

TEST_F(Timers, DeadlinesSurviveTheWrapOfBothCounters)
{
    set_clock(0xFFFFFFF0u);
    short id = set_timer(0x20);
    unsigned long deadline = 0xFFFFFFF0u + 0x20u;  // wraps to 0x10
    EXPECT_EQ(0, timer_exp(id));
    EXPECT_EQ(0, ltimer_exp((uint32_t)deadline));
    set_clock(0x0000000Fu);
    EXPECT_EQ(0, timer_exp(id));
    EXPECT_EQ(0, ltimer_exp((uint32_t)deadline));
    set_clock(0x00000010u);
    EXPECT_EQ(1, timer_exp(id));
    EXPECT_EQ(1, ltimer_exp((uint32_t)deadline));

    set_clock(0xFFF0);
    EXPECT_EQ(0, stimer_exp((unsigned short)(0xFFF0 + 0x20)));
    set_clock(0x10010);
    EXPECT_EQ(1, stimer_exp(0x0010));

    // 16-bit rule: 1 to 32768 ahead is pending, 32769 and more is reached,
    // and more than 32767 behind reads as pending again.
    set_clock(100);
    EXPECT_EQ(1, stimer_exp(100));
    EXPECT_EQ(0, stimer_exp(101));
    EXPECT_EQ(0, stimer_exp((unsigned short)(100 + 32768)));
    EXPECT_EQ(1, stimer_exp((unsigned short)(100 + 32769)));
    EXPECT_EQ(1, stimer_exp((unsigned short)(100 - 32767)));
    EXPECT_EQ(0, stimer_exp((unsigned short)(100 - 32768 - 1)));
}

TEST_F(Timers, EventThreadPublishesTheClockUntilRemoved)
{
    install_event(1);
    EXPECT_EQ(1, enable_timer_thread.load());
    uint32_t first = rttimer;
    EXPECT_TRUE(eventually([&] { return rttimer != first; }, 5000));
    short id = set_timer(30);
    EXPECT_TRUE(eventually([&] { return timer_exp(id) == 1; }, 5000));
    remove_event(1);
    EXPECT_EQ(0, enable_timer_thread.load());
    // The thread has ended: the clock stands still from here on.
    uint32_t stopped = rttimer;
    timer_delay(20);
    EXPECT_EQ(stopped, rttimer.load());
    install_event(1);  // starts afresh
    EXPECT_TRUE(eventually([&] { return rttimer != stopped; }, 5000));
    remove_event(1);
}

static int thread_count()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (struct dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

TEST_F(Timers, InstallingTwiceKeepsOneThreadThatRemoveStops)
{
#ifdef _WIN32
    GTEST_SKIP() << "threads counted in /proc";
#endif
    int before = thread_count();
    install_event(1);
    short id = set_timer(100000);
    install_event(1);  // starts afresh: the table is cleared
    EXPECT_EQ(0, timers[id].active);
    EXPECT_EQ(before + 1, thread_count());
    uint32_t first = rttimer;
    EXPECT_TRUE(eventually([&] { return rttimer != first; }, 5000));
    remove_event(1);
    EXPECT_TRUE(eventually([&] { return thread_count() == before; }, 5000));
    uint32_t stopped = rttimer;
    timer_delay(20);
    EXPECT_EQ(stopped, rttimer.load());
}
