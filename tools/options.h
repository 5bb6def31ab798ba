// A command-line tool's options as a table, and the walk over its arguments
// that kp6ctl and kp6-sim share. What each tool says about a mistake, and
// its exit code, are its own: rows and the parser's fields carry them.
#ifndef KP6_OPTIONS_H
#define KP6_OPTIONS_H

#include <stddef.h>

#include <string>

// What an option takes: nothing, a value (attached or the next word), or a
// value only when `is_value` says the next word is one.
enum { OPTION_FLAG, OPTION_VALUE, OPTION_MAYBE };

// A store's result for a value missing or bad: the row's message is told.
enum { OPTION_BAD = -1 };

struct option_row {
    const char* name;      // "--port", or a word of its own: "-o"
    char letter;           // 'p': -p VALUE and -pVALUE (a flag: -p alone); 0: none
    int takes;             // OPTION_FLAG, ...
    bool* flag = nullptr;  // set when the option is given
    // Checks and keeps the value (null: none given): 0, OPTION_BAD, or an
    // exit code, told already.
    int (*store)(const char* name, const char* value) = nullptr;
    const char* bad = nullptr;  // after OPTION_BAD, %s the name; null: the parser's
    unsigned only = 0;          // 0: always taken; else only while `allowed` shares a bit
    bool (*is_value)(const char* next) = nullptr;  // OPTION_MAYBE
};

struct option_parser {
    const option_row* rows;
    size_t count;
    bool equals;          // "--name=value" in one word
    const char* unknown;  // an argument no row takes, %s it
    const char* bad;      // a value missing or bad, %s the option
    // Tells the message (fmt with `what`) and gives the exit code.
    int (*complain)(const char* fmt, const std::string& what);
    // An argument that is no option: 0 or an exit code; null: unknown.
    int (*word)(const char* word);
    unsigned allowed;  // which rows with `only` are taken now
};

// Walks argv[1] onwards through the rows: 0, or the exit code of the first
// mistake, told.
int parse_options(option_parser& p, int argc, char** argv);

#endif
