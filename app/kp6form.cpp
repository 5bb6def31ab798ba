#include "kp6form.h"

#include <FL/Fl.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <stdio.h>
#include <string.h>

#include <string>

#include "../device/exchange.h"
#include "../device/line.h"
#include "../device/settings.h"
#include "../i18n/gett.h"
#include "../i18n/words.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "portlist.h"
#include "prefs.h"
#include "traffic.h"

xMainForm* MainForm = nullptr;
unsigned short port = 0;

// Breaks a long line at its blanks so that the box stays on the screen and
// shows it whole.
static std::string wrapped(const char* text)
{
    const int WIDTH = 100;  // characters, not bytes
    std::string out;
    int column = 0, last_blank = -1;
    for (const char* p = text; *p; p++) {
        out += *p;
        if (*p == '\n') {
            column = 0;
            last_blank = -1;
            continue;
        }
        if ((*p & 0xC0) == 0x80)
            continue;
        if (*p == ' ')
            last_blank = (int)out.size() - 1;
        if (++column > WIDTH && last_blank >= 0) {
            out[(size_t)last_blank] = '\n';
            column = 0;
            for (size_t i = (size_t)last_blank + 1; i < out.size(); i++)
                column += (out[i] & 0xC0) != 0x80;
            last_blank = -1;
        }
    }
    return out;
}

void show_alert(const char* text)
{
    // Titled with its first line, short, so the task list (or a test
    // driving the window from outside) tells which box is up.
    // Cut by characters, not bytes: a Russian title stays whole UTF-8.
    std::string title(text, strcspn(text, "\n"));
    size_t cut = 0;
    int characters = 0;
    for (size_t i = 0; i < title.size(); i++) {
        if ((title[i] & 0xC0) == 0x80)
            continue;
        if (++characters == 58)
            cut = i;
        if (characters > 60) {
            title = title.substr(0, cut) + "...";
            break;
        }
    }
    fl_message_title(title.c_str());
    fl_alert("%s", wrapped(text).c_str());
}

void show_alert_why(const char* text, const char* why)
{
    if (!why || !why[0])
        return show_alert(text);
    show_alert((std::string(text) + "\n" + why).c_str());
}

void (*step_failed_hook)(void);

int report_step_failure(const char* key)
{
    if (step_failed_hook)
        step_failed_hook();
    char why[400] = "";
    exchange_fault_text(exchange_last_fault, why, sizeof why);
    int lost = exchange_last_fault.kind == FAULT_LINE_LOST || (port && port_gone(port, nullptr));
    if (lost && port) {
        port_lost_report(port, why, sizeof why);
        close_lost_port();
    }
    show_alert_why(gettext_easy(key), why);
    return lost;
}

void close_lost_port(void)
{
    if (!port)
        return;
    char text[200];
    snprintf(text, sizeof text, gettext_easy("%s closed: the line was lost"), port_name(port));
    CloseButton_OnClick(MainForm->CloseButton);
    show_status(text);
}

void show_status(const char* text)
{
    Fl_Box* b = MainForm->StatusLine;
    if (!text || !text[0]) {
        b->label(nullptr);
        b->tooltip(nullptr);
        return;
    }
    char shown[600];
    fl_font(b->labelfont(), b->labelsize());
    elide_middle(text, b->w() - 4, shown, sizeof shown);
    b->copy_label(shown);
    b->copy_tooltip(text);
}

journal_writer window_journal(void)
{
    journal_writer w;
    journal_path(w.path);
    w.program = std::string("kp6 ") + KP6_VERSION;
    w.line = port ? port_name(port) : "";
    plat_port_info info = {};
    if (port && !port_name_is_url(w.line.c_str()) &&
        plat_serial_port_info(w.line.c_str(), &info) == 0)
        w.adapter = info.serial;
    return w;
}

int window_journal_ready(const journal_writer& w)
{
    int error = 0;
    int rc = w.path.empty() ? JOURNAL_NO_PLACE : journal_ready(w, &error);
    if (rc == JOURNAL_OK)
        return 1;
    show_alert_why(gettext_easy("Nothing was written: the journal cannot record the changes"),
                   journal_problem_text(w.path, rc, error).c_str());
    return 0;
}

