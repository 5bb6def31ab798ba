// The main window and its click actions.
#ifndef KP6_KP6FORM_H
#define KP6_KP6FORM_H

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Int_Input.H>
#include <FL/Fl_Round_Button.H>

#include <string>

#include "../device/journal.h"
#include "../device/settings.h"

class xMainForm : public Fl_Double_Window {
public:
    xMainForm(int w, int h, const char* label);
    virtual ~xMainForm();

    Fl_Choice* ComChoice;
    Fl_Button* OpenButton;
    Fl_Group* TypeGroup;
    Fl_Button* CloseButton;
    Fl_Button* ReadButton;
    Fl_Button* TestButton;
    Fl_Int_Input* AddressInput;
    Fl_Round_Button* ML_Type;
    Fl_Round_Button* Liter_Type;
    Fl_Round_Button* Hand_Type;
    Fl_Input* ER79_Input;
    Fl_Input* ER72_Input;
    Fl_Input* ER74_Input;
    Fl_Input* ER75_Input;
    Fl_Button* WriteButton;
    Fl_Check_Button* InversGunCheck;
    Fl_Input* ER77_Input;
    // Beside the controls above, where the layout has room; each also
    // answers its shortcut.
    Fl_Button* FindButton;     // right of Test, Ctrl+F
    Fl_Button* SaveButton;     // right of Read, Ctrl+S
    Fl_Button* LoadButton;     // right of Write, Ctrl+O
    Fl_Button* BusButton;      // right of Find, Ctrl+B: the bus window
    Fl_Button* HistoryButton;  // right of Load, Ctrl+H: the journal, with or without a port
    Fl_Button* TrafficButton;  // right of History, Ctrl+T: the traffic view
    // Along the bottom: what the last action did that no box tells (whose
    // settings Load put into the fields, a port closed for a lost line).
    Fl_Box* StatusLine;
    Fl_Choice* ConverterChoice;  // how the chosen port's line is switched
};

extern xMainForm* MainForm;

// The window as start-up shows it: 477 x 315 at (795, 345), resizable.
xMainForm* make_main_window(const char* title);
extern unsigned short port;

int OpenButton_OnClick(Fl_Widget* w);
int CloseButton_OnClick(Fl_Widget* w);
int ML_Type_OnClick(Fl_Widget* w);
int Liter_Type_OnClick(Fl_Widget* w);
int Hand_Type_OnClick(Fl_Widget* w);
int ReadButton_OnClick(Fl_Widget* w);
int WriteButton_OnClick(Fl_Widget* w);
int TestButton_OnClick(Fl_Widget* w);

// The actions of the buttons that open a dialog (Find, Save, Load, Bus):
// each dialog is built on the window and the window knows none of them,
// so they are joined to their buttons from above both (dialogs.h). A left
// click or the button's shortcut runs `action`.
typedef int (*click_handler)(Fl_Widget*);
void join_dialog_button(Fl_Button* b, click_handler action);

// Puts `address` into the address field and Reads it (the bus window's
// double click).
void read_in_window(unsigned char address);

// The settings as the window shows them, checked as Write checks them
// (ER78 as held: hand is 10): 1, or 0 after the box that tells what is
// wrong.
int window_settings(device_settings& s);
// Where a field's value came from: a Read (sent back unasked only once the
// controller confirms it), or a Load or a Write (the user's own).
enum { FROM_NONE, FROM_READ, FROM_USER };
// Shows one setting as Read does (ER78 sets the type, the topping fields
// and the check box) and remembers it as `address`'s, put there by `from`.
void show_setting(device_settings s, int reg, unsigned char address, int from);
// The fields now hold `address`'s settings: a Write elsewhere asks first.
// `said`, in the status line, tells it; Close Port shows it again.
void fields_belong_to(unsigned char address, const char* said);
// Remembers the address typed and writes what the window remembers.
void remember_window(void);

// The bus address typed in AddressInput.
unsigned char window_address(void);
// One exchange on the window's port with the address in AddressInput.
int rd_wr_memory(unsigned int& word, unsigned char command);

// Shows a message in a modal alert box titled with its first line; long
// lines are wrapped, never cut.
void show_alert(const char* text);
// The same with the cause on a line of its own below the text (none when
// `why` is empty).
void show_alert_why(const char* text, const char* why);

// A step of an action on the window's port failed (the last exchange or
// Test, exchange_last_fault): the box with the step's message `key` (a
// catalogue key) and the cause on its second line; when the line is lost
// (a device gone, a connection closed) the window closes the port first,
// so that it can be opened again. Returns 1 when the line was lost.
int report_step_failure(const char* key);
// Told first when a step fails (the traffic view marks its frames); null:
// nobody is.
extern void (*step_failed_hook)(void);
// Shows the converter remembered for the port `name` (null: none chosen),
// choosable while no port is open and the port is no network line.
void follow_port_converter(const char* name);
// Closes the window's port as Close Port does, when one is open.
void close_lost_port(void);
// Shows `text` in the status line, elided in the middle when too long
// (the whole of it as the line's tooltip); null or "" clears it.
void show_status(const char* text);

// The journal's writer for the window's open port: program "kp6 1.0.0", the
// port's name, the adapter's serial number where the port list knows it.
journal_writer window_journal(void);
// Whether a write step may start: 1, or 0 after the box that names the
// journal's file and why it cannot be written (nothing is sent then).
int window_journal_ready(const journal_writer& w);
// The last exchange's fault in kp6ctl's words, as the journal keeps it
// whatever the window's language.
std::string english_fault(void);

// Hook for the port layer's text messages; this tool shows none of them.
void put_text_log(char* text, int n);

#endif
