#include "traffic.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/fl_draw.H>
#include <stdio.h>
#include <string.h>

#include <deque>

#include "../device/address.h"
#include "../device/backupfile.h"
#include "../device/decode.h"
#include "../i18n/gett.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "../timers/biostimw.h"
#include "kp6form.h"
#include "prefs.h"
#include "settingsfile.h"

traffic_view_t traffic_view;

namespace {

struct shown_frame {
    char time[24];  // "09:41:02.123"
    double gap_ms;  // since the frame before
    const char* arrow;
    int address;  // -1 none known
    std::string hex, meaning;
    bool failed;  // of a step that failed
};

std::deque<shown_frame> frames;
size_t exchange_start;  // the frame that began the exchange in hand
decoder line_decoder;
uint64_t last_at;
bool kept[256];  // the addresses shown; all when `every`
bool every = true;
Fl_Box* count_box;
// The newest frames not in the list yet: it takes them ten times a second,
// so that a busy line costs the window a few redraws, not one a frame.
size_t unlisted;
bool flush_due;
void (*hook_before)(unsigned int, int, const unsigned char*, int);
bool bit_before;  // the open port's bit in pl_port_log before the window set it

void set_record_bit(unsigned short handle, bool on)
{
    uint16_t bit = (uint16_t)(1u << (handle - 1));
    pl_port_log = (uint16_t)(on ? pl_port_log | bit : pl_port_log & ~bit);
    if (on)
        open_log();
}

bool shown(const shown_frame& f)
{
    return every || (f.address >= 0 && kept[f.address]);
}

// A line of the list: tab-separated columns, red for a failed step's.
std::string list_line(const shown_frame& f)
{
    char head[64];
    const char* mark = f.failed ? "@C1@." : "";  // "@." ends the format: digits follow
    snprintf(head, sizeof head, "%s%s\t%s%+.1f\t%s%s\t%s", mark, f.time, mark, f.gap_ms, mark,
             f.arrow, mark);
    char address[12] = "";
    if (f.address >= 0)
        snprintf(address, sizeof address, "%02X", f.address);
    return std::string(head) + address + "\t" + mark + f.hex + "\t" + mark + f.meaning;
}

void show_count(void)
{
    static char text[120];
    snprintf(text, sizeof text, gettext_easy("%lu frames, %lu shown"), (unsigned long)frames.size(),
             (unsigned long)traffic_view.list->size());
    count_box->label(text);
}

void rebuild(void)
{
    Fl_Hold_Browser* list = traffic_view.list;
    list->clear();
    for (const shown_frame& f : frames)
        if (shown(f))
            list->add(list_line(f).c_str());
    list->bottomline(list->size());
    unlisted = 0;
    show_count();
}

void flush_list(void*)
{
    flush_due = false;
    if (!traffic_view.window || traffic_view.pause->value())
        return;
    Fl_Hold_Browser* list = traffic_view.list;
    for (size_t i = frames.size() - unlisted; i < frames.size(); i++)
        if (shown(frames[i]))
            list->add(list_line(frames[i]).c_str());
    unlisted = 0;
    list->bottomline(list->size());
    show_count();
}

void follow_record(void)
{
    Fl_Check_Button* r = traffic_view.record;
    if (!r)
        return;
    if (port)
        r->activate();
    else
        r->deactivate();
    r->value(port && (pl_port_log >> (port - 1) & 1));
}

struct frame_of {
    int what;  // TRAFFIC_*; -1: heard on the line, the frame's own direction
};

void add_frame(const decode_frame& d, void* ctx)
{
    int what = ((frame_of*)ctx)->what;
    shown_frame f;
    r2_date date;
    r2_time t;
    bios_datetime(&date, &t);
    snprintf(f.time, sizeof f.time, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second, wMilli);
    uint64_t now = plat_perf_counter();
    f.gap_ms = last_at ? (double)(now - last_at) * 1000.0 / (double)plat_perf_frequency() : 0;
    last_at = now;
    if (what < 0)
        what = d.dir == DIR_SENT ? TRAFFIC_SENT : TRAFFIC_RECEIVED;
    f.arrow = what == TRAFFIC_SENT ? "->" : what == TRAFFIC_RECEIVED ? "<-" : "<>";
    f.address = d.address;
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < d.len && i < DECODE_UNKNOWN_RUN; i++) {
        if (i)
            f.hex += ' ';
        f.hex += digits[d.at[i] >> 4];
        f.hex += digits[d.at[i] & 15];
    }
    f.meaning = d.meaning;
    f.failed = false;
    if (what == TRAFFIC_SENT && (d.kind == FRAME_SELECT || d.kind == FRAME_TEST))
        exchange_start = frames.size();
    frames.push_back(f);
    unlisted++;
    if (frames.size() > TRAFFIC_FRAMES_MAX) {
        // The oldest goes from the list too, once it is there.
        Fl_Hold_Browser* list = traffic_view.list;
        if (unlisted < frames.size() && shown(frames.front()) && list->size() > 0)
            list->remove(1);
        else if (unlisted == frames.size())
            unlisted--;
        frames.pop_front();
        exchange_start = exchange_start ? exchange_start - 1 : 0;
    }
    if (!flush_due) {
        flush_due = true;
        Fl::add_timeout(0.1, flush_list);
    }
}

