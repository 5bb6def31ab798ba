// The catalogue reader on a file image: read_mo_file loads the file (or
// refuses it), and the keys it holds are looked up.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "../i18n/gett.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A new file each time: rewriting one in place makes some file systems
    // flush it to disk at every close.
    remove("fuzz.mo");
    FILE* f = fopen("fuzz.mo", "wb");
    if (!f)
        return 0;
    size_t written = fwrite(data, 1, size, f);
    if (fclose(f) != 0 || written != size)
        return 0;
    if (read_mo_file("fuzz.mo", ".") != 1)
        return 0;
    for (uint32_t i = 0; i < gettext_header[2] && i < 64; i++)
        gettext_easy(orig_string[i]);
    gettext_easy("Write OK");
    gettext_easy("");
    free_mo_file();
    return 0;
}
