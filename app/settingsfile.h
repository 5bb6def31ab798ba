// Save and Load: the window's settings in a backup file, through the
// system's file dialog; the file dialog and the failure box serve the bus
// window too.
#ifndef KP6_SETTINGSFILE_H
#define KP6_SETTINGSFILE_H

#include <FL/Fl_Widget.H>

#include <string>

int SaveButton_OnClick(Fl_Widget* w);
int LoadButton_OnClick(Fl_Widget* w);

// Asks for a file through the system's dialog: 1 and its path, or 0 when
// the user cancelled (or the dialog failed, which it says). `filter` is
// the toolkit's: "Name\t*.ext\n...".
int choose_file(int save, const char* title, const char* filter, const char* proposed,
                std::string& path);
std::string settings_filter(void);  // backup files, then all files
// A failure: the translation of `key`, then the unit's own words below it.
void show_failure(const char* key, const std::string& message);

#endif