std::string english_fault(void)
{
    // The window's hook would put the cause into its language.
    const char* (*hook)(const char*) = words_hook;
    words_hook = nullptr;
    char why[400] = "";
    exchange_fault_text(exchange_last_fault, why, sizeof why);
    words_hook = hook;
    return why;
}

// FLTK also runs a button's callback for the space bar, shortcuts and the
// other mouse buttons; the actions belong to a left click only.
static void on_click(Fl_Widget* w, void* handler)
{
    if (Fl::event() == FL_RELEASE && Fl::event_button() == FL_LEFT_MOUSE)
        ((click_handler)handler)(w);
}

static void attach(Fl_Widget* w, click_handler h)
{
    w->callback(on_click, (void*)h);
}

static Fl_Button* make_button(int x, int y, int w, int h, const char* key, click_handler c)
{
    Fl_Button* b = new Fl_Button(x, y, w, h, gettext_easy(key));
    b->labelsize(12);
    attach(b, c);
    return b;
}

static void follow_type(void);

// A radio changes also by the other mouse buttons and the space bar, and a
// press released outside it changes nothing: only a left click on it runs
// its action, but the topping fields follow the radios whichever way they
// changed.
static void on_radio(Fl_Widget* w, void* handler)
{
    if (Fl::event() == FL_RELEASE && Fl::event_button() == FL_LEFT_MOUSE && Fl::event_inside(w))
        ((click_handler)handler)(w);
    follow_type();
}

// The actions added beside the first ones answer a left click and their
// shortcut, as people expect of Find, Save and Open. The toolkit hands a
// shortcut to the widget under the mouse even while a dialog is open; an
// action does not run inside another's dialog.
static void on_click_or_shortcut(Fl_Widget* w, void* handler)
{
    if (Fl::modal() || !handler)  // not joined to a dialog yet
        return;
    if (Fl::event() == FL_SHORTCUT ||
        (Fl::event() == FL_RELEASE && Fl::event_button() == FL_LEFT_MOUSE))
        ((click_handler)handler)(w);
}

void join_dialog_button(Fl_Button* b, click_handler action)
{
    b->callback(on_click_or_shortcut, (void*)action);
}

static Fl_Button* make_shortcut_button(int x, int y, const char* key, int shortcut)
{
    Fl_Button* b = make_button(x, y, 96, 24, key, nullptr);
    b->callback(on_click_or_shortcut, nullptr);
    b->shortcut(shortcut);
    b->deactivate();
    return b;
}

static Fl_Round_Button* make_radio(int x, int y, int w, int h, const char* key, click_handler c)
{
    Fl_Round_Button* b = new Fl_Round_Button(x, y, w, h, gettext_easy(key));
    b->type(FL_RADIO_BUTTON);
    b->labelsize(12);
    // A click on the button that is already on must run its action too.
    b->when(FL_WHEN_RELEASE_ALWAYS);
    b->callback(on_radio, (void*)c);
    return b;
}

// A field's label, right of it, wraps short of the window's edge.
static const Fl_Labeltype FIELD_LABEL = (Fl_Labeltype)(FL_FREE_LABELTYPE + 1);
enum { FIELD_LABEL_MARGIN = 4 };

static void draw_field_label(const Fl_Label* l, int x, int y, int w, int h, Fl_Align align)
{
    fl_font(l->font, l->size);
    fl_color((Fl_Color)l->color);
    fl_draw(l->value, x, y, w - FIELD_LABEL_MARGIN, h, align, l->image);
}

static void measure_field_label(const Fl_Label* l, int& w, int& h)
{
    fl_font(l->font, l->size);
    fl_measure(l->value, w, h);
}

static Fl_Input* make_field(int x, int y, const char* key)
{
    Fl::set_labeltype(FIELD_LABEL, draw_field_label, measure_field_label);
    Fl_Input* f = new Fl_Input(x, y, 56, 24, gettext_easy(key));
    f->labelsize(12);
    f->textsize(12);
    // A label longer than the room right of its field wraps there.
    f->align(FL_ALIGN_RIGHT | FL_ALIGN_WRAP);
    f->labeltype(FIELD_LABEL);
    f->value(gettext_easy("0"));
    f->deactivate();
    return f;
}

// The address field as it was before the edit now being made.
static struct {
    char text[ADDRESS_TEXT_MAX + 1];
    int position, mark;
} address_kept;

