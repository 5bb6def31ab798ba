#include "words.h"

const char* (*words_hook)(const char* key);

const char* words(const char* key)
{
    return words_hook ? words_hook(key) : key;
}
