// What the journal's appends and its walk share of a line: its hash and
// the record it holds (the rest is in journal.h).
#ifndef KP6_JOURNAL_LINE_H
#define KP6_JOURNAL_LINE_H

#include <stddef.h>

#include <string>

#include "journal.h"

// A line longer than this is no record: the walk skips it unkept, and it
// is chained as 64 zeros (both sides agree, so a walk stays in step).
enum { JOURNAL_LINE_MAX = 64 * 1024 };
extern const char JOURNAL_ZERO_HASH[];

// The SHA-256 of a line in lower-case hex, JOURNAL_ZERO_HASH past JOURNAL_LINE_MAX.
std::string journal_line_hash(const char* p, size_t n);
// The record a line holds: true, or false for a line that is none.
bool journal_record_from(const char* p, size_t n, journal_record* r);

#endif
