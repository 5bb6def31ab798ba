#include "portlist.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "../device/exchange.h"
#include "../discovery/shown_text.h"
#include "../i18n/gett.h"
#include "../platform/platform.h"
#include "../port/plainw.h"

int list_count;
char list_names[LIST_MAX][COM_NAME_SIZE];
char list_about[LIST_MAX][LIST_ABOUT_SIZE];
net_line_dialog_t net_line;
void (*port_list_followed)(const char* name);

// The name of the entry chosen last, for "Other port..." to give back.
static char chosen_name[COM_NAME_SIZE];

// ---- names drawn whole, or elided in the middle -------------------------------

// The start of the UTF-8 character after the one at `i`.
static int next_char(const char* s, int i)
{
    i++;
    while ((s[i] & 0xC0) == 0x80)
        i++;
    return i;
}

void elide_middle(const char* name, int width, char* out, int size)
{
    snprintf(out, (size_t)size, "%s", name);
    if (fl_width(out) <= width)
        return;
    // Character starts, so that no character is cut in two.
    int len = (int)strlen(name), n = 0;
    std::vector<int> starts((size_t)len + 1);
    for (int i = 0; i < len; i = next_char(name, i))
        starts[(size_t)n++] = i;
    starts[(size_t)n] = len;
    for (int keep = n - 1; keep >= 0; keep--) {
        int head = (keep + 1) / 2, tail = keep / 2;
        snprintf(out, (size_t)size, "%.*s\xE2\x80\xA6%s", starts[(size_t)head], name,
                 name + starts[(size_t)(n - tail)]);
        if (fl_width(out) <= width)
            return;
    }
}

int menu_escape(const char* name, char* out, int size)
{
    int n = 0;
    for (const char* p = name; *p; p++) {
        // "&&" draws one ampersand, "@@" one at sign (not a symbol).
        int need = (*p == '&' || *p == '@') ? 2 : 1;
        if (n + need >= size)
            return 0;
        if (need == 2)
            out[n++] = *p;
        out[n++] = *p;
    }
    out[n] = 0;
    return 1;
}

// A menu label gives back the name it escapes ("&&" one ampersand).
static void menu_unescape(const char* label, char* out, int size)
{
    int n = 0;
    for (const char* p = label; *p && n < size - 1; p++) {
        if ((*p == '&' || *p == '@') && p[1] == *p)
            p++;
        out[n++] = *p;
    }
    out[n] = 0;
}

static int listed(const char* name);

// A name and what its device says it is, as the open list shows them.
static std::string name_and_about(const char* name)
{
    int i = listed(name);
    if (i < 0 || !list_about[i][0])
        return name;
    return std::string(name) + " \xE2\x80\x94 " + list_about[i];
}

// The items' own label type: measured whole, so that the open menu is as
// wide as the longest name; drawn into the space given, so that the
// closed list shows a long name's beginning and end.
static const Fl_Labeltype PORT_LABEL = FL_FREE_LABELTYPE;

static void draw_port_label(const Fl_Label* l, int x, int y, int w, int h, Fl_Align align)
{
    char name[COM_NAME_SIZE], shown[2 * COM_NAME_SIZE];
    menu_unescape(l->value, name, sizeof name);
    fl_font(l->font, l->size);
    fl_color((Fl_Color)l->color);
    // What the device is shows where there is room; the name always.
    std::string whole = name_and_about(name);
    if (fl_width(whole.c_str()) <= w)
        snprintf(shown, sizeof shown, "%s", whole.c_str());
    else
        elide_middle(name, w, shown, sizeof shown);
    char shortcut = fl_draw_shortcut;
    fl_draw_shortcut = 0;  // an ampersand is part of the name
    fl_draw(shown, x, y, w, h, align, nullptr, 0);
    fl_draw_shortcut = shortcut;
}

static void measure_port_label(const Fl_Label* l, int& w, int& h)
{
    char name[COM_NAME_SIZE];
    menu_unescape(l->value, name, sizeof name);
    fl_font(l->font, l->size);
    w = (int)fl_width(name_and_about(name).c_str());
    h = fl_height();
}

// ---- the list -----------------------------------------------------------------

static void note_choice(Fl_Choice* c)
{
    int i = port_list_chosen(c);
    snprintf(chosen_name, sizeof chosen_name, "%s", i >= 0 ? list_names[i] : "");
    std::string tip = i >= 0 ? list_names[i] : "";
    if (i >= 0 && list_about[i][0])
        tip = tip + "\n" + list_about[i];
    c->copy_tooltip(i >= 0 ? tip.c_str() : nullptr);
    if (port_list_followed)
        port_list_followed(i >= 0 ? list_names[i] : nullptr);
}

