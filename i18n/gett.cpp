#include "gett.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../platform/platform.h"

uint32_t gettext_header[7];
mo_string_desc* gett_original_offset;
mo_string_desc* gett_translation_offset;
char** orig_string;
char** trans_string;
int orig_first_letter_a[128];
int orig_first_letter_b[128];

enum { MO_MAGIC = 0x950412de, MO_MAGIC_SWAPPED = 0xde120495 };
// A catalogue of the tool is a few kilobytes; this only stops a stray huge
// file from being read into memory.
enum { MO_MAX_SIZE = 64 * 1024 * 1024 };

static uint32_t string_count;  // N of the loaded catalogue
// The validated file: the key and translation pointers point into it, so
// many descriptors of one string cost no more than the string once.
static unsigned char* mo_image;

static uint32_t swap32(uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
}

static uint32_t read_le32(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void free_mo_file()
{
    free(gett_original_offset);
    free(gett_translation_offset);
    gett_original_offset = nullptr;
    gett_translation_offset = nullptr;
    free(orig_string);
    orig_string = nullptr;
    free(trans_string);
    trans_string = nullptr;
    free(mo_image);
    mo_image = nullptr;
    string_count = 0;
}

// Reads the descriptor table at `at` and points at its strings; every
// string must lie inside the file and end in a NUL. 0 on success.
static int load_table(unsigned char* file, size_t size, uint32_t n, uint32_t at, int swap,
                      mo_string_desc** descs, char*** strings)
{
    if (at > size || (size - at) / 8 < n)
        return -4;
    *descs = (mo_string_desc*)calloc(n ? n : 1, sizeof **descs);
    *strings = (char**)calloc(n ? n : 1, sizeof **strings);
    if (!*descs || !*strings)
        return -4;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t len = read_le32(file + at + 8 * i);
        uint32_t off = read_le32(file + at + 8 * i + 4);
        if (swap) {
            len = swap32(len);
            off = swap32(off);
        }
        if (off > size || len >= size - off || file[off + len] != 0)
            return -4;
        (*descs)[i].length = len;
        (*descs)[i].offset = off;
        (*strings)[i] = (char*)file + off;
    }
    return 0;
}

static void build_index(void)
{
    for (int c = 0; c < 128; c++)
        orig_first_letter_a[c] = -1;
    int prev = -1;
    for (uint32_t i = 0; i < string_count; i++) {
        int c = (unsigned char)orig_string[i][0];
        if (c >= 128) {
            // Keys beyond ASCII have no index entry and simply miss.
            prev = -1;
            continue;
        }
        if (c != prev)
            orig_first_letter_a[c] = (int)i;
        orig_first_letter_b[c] = (int)i;
        prev = c;
    }
}

int read_mo_file(const char* file, const char* dir)
{
    char path[1000];
    if (snprintf(path, sizeof path, "%s/%s", dir, file) >= (int)sizeof path)
        return -1;
    FILE* f = plat_fopen(path, "rb");
    if (!f)
        return -1;
    unsigned char head[28];
    if (fread(head, 1, sizeof head, f) != sizeof head) {
        fclose(f);
        return -2;
    }
    uint32_t magic = read_le32(head);
    if (magic != MO_MAGIC && magic != MO_MAGIC_SWAPPED) {
        fclose(f);
        return -3;
    }
    // The whole file is checked in memory before the earlier catalogue goes.
    size_t size = 0;
    if (fseek(f, 0, SEEK_END) == 0) {
        long end = ftell(f);
        size = end > 0 ? (size_t)end : 0;
    }
    if (size < sizeof head || size > MO_MAX_SIZE) {
        fclose(f);
        return -4;
    }
    unsigned char* data = (unsigned char*)malloc(size);
    if (!data || fseek(f, 0, SEEK_SET) != 0 || fread(data, 1, size, f) != size) {
        free(data);
        fclose(f);
        return -4;
    }
    fclose(f);

    int swap = magic == MO_MAGIC_SWAPPED;
    uint32_t header[7];
    for (int i = 0; i < 7; i++) {
        header[i] = read_le32(data + 4 * i);
        if (swap && i >= 2)
            header[i] = swap32(header[i]);
    }
    uint32_t n = header[2];
    mo_string_desc *odesc = nullptr, *tdesc = nullptr;
    char **ostr = nullptr, **tstr = nullptr;
    int rc = load_table(data, size, n, header[3], swap, &odesc, &ostr);
    if (rc == 0)
        rc = load_table(data, size, n, header[4], swap, &tdesc, &tstr);
    if (rc != 0) {
        free(odesc);
        free(tdesc);
        free(ostr);
        free(tstr);
        free(data);
        return rc;
    }
    free_mo_file();
    memcpy(gettext_header, header, sizeof header);
    gett_original_offset = odesc;
    gett_translation_offset = tdesc;
    orig_string = ostr;
    trans_string = tstr;
    mo_image = data;
    string_count = n;
    build_index();
    return 1;
}

const char* gettext_easy(const char* key)
{
    uint64_t start = plat_perf_counter();
    int hit = -1;
    unsigned char c = (unsigned char)key[0];
    if (string_count && orig_string && c < 128) {
        int lo = orig_first_letter_a[c], hi = orig_first_letter_b[c];
        if (lo != -1 && lo <= hi) {
            while (lo <= hi) {
                int mid = (lo + hi) / 2;
                int cmp = strcmp(key, orig_string[mid]);
                if (cmp == 0) {
                    hit = mid;
                    break;
                }
                if (cmp > 0)
                    lo = mid + 1;
                else
                    hi = mid - 1;
            }
        }
    }
    int ticks = (int)((uint32_t)plat_perf_counter() - (uint32_t)start);
    if (hit >= 0) {
        printf("tick=%d\n", ticks);
        return trans_string[hit];
    }
    printf("tick not found=%d\n", ticks);
    return key;
}
