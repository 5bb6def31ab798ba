#include "text_log.h"

#include "../../port/plainw.h"

std::vector<std::string> text_log_messages;
std::vector<int> text_log_numbers;

void put_text_log(char* text, int n)
{
    text_log_messages.push_back(text);
    text_log_numbers.push_back(n);
}
