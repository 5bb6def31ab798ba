#include "dialogs.h"

#include "buswin.h"
#include "find.h"
#include "history.h"
#include "settingsfile.h"
#include "traffic.h"

xMainForm* make_tool_window(const char* title)
{
    xMainForm* f = make_main_window(title);
    join_dialog_button(f->FindButton, FindButton_OnClick);
    join_dialog_button(f->SaveButton, SaveButton_OnClick);
    join_dialog_button(f->LoadButton, LoadButton_OnClick);
    join_dialog_button(f->BusButton, BusButton_OnClick);
    join_dialog_button(f->HistoryButton, HistoryButton_OnClick);
    join_dialog_button(f->TrafficButton, TrafficButton_OnClick);
    return f;
}
