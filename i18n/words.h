// Texts that code below the window words for people (a fault's cause, a
// refused URL, a refused backup file): each an English key, marked W_ where
// it is written so that extraction finds it, and put into the window's
// language by words() where it is used. kp6ctl sets no hook: English.
#ifndef KP6_WORDS_H
#define KP6_WORDS_H

#define W_(key) key
// A key marked for extraction whose caller puts it through the catalogue
// itself (gettext_easy in the window).
#define N_(key) key

// The window sets it to the catalogue's look-up.
extern const char* (*words_hook)(const char* key);

// `key` in the window's language: its translation, or itself.
const char* words(const char* key);

#endif
