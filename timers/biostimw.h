// Local date and time of day, with the milliseconds of the last reading.
#ifndef KP6_BIOSTIMW_H
#define KP6_BIOSTIMW_H

#include <stdint.h>

struct r2_date {
    int16_t year;  // full year, 2026
    int8_t day;    // 1 to 31
    int8_t month;  // 1 to 12
};

struct r2_time {
    uint8_t minute;
    uint8_t hour;
    uint8_t hundredths;
    uint8_t second;
};

// Milliseconds 0 to 999 of the last bios_gettime or bios_datetime.
extern uint16_t wMilli;

void bios_getdate(r2_date* date);
void bios_gettime(r2_time* time);
void bios_setdate(r2_date* date);
void bios_settime(r2_time* time);
void bios_datetime(r2_date* date, r2_time* time);
int8_t get_time_zone(r2_date* date, r2_time* time);

#endif
