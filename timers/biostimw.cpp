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

// Where the system refuses a new clock (no privilege), nothing changes;
// these operations report nothing either way.
void bios_setdate(r2_date* date)
{
    plat_datetime t;
    plat_local_time(&t);
    t.year = date->year;
    t.month = date->month;
    t.day = date->day;
    plat_set_local_time(&t);
}

void bios_settime(r2_time* time)
{
    plat_datetime t;
    plat_local_time(&t);
    t.hour = time->hour;
    t.minute = time->minute;
    t.second = time->second;
    plat_set_local_time(&t);
}

int8_t get_time_zone(r2_date* date, r2_time* time)
{
    plat_datetime utc;
    plat_utc_time(&utc);
    int8_t offset = (int8_t)(time->hour - utc.hour);
    if (utc.day != date->day)
        offset = (int8_t)(utc.day < date->day ? offset + 24 : offset - 24);
    return offset;
}
