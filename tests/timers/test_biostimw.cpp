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

    // Across the end of a month and of a year the whole dates decide.
    struct {
        r2_date local;
        int hour;
        plat_datetime utc;
        int want;
    } cases[] = {
        {{2026, 1, 4}, 3, {2026, 3, 2, 31, 22, 0, 0, 0}, 5},
        {{2026, 31, 3}, 20, {2026, 4, 3, 1, 1, 0, 0, 0}, -5},
        {{2027, 1, 1}, 2, {2026, 12, 4, 31, 23, 0, 0, 0}, 3},
        {{2026, 31, 12}, 14, {2027, 1, 5, 1, 0, 0, 0, 0}, -10},
        {{2028, 1, 3}, 1, {2028, 2, 2, 29, 20, 0, 0, 0}, 5},
    };
    for (auto& c : cases) {
        t.hour = (uint8_t)c.hour;
        fake_utc = c.utc;
        EXPECT_EQ(c.want, (int)get_time_zone(&c.local, &t))
            << c.local.year << "-" << (int)c.local.month;
    }
}

TEST(CalendarClock, ImpossibleDatesAndTimesLeaveTheClockAlone)
{
    fake_reset();
    fake_local = plat_datetime{2026, 12, 2, 8, 14, 5, 7, 389};
    plat_datetime was = fake_local;
    r2_date bad[] = {{2026, 31, 2}, {2026, 29, 2}, {2026, 1, 13}, {2026, 0, 5}, {2026, 31, 4}};
    for (auto& d : bad)
        bios_setdate(&d);
    r2_time late = {0, 24, 0, 0}, odd = {60, 10, 0, 0};
    bios_settime(&late);
    bios_settime(&odd);
    EXPECT_TRUE(fake_set_times.empty());
    EXPECT_EQ(was.month, fake_local.month);
    EXPECT_EQ(was.day, fake_local.day);
    EXPECT_EQ(was.hour, fake_local.hour);

    r2_date leap = {2028, 29, 2};
    bios_setdate(&leap);
    EXPECT_EQ(2, fake_local.month);
    EXPECT_EQ(29, fake_local.day);
}
