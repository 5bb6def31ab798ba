// The walk over a tool's arguments: "--name=value" split where the tool
// takes it, -x turned into its row's name, then the row's value and store.
#include "options.h"

#include <string>

static bool taken(const option_parser& p, const option_row& r)
{
    return r.only == 0 || (r.only & p.allowed) != 0;
}

static const option_row* find_row(const option_parser& p, const std::string& name, char letter)
{
    for (size_t i = 0; i < p.count; i++) {
        const option_row& r = p.rows[i];
        if (taken(p, r) && (letter ? r.letter == letter : name == r.name))
            return &r;
    }
    return nullptr;
}

int parse_options(option_parser& p, int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i], value;
        bool has_value = false;
        size_t eq = a.find('=');
        const option_row* r = nullptr;
        if (p.equals && a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            has_value = true;
        } else if (a.size() >= 2 && a[0] == '-' && a[1] != '-') {
            // -p PORT, -pPORT, -v ...
            r = find_row(p, a, a[1]);
            if (r && a.size() > 2 && r->takes == OPTION_FLAG)
                r = nullptr;
            if (r && a.size() > 2) {
                value = a.substr(2);
                has_value = true;
            }
        }
        if (r)
            a = r->name;
        else
            r = find_row(p, a, 0);
        int rc = 0;
        if (!r) {
            bool option = a.size() > 1 && a[0] == '-';
            rc = p.word && !option ? p.word(argv[i]) : p.complain(p.unknown, a);
            if (rc)
                return rc;
            continue;
        }
        if (r->flag)
            *r->flag = true;
        // The value: attached, or the next word.
        bool next = r->takes == OPTION_VALUE ||
                    (r->takes == OPTION_MAYBE && i + 1 < argc && r->is_value(argv[i + 1]));
        if (!has_value && next && i + 1 < argc) {
            value = argv[++i];
            has_value = true;
        }
        if (r->store)
            rc = r->store(a.c_str(),
                          has_value && r->takes != OPTION_FLAG ? value.c_str() : nullptr);
        if (rc == OPTION_BAD)
            return p.complain(r->bad ? r->bad : p.bad, a);
        if (rc)
            return rc;
    }
    return 0;
}
