// GNU .mo message catalogue, loaded whole; English keys in, translations out.
#ifndef KP6_GETT_H
#define KP6_GETT_H

#include <stdint.h>

struct mo_string_desc {
    uint32_t length;  // without the terminating NUL
    uint32_t offset;
};

extern uint32_t gettext_header[7];
extern mo_string_desc* gett_original_offset;
extern mo_string_desc* gett_translation_offset;
// Point into the loaded file, which the catalogue keeps whole.
extern char** orig_string;
extern char** trans_string;
extern int orig_first_letter_a[128];
extern int orig_first_letter_b[128];

// 1 loaded; -1 cannot open; -2 short header; -3 wrong magic;
// -4 not loaded: damaged (a table or string outside the file, or too
// large), unreadable, or no memory for it.
int read_mo_file(const char* file, const char* dir);
const char* gettext_easy(const char* key);
void free_mo_file();

#endif