static void keep_address(Fl_Input* in)
{
    if (!in || !address_text_ok(in->value()))
        return;
    snprintf(address_kept.text, sizeof address_kept.text, "%s", in->value());
    address_kept.position = in->position();
    address_kept.mark = in->mark();
}

// Before every event the address field is kept, so that a refused edit
// gives back the cursor and selection it found, not only the text; and the
// port list is made afresh when the event opens it.
static int dispatch_main_window(int event, Fl_Window* w)
{
    keep_address(MainForm ? MainForm->AddressInput : nullptr);
    if (MainForm && w == MainForm && port_list_opening(MainForm->ComChoice, event)) {
        int i = port_list_chosen(MainForm->ComChoice);
        port_list_fill(MainForm->ComChoice, i >= 0 ? list_names[i] : nullptr);
    }
    return Fl::handle_(event, w);
}

// Runs after each change to the address field. A text that could mean
// another controller (a third digit, a letter beyond f) does not stay.
static void address_changed(Fl_Widget* w, void*)
{
    Fl_Input* in = (Fl_Input*)w;
    if (address_text_ok(in->value())) {
        keep_address(in);  // a paste can arrive after later keys
        return;
    }
    in->value(address_kept.text);
    in->position(address_kept.position, address_kept.mark);
}

// A preferences file that could not be used was kept aside: said once, when
// the window is up.
static char kept_aside[1200];

static void show_kept_aside(void*)
{
    char text[1600];
    snprintf(text, sizeof text,
             gettext_easy("The remembered settings could not be read; the file was kept aside "
                          "as %s"),
             kept_aside);
    show_alert(text);
}

static void prefs_put_aside(const char* path)
{
    snprintf(kept_aside, sizeof kept_aside, "%s", path);
    Fl::remove_timeout(show_kept_aside);
    Fl::add_timeout(0.0, show_kept_aside);
}

// ---- the converter of the chosen port ---------------------------------------------

static Fl_Choice* converter_choice;

static void converter_chosen(Fl_Widget*, void*)
{
    int i = port_list_chosen(MainForm->ComChoice);
    if (i >= 0 && converter_choice->text())
        prefs_set_converter(list_names[i], converter_choice->text());
}

// Its items are the converters' names, as kp6ctl takes them.
static Fl_Choice* make_converter_choice(void)
{
    Fl_Choice* c = new Fl_Choice(340, 96, 129, 24, gettext_easy("Converter"));
    c->labelsize(12);
    c->textsize(12);
    c->tooltip(gettext_easy("How the line's direction is switched; auto: by the converter itself"));
    for (int i = 0; converter_name(i); i++)
        c->add(converter_name(i), 0, nullptr);
    c->value(0);
    c->callback(converter_chosen);
    converter_choice = c;
    return c;
}

void follow_port_converter(const char* name)
{
    Fl_Choice* c = converter_choice;
    if (!c)
        return;
    // A network line switches nothing.
    bool serial = name && !port_name_is_url(name);
    int i = c->find_index(serial ? prefs_converter(name) : "auto");
    c->value(i < 0 ? 0 : i);
    if (serial && !port)
        c->activate();
    else
        c->deactivate();
}

// What Read, Load or Write last put into each field, and for which
// address, by REG_*.
static struct {
    int from;  // FROM_*
    unsigned char address, value;
} field_from[SETTING_COUNT];
// The settings each address last held as this window knows them (its last
// Read, or its Write since): the journal's "before" for the next Write,
// while no other write reached the controller (settings_written_count).
static struct {
    int known;
    unsigned long written_at;
    device_settings s;
} last_held[256];
static int fields_owner = -1;  // whose settings the fields hold; -1 nobody's
static char fields_said[300];  // the status line's words for it

