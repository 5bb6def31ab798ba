// Records the port layer's text messages, as the application's hook would
// receive them.
#ifndef KP6_TEXT_LOG_H
#define KP6_TEXT_LOG_H

#include <string>
#include <vector>

extern std::vector<std::string> text_log_messages;
extern std::vector<int> text_log_numbers;

#endif
