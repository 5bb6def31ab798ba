// Small pieces of text every part formats or reads the same way.
#ifndef KP6_TEXT_H
#define KP6_TEXT_H

#include <stdarg.h>

#include <string>

// What printf would print, as a string of any length.
std::string printed(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string printed_v(const char* format, va_list args);
// The same in the window's language: `format` a W_ key.
std::string said(const char* format, ...);

// The number in the `n` decimal digits at `p`, or -1 when one is none.
int decimal_digits(const char* p, int n);

#endif