xMainForm::xMainForm(int w, int h, const char* label) : Fl_Double_Window(w, h, label)
{
    // A new window's fields are nobody's.
    for (auto& field : field_from)
        field = {FROM_NONE, 0, 0};
    for (auto& held : last_held)
        held.known = 0;
    fields_owner = -1;
    fields_said[0] = 0;
    prefs_kept_aside = prefs_put_aside;
    prefs_load();
    ComChoice = new Fl_Choice(8, 8, 180, 24);
    OpenButton = make_button(192, 8, 96, 24, "Open Port", OpenButton_OnClick);

    TypeGroup = new Fl_Group(8, 136, 145, 94, gettext_easy("Type"));
    TypeGroup->box(FL_DOWN_FRAME);
    TypeGroup->labelsize(12);
    ML_Type = make_radio(16, 144, 124, 24, "Milliliter", ML_Type_OnClick);
    Liter_Type = make_radio(16, 168, 115, 24, "Liter", Liter_Type_OnClick);
    Hand_Type = make_radio(16, 192, 116, 24, "Hand", Hand_Type_OnClick);
    TypeGroup->end();
    TypeGroup->deactivate();

    CloseButton = make_button(296, 8, 96, 24, "Close Port", CloseButton_OnClick);
    CloseButton->deactivate();
    ReadButton = make_button(16, 96, 96, 24, "Read", ReadButton_OnClick);
    ReadButton->deactivate();
    TestButton = make_button(112, 56, 108, 24, "Test", TestButton_OnClick);
    TestButton->deactivate();

    AddressInput = new Fl_Int_Input(8, 56, 96, 24, gettext_easy("Address"));
    AddressInput->labelsize(12);
    AddressInput->textsize(12);
    AddressInput->align(FL_ALIGN_TOP | FL_ALIGN_LEFT);
    AddressInput->value(pref_address[0] ? pref_address : gettext_easy("1"));
    // Hex letters are filtered by address_changed, not by the widget's own
    // integer rule, which refuses them unless 0x leads.
    AddressInput->type(FL_NORMAL_INPUT);
    AddressInput->when(FL_WHEN_CHANGED);
    AddressInput->callback(address_changed);
    keep_address(AddressInput);
    AddressInput->deactivate();

    InversGunCheck = new Fl_Check_Button(8, 232, 147, 24, gettext_easy("Invers Gun"));
    InversGunCheck->labelsize(12);
    InversGunCheck->deactivate();

    ER79_Input = make_field(160, 136,
                            "x0.1sec start engine before turning on the main valve(ER79)");
    ER72_Input = make_field(160, 160, "TimeOut (second)(ER72)");
    ER74_Input = make_field(160, 184, "x10gr Topping(ER74)");
    ER75_Input = make_field(160, 208, "x10gr Bufer overflow(ER75)");
    WriteButton = make_button(16, 272, 96, 24, "Write", WriteButton_OnClick);
    WriteButton->deactivate();
    ER77_Input = make_field(160, 232, "Sensitivity(ER77)");
    FindButton = make_shortcut_button(224, 56, "Find", FL_CTRL + 'f');
    SaveButton = make_shortcut_button(116, 96, "Save...", FL_CTRL + 's');
    LoadButton = make_shortcut_button(116, 272, "Load...", FL_CTRL + 'o');
    BusButton = make_shortcut_button(324, 56, "Bus...", FL_CTRL + 'b');
    HistoryButton = make_shortcut_button(224, 272, "History...", FL_CTRL + 'h');
    HistoryButton->activate();  // the journal needs no port
    // The traffic view shows a port's frames once one is open, and
    // records none before.
    TrafficButton = make_shortcut_button(324, 272, "Traffic...", FL_CTRL + 't');
    TrafficButton->activate();
    StatusLine = new Fl_Box(8, 298, 461, 16);
    StatusLine->labelsize(11);
    StatusLine->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
    ConverterChoice = make_converter_choice();
    end();

    ML_Type->type(FL_RADIO_BUTTON);
    Hand_Type->type(FL_RADIO_BUTTON);
    Liter_Type->type(FL_RADIO_BUTTON);

    port_list_fill(ComChoice, pref_port[0] ? pref_port : nullptr);
}

xMainForm::~xMainForm()
{
    converter_choice = nullptr;
}

// Escape would close the window, and with it the port, unasked; the
// window manager's close button still closes it.
static void main_window_closing(Fl_Widget* w, void* data)
{
    if ((Fl::event() == FL_SHORTCUT || Fl::event() == FL_KEYBOARD) && Fl::event_key() == FL_Escape)
        return;
    Fl_Window::default_callback((Fl_Window*)w, data);
    // The bus window goes with it.
    while (Fl_Window* other = Fl::first_window())
        other->hide();
}

