// The service report: gathered from the journal in one pass, laid out page
// by page first (so that each page knows the total), then drawn with
// libharu.
#include "report.h"

#include <hpdf.h>
#include <stdio.h>
#include <string.h>

#include "../discovery/shown_text.h"
#include "../i18n/words.h"
#include "../platform/platform.h"
#include "backupfile.h"
#include "exchange.h"
#include "journal.h"

// ---- text ---------------------------------------------------------------------

// The length of the UTF-8 sequence that begins with `c` (1 for a stray byte).
static size_t utf8_len(unsigned char c)
{
    return c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
}

std::string report_clean_text(const std::string& text)
{
    std::string cut;
    size_t chars = 0, at = 0;
    while (at < text.size() && chars < REPORT_TEXT_MAX) {
        size_t n = utf8_len((unsigned char)text[at]);
        cut.append(text, at, n);
        at += n;
        chars++;
    }
    std::string safe(cut.size() * 4 + 1, '\0');
    text_shown_safe(cut.c_str(), &safe[0], (unsigned)safe.size());
    safe.resize(strlen(safe.c_str()));
    return at < text.size() ? safe + "..." : safe;
}

// ---- gathering --------------------------------------------------------------------

namespace {

enum { VERDICT_NONE, VERDICT_CONFIRMED, VERDICT_ACKNOWLEDGED, VERDICT_FAILED };

struct gathering {
    report_data* d;
    const std::vector<unsigned char>* addresses;
    report_controller c[256];
    bool seen[256];
    int rank[256];
    unsigned written[256];
    std::string lines;  // one a line
};

int setting_reg(const std::string& name)
{
    for (int reg = 0; reg < SETTING_COUNT; reg++)
        if (name == setting_name(reg))
            return reg;
    return -1;  // IR24
}

bool wanted(const std::vector<unsigned char>* list, unsigned char a)
{
    if (!list || list->empty())
        return true;
    for (unsigned char x : *list)
        if (x == a)
            return true;
    return false;
}

void take_found(gathering& g, report_controller& c, const journal_record& r)
{
    for (int reg = 0; reg < SETTING_COUNT; reg++)
        if (!(c.found_mask & (1u << reg)))
            setting_value(c.found, reg) = setting_value(r.found, reg);
    c.found_mask = c.left_mask = (1u << SETTING_COUNT) - 1;
    c.left = r.found;
    if (r.has_health) {
        char text[200];
        health_text(r.health, text, sizeof text);
        c.health = text;
    }
    (void)g;
}

void take_change(gathering& g, report_controller& c, const journal_record& r)
{
    c.changes++;
    int rank = r.result == JOURNAL_CONFIRMED      ? VERDICT_CONFIRMED
               : r.result == JOURNAL_ACKNOWLEDGED ? VERDICT_ACKNOWLEDGED
                                                  : VERDICT_FAILED;
    int reg = setting_reg(r.setting);
    // IR24 is never read back: only its failure tells.
    if ((reg >= 0 || rank == VERDICT_FAILED) && rank >= g.rank[c.address]) {
        g.rank[c.address] = rank;
        c.verdict = r.result;
    }
    if (reg < 0)
        return;
    unsigned bit = 1u << reg;
    if (!(c.found_mask & bit) && r.before != JOURNAL_NONE) {
        setting_value(c.found, reg) = (unsigned char)r.before;
        c.found_mask |= bit;
    }
    int now = r.after != JOURNAL_NONE ? r.after : rank == VERDICT_ACKNOWLEDGED ? r.asked : -1;
    if (now >= 0) {
        setting_value(c.left, reg) = (unsigned char)now;
        c.left_mask |= bit;
        g.written[c.address] |= bit;
    }
}

int gather_told(void* ctx, const journal_record* r, unsigned long)
{
    gathering& g = *(gathering*)ctx;
    std::string local;
    if (!r || !journal_local_stamp(r->time, r->offset, local))
        return 0;
    if ((!g.d->since.empty() && local < g.d->since) ||
        (!g.d->until.empty() && local > g.d->until) || !wanted(g.addresses, r->address))
        return 0;
    if (g.d->records++ == 0)
        g.d->seq_first = r->seq;
    g.d->seq_last = r->seq;
    std::string line = r->line + (r->adapter.empty() ? "" : " (" + r->adapter + ")");
    if (("\n" + g.lines + "\n").find("\n" + line + "\n") == std::string::npos &&
        g.lines.size() < 1000)
        g.lines += (g.lines.empty() ? "" : "\n") + line;
    report_controller& c = g.c[r->address];
    if (!g.seen[r->address]) {
        g.seen[r->address] = true;
        c = report_controller();
        c.address = r->address;
    }
    if (r->event == JOURNAL_FOUND)
        take_found(g, c, *r);
    else
        take_change(g, c, *r);
    return 0;
}

}  // namespace

