#include "settings.h"

#include <stdio.h>

#include <string>

#include "../i18n/words.h"
#include "exchange.h"

struct register_info {
    const char* name;
    unsigned int word;
    unsigned char device_settings::*value;
    const char* read_failure;
    const char* write_failure;
    const char* bad_input;
};

// Indexed by REG_*, which is the order of writing.
static const register_info registers[SETTING_COUNT] = {
    {"ER78", WORD_ER78, &device_settings::er78, N_("Error read ER78"), N_("Error write ER78"),
     nullptr},
    {"ER79", WORD_ER79, &device_settings::er79, N_("Error read ER79"), N_("Error write ER79"),
     N_("Error input ER79")},
    {"ER72", WORD_ER72, &device_settings::er72, N_("Error read ER72"), N_("Error write ER72"),
     N_("Error input ER72")},
    {"ER74", WORD_ER74, &device_settings::er74, N_("Error read ER74"), N_("Error write ER74"),
     N_("Error input ER74")},
    {"ER75", WORD_ER75, &device_settings::er75, N_("Error read ER75"), N_("Error write ER75"),
     N_("Error input ER75")},
    {"ER77", WORD_ER77, &device_settings::er77, N_("Error read ER77"), N_("Error write ER77"),
     N_("Error input ER77")},
};

static const int read_order[READ_STEPS] = {REG_ER78, REG_ER79, REG_ER74,
                                           REG_ER75, REG_ER77, REG_ER72};

static int valid_reg(int reg)
{
    return reg >= 0 && reg < SETTING_COUNT;
}

unsigned char& setting_value(device_settings& s, int reg)
{
    return s.*registers[valid_reg(reg) ? reg : REG_ER78].value;
}

unsigned char setting_value(const device_settings& s, int reg)
{
    return s.*registers[valid_reg(reg) ? reg : REG_ER78].value;
}

const char* setting_name(int reg)
{
    return valid_reg(reg) ? registers[reg].name : nullptr;
}

// The metering types by METER_*: the type code as read and as written
// (hand reads as 10, goes out as 4), kp6ctl's word, the window's key.
static const struct {
    unsigned char read, written;
    const char *word, *key;
} meters[] = {
    {0, 0, W_("milliliter"), N_("Milliliter")},
    {2, 2, W_("liter"), N_("Liter")},
    {10, 4, W_("hand"), N_("Hand")},
};
static_assert(sizeof meters / sizeof *meters == METER_COUNT, "every metering type");

int er78_meter(unsigned char er78)
{
    for (int m = 0; m < METER_COUNT; m++)
        if (meters[m].read == (er78 & 0x0F))
            return m;
    return METER_UNKNOWN;
}

const char* meter_word(int meter)
{
    return meter >= 0 && meter < METER_COUNT ? meters[meter].word : W_("unknown");
}

const char* meter_key(int meter)
{
    return meter >= 0 && meter < METER_COUNT ? meters[meter].key : nullptr;
}

int meter_from_word(const std::string& word)
{
    for (int m = 0; m < METER_COUNT; m++)
        if (word == meters[m].word)
            return m;
    return METER_UNKNOWN;
}

std::string meter_words(bool codes)
{
    std::string list;
    for (int m = 0; m < METER_COUNT; m++) {
        list += m == 0 ? "" : m + 1 < METER_COUNT || codes ? ", " : " or ";
        list += meters[m].word;
        if (codes)
            list += " (" + std::to_string(meters[m].read) + ")";
    }
    return list;
}

int er78_inverse(unsigned char er78)
{
    return (er78 >> 4) & 1;
}

unsigned char er78_compose(int meter, int inverse)
{
    unsigned char code = meter >= 0 && meter < METER_COUNT ? meters[meter].written : 0;
    return (unsigned char)(code | (inverse ? 0x10 : 0));
}

unsigned char er78_held(int meter, int inverse)
{
    unsigned char b = er78_compose(meter, inverse);
    return meter >= 0 && meter < METER_COUNT ? (unsigned char)((b & 0xF0) | meters[meter].read) : b;
}

int er78_for_write(unsigned char er78, unsigned char* out)
{
    int meter = er78_meter(er78);
    if (meter == METER_UNKNOWN)
        return 0;
    *out = er78_compose(meter, er78_inverse(er78));
    return 1;
}

int er78_same_setting(unsigned char a, unsigned char b)
{
    return er78_meter(a) != METER_UNKNOWN && er78_meter(a) == er78_meter(b) &&
           er78_inverse(a) == er78_inverse(b);
}

int setting_from_text(const char* text, unsigned char* value)
{
    while (*text == ' ')
        text++;
    unsigned long v = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9'; text++, digits++) {
        v = v * 10 + (unsigned long)(*text - '0');
        if (v > 255)
            return 0;
    }
    while (*text == ' ')
        text++;
    if (!digits || *text)
        return 0;
    *value = (unsigned char)v;
    return 1;
}

const char* setting_input_failure(int reg)
{
    return valid_reg(reg) ? registers[reg].bad_input : nullptr;
}

int settings_read_register(int step)
{
    return step >= 1 && step <= READ_STEPS ? read_order[step - 1] : -1;
}

const char* settings_read_failure(int step)
{
    int reg = settings_read_register(step);
    return reg < 0 ? nullptr : registers[reg].read_failure;
}

int (*settings_stop)(void);

static int stopped(int step)
{
    return step > 1 && settings_stop && settings_stop();
}

