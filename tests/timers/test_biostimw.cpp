#include <gtest/gtest.h>

#include "../../timers/biostimw.h"
#include "../support/platform_fake.h"

TEST(CalendarClock, OneReadingFillsBothRecordsAndTheMilliseconds)
{
    fake_reset();
    fake_local = plat_datetime{2026, 12, 2, 8, 14, 5, 7, 389};
    r2_date d;
    r2_time t;
    bios_datetime(&d, &t);
    EXPECT_EQ(2026, d.year);
    EXPECT_EQ(12, d.month);
    EXPECT_EQ(8, d.day);
    EXPECT_EQ(14, t.hour);
    EXPECT_EQ(5, t.minute);
    EXPECT_EQ(7, t.second);
    EXPECT_EQ(38, t.hundredths);
    EXPECT_EQ(389, wMilli);

    fake_local.millisecond = 5;
    r2_time t2;
    bios_gettime(&t2);
    EXPECT_EQ(0, t2.hundredths);
    EXPECT_EQ(5, wMilli);
    r2_date d2;
    bios_getdate(&d2);
    EXPECT_EQ(8, d2.day);
}

TEST(CalendarClock, SettingKeepsTheOtherHalfAndARefusalChangesNothing)
{
    fake_reset();
    fake_local = plat_datetime{2026, 12, 2, 8, 14, 5, 7, 389};
    r2_time t = {30, 9, 99, 15};  // minute, hour, hundredths, second
    bios_settime(&t);
    ASSERT_EQ(1u, fake_set_times.size());
    EXPECT_EQ(9, fake_local.hour);
    EXPECT_EQ(30, fake_local.minute);
    EXPECT_EQ(15, fake_local.second);
    EXPECT_EQ(389, fake_local.millisecond);
    EXPECT_EQ(8, fake_local.day);

    r2_date d = {2027, 3, 1};  // year, day, month
    bios_setdate(&d);
    EXPECT_EQ(2027, fake_local.year);
    EXPECT_EQ(1, fake_local.month);
    EXPECT_EQ(3, fake_local.day);
    EXPECT_EQ(9, fake_local.hour);

    fake_set_time_error = 1;  // no privilege
    plat_datetime was = fake_local;
    r2_time other = {0, 0, 0, 0};
    bios_settime(&other);
    bios_setdate(&d);
    EXPECT_EQ(was.hour, fake_local.hour);
    EXPECT_EQ(2u, fake_set_times.size());
}

TEST(CalendarClock, TimeZoneFromTheHourAndTheDayOfMonth)
{
    fake_reset();
    r2_date d = {2026, 8, 12};
    r2_time t = {0, 3, 0, 0};
    fake_utc = plat_datetime{2026, 12, 1, 7, 22, 0, 0, 0};
    EXPECT_EQ(5, get_time_zone(&d, &t));
    d.day = 7;
    t.hour = 20;
    fake_utc = plat_datetime{2026, 12, 2, 8, 1, 0, 0, 0};
    EXPECT_EQ(-5, get_time_zone(&d, &t));
    d.day = 8;
    t.hour = 4;
    EXPECT_EQ(3, get_time_zone(&d, &t));
}