void on_traffic(unsigned int handle, int what, const unsigned char* data, int len)
{
    if (hook_before)
        hook_before(handle, what, data, len);
    if (handle != port || !data || len <= 0 || !traffic_view.window || traffic_view.listen->value())
        return;  // while listening, what is read is shown as heard
    frame_of of = {what};
    if (what == TRAFFIC_ECHO) {
        decode_frame echo = {FRAME_ECHO, DIR_RECEIVED, line_decoder.address, data, len, ""};
        snprintf(echo.meaning, sizeof echo.meaning, "%s", gettext_easy("echo"));
        add_frame(echo, &of);
        return;
    }
    decode_block(line_decoder, what == TRAFFIC_SENT ? DIR_SENT : DIR_RECEIVED, data, len, add_frame,
                 &of);
    follow_record();
}

// The frames of the exchange that failed are marked.
void step_failed(void)
{
    for (size_t i = exchange_start; i < frames.size(); i++)
        frames[i].failed = true;
    rebuild();
}

void addresses_changed(Fl_Widget*, void*)
{
    unsigned char list[ADDRESS_LIST_MAX];
    int at, len;
    const char* text = traffic_view.addresses->value();
    int n = *text ? address_list_parse(text, list, &at, &len) : 0;
    every = n <= 0;
    memset(kept, 0, sizeof kept);
    for (int i = 0; i < n; i++)
        kept[list[i]] = true;
    traffic_view.addresses->textcolor(*text && n <= 0 ? FL_RED : FL_FOREGROUND_COLOR);
    rebuild();
}

void pause_changed(Fl_Widget*, void*)
{
    if (!traffic_view.pause->value())
        rebuild();
}

void clear_clicked(Fl_Widget*, void*)
{
    frames.clear();
    exchange_start = 0;
    rebuild();
}

void record_changed(Fl_Widget*, void*)
{
    if (port) {
        set_record_bit(port, traffic_view.record->value() != 0);
        prefs_set_port_recorded(port_name(port), traffic_view.record->value());
    }
    follow_record();
}

void save_clicked(Fl_Widget*, void*)
{
    std::string path;
    std::string filter = std::string(gettext_easy("Text files")) + "\t*.txt\n" +
                         gettext_easy("All files") + "\t*";
    if (!choose_file(1, gettext_easy("Save the traffic"), filter.c_str(), "traffic.txt", path))
        return;
    std::string message;  // the failure names the path alone, as it always has
    if (save_text(path, traffic_text(), message) != SAVE_DONE)
        show_failure("Traffic not saved", path);
}

// ---- Listen only -----------------------------------------------------------

enum { HEARD_MAX = 256 };
unsigned char heard[HEARD_MAX];
int heard_count;
uint64_t heard_last;  // when the last byte came

void heard_out(void)
{
    frame_of of = {-1};
    if (heard_count)
        decode_block(line_decoder, DIR_LINE, heard, heard_count, add_frame, &of);
    heard_count = 0;
}

void stop_listening(void)
{
    traffic_view.listen->value(0);
    heard_out();
    MainForm->activate();
}

// Takes what the port has; a frame ends with a silence of more than three
// byte times (or at HEARD_MAX bytes, noise).
void listen_tick(void*)
{
    if (!traffic_view.listen->value())
        return;
    if (!port || port_gone(port, nullptr)) {
        stop_listening();
        close_lost_port();
        return;
    }
    uint64_t now = plat_perf_counter();
    int n = port_avail(port);
    if (n > HEARD_MAX - heard_count)
        n = HEARD_MAX - heard_count;
    if (n > 0 && recv_port(port, heard + heard_count, n)) {
        heard_count += n;
        heard_last = now;
    }
    double quiet_ms = (double)(now - heard_last) * 1000.0 / (double)plat_perf_frequency();
    if (heard_count == HEARD_MAX || (heard_count && quiet_ms > port_line_ms(port, 3) + 1))
        heard_out();
    Fl::repeat_timeout(0.002, listen_tick);
}

void listen_changed(Fl_Widget*, void*)
{
    if (!traffic_view.listen->value()) {
        Fl::remove_timeout(listen_tick);
        stop_listening();
        return;
    }
    if (!port) {
        traffic_view.listen->value(0);
        return;
    }
    // The window sends nothing while it listens.
    MainForm->deactivate();
    clear_buf(port);
    heard_count = 0;
    Fl::add_timeout(0.002, listen_tick);
}

