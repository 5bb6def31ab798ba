// What the journal's records and the walk share of its times (the rest is
// in journal.h).
#ifndef KP6_JOURNAL_TIME_H
#define KP6_JOURNAL_TIME_H

#include <stdint.h>

#include <string>

// "2026-12-09T10:11:12.345" of milliseconds since 1970, `between` the date
// and the time.
std::string record_stamp(int64_t ms, const char* between);
// Milliseconds since 1970 of a record's "time": true when it reads as one.
bool record_time_ms(const std::string& t, int64_t* ms);
// Minutes of an offset "+03:00": true when it reads as one.
bool record_offset_minutes(const std::string& o, int* minutes);

#endif
