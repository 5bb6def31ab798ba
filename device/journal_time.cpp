// The journal's times: a record's UTC time and offset read and moved to
// local time, and a period's bounds as typed.
#include "journal_time.h"

#include <string.h>

#include "journal.h"
#include "text.h"

// Days since 1970-01-01 of a civil date, and back (the proleptic
// Gregorian calendar).
static int64_t days_of(int64_t y, int m, int d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

static void date_of(int64_t days, int* y, int* m, int* d)
{
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t doe = days - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    *d = (int)(doy - (153 * mp + 2) / 5 + 1);
    *m = (int)(mp < 10 ? mp + 3 : mp - 9);
    *y = (int)(yoe + era * 400 + (*m <= 2));
}

// "2026-12-09T10:11:12.345" of milliseconds since 1970.
std::string record_stamp(int64_t ms, const char* between)
{
    int64_t days = (ms >= 0 ? ms : ms - 86399999) / 86400000;
    int64_t in_day = ms - days * 86400000;
    int y, m, d;
    date_of(days, &y, &m, &d);
    return printed("%04d-%02d-%02d%s%02d:%02d:%02d.%03d", y, m, d, between, (int)(in_day / 3600000),
                   (int)(in_day / 60000 % 60), (int)(in_day / 1000 % 60), (int)(in_day % 1000));
}

// Milliseconds since 1970 of a record's "time" ("2026-12-09T10:11:12.345Z"):
// true when it reads as one.
bool record_time_ms(const std::string& t, int64_t* ms)
{
    const char* p = t.c_str();
    if (t.size() != 24 || p[4] != '-' || p[7] != '-' || p[10] != 'T' || p[13] != ':' ||
        p[16] != ':' || p[19] != '.' || p[23] != 'Z')
        return false;
    int y = decimal_digits(p, 4), mo = decimal_digits(p + 5, 2), d = decimal_digits(p + 8, 2),
        h = decimal_digits(p + 11, 2), mi = decimal_digits(p + 14, 2),
        s = decimal_digits(p + 17, 2), f = decimal_digits(p + 20, 3);
    if (y < 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 ||
        s < 0 || s > 60 || f < 0)
        return false;
    *ms = ((days_of(y, mo, d) * 24 + h) * 60 + mi) * 60000 + (int64_t)s * 1000 + f;
    return true;
}

// Minutes of an offset "+03:00", "-05:30": true when it reads as one.
bool record_offset_minutes(const std::string& o, int* minutes)
{
    const char* p = o.c_str();
    int h = o.size() == 6 ? decimal_digits(p + 1, 2) : -1,
        m = o.size() == 6 ? decimal_digits(p + 4, 2) : -1;
    if (h < 0 || m < 0 || m > 59 || (p[0] != '+' && p[0] != '-') || p[3] != ':')
        return false;
    *minutes = (p[0] == '-' ? -1 : 1) * (h * 60 + m);
    return true;
}

int journal_local_stamp(const std::string& utc, const std::string& offset, std::string& out)
{
    int64_t ms = 0;
    int off = 0;
    if (!record_time_ms(utc, &ms) || !record_offset_minutes(offset, &off))
        return 0;
    out = record_stamp(ms + (int64_t)off * 60000, "T");
    return 1;
}

std::string journal_local_time(const journal_record& r)
{
    std::string local;
    if (!journal_local_stamp(r.time, r.offset, local))
        return r.time;
    local[10] = ' ';
    return local.substr(0, 19);
}

// A period's bound as typed, "2026-12-09" or "2026-12-09T10:05" (a space
// for the T too): its fields (the hour and minute 0 for a day), 1; else 0.
static int period_fields(const std::string& t, int f[5])
{
    const char* p = t.c_str();
    if ((t.size() != 10 && t.size() != 16) || p[4] != '-' || p[7] != '-')
        return 0;
    if (t.size() == 16 && ((p[10] != 'T' && p[10] != ' ') || p[13] != ':'))
        return 0;
    f[0] = decimal_digits(p, 4), f[1] = decimal_digits(p + 5, 2), f[2] = decimal_digits(p + 8, 2);
    f[3] = t.size() == 16 ? decimal_digits(p + 11, 2) : 0,
    f[4] = t.size() == 16 ? decimal_digits(p + 14, 2) : 0;
    return f[0] > 0 && f[1] >= 1 && f[1] <= 12 && f[2] >= 1 && f[2] <= 31 && f[3] >= 0 &&
           f[3] <= 23 && f[4] >= 0 && f[4] <= 59;
}

int journal_period_bound(const char* text, int until, std::string* bound)
{
    int f[5];
    if (!period_fields(text, f))
        return 0;
    // Compared with "2026-12-09 13:11:12": --until takes in the whole day
    // ('~' sorts after the time) or minute it names.
    if (strlen(text) == 10)
        *bound = printed("%04d-%02d-%02d%s", f[0], f[1], f[2], until ? "~" : " 00:00:00");
    else
        *bound = printed("%04d-%02d-%02d %02d:%02d:%s", f[0], f[1], f[2], f[3], f[4],
                         until ? "59" : "00");
    return 1;
}

int journal_period_stamp(const std::string& text, int until, std::string& out)
{
    int f[5];
    if (!period_fields(text, f))
        return 0;
    const char* end = text.size() == 10 ? (until ? "23:59:59.999" : "00:00:00.000")
                      : until           ? "59.999"
                                        : "00.000";
    out = text.size() == 10
              ? printed("%04d-%02d-%02dT%s", f[0], f[1], f[2], end)
              : printed("%04d-%02d-%02dT%02d:%02d:%s", f[0], f[1], f[2], f[3], f[4], end);
    return 1;
}

int journal_in_period(const journal_record& r, const std::string& since, const std::string& until)
{
    std::string t = journal_local_time(r);
    return (since.empty() || t >= since) && (until.empty() || t <= until);
}
