#include "biostimw.h"

#include "../platform/platform.h"

uint16_t wMilli;

static void take_date(const plat_datetime& t, r2_date* date)
{
    date->year = (int16_t)t.year;
    date->month = (int8_t)t.month;
    date->day = (int8_t)t.day;
}

static void take_time(const plat_datetime& t, r2_time* time)
{
    time->hour = (uint8_t)t.hour;
    time->minute = (uint8_t)t.minute;
    time->second = (uint8_t)t.second;
    time->hundredths = (uint8_t)(t.millisecond / 10);
    wMilli = (uint16_t)t.millisecond;
}

void bios_getdate(r2_date* date)
{
    plat_datetime t;
    plat_local_time(&t);
    take_date(t, date);
}

void bios_gettime(r2_time* time)
{
    plat_datetime t;
    plat_local_time(&t);
    take_time(t, time);
}

void bios_datetime(r2_date* date, r2_time* time)
{
    plat_datetime t;
    plat_local_time(&t);
    take_date(t, date);
    take_time(t, time);
}

static int leap_year(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

static int days_in_month(int y, int m)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : days[m - 1];
}

// Where the system refuses a new clock (no privilege), nothing changes;
// these operations report nothing either way. A date or time that does not
// exist is refused here too: the system would roll 31 February into March.
void bios_setdate(r2_date* date)
{
    if (date->month < 1 || date->month > 12 || date->day < 1 ||
        date->day > days_in_month(date->year, date->month))
        return;
    plat_datetime t;
    plat_local_time(&t);
    t.year = date->year;
    t.month = date->month;
    t.day = date->day;
    plat_set_local_time(&t);
}

void bios_settime(r2_time* time)
{
    if (time->hour > 23 || time->minute > 59 || time->second > 59)
        return;
    plat_datetime t;
    plat_local_time(&t);
    t.hour = time->hour;
    t.minute = time->minute;
    t.second = time->second;
    plat_set_local_time(&t);
}

// Days from 1 March of year 0 (proleptic Gregorian), for ordering dates.
static long day_number(int y, int m, int d)
{
    if (m < 3) {
        y--;
        m += 12;
    }
    return 365L * y + y / 4 - y / 100 + y / 400 + (153 * (m - 3) + 2) / 5 + d;
}

int8_t get_time_zone(r2_date* date, r2_time* time)
{
    plat_datetime utc;
    plat_utc_time(&utc);
    int8_t offset = (int8_t)(time->hour - utc.hour);
    // Whole dates: the 1st of a month against the last of the one before.
    long local_day = day_number(date->year, date->month, date->day);
    long utc_day = day_number(utc.year, utc.month, utc.day);
    if (utc_day != local_day)
        offset = (int8_t)(utc_day < local_day ? offset + 24 : offset - 24);
    return offset;
}
