// The journal's walk: every line checked against the chain before it, and
// the verdict in a technician's words.
#include <stdio.h>
#include <string.h>

#include <string>

#include "../i18n/words.h"
#include "../platform/platform.h"
#include "journal.h"
#include "journal_line.h"
#include "text.h"

// The chain as far as the walk has come.
struct chain {
    journal_verdict* v;
    std::string want;         // the head asked for, lower case
    std::string prev;         // the hash of the line before
    bool have_record;         // a record came before
    unsigned long seq;        // the last record's
    bool pending;             // a break at v->at, taken back if the next record shows a swap
    std::string last_offset;  // the last record's
    journal_record r;         // the line's, reused
    journal_told told;
    void* ctx;
};

static void settle(chain& c)
{
    c.pending = false;
}

// Checks one line against the chain and tells it: non-zero stops.
static int take_line(chain& c, const char* p, size_t n, unsigned long line_no)
{
    journal_verdict& v = *c.v;
    std::string hash = journal_line_hash(p, n);
    journal_record& r = c.r;
    bool is_record = n <= JOURNAL_LINE_MAX && journal_record_from(p, n, &r);
    if (is_record) {
        v.records++;
        if (v.records == 1) {
            v.first_time = r.time;
            v.first_date = journal_local_time(r).substr(0, 10);
        }
        v.last_time = r.time;
        c.last_offset = r.offset;
        if (c.pending && r.seq < v.at) {
            // The record before came too early: two records changed places.
            v.state = JOURNAL_OUT_OF_ORDER;
            v.at_next = v.at;
            v.at = r.seq;
        }
        settle(c);
        if (v.state == JOURNAL_INTACT) {
            if (r.prev != c.prev) {
                v.state = JOURNAL_CHANGED;
                // The line before was changed, unless records were removed
                // (or moved) between the two.
                bool next = c.have_record && r.seq == c.seq + 1;
                v.at = next ? c.seq : r.seq;
                c.pending = !next && c.have_record && r.seq > c.seq;
            } else if (c.have_record && r.seq != c.seq + 1) {
                v.state = JOURNAL_OUT_OF_ORDER;
                v.at = c.seq;
                v.at_next = r.seq;
            } else if (!c.have_record && r.seq != 1) {
                v.state = JOURNAL_CHANGED;
                v.at = r.seq;
            }
        }
        c.have_record = true;
        c.seq = r.seq;
    } else {
        settle(c);
        if (v.state == JOURNAL_INTACT) {
            v.state = JOURNAL_NOT_A_RECORD;
            v.at = line_no;
        }
    }
    if (!c.want.empty() && hash == c.want)
        v.head_found = true;
    c.prev = hash;
    v.head = hash;
    return c.told ? c.told(c.ctx, is_record ? &r : nullptr, line_no) : 0;
}

int journal_walk(const std::string& path, journal_told told, void* ctx, const char* want_head,
                 journal_verdict* v, int* error)
{
    *v = journal_verdict();
    v->state = JOURNAL_INTACT;
    v->head = JOURNAL_ZERO_HASH;
    if (error)
        *error = 0;
    chain c = {v, "", JOURNAL_ZERO_HASH, false, 0, false, "", journal_record(), told, ctx};
    for (const char* p = want_head ? want_head : ""; *p; p++)
        c.want += (char)(*p >= 'A' && *p <= 'F' ? *p - 'A' + 'a' : *p);
    v->want_head = c.want;
    int kind = PLAT_FILE_REGULAR;
    FILE* f = nullptr;
    int rc = plat_file_open_regular(path.c_str(), &f, &kind);
    if (rc == -1) {
        if (error)
            *error = kind;
        return JOURNAL_NOT_A_FILE;
    }
    if (rc) {
        if (plat_error_kind(rc) == PLAT_ERR_NO_FILE)
            return JOURNAL_OK;
        if (error)
            *error = rc;
        return JOURNAL_SYSTEM;
    }
    // A line at a time through a bounded buffer; a line past JOURNAL_LINE_MAX is
    // kept only as its length.
    std::string line;
    size_t long_line = 0;
    unsigned long line_no = 0;
    static const size_t CHUNK = 256 * 1024;
    std::string buf(CHUNK, '\0');
    int stop = 0;
    size_t got;
    while (!stop && (got = fread(&buf[0], 1, CHUNK, f)) > 0) {
        size_t at = 0;
        while (!stop && at < got) {
            const char* nl = (const char*)memchr(buf.data() + at, '\n', got - at);
            size_t end = nl ? (size_t)(nl - buf.data()) : got;
            size_t part = end - at;
            if (long_line || line.size() + part > JOURNAL_LINE_MAX) {
                long_line += line.size() + part;
                line.clear();
            } else if (nl && line.empty()) {
                // The common case: the whole line in the buffer, not copied.
                stop = take_line(c, buf.data() + at, part, ++line_no);
                at = end + 1;
                continue;
            } else
                line.append(buf.data() + at, part);
            at = end + (nl ? 1 : 0);
            if (!nl)
                continue;
            stop = take_line(c, long_line ? "" : line.data(),
                             long_line ? JOURNAL_LINE_MAX + 1 : line.size(), ++line_no);
            line.clear();
            long_line = 0;
        }
    }
    int failed = ferror(f) ? plat_file_error() : 0;
    // A last line without its LF (torn) is a line still.
    if (!stop && !failed && (long_line || !line.empty()))
        take_line(c, long_line ? "" : line.data(), long_line ? JOURNAL_LINE_MAX + 1 : line.size(),
                  ++line_no);
    fclose(f);
    if (v->records) {
        journal_record last;
        last.time = v->last_time;
        last.offset = c.last_offset;
        v->last_date = journal_local_time(last).substr(0, 10);
    }
    if (failed) {
        if (error)
            *error = failed;
        return JOURNAL_SYSTEM;
    }
    return JOURNAL_OK;
}

std::string journal_verdict_text(const journal_verdict& v)
{
    std::string text;
    switch (v.state) {
    case JOURNAL_CHANGED:
        text = printed(words(W_("record %lu: changed, or a record before it removed")), v.at);
        break;
    case JOURNAL_NOT_A_RECORD: text = printed(words(W_("line %lu is not a record")), v.at); break;
    case JOURNAL_OUT_OF_ORDER:
        text = printed(words(W_("records %lu and %lu out of order")), v.at, v.at_next);
        break;
    default:
        if (!v.records)
            text = words(W_("journal empty: 0 records"));
        else
            text = printed(words(W_("journal intact: %lu records, %s to %s, head %s")), v.records,
                           v.first_date.c_str(), v.last_date.c_str(), v.head.c_str());
    }
    if (!v.want_head.empty() && !v.head_found)
        text += "; " + printed(words(W_("head %s is not in the journal: cut short or rebuilt after "
                                        "it was printed")),
                               v.want_head.c_str());
    return text;
}

int journal_intact(const journal_verdict& v)
{
    return v.state == JOURNAL_INTACT && (v.want_head.empty() || v.head_found);
}