// Escape stops listening first; the window's close button closes it.
void view_closing(Fl_Widget* w, void*)
{
    if (traffic_view.listen->value()) {
        Fl::remove_timeout(listen_tick);
        stop_listening();
        if (Fl::event_key() == FL_Escape)
            return;
    }
    w->hide();
}

// Controls left to right on one row, each as wide as its label needs.
int place(Fl_Widget* w, int x, int extra)
{
    int lw = 0, lh = 0;
    fl_font(FL_HELVETICA, 12);
    fl_measure(w->label(), lw, lh, 0);
    w->resize(x, 8, lw + extra, 24);
    return x + lw + extra + 6;
}

Fl_Button* dialog_button(Fl_Callback* cb, const char* key)
{
    Fl_Button* b = new Fl_Button(0, 8, 10, 24, gettext_easy(key));
    b->labelsize(12);
    b->callback(cb);
    return b;
}

void make_view(void)
{
    traffic_view_t& v = traffic_view;
    v.window = new Fl_Double_Window(760, 420, gettext_easy("Traffic"));
    v.addresses = new Fl_Input(0, 8, 110, 24, gettext_easy("Addresses"));
    v.addresses->labelsize(12);
    v.addresses->textsize(12);
    v.addresses->when(FL_WHEN_CHANGED);
    v.addresses->callback(addresses_changed);
    v.addresses->tooltip(gettext_easy("Only these addresses, as 01,1F or 10-1F; empty: all"));
    int lw = 0, lh = 0;
    fl_font(FL_HELVETICA, 12);
    fl_measure(v.addresses->label(), lw, lh, 0);
    v.addresses->resize(8 + lw + 6, 8, 110, 24);
    int x = v.addresses->x() + v.addresses->w() + 8;
    v.pause = new Fl_Light_Button(0, 8, 10, 24, gettext_easy("Pause"));
    v.pause->labelsize(12);
    v.pause->callback(pause_changed);
    x = place(v.pause, x, 36);
    v.clear = dialog_button(clear_clicked, "Clear");
    x = place(v.clear, x, 20);
    v.save = dialog_button(save_clicked, "Save as text...");
    v.save->shortcut(FL_CTRL + 's');
    x = place(v.save, x, 20);
    v.record = new Fl_Check_Button(0, 8, 10, 24, gettext_easy("Record to port.out"));
    v.record->labelsize(12);
    v.record->callback(record_changed);
    v.record->tooltip(gettext_easy("The port layer records this port in port.out"));
    x = place(v.record, x, 28);
    v.listen = new Fl_Light_Button(0, 8, 10, 24, gettext_easy("Listen only"));
    v.listen->labelsize(12);
    v.listen->callback(listen_changed);
    v.listen->tooltip(gettext_easy("Hear another master and the controllers; nothing is sent"));
    x = place(v.listen, x, 36);
    // As wide as the row of controls needs, in any language.
    int width = x + 8 > 760 ? x + 8 : 760;
    v.window->size(width, 420);
    v.list = new Fl_Hold_Browser(8, 40, width - 16, 352);
    v.list->textsize(12);
    v.list->textfont(FL_COURIER);
    static const int widths[] = {100, 64, 28, 32, 270, 0};
    v.list->column_widths(widths);
    v.list->column_char('\t');
    count_box = new Fl_Box(8, 396, width - 16, 20);
    count_box->labelsize(11);
    count_box->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
    v.window->end();
    v.window->callback(view_closing);
    v.window->resizable(v.list);
    v.window->size_range(x + 8, 200);
    // A view made anew starts empty.
    frames.clear();
    exchange_start = 0;
    last_at = 0;
    unlisted = 0;
    every = true;
    decode_reset(line_decoder);
    if (pl_traffic_hook != on_traffic)  // a view made again chains to what was before
        hook_before = pl_traffic_hook;
    pl_traffic_hook = on_traffic;
    step_failed_hook = step_failed;
}

}  // namespace

std::string traffic_text(void)
{
    std::string text;
    for (const shown_frame& f : frames) {
        if (!shown(f))
            continue;
        char head[96], address[12] = "  ";
        if (f.address >= 0)
            snprintf(address, sizeof address, "%02X", f.address);
        snprintf(head, sizeof head, "%s %+8.1f %s %s %s", f.time, f.gap_ms, f.arrow, address,
                 f.failed ? "!" : " ");
        text += std::string(head) + " " + f.hex + "  " + f.meaning + "\n";
    }
    return text;
}

void traffic_port_opened(void)
{
    bit_before = pl_port_log >> (port - 1) & 1;
    if (prefs_port_recorded(port_name(port)))
        set_record_bit(port, true);
    follow_record();
}

void traffic_port_closed(unsigned short handle)
{
    if (handle)
        set_record_bit(handle, bit_before);
    follow_record();
}

int TrafficButton_OnClick(Fl_Widget*)
{
    if (!traffic_view.window)
        make_view();
    follow_record();
    rebuild();
    traffic_view.window->show();
    return 0;
}