int report_gather(const std::string& path, const std::vector<unsigned char>* addresses,
                  report_data& d, int* error)
{
    gathering* g = new gathering();
    g->d = &d;
    g->addresses = addresses;
    d.records = d.seq_first = d.seq_last = 0;
    d.controllers.clear();
    journal_verdict v;
    int rc = journal_walk(path, gather_told, g, nullptr, &v, error);
    if (rc == JOURNAL_OK) {
        for (int a = 0; a < 256; a++) {
            if (!g->seen[a])
                continue;
            report_controller& c = g->c[a];
            unsigned both = c.found_mask & c.left_mask;
            for (int reg = 0; reg < SETTING_COUNT; reg++)
                if ((both & (1u << reg)) &&
                    setting_value(c.found, reg) != setting_value(c.left, reg))
                    c.changed |= 1u << reg;
            c.changed |= g->written[a] & ~c.found_mask;
            d.controllers.push_back(c);
        }
        d.lines_seen.clear();
        for (char ch : g->lines)
            d.lines_seen += ch == '\n' ? std::string(", ") : std::string(1, ch);
        d.head = v.head;
        d.verdict = journal_verdict_text(v);
        d.intact = v.state == JOURNAL_INTACT;
    }
    delete g;
    return rc == JOURNAL_OK ? REPORT_OK : REPORT_JOURNAL;
}

// ---- layout -------------------------------------------------------------------------

std::string report_font_dir(void)
{
    char dir[4096];
    int kind;
    if (plat_executable_dir(dir, sizeof dir) == 0 &&
        plat_file_kind((std::string(dir) + "/DejaVuSans.ttf").c_str(), &kind) == 0 &&
        kind == PLAT_FILE_REGULAR)
        return dir;
    return "/usr/share/fonts/truetype/dejavu";
}