// One read of a register: 1 and its value, else 0.
static int read_register(unsigned short port, unsigned char address, int reg, unsigned char* value)
{
    unsigned int word = registers[reg].word;
    if (device_exchange(port, address, word, CMD_READ_ER) != 1)
        return 0;
    *value = (unsigned char)word;
    return 1;
}

// Runs a sequence's `pass` (0 done, else its step; minus: stopped), then
// the quiet check after its last answer. An answer that more bytes
// followed (exchange_tails moved) puts the pass in doubt: it runs again
// once when `redo` allows it at that step, and when it is in doubt again
// the address is named a collision there. A pass in doubt that may not run
// again fails as FAULT_EXTRA. `last` is the step of the last answer.
template <class Pass>
static int checked(unsigned short port, unsigned char command, int last, int (*redo)(int),
                   Pass pass)
{
    for (int round = 0;; round++) {
        unsigned long tails = exchange_tails;
        int failed = pass();
        if (failed == 0 && exchange_quiet_check(port))
            failed = last;
        if (failed < 0 || failed == SETTINGS_NOISY || exchange_tails == tails ||
            exchange_last_fault.kind == FAULT_COLLISION)
            return failed;
        if (round > 0 || !redo(failed)) {
            exchange_set_fault(round > 0 ? FAULT_COLLISION : FAULT_EXTRA, STAGE_PARAMETER, command);
            return failed;
        }
        exchange_set_fault(FAULT_EXTRA, STAGE_PARAMETER, command);
        exchange_count_repeat();
    }
}

// A read runs again from its start: nothing it does stays on the controller.
static int any_step(int)
{
    return 1;
}

int settings_read(unsigned short port, unsigned char address, device_settings& s)
{
    return checked(port, CMD_READ_ER, READ_STEPS, any_step, [&] {
        for (int step = 1; step <= READ_STEPS; step++) {
            if (stopped(step))
                return -step;
            int reg = read_order[step - 1];
            if (!read_register(port, address, reg, &(s.*registers[reg].value)))
                return step;
        }
        return 0;
    });
}

const char* settings_write_name(int step)
{
    return step == 1 ? "IR24" : setting_name(step - 2);
}

const char* settings_write_failure(int step)
{
    if (step == 1)
        return N_("Error write IR24");
    return step >= 2 && step <= WRITE_STEPS ? registers[step - 2].write_failure : nullptr;
}

static unsigned long written_count[256];

unsigned long settings_written_count(unsigned char address)
{
    return written_count[address];
}

// A write runs again only while IR24 alone went out: no setting is written
// twice to an address in doubt.
static int ir24_step(int step)
{
    return step == 1;
}

int settings_write(unsigned short port, unsigned char address, const device_settings& s)
{
    written_count[address]++;
    return checked(port, CMD_WRITE_ER, WRITE_STEPS, ir24_step, [&] {
        unsigned int word = WORD_IR24_8;
        // IR24's answer is checked for a second one before any setting goes out.
        if (device_exchange(port, address, word, CMD_WRITE_IR) != 1 || exchange_quiet_check(port))
            return 1;
        for (int reg = 0; reg < SETTING_COUNT; reg++) {
            if (stopped(reg + 2))
                return -(reg + 2);
            const register_info& r = registers[reg];
            word = r.word | (unsigned int)(s.*r.value) << 24;
            if (device_exchange(port, address, word, CMD_WRITE_ER) != 1)
                return reg + 2;
        }
        return 0;
    });
}

static int confirm_pass(unsigned short port, unsigned char address, device_settings& s,
                        unsigned mask, settings_noise* noise);

int settings_confirm(unsigned short port, unsigned char address, device_settings& s, unsigned mask,
                     settings_noise* noise)
{
    const device_settings first = s;
    int last = 0;
    for (int step = 1; step <= READ_STEPS; step++)
        if (mask & 1u << read_order[step - 1])
            last = step;
    if (!last)
        return 0;
    return checked(port, CMD_READ_ER, last, any_step, [&] {
        s = first;
        return confirm_pass(port, address, s, mask, noise);
    });
}

static int confirm_pass(unsigned short port, unsigned char address, device_settings& s,
                        unsigned mask, settings_noise* noise)
{
    for (int step = 1; step <= READ_STEPS; step++) {
        int reg = read_order[step - 1];
        if (!(mask & 1u << reg))
            continue;
        unsigned char seen[2 + 100], v;  // every value read, the first one from `s`
        int count = 1;
        seen[0] = s.*registers[reg].value;
        for (int asked = 0;; asked++) {
            if (settings_stop && settings_stop())
                return -step;
            if (asked > 0)
                exchange_count_repeat();  // asked again, as --retries allows
            if (!read_register(port, address, reg, &v))
                return step;
            int agrees = 0;
            for (int i = 0; i < count; i++)
                agrees = agrees || seen[i] == v;
            if (agrees) {
                s.*registers[reg].value = v;
                break;
            }
            if (asked >= exchange_get_options().retries || count >= (int)sizeof seen) {
                noise->reg = reg;
                noise->first = seen[0];
                noise->then = v;
                return SETTINGS_NOISY;
            }
            seen[count++] = v;
        }
    }
    return 0;
}

int settings_noise_text(const settings_noise& n, char* out, unsigned size)
{
    int len = snprintf(out, size, "%s read %u, then %u: the line is noisy; nothing written",
                       setting_name(n.reg), n.first, n.then);
    return len < 0 ? 0 : len;
}
