// Entry point of the tool.
#include <FL/Fl.H>
#include <stdio.h>
#include <string.h>

#include "../i18n/gett.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "../timers/timersw.h"
#include "dialogs.h"

// Where the package puts the data folder, seen from the program's folder.
#ifndef KP6_DATA_FROM_BIN
#define KP6_DATA_FROM_BIN "../share/kp6"
#endif

// The catalogue in ru/ of the working folder comes first; failing that, the
// one in ru/ beside the program (a build folder, the Windows folder), then
// the one installed with it, so that a start from the desktop menu
// (working folder: the user's home) is translated too.
static void load_catalogue(void)
{
    if (read_mo_file("kp6.mo", "ru") == 1)
        return;
    char bin[1000], dir[1000];
    if (plat_executable_dir(bin, sizeof bin) != 0)
        return;
    const char* const places[] = {".", KP6_DATA_FROM_BIN};
    for (const char* data : places) {
        if (snprintf(dir, sizeof dir, "%s/%s/ru", bin, data) < (int)sizeof dir &&
            read_mo_file("kp6.mo", dir) == 1)
            return;
    }
}

// The window speaks Russian where the system asks for it and where it
// names no language (the C locale, nothing set); English, its keys,
// where it names any other.
static int speaks_russian(void)
{
    char language[16];
    plat_ui_language(language, sizeof language);
    return language[0] == 0 || strcmp(language, "ru") == 0;
}

int main(int argc, char** argv)
{
    if (speaks_russian())
        load_catalogue();
    const char* title = gettext_easy("KP-6");
    MainForm = make_tool_window(title);
    MainForm->show(argc, argv);
    puts("1");
    fflush(stdout);
    install_event(1);
    start_net(1);
    Fl::run();
    remember_window();
    close_net();
    remove_event(1);
    return 0;
}