static void choice_changed(Fl_Widget* w, void*)
{
    note_choice((Fl_Choice*)w);
}

// The item "Other port...": the choice goes back to the entry it was on
// before the dialog, which may choose the line added.
static void network_item_picked(Fl_Widget* w, void*)
{
    Fl_Choice* c = (Fl_Choice*)w;
    char before[COM_NAME_SIZE];
    snprintf(before, sizeof before, "%s", chosen_name);
    if (!port_list_choose(c, before))
        c->value((const Fl_Menu_Item*)nullptr);
    note_choice(c);
    net_line_dialog(c);
}

static int listed(const char* name)
{
    for (int i = 0; i < list_count; i++)
        if (strcmp(list_names[i], name) == 0)
            return i;
    return -1;
}

void port_list_fill(Fl_Choice* c, const char* keep)
{
    static int label_type_set;
    if (!label_type_set) {
        Fl::set_labeltype(PORT_LABEL, draw_port_label, measure_port_label);
        label_type_set = 1;
    }
    char kept[COM_NAME_SIZE];
    snprintf(kept, sizeof kept, "%s", keep ? keep : "");
    static plat_port_info infos[COM_MAX];
    int unknown[COM_MAX];
    int n = com_detect_about(infos, unknown);
    list_count = 0;
    for (int i = 0; i < n; i++) {
        if (listed(com_port_names[i]) >= 0)
            continue;  // a stable name listed by hand too
        int at = list_count++;
        strcpy(list_names[at], com_port_names[i]);
        list_about[at][0] = 0;
        if (unknown[i])
            continue;
        const plat_port_info& info = infos[i];
        port_about_text(info, list_about[at], LIST_ABOUT_SIZE);
        // The stable name opens the same device whatever it is called today;
        // one that holds a control character is no name to list (nor to
        // remember), and the device is listed under its own.
        char shown[4 * COM_NAME_SIZE];
        if (info.stable[0] && strlen(info.stable) < COM_NAME_SIZE && listed(info.stable) < 0 &&
            !text_shown_safe(info.stable, shown, sizeof shown)) {
            strcpy(list_names[list_count], info.stable);
            memcpy(list_about[list_count++], list_about[at], LIST_ABOUT_SIZE);
        }
    }
    for (int i = 0; i < pref_line_count; i++)
        if (listed(pref_lines[i]) < 0) {
            list_about[list_count][0] = 0;
            strcpy(list_names[list_count++], pref_lines[i]);
        }

    // add() parses what it is given (| splits, a tab starts a shortcut, /
    // makes submenus, items differing only by & merge), so the items are
    // made with plain placeholders and then given their labels.
    c->clear();
    c->callback(choice_changed);
    for (int i = 0; i < list_count; i++) {
        char placeholder[12];
        snprintf(placeholder, sizeof placeholder, "%d", i);
        c->add(placeholder, 0, nullptr, (void*)(intptr_t)i, 0);
    }
    c->add("n", 0, network_item_picked, (void*)(intptr_t)-1, 0);
    char item[2 * COM_NAME_SIZE];
    for (int i = 0; i < list_count; i++) {
        menu_escape(list_names[i], item, sizeof item);  // always fits
        c->replace(i, item);
        ((Fl_Menu_Item*)c->menu())[i].labeltype(PORT_LABEL);
    }
    if (!menu_escape(gettext_easy("Other port..."), item, sizeof item))
        snprintf(item, sizeof item, "Other port...");
    c->replace(list_count, item);

    if (!(kept[0] && port_list_choose(c, kept))) {
        if (list_count)
            c->value(0);
        else
            c->value((const Fl_Menu_Item*)nullptr);
    }
    note_choice(c);
}

int port_list_chosen(Fl_Choice* c)
{
    const Fl_Menu_Item* item = c->mvalue();
    int i = item ? (int)(intptr_t)item->user_data() : -1;
    return i >= 0 && i < list_count ? i : -1;
}

int port_list_choose(Fl_Choice* c, const char* name)
{
    int i = listed(name);
    if (i < 0)
        return 0;
    c->value(i);
    note_choice(c);
    return 1;
}

int port_list_opening(Fl_Choice* c, int event)
{
    if (!c->active_r() || Fl::modal())
        return 0;
    if (event == FL_PUSH)
        return Fl::event_inside(c);
    return event == FL_KEYBOARD && Fl::focus() == c && Fl::event_key() == ' ' &&
           !(Fl::event_state() & (FL_SHIFT | FL_CTRL | FL_ALT | FL_META));
}

// ---- "Other port..." --------------------------------------------------------------

