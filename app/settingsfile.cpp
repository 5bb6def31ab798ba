// Save and Load: the window's settings in a kp6ctl backup file, through
// the system's file dialog and the backup-file unit's writer and loader.
#include "settingsfile.h"

#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/filename.H>
#include <FL/fl_ask.H>
#include <stdio.h>

#include <string>
#include <vector>

#include "../device/backupfile.h"
#include "../i18n/gett.h"
#include "../i18n/words.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "kp6form.h"
#include "prefs.h"

// Where the system has no file dialog of its own the toolkit shows its
// own, whose texts speak the window's language too.
static void translate_toolkit_dialog(void)
{
    static const struct {
        const char** text;
        const char* key;
    } texts[] = {
        {&fl_ok, N_("OK")},
        {&fl_cancel, N_("Cancel")},
        {&Fl_File_Chooser::filename_label, N_("Filename:")},
        {&Fl_File_Chooser::save_label, N_("Save")},
        {&Fl_File_Chooser::show_label, N_("Show:")},
        {&Fl_File_Chooser::all_files_label, N_("All Files (*)")},
        {&Fl_File_Chooser::custom_filter_label, N_("Custom Filter")},
        {&Fl_File_Chooser::existing_file_label, N_("Please choose an existing file!")},
        {&Fl_File_Chooser::favorites_label, N_("Favorites")},
        {&Fl_File_Chooser::add_favorites_label, N_("Add to Favorites")},
        {&Fl_File_Chooser::manage_favorites_label, N_("Manage Favorites")},
        {&Fl_File_Chooser::filesystems_label, N_("File Systems")},
        {&Fl_File_Chooser::new_directory_label, N_("New Directory?")},
        {&Fl_File_Chooser::new_directory_tooltip, N_("Create a new directory.")},
        {&Fl_File_Chooser::preview_label, N_("Preview")},
        {&Fl_File_Chooser::hidden_label, N_("Show hidden files")},
        {&Fl_Native_File_Chooser::file_exists_message,
         N_("File exists. Are you sure you want to overwrite?")},
    };
    for (const auto& t : texts)
        *t.text = gettext_easy(t.key);
}

// The folder of `path` is where the next dialog opens.
static void remember_folder(const std::string& path)
{
    size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos || cut >= PREF_FOLDER_SIZE)
        return;
    std::string folder = path.substr(0, cut ? cut : 1);
    if (folder == pref_folder)
        return;  // nothing new to keep
    snprintf(pref_folder, sizeof pref_folder, "%s", folder.c_str());
    prefs_save();
}

int choose_file(int save, const char* title, const char* filter, const char* proposed,
                std::string& path)
{
    translate_toolkit_dialog();
    Fl_Native_File_Chooser chooser;
    chooser.title(title);
    chooser.type(save ? Fl_Native_File_Chooser::BROWSE_SAVE_FILE
                      : Fl_Native_File_Chooser::BROWSE_FILE);
    chooser.filter(filter);
    if (save)
        chooser.options(Fl_Native_File_Chooser::SAVEAS_CONFIRM |
                        Fl_Native_File_Chooser::NEW_FOLDER);
    if (proposed)
        chooser.preset_file(proposed);
    // The folder of the last Save or Load, else the user's documents.
    char folder[PREF_FOLDER_SIZE];
    int kind = -1;
    if (pref_folder[0] && plat_file_kind(pref_folder, &kind) == 0 && kind == PLAT_FILE_FOLDER)
        snprintf(folder, sizeof folder, "%s", pref_folder);
    else if (plat_documents_dir(folder, sizeof folder) != 0)
        folder[0] = 0;
    if (folder[0])
        chooser.directory(folder);
    int rc = chooser.show();
    if (rc == -1)
        show_alert(chooser.errmsg());
    if (rc != 0 || !chooser.filename() || !chooser.filename()[0])
        return 0;
    path = chooser.filename();
    remember_folder(path);
    return 1;
}

std::string settings_filter(void)
{
    return std::string(gettext_easy("Settings files")) + "\t*.json\n" + gettext_easy("All files") +
           "\t*";
}

static int choose_file(int save, const char* proposed, std::string& path)
{
    return choose_file(save, save ? gettext_easy("Save settings") : gettext_easy("Load settings"),
                       settings_filter().c_str(), proposed, path);
}

void show_failure(const char* key, const std::string& message)
{
    show_alert((std::string(gettext_easy(key)) + "\n" + message).c_str());
}

int SaveButton_OnClick(Fl_Widget*)
{
    device_settings s = {};
    if (!window_settings(s))
        return 0;
    unsigned char address = window_address();
    if (address == 0) {
        show_alert(gettext_easy("Type the controller's address, 01 to FF"));
        return 0;
    }
    char proposed[32];
    snprintf(proposed, sizeof proposed, "kp6-%02X.json", address);
    std::string path, message;
    if (!choose_file(1, proposed, path))
        return 0;
    std::string text = backup_text({{address, s}}, port_name(port), nullptr);
    if (save_text(path, text, message) != SAVE_DONE)
        show_failure("Settings not saved", message);
    return 0;
}

int LoadButton_OnClick(Fl_Widget*)
{
    std::string path, message;
    if (!choose_file(0, nullptr, path))
        return 0;
    std::vector<backup_entry> entries;
    if (!load_backup(path, entries, message)) {
        show_failure("Settings not loaded", message);
        return 0;
    }
    unsigned char address = window_address();
    const backup_entry* from = backup_entry_for(entries, address);
    if (!from) {
        std::string held;
        for (const backup_entry& e : entries)
            held += (held.empty() ? "" : ", ") + hex2(e.address);
        char text[1200];  // 255 addresses at most
        snprintf(text, sizeof text, gettext_easy("The file holds %s; none at %02X"), held.c_str(),
                 address);
        show_failure("Settings not loaded", path + ": " + text);
        return 0;
    }
    // Another controller's settings go into the fields only when asked:
    // Write would send them to the address typed.
    if (address && from->address != address) {
        char question[200];
        snprintf(question, sizeof question,
                 gettext_easy("Put %02X's settings into the fields for %02X?"), from->address,
                 address);
        fl_message_title(gettext_easy("Another controller"));
        if (fl_choice("%s", gettext_easy("No"), gettext_easy("Yes"), nullptr, question) != 1)
            return 0;
    }
    // Asked and agreed, they are the typed address's from now on.
    unsigned char owner = address ? address : from->address;
    for (int reg = 0; reg < SETTING_COUNT; reg++)
        show_setting(from->settings, reg, owner, FROM_USER);
    char said[200];
    snprintf(said, sizeof said, gettext_easy("%02X's settings loaded from %s"), from->address,
             fl_filename_name(path.c_str()));
    fields_belong_to(owner, said);
    return 0;
}
