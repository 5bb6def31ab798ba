#include "text.h"

#include <stdio.h>

#include "../i18n/words.h"

std::string printed_v(const char* format, va_list args)
{
    char small[512];
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(small, sizeof small, format, args);
    std::string out;
    if (n < 0)
        out.clear();
    else if ((size_t)n < sizeof small)
        out.assign(small, (size_t)n);
    else {
        out.resize((size_t)n + 1);
        vsnprintf(&out[0], out.size(), format, again);
        out.resize((size_t)n);
    }
    va_end(again);
    return out;
}

std::string printed(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string out = printed_v(format, args);
    va_end(args);
    return out;
}

std::string said(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string out = printed_v(words(format), args);
    va_end(args);
    return out;
}

int decimal_digits(const char* p, int n)
{
    int v = 0;
    for (int i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}