xMainForm* make_main_window(const char* title)
{
    // The alert boxes' own button speaks the window's language too.
    fl_close = gettext_easy("Close");
    // Causes and reasons from below the window speak its language too.
    words_hook = gettext_easy;
    port_list_followed = follow_port_converter;
    xMainForm* f = new xMainForm(795, 345, title);
    Fl::event_dispatch(dispatch_main_window);
    f->callback(main_window_closing);
    f->resize(795, 345, 477, 315);
    // The controls scale from the layout as shown, not from the size the
    // window was built with.
    f->init_sizes();
    f->resizable(f);
    return f;
}

// The controls that work only while a port is open, in switching order.
static void switch_port_controls(int open)
{
    xMainForm* f = MainForm;
    Fl_Widget* list[] = {f->WriteButton, f->ReadButton,     f->AddressInput, f->TestButton,
                         f->TypeGroup,   f->InversGunCheck, f->ER79_Input,   f->ER72_Input,
                         f->ER74_Input,  f->ER75_Input,     f->ER77_Input,   f->FindButton,
                         f->SaveButton,  f->LoadButton,     f->BusButton};
    for (Fl_Widget* c : list) {
        if (open)
            c->activate();
        else
            c->deactivate();
    }
    // A wrapped label reaches beyond its field's height, where the toolkit
    // redraws only the label beside it.
    f->redraw();
}

int OpenButton_OnClick(Fl_Widget* w)
{
    int i = port_list_chosen(MainForm->ComChoice);
    // With no port listed there is no name to open.
    if (i < 0) {
        show_alert("error");
        return 0;
    }
    // The converter's switches are set before anything is sent (a network
    // line switches nothing); a port that refuses them is closed again.
    const char* converter = MainForm->ConverterChoice->text();
    char why[400];
    if (device_open_line(list_names[i], port_name_is_url(list_names[i]) ? nullptr : converter,
                         &port, why, sizeof why) != LINE_OPEN) {
        free_port(port, 0);
        port = 0;
        // The fixed English word first, then the cause in the window's language.
        show_alert_why("error", why);
        return 0;
    }
    health_reset();  // the counts belong to this line, not to one opened before
    snprintf(pref_port, sizeof pref_port, "%s", list_names[i]);
    remember_window();
    traffic_port_opened();
    w->deactivate();
    MainForm->ComChoice->deactivate();
    MainForm->ConverterChoice->deactivate();
    MainForm->CloseButton->activate();
    switch_port_controls(1);
    return 0;
}

int CloseButton_OnClick(Fl_Widget* w)
{
    show_status(fields_said);  // the fields keep their values
    free_port(port, 0);
    w->deactivate();
    MainForm->ComChoice->activate();
    MainForm->OpenButton->activate();
    switch_port_controls(0);
    unsigned short was = port;
    port = 0;
    traffic_port_closed(was);
    int i = port_list_chosen(MainForm->ComChoice);
    follow_port_converter(i >= 0 ? list_names[i] : nullptr);
    return 0;
}

static void show_topping_fields(int on)
{
    if (on) {
        MainForm->ER74_Input->show();
        MainForm->ER75_Input->show();
    } else {
        MainForm->ER74_Input->hide();
        MainForm->ER75_Input->hide();
    }
}

// ER74 and ER75 belong to Milliliter; with no radio on they stay as they are.
static void follow_type(void)
{
    xMainForm* f = MainForm;
    if (f->ML_Type->value())
        show_topping_fields(1);
    else if (f->Liter_Type->value() || f->Hand_Type->value())
        show_topping_fields(0);
}

int ML_Type_OnClick(Fl_Widget*)
{
    show_topping_fields(1);
    return 0;
}

int Liter_Type_OnClick(Fl_Widget*)
{
    show_topping_fields(0);
    return 0;
}

int Hand_Type_OnClick(Fl_Widget*)
{
    show_topping_fields(0);
    return 0;
}

// Sets the type radios, the topping fields' visibility and the check box
// from the ER78 byte. An unknown type code leaves radios and fields alone.
static void apply_er78(unsigned int v)
{
    xMainForm* f = MainForm;
    int meter = er78_meter((unsigned char)v);
    if (meter != METER_UNKNOWN) {
        f->ML_Type->value(meter == METER_MILLILITER);
        f->Liter_Type->value(meter == METER_LITER);
        f->Hand_Type->value(meter == METER_HAND);
        show_topping_fields(meter == METER_MILLILITER);
    }
    f->InversGunCheck->value(er78_inverse((unsigned char)v));
}