// Shows what is wrong in the dialog, which stays open for correction.
static void say_why(const char* text)
{
    net_line.why->copy_label(text);
    net_line.url->take_focus();
}

static void net_line_ok(Fl_Widget*, void*)
{
    char url[COM_NAME_SIZE];
    const char* typed = net_line.url->value();
    typed += strspn(typed, " \t");
    size_t len = strlen(typed);
    while (len && (typed[len - 1] == ' ' || typed[len - 1] == '\t'))
        len--;
    if (len == 0)
        return say_why(gettext_easy("Type a device's path or a network line's URL"));
    if (len >= sizeof url)
        return say_why(gettext_easy("Longer than a port name may be (79 characters)"));
    memcpy(url, typed, len);
    url[len] = 0;
    net_url parsed;
    char why[300], text[400];
    if (port_name_is_url(url)) {
        if (net_url_parse(url, &parsed, why, sizeof why) != 1) {
            snprintf(text, sizeof text, "%s: %s", gettext_easy("Bad network line"), why);
            return say_why(text);
        }
    } else {
        // A device: it must be there now, so that a typing slip is caught
        // here rather than at Open Port.
        int rc = plat_serial_exists(url);
        if (rc == -1)
            return say_why(gettext_easy("Not a serial device: give a device's path, COM12, or "
                                        "tcp://, socket:// or rfc2217:// and HOST:PORT"));
        if (rc != 0) {
            error_words(rc, why, sizeof why);
            snprintf(text, sizeof text, "%s: %s", gettext_easy("No such port"), why);
            return say_why(text);
        }
    }
    if (!prefs_add_line(url))
        return say_why(gettext_easy("16 ports are remembered: remove one first"));
    port_list_fill(net_line.list, url);
    net_line.window->hide();
}

static void net_line_remove(Fl_Widget*, void*)
{
    int i = net_line.lines->value();
    if (i <= 0)
        return;
    char url[COM_NAME_SIZE];
    snprintf(url, sizeof url, "%s", net_line.lines->text(i));
    prefs_remove_line(url);
    net_line.lines->remove(i);
    port_list_fill(net_line.list, chosen_name);
}

static void net_line_close(Fl_Widget*, void*)
{
    net_line.window->hide();
}

static Fl_Button* dialog_button(Fl_Button* b, const char* key, Fl_Callback* cb)
{
    b->copy_label(gettext_easy(key));
    b->labelsize(12);
    b->callback(cb);
    return b;
}

void net_line_dialog(Fl_Choice* list)
{
    // Wide enough for the hint in either language, whatever it says.
    const int W = 520, H = 268;
    Fl_Double_Window* win = new Fl_Double_Window(W, H, gettext_easy("Other port"));
    net_line.window = win;
    net_line.list = list;
    Fl_Box* hint = new Fl_Box(8, 4, W - 16, 36,
                              gettext_easy("A device (/dev/ttyUSB0, /dev/serial/by-id/..., COM12) "
                                           "or a network line: tcp://HOST:PORT, "
                                           "socket://HOST:PORT or rfc2217://HOST:PORT"));
    hint->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_BOTTOM);
    hint->labelsize(12);
    net_line.url = new Fl_Input(8, 44, W - 16, 24);
    net_line.url->textsize(12);
    net_line.url->maximum_size(200);
    net_line.why = new Fl_Box(8, 72, W - 16, 36);
    net_line.why->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_TOP);
    net_line.why->labelsize(12);
    net_line.why->labelcolor(FL_DARK_RED);
    net_line.lines = new Fl_Hold_Browser(8, 128, W - 120, 88, gettext_easy("Remembered ports"));
    net_line.lines->align(FL_ALIGN_TOP_LEFT);
    net_line.lines->labelsize(12);
    net_line.lines->textsize(12);
    for (int i = 0; i < pref_line_count; i++)
        net_line.lines->add(pref_lines[i]);
    net_line.remove = dialog_button(new Fl_Button(W - 104, 128, 96, 24), "Remove", net_line_remove);
    net_line.ok = (Fl_Return_Button*)dialog_button(new Fl_Return_Button(W - 208, H - 32, 96, 24),
                                                   "OK", net_line_ok);
    net_line.cancel = dialog_button(new Fl_Button(W - 104, H - 32, 96, 24), "Cancel",
                                    net_line_close);
    win->end();
    win->callback(net_line_close);
    win->set_modal();
    Fl_Window* owner = list->window();
    win->position(owner->x() + (owner->w() - W) / 2, owner->y() + 20);
    win->show();
    net_line.url->take_focus();
    while (win->shown())
        Fl::wait();
    net_line = net_line_dialog_t();
    delete win;
}
