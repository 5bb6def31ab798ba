// The bus window's table: each cell's text, its colours, and the table that
// draws them.
#include "bustable.h"

#include <FL/Fl.H>
#include <FL/Fl_Tooltip.H>
#include <FL/fl_draw.H>
#include <stdarg.h>
#include <stdio.h>

#include <algorithm>
#include <map>

#include "../device/exchange.h"
#include "../device/settings.h"
#include "../i18n/gett.h"
#include "../i18n/words.h"

bus_state_t bus_state;

// Each look-up in the catalogue writes a timing line: the texts the table
// draws again and again are looked up once for each window made.
static std::map<const char*, std::string> looked_up;
const char* bus_tr(const char* key)
{
    auto at = looked_up.find(key);
    if (at == looked_up.end())
        at = looked_up.emplace(key, gettext_easy(key)).first;
    return at->second.c_str();
}

// Each column: its heading (the main window's label for a setting) and
// width; the setting it shows, or -1.
static const struct {
    const char* key;
    int width, reg;
} columns[BUS_COLS] = {
    {N_("Address"), 64, -1},
    {N_("Type"), 90, REG_ER78},
    {N_("Invers Gun"), 80, REG_ER78},
    {N_("x0.1sec start engine before turning on the main valve(ER79)"), 110, REG_ER79},
    {N_("TimeOut (second)(ER72)"), 80, REG_ER72},
    {N_("x10gr Topping(ER74)"), 80, REG_ER74},
    {N_("x10gr Bufer overflow(ER75)"), 90, REG_ER75},
    {N_("Sensitivity(ER77)"), 90, REG_ER77},
    {N_("State"), 200, -1},
    {N_("Exchanges"), 80, -1},
    {N_("Retries"), 64, -1},
    {N_("Failed"), 64, -1},
    {N_("Answer, ms: median / slowest"), 110, -1},
    {N_("Compared"), 150, -1},
};

std::string bus_type_text(unsigned char er78)
{
    const char* key = meter_key(er78_meter(er78));
    return key ? bus_tr(key) : printed(bus_tr(N_("code %X")), er78 & 0x0F);
}

static std::string inverse_text(unsigned char er78)
{
    return er78_inverse(er78) ? bus_tr(N_("yes")) : bus_tr(N_("no"));
}

// The file's entry a row is compared with: the template, or the entry of
// its address; null when none.
const backup_entry* bus_file_entry(unsigned char address)
{
    return backup_entry_for(bus_state.file, address);
}

std::string bus_cell_text(const bus_row& r, int col, int* differs)
{
    *differs = 0;
    if (col == BUS_COL_ADDRESS)
        return hex2(r.address);
    int reg = columns[col].reg;
    if (reg >= 0) {
        if (!bus_row_has_settings(r))
            return "";
        const device_settings &now = r.settings, &file = r.file;
        int marked = r.compared == COMPARED_DIFFERS && (r.differ & (1u << reg));
        std::string shown, want;
        if (col == BUS_COL_TYPE || col == BUS_COL_INVERSE) {
            std::string (*text)(unsigned char) = col == BUS_COL_TYPE ? bus_type_text : inverse_text;
            shown = text(now.er78);
            want = marked ? text(file.er78) : "";
            if (want == shown)
                want.clear();
        } else {
            shown = std::to_string(setting_value(now, reg));
            if (marked)
                want = std::to_string(setting_value(file, reg));
        }
        if (want.empty())
            return shown;
        // A sign as well as the colour: monochrome screens, colour-blind eyes.
        *differs = 1;
        return "\xE2\x89\xA0 " + shown + " (" + want + ")";
    }
    if (col == BUS_COL_STATE)
        return bus_row_state_text(r, bus_tr);
    line_health h = {};
    int known = col != BUS_COL_COMPARED && health_of(r.address, &h);
    switch (col) {
    case BUS_COL_EXCHANGES: return known ? std::to_string(h.exchanges) : "";
    case BUS_COL_RETRIES: return known ? std::to_string(h.retries) : "";
    case BUS_COL_FAILED: return known ? std::to_string(h.failed) : "";
    case BUS_COL_ANSWER:
        return known && h.answers ? printed("%u / %u", h.median_ms, h.slowest_ms) : "";
    case BUS_COL_COMPARED:
        switch (r.compared) {
        case COMPARED_SAME: return bus_tr(N_("matches"));
        case COMPARED_DIFFERS:
            *differs = 1;
            return printed(bus_tr(N_("differs (%d)")), __builtin_popcount(r.differ));
        case COMPARED_NOT_IN_FILE: return bus_tr(N_("not in the file"));
        default: return r.state == ROW_MISSING ? bus_tr(N_("missing")) : "";
        }
    }
    return "";
}

// A heading's text for the font set, broken into lines of at most `width`
// pixels: at blanks, and before a "(" that follows a word ("Sensitivity(ER77)").
// *widest: the widest piece that cannot be broken.
static std::string heading_lines(const std::string& text, int width, int* lines, int* widest)
{
    std::string out, line;
    *lines = 1;
    *widest = 0;
    bool gap = false;  // a blank before the piece
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find_first_of(" (", at + 1);
        if (end == std::string::npos)
            end = text.size();
        std::string piece = text.substr(at, end - at);
        *widest = std::max(*widest, (int)fl_width(piece.c_str()));
        std::string joined = line.empty() ? piece : line + (gap ? " " : "") + piece;
        if (!line.empty() && fl_width(joined.c_str()) > width) {
            out += line + "\n";
            ++*lines;
            line = piece;
        } else {
            line = joined;
        }
        gap = end < text.size() && text[end] == ' ';
        at = gap ? end + 1 : end;
    }
    return out + line;
}