static void show_value(Fl_Input* field, unsigned int v)
{
    char text[16];
    snprintf(text, sizeof text, "%d", (int)v);
    field->value(text);
}

// The field of each numeric setting, by register; ER78 has none.
static Fl_Input* setting_field(int reg)
{
    xMainForm* f = MainForm;
    Fl_Input* fields[SETTING_COUNT] = {nullptr,       f->ER79_Input, f->ER72_Input,
                                       f->ER74_Input, f->ER75_Input, f->ER77_Input};
    return fields[reg];
}

unsigned char window_address(void)
{
    return address_from_text(MainForm->AddressInput->value());
}

int rd_wr_memory(unsigned int& word, unsigned char command)
{
    return device_exchange(port, window_address(), word, command);
}

int TestButton_OnClick(Fl_Widget*)
{
    if (port == 0) {
        show_alert(gettext_easy("Please open port"));
        return 0;
    }
    if (!device_test(port, window_address())) {
        report_step_failure(N_("No reply"));
        return 0;
    }
    // Something answered, but garbled answers mean two controllers.
    char why[400] = "";
    if (exchange_last_fault.kind == FAULT_COLLISION)
        exchange_fault_text(exchange_last_fault, why, sizeof why);
    show_alert_why(gettext_easy("Ok"), why);
    clear_buf(port);  // after the box is closed: the reply and what followed
    return 0;
}

void show_setting(device_settings s, int reg, unsigned char address, int from)
{
    unsigned char v = setting_value(s, reg);
    if (reg == REG_ER78)
        apply_er78(v);
    else
        show_value(setting_field(reg), v);
    field_from[reg].from = from;
    field_from[reg].address = address;
    field_from[reg].value = v;
}

void fields_belong_to(unsigned char address, const char* said)
{
    fields_owner = address;
    snprintf(fields_said, sizeof fields_said, "%s", said);
    show_status(said);
}

// The fields hold `address`'s settings, said in the words of `key`.
static void fields_of(unsigned char address, const char* key)
{
    char text[200];
    snprintf(text, sizeof text, gettext_easy(key), address);
    fields_belong_to(address, text);
}

int ReadButton_OnClick(Fl_Widget*)
{
    device_settings s = {};
    unsigned char address = window_address();
    int failed = settings_read(port, address, s);
    // What came before a failure is shown all the same, unless two
    // controllers answered: then no answer was one controller's.
    int done = failed ? failed - 1 : READ_STEPS;
    if (failed && exchange_last_fault.kind == FAULT_COLLISION)
        done = 0;
    for (int step = 1; step <= done; step++)
        show_setting(s, settings_read_register(step), address, FROM_READ);
    if (done)
        fields_of(address, failed ? N_("The fields hold %02X's settings, read in part")
                                  : N_("The fields hold %02X's settings, as read"));
    if (failed) {
        report_step_failure(settings_read_failure(failed));
        return 0;
    }
    last_held[address] = {1, settings_written_count(address), s};
    line_health h = {};
    int error = 0;
    journal_writer journal = window_journal();
    int rc = journal_found(journal, address, s, health_of(address, &h) ? &h : nullptr, &error);
    if (rc != JOURNAL_OK) {
        // The values stay shown; the record's loss is said.
        char text[1600];
        snprintf(text, sizeof text,
                 gettext_easy("%02X read, but the journal could not record it: %s"), address,
                 journal_problem_text(journal.path, rc, error).c_str());
        show_status(text);
        show_alert(text);
    }
    return 0;
}

void read_in_window(unsigned char address)
{
    char text[8];
    snprintf(text, sizeof text, "%02X", address);
    MainForm->AddressInput->value(text);
    keep_address(MainForm->AddressInput);
    MainForm->show();  // raised
    ReadButton_OnClick(MainForm->ReadButton);
}

int window_settings(device_settings& s)
{
    xMainForm* f = MainForm;
    int meter;
    if (f->ML_Type->value())
        meter = METER_MILLILITER;
    else if (f->Liter_Type->value())
        meter = METER_LITER;
    else if (f->Hand_Type->value())
        meter = METER_HAND;
    else {
        show_alert(gettext_easy("Select type"));
        return 0;
    }
    s.er78 = er78_held(meter, f->InversGunCheck->value());
    // Checked in the order of writing.
    for (int reg = REG_ER79; reg < SETTING_COUNT; reg++) {
        if (!setting_from_text(setting_field(reg)->value(), &setting_value(s, reg))) {
            show_alert_why(gettext_easy(setting_input_failure(reg)),
                           gettext_easy("a number from 0 to 255"));
            return 0;
        }
    }
    return 1;
}