namespace {

enum { FONT_REGULAR, FONT_BOLD, FONT_MONO, FONT_COUNT };
const char* const font_files[FONT_COUNT] = {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf",
                                            "DejaVuSansMono.ttf"};

// A4 in points, and the margins.
const float PAGE_W = 595.276f, PAGE_H = 841.89f, MARGIN = 50, BOTTOM = 70;
const float TEXT_W = PAGE_W - 2 * MARGIN;

// One thing drawn: a text at (x, y), or a line from (x, y) to (x2, y).
struct item {
    int font;  // -1: a line
    float size, x, y, x2;
    std::string text;
};

// A run of items kept on one page; y from its top, downwards.
struct block {
    std::vector<item> items;
    float height = 0;
};

struct layout {
    HPDF_Font fonts[FONT_COUNT];
    std::vector<std::vector<item>> pages;
    float y = 0;  // from the page's top
};

float width_of(const layout& l, int font, float size, const std::string& s)
{
    HPDF_TextWidth w = HPDF_Font_TextWidth(l.fonts[font], (const HPDF_BYTE*)s.data(),
                                           (HPDF_UINT)s.size());
    return w.width * size / 1000;
}

// `text` broken into lines no wider than `w`: at blanks, else (a word
// wider than the line) between characters.
std::vector<std::string> wrap(const layout& l, int font, float size, const std::string& text,
                              float w)
{
    std::vector<std::string> lines;
    std::string line;
    size_t at = 0;
    while (at < text.size()) {
        size_t sp = text.find(' ', at);
        std::string word = text.substr(at, sp == std::string::npos ? std::string::npos : sp - at);
        at = sp == std::string::npos ? text.size() : sp + 1;
        std::string tried = line.empty() ? word : line + " " + word;
        if (width_of(l, font, size, tried) <= w) {
            line = tried;
            continue;
        }
        if (!line.empty())
            lines.push_back(line);
        line.clear();
        for (size_t i = 0; i < word.size();) {
            size_t n = utf8_len((unsigned char)word[i]);
            std::string more = line + word.substr(i, n);
            if (!line.empty() && width_of(l, font, size, more) > w) {
                lines.push_back(line);
                more = word.substr(i, n);
            }
            line = more;
            i += n;
        }
    }
    if (!line.empty() || lines.empty())
        lines.push_back(line);
    return lines;
}

void add_text(block& b, int font, float size, float x, const std::string& text)
{
    b.items.push_back({font, size, x, b.height + size, 0, text});
}

// A paragraph: `label` in bold, then the text, wrapped.
void add_para(const layout& l, block& b, const std::string& label, const std::string& text,
              float size = 10)
{
    float indent = label.empty() ? 0 : width_of(l, FONT_BOLD, size, label + " ");
    if (!label.empty())
        add_text(b, FONT_BOLD, size, MARGIN, label);
    for (const std::string& line : wrap(l, FONT_REGULAR, size, text, TEXT_W - indent)) {
        add_text(b, FONT_REGULAR, size, MARGIN + indent, line);
        b.height += size * 1.4f;
    }
}

void place(layout& l, const block& b)
{
    if (l.pages.empty() || (l.y + b.height > PAGE_H - MARGIN - BOTTOM && l.y > 0)) {
        l.pages.emplace_back();
        l.y = 0;
    }
    for (item it : b.items) {
        it.y += l.y;
        l.pages.back().push_back(it);
    }
    l.y += b.height;
}

std::string value_or_dash(unsigned mask, int reg, const device_settings& s)
{
    return mask & (1u << reg) ? std::to_string(setting_value(s, reg)) : "—";
}

const char* verdict_words(const std::string& v)
{
    if (v.empty())
        return words(W_("nothing written"));
    if (v == JOURNAL_CONFIRMED)
        return words(W_("confirmed (read back equal)"));
    if (v == JOURNAL_ACKNOWLEDGED)
        return words(W_("acknowledged (not read back)"));
    return v.c_str();
}

void lay_controller(layout& l, const report_controller& c)
{
    block b;
    b.height = 8;
    char title[80];
    snprintf(title, sizeof title, words(W_("Controller %s")), hex2(c.address).c_str());
    add_text(b, FONT_BOLD, 12, MARGIN, title);
    b.height += 20;
    const float col[] = {MARGIN, MARGIN + 20, MARGIN + 120, MARGIN + 220};
    add_text(b, FONT_BOLD, 10, col[1], words(W_("Setting")));
    add_text(b, FONT_BOLD, 10, col[2], words(W_("As found")));
    add_text(b, FONT_BOLD, 10, col[3], words(W_("As left")));
    b.height += 14;
    b.items.push_back({-1, 0.5f, MARGIN, b.height - 1, MARGIN + 320, ""});
    for (int reg = 0; reg < SETTING_COUNT; reg++) {
        bool changed = c.changed & (1u << reg);
        int font = changed ? FONT_BOLD : FONT_REGULAR;
        if (changed)
            add_text(b, FONT_BOLD, 10, col[0], "*");
        add_text(b, font, 10, col[1], setting_name(reg));
        add_text(b, font, 10, col[2], value_or_dash(c.found_mask, reg, c.found));
        add_text(b, font, 10, col[3], value_or_dash(c.left_mask, reg, c.left));
        b.height += 14;
    }
    b.height += 4;
    add_para(l, b, words(W_("Written:")), verdict_words(c.verdict));
    if (!c.compared.empty())
        add_para(l, b, words(W_("Compared with the file:")), c.compared);
    add_para(l, b, words(W_("Line health:")),
             c.health.empty() ? words(W_("not recorded")) : c.health);
    place(l, b);
}

std::string period_text(const report_data& d)
{
    auto shown = [](const std::string& t) {
        std::string s = t.substr(0, 16);
        if (s.size() > 10)
            s[10] = ' ';
        return s;
    };
    char buf[120];
    snprintf(buf, sizeof buf, words(W_("%s to %s")), d.since.empty() ? "…" : shown(d.since).c_str(),
             d.until.empty() ? "…" : shown(d.until).c_str());
    return buf;
}

void lay_out(layout& l, const report_data& d)
{
    block head;
    add_text(head, FONT_BOLD, 18, MARGIN, words(W_("Service report")));
    head.height += 30;
    add_para(l, head, words(W_("Site:")), report_clean_text(d.site));
    std::string line = report_clean_text(d.line.empty() ? d.lines_seen : d.line);
    if (!d.line.empty() && !d.adapter.empty())
        line += ", " + std::string(words(W_("adapter"))) + " " + report_clean_text(d.adapter);
    add_para(l, head, words(W_("Line:")), line);
    add_para(l, head, words(W_("Period:")), period_text(d));
    add_para(l, head, words(W_("Technician:")), report_clean_text(d.technician));
    add_para(l, head, words(W_("Program:")), d.program);
    if (!d.controllers.empty())
        add_para(l, head, "", words(W_("* changed in this period (shown in bold)")), 9);
    place(l, head);
    if (d.controllers.empty()) {
        block none;
        none.height = 10;
        add_para(l, none, "", words(W_("No records in this period.")), 12);
        place(l, none);
    }
    for (const report_controller& c : d.controllers)
        lay_controller(l, c);

    block j;
    j.height = 12;
    add_text(j, FONT_BOLD, 12, MARGIN, words(W_("Journal")));
    j.height += 20;
    char buf[200];
    if (d.records)
        snprintf(buf, sizeof buf, words(W_("records %lu to %lu (%lu in this period)")), d.seq_first,
                 d.seq_last, d.records);
    else
        snprintf(buf, sizeof buf, "%s", words(W_("no records in this period")));
    add_para(l, j, words(W_("Included:")), buf);
    add_para(l, j, words(W_("Verified:")), d.verdict);
    add_text(j, FONT_BOLD, 10, MARGIN, words(W_("Head:")));
    j.height += 14;
    add_text(j, FONT_MONO, 9.5f, MARGIN, d.head);
    j.height += 18;
    add_para(l, j, "",
             words(W_("To check that the journal still holds what this report was made from, "
                      "run on the PC that keeps it:")));
    add_text(j, FONT_MONO, 7.5f, MARGIN, "kp6ctl journal --verify --head " + d.head);
    j.height += 14;
    add_para(l, j, "",
             words(W_("A journal cut short or rebuilt after this report no longer holds "
                      "this head.")),
             9);
    place(l, j);

    block sign;
    sign.height = 50;
    const char* who[] = {words(W_("Technician's signature and date")),
                         words(W_("Customer's signature and date"))};
    for (int i = 0; i < 2; i++) {
        float x = MARGIN + i * (TEXT_W / 2 + 10);
        sign.items.push_back({-1, 0.7f, x, sign.height, x + TEXT_W / 2 - 10, ""});
        sign.items.push_back({FONT_REGULAR, 9, x, sign.height + 12, 0, who[i]});
    }
    sign.height += 20;
    place(l, sign);
}

void on_error(HPDF_STATUS error_no, HPDF_STATUS, void* ctx)
{
    HPDF_STATUS* first = (HPDF_STATUS*)ctx;
    if (!*first)
        *first = error_no;
}

}  // namespace