static std::string heading(int col)
{
    if (col == BUS_COL_COMPARED && !bus_state.file.empty())
        return bus_state.file_name;
    return bus_tr(columns[col].key);
}

enum { HEADING_FONT = 11, HEADING_PAD = 6 };

void bus_table_fit(Fl_Table_Row* t)
{
    fl_font(FL_HELVETICA, HEADING_FONT);
    int most = 1;
    for (int c = 0; c < BUS_COLS; c++) {
        // Wide enough for its longest word, so that wrapping cuts none.
        std::string head = heading(c);
        int widest, lines;
        heading_lines(head, 1, &lines, &widest);
        int w = std::max(columns[c].width, widest + 2 * HEADING_PAD);
        t->col_width(c, w);
        heading_lines(head, w - 2 * HEADING_PAD, &lines, &widest);
        most = std::max(most, lines);
    }
    t->col_header_height(most * fl_height() + HEADING_PAD);
}

// The whole text of a cell the table cuts, as its tooltip.
static void cell_tooltip(Fl_Table_Row* t, int row, int col, int x, int y, int w, int h)
{
    static std::string tip;
    int differs;
    std::string text = row >= 0 && row < (int)bus_state.rows.size()
                           ? bus_cell_text(bus_state.rows[row], col, &differs)
                           : "";
    fl_font(FL_HELVETICA, 12);
    if (text.empty() || fl_width(text.c_str()) <= w - 8) {
        Fl_Tooltip::enter_area(t, 0, 0, 0, 0, nullptr);
        return;
    }
    tip = text;
    Fl_Tooltip::enter_area(t, x - t->x(), y - t->y(), w, h, tip.c_str());
}

// The toolkit draws a table's cells only through a virtual function: this
// derived table does no more than hand them to bus_draw_cell, take Ctrl+A
// and give a cut cell's text as its tooltip.
static void bus_draw_cell(Fl_Table_Row* t, Fl_Table::TableContext context, int row, int col, int x,
                          int y, int w, int h);

struct bus_table : Fl_Table_Row {
    bus_table(int x, int y, int w, int h) : Fl_Table_Row(x, y, w, h) {}
    void draw_cell(TableContext context, int row, int col, int x, int y, int w, int h) override
    {
        bus_draw_cell(this, context, row, col, x, y, w, h);
    }
    int handle(int event) override
    {
        if ((event == FL_KEYBOARD || event == FL_SHORTCUT) && Fl::event_state(FL_CTRL) &&
            Fl::event_key() == 'a') {
            select_all_rows(1);
            return 1;
        }
        if (event == FL_MOVE || event == FL_ENTER) {
            int row, col, x, y, w, h;
            ResizeFlag resizing;
            if (cursor2rowcol(row, col, resizing) == CONTEXT_CELL &&
                find_cell(CONTEXT_CELL, row, col, x, y, w, h) == 0)
                cell_tooltip(this, row, col, x, y, w, h);
        }
        return Fl_Table_Row::handle(event);
    }
};

static void bus_draw_cell(Fl_Table_Row* t, Fl_Table::TableContext context, int row, int col, int x,
                          int y, int w, int h)
{
    switch (context) {
    case Fl_Table::CONTEXT_STARTPAGE: fl_font(FL_HELVETICA, 12); return;
    case Fl_Table::CONTEXT_COL_HEADER: {
        fl_push_clip(x, y, w, h);
        fl_draw_box(FL_THIN_UP_BOX, x, y, w, h, FL_BACKGROUND_COLOR);
        fl_color(FL_FOREGROUND_COLOR);
        fl_font(FL_HELVETICA, HEADING_FONT);
        int lines, widest;
        std::string head = heading_lines(heading(col), w - 2 * HEADING_PAD, &lines, &widest);
        fl_draw(head.c_str(), x + HEADING_PAD, y, w - 2 * HEADING_PAD, h, FL_ALIGN_CENTER);
        fl_font(FL_HELVETICA, 12);
        fl_pop_clip();
        return;
    }
    case Fl_Table::CONTEXT_CELL: {
        if (row >= (int)bus_state.rows.size())
            return;
        const bus_row& r = bus_state.rows[row];
        int differs = 0;
        std::string text = bus_cell_text(r, col, &differs);
        Fl_Color bg = FL_WHITE;
        if (bus_row_amiss(r))
            bg = fl_rgb_color(255, 200, 200);
        else if (r.state == ROW_MISSING)
            bg = fl_rgb_color(225, 225, 225);
        if (differs)
            bg = fl_rgb_color(255, 220, 120);
        if (t->row_selected(row))
            bg = fl_color_average(bg, FL_SELECTION_COLOR, 0.6f);
        fl_push_clip(x, y, w, h);
        fl_color(bg);
        fl_rectf(x, y, w, h);
        fl_color(FL_FOREGROUND_COLOR);
        fl_draw(text.c_str(), x + 4, y, w - 6, h, FL_ALIGN_LEFT | FL_ALIGN_CLIP);
        fl_color(FL_LIGHT2);
        fl_rect(x, y, w, h);
        fl_pop_clip();
        return;
    }
    default: return;
    }
}

Fl_Table_Row* make_bus_table(int x, int y, int w, int h)
{
    bus_table* t = new bus_table(x, y, w, h);
    t->selection_color(FL_SELECTION_COLOR);
    t->type(Fl_Table_Row::SELECT_MULTI);
    t->cols(BUS_COLS);
    t->col_header(1);
    t->row_height_all(22);
    t->col_resize(1);
    bus_table_fit(t);
    return t;
}

void bus_texts_forget(void)
{
    looked_up.clear();
}
