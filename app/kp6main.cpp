// Entry point of the tool.
#include <FL/Fl.H>
#include <stdio.h>

#include "../i18n/gett.h"
#include "../port/plainw.h"
#include "../timers/timersw.h"
#include "kp6form.h"

int main(int argc, char** argv)
{
    read_mo_file("kp6.mo", "ru");
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