int report_pdf(const report_data& d, const std::string& font_dir, std::string& pdf, int* error)
{
    HPDF_STATUS failed = 0;
    HPDF_Doc doc = HPDF_New(on_error, &failed);
    if (!doc) {
        *error = 0;
        return REPORT_PDF;
    }
    HPDF_SetCompressionMode(doc, HPDF_COMP_ALL);
    HPDF_UseUTFEncodings(doc);
    HPDF_SetCurrentEncoder(doc, "UTF-8");
    layout l;
    for (int f = 0; f < FONT_COUNT; f++) {
        std::string path = font_dir + "/" + font_files[f];
        FILE* probe = plat_fopen(path.c_str(), "rb");
        if (!probe) {
            HPDF_Free(doc);
            *error = f;
            return REPORT_FONT;
        }
        fclose(probe);
        const char* name = HPDF_LoadTTFontFromFile(doc, path.c_str(), HPDF_TRUE);
        l.fonts[f] = name ? HPDF_GetFont(doc, name, "UTF-8") : nullptr;
        if (!l.fonts[f]) {
            HPDF_Free(doc);
            *error = (int)failed;
            return REPORT_PDF;
        }
    }
    HPDF_SetInfoAttr(doc, HPDF_INFO_TITLE, words(W_("Service report")));
    HPDF_SetInfoAttr(doc, HPDF_INFO_CREATOR, d.program.c_str());
    lay_out(l, d);
    int total = (int)l.pages.size();
    for (int p = 0; p < total && !failed; p++) {
        HPDF_Page page = HPDF_AddPage(doc);
        HPDF_Page_SetSize(page, HPDF_PAGE_SIZE_A4, HPDF_PAGE_PORTRAIT);
        char foot[80];
        snprintf(foot, sizeof foot, words(W_("Page %d of %d")), p + 1, total);
        l.pages[p].push_back({FONT_REGULAR, 9, (PAGE_W - width_of(l, FONT_REGULAR, 9, foot)) / 2,
                              PAGE_H - BOTTOM / 2 - MARGIN + 9, 0, foot});
        for (const item& it : l.pages[p]) {
            float y = PAGE_H - MARGIN - it.y;
            if (it.font < 0) {
                HPDF_Page_SetLineWidth(page, it.size);
                HPDF_Page_MoveTo(page, it.x, y);
                HPDF_Page_LineTo(page, it.x2, y);
                HPDF_Page_Stroke(page);
                continue;
            }
            HPDF_Page_BeginText(page);
            HPDF_Page_SetFontAndSize(page, l.fonts[it.font], it.size);
            HPDF_Page_TextOut(page, it.x, y, it.text.c_str());
            HPDF_Page_EndText(page);
        }
    }
    if (!failed && HPDF_SaveToStream(doc) == HPDF_OK) {
        pdf.resize(HPDF_GetStreamSize(doc));
        HPDF_UINT32 size = (HPDF_UINT32)pdf.size();
        HPDF_ReadFromStream(doc, (HPDF_BYTE*)&pdf[0], &size);
        pdf.resize(size);
    }
    HPDF_Free(doc);
    *error = (int)failed;
    return failed || pdf.empty() ? REPORT_PDF : REPORT_OK;
}

int report_save(const report_data& d, const std::string& path, std::string& message)
{
    std::string pdf;
    int error = 0;
    int rc = report_pdf(d, report_font_dir(), pdf, &error);
    char why[300];
    if (rc == REPORT_FONT) {
        snprintf(why, sizeof why, words(W_("cannot make the report: font %s not found in %s")),
                 font_files[error], report_font_dir().c_str());
        message = why;
        return rc;
    }
    if (rc != REPORT_OK) {
        snprintf(why, sizeof why, words(W_("cannot make the report: the PDF library failed (%#x)")),
                 error);
        message = why;
        return rc;
    }
    if (path == "-") {
        message = words(W_("a report is a file: name one"));
        return REPORT_SAVE;
    }
    return save_text(path, pdf, message) == SAVE_DONE ? REPORT_OK : REPORT_SAVE;
}