// Whether the field of `reg` still shows what a Read at `address` put
// there; ER78 is the type radios and the inverse-gun box.
static int shows_as_read(const device_settings& s, int reg, unsigned char address)
{
    if (field_from[reg].from != FROM_READ || field_from[reg].address != address)
        return 0;
    unsigned char now = setting_value(s, reg);
    return reg == REG_ER78 ? er78_same_setting(now, field_from[reg].value)
                           : now == field_from[reg].value;
}

// Another controller's settings go out only when asked.
static int write_elsewhere_asked(unsigned char address)
{
    if (fields_owner < 0 || fields_owner == address)
        return 1;
    char question[200];
    snprintf(question, sizeof question,
             gettext_easy("The fields hold %02X's settings. Write them to %02X?"), fields_owner,
             address);
    fl_message_title(gettext_easy("Another controller"));
    return fl_choice("%s", gettext_easy("No"), gettext_easy("Yes"), nullptr, question) == 1;
}

// What goes back unchanged from a Read must be what the controller holds,
// not what noise made of it: each is read again and must agree. 1, or 0
// after the box that says why nothing is written.
static int confirm_unchanged(unsigned char address, device_settings& s)
{
    unsigned mask = 0;
    for (int reg = 0; reg < SETTING_COUNT; reg++) {
        if (shows_as_read(s, reg, address)) {
            mask |= 1u << reg;
            setting_value(s, reg) = field_from[reg].value;  // compared as it was read
        }
    }
    if (!mask)
        return 1;
    settings_noise noise = {};
    int failed = settings_confirm(port, address, s, mask, &noise);
    if (failed == SETTINGS_NOISY) {
        char text[300];
        snprintf(text, sizeof text,
                 gettext_easy("%s showed %u, the controller now holds %u: the line is noisy; "
                              "read again"),
                 setting_name(noise.reg), noise.first, noise.then);
        show_alert(text);
        return 0;
    }
    if (failed) {
        report_step_failure(settings_read_failure(failed));
        return 0;
    }
    return 1;
}

int WriteButton_OnClick(Fl_Widget*)
{
    device_settings s = {};
    // Nothing goes out until every field has passed.
    if (!window_settings(s))
        return 0;
    unsigned char address = window_address();
    if (!write_elsewhere_asked(address))
        return 0;
    // Nothing goes out that the journal cannot record.
    journal_writer journal = window_journal();
    if (!window_journal_ready(journal) || !confirm_unchanged(address, s))
        return 0;
    const device_settings* before = nullptr;
    if (last_held[address].known &&
        last_held[address].written_at == settings_written_count(address))
        before = &last_held[address].s;
    device_settings held = s;
    er78_for_write(s.er78, &s.er78);
    int failed = settings_write(port, address, s);
    int error = 0;
    std::string unrecorded;
    if (journal_sequence(journal, address, before, s, nullptr, failed,
                         failed ? english_fault() : std::string(), &error,
                         &unrecorded) != JOURNAL_OK) {
        last_held[address].known = 0;
        show_status(unrecorded.c_str());
        show_alert(unrecorded.c_str());
        return 0;
    }
    if (failed) {
        last_held[address].known = 0;  // what it holds now is not known
        report_step_failure(settings_write_failure(failed));
        return 0;
    }
    last_held[address] = {1, settings_written_count(address), s};
    // The controller holds the fields now, as the user's own.
    for (int reg = 0; reg < SETTING_COUNT; reg++)
        field_from[reg] = {FROM_USER, address, setting_value(held, reg)};
    fields_of(address, N_("The fields hold %02X's settings, as written"));
    show_alert(gettext_easy("Write OK"));
    return 0;
}

void remember_window(void)
{
    const char* typed = MainForm->AddressInput->value();
    snprintf(pref_address, sizeof pref_address, "%s", address_text_ok(typed) ? typed : "");
    prefs_save();
}

void put_text_log(char*, int) {}
