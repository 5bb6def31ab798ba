// Entry point of the tool.
#include <FL/Fl.H>
#include <stdio.h>

#include "../i18n/gett.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "../timers/timersw.h"
#include "kp6form.h"

// Where the package puts the data folder, seen from the program's folder.
#ifndef KP6_DATA_FROM_BIN
#define KP6_DATA_FROM_BIN "../share/kp6"
#endif

// The catalogue in ru/ of the working folder comes first; failing that, the
// one installed beside the program, so that a start from the desktop menu
// (working folder: the user's home) is translated too.
static void load_catalogue(void)
{
    if (read_mo_file("kp6.mo", "ru") == 1)
        return;
    char bin[1000], dir[1000];
    if (plat_executable_dir(bin, sizeof bin) != 0)
        return;
    if (snprintf(dir, sizeof dir, "%s/%s/ru", bin, KP6_DATA_FROM_BIN) >= (int)sizeof dir)
        return;
    read_mo_file("kp6.mo", dir);
}

int main(int argc, char** argv)
{
    load_catalogue();
    const char* title = gettext_easy("KP-6");
    MainForm = make_main_window(title);
    MainForm->show(argc, argv);
    puts("1");
    fflush(stdout);
    install_event(1);
    start_net(1);
    Fl::run();
    close_net();
    remove_event(1);
    return 0;
}
