// History: the journal's records for some addresses, newest first, with the
// verdict of the chain on top, exported as CSV.
#ifndef KP6_HISTORY_H
#define KP6_HISTORY_H

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>

#include <string>
#include <vector>

// The dialog, while it is open.
struct history_dialog_t {
    Fl_Double_Window* window;
    Fl_Box* verdict;        // "journal intact: N records", or where it is damaged
    Fl_Hold_Browser* list;  // one line a record, newest first
    Fl_Button* export_csv;  // Export CSV
    Fl_Button* close;
};
extern history_dialog_t history_dialog;

// At most this many of the newest matching records are shown.
enum { HISTORY_MAX = 10000 };

// The records about `addresses`, modal until closed.
void history_show(const std::vector<unsigned char>& addresses);

// Ctrl+H and the main window's "History...": the typed address's records.
int HistoryButton_OnClick(Fl_Widget* w);

#endif
