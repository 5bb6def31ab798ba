// The service report left on site: what the journal holds of a period,
// controller by controller (as found, as left, the changes and their
// verdict), and the journal's head to check it by, as a PDF. No window: the
// bus window and kp6ctl share it.
#ifndef KP6_REPORT_H
#define KP6_REPORT_H

#include <string>
#include <vector>

#include "settings.h"

// Results: 0, or why no report was made.
enum {
    REPORT_OK,
    REPORT_JOURNAL,  // the journal could not be read: *error as journal_walk's
    REPORT_FONT,     // a font file is missing or unreadable
    REPORT_PDF,      // the PDF library failed (*error: its code)
    REPORT_SAVE      // the file could not be written (the message says why)
};

// One controller of the period.
struct report_controller {
    unsigned char address;
    unsigned found_mask, left_mask;  // bit (1 << REG_*) per setting known
    device_settings found;           // the first read of the period (or a change's "before")
    device_settings left;            // the last read, then what the changes after it read back
    unsigned changed;                // bit per setting the period changed
    unsigned long changes;           // change records
    std::string verdict;   // the worst result of its changes ("failed: ..." over "acknowledged"
                           // over "confirmed"); empty: nothing written
    std::string compared;  // the comparison with the site's file, or empty
    std::string health;    // the line's health, as health_text words it, or empty
};

struct report_data {
    std::string site, line, adapter, technician, program;
    std::string since, until;                    // local time, as journal_period_stamp gives them
    std::vector<report_controller> controllers;  // in address order
    unsigned long records;                       // records of the period
    unsigned long seq_first, seq_last;           // their seq range
    std::string head;                            // the journal's head (64 hex digits)
    std::string verdict;                         // journal_verdict_text of the whole journal
    bool intact;
    // The lines (and adapters) the period's records name, when the caller
    // gives no line: "/dev/ttyUSB0 (FT1234), COM5".
    std::string lines_seen;
};

// Text typed for the header (the site, the technician), made fit for one
// line of the report: control characters escaped, cut to
// REPORT_TEXT_MAX characters ("..." marks the cut).
enum { REPORT_TEXT_MAX = 200 };
std::string report_clean_text(const std::string& text);

// Gathers the records of the journal `path` whose local time lies in
// [since, until] (journal_period_stamp's texts) for `addresses` (null or empty:
// every one) into `d`'s controllers, seq range, head, verdict and lines; the
// header fields are the caller's. REPORT_OK or REPORT_JOURNAL (*error).
int report_gather(const std::string& path, const std::vector<unsigned char>* addresses,
                  report_data& d, int* error);

// The folder holding the report's fonts (DejaVuSans.ttf, -Bold, Mono):
// beside the program when they are there (Windows), else the system's.
std::string report_font_dir(void);

// The report as a PDF in memory, in the language words() gives: A4
// portrait, the fonts embedded, "Page N of M" on each page. REPORT_OK,
// REPORT_FONT or REPORT_PDF (*error: the library's code).
int report_pdf(const report_data& d, const std::string& font_dir, std::string& pdf, int* error);

// report_pdf written as Save writes a file: whole or not at all
// (save_text). REPORT_OK, or the cause and `message`.
int report_save(const report_data& d, const std::string& path, std::string& message);

#endif
