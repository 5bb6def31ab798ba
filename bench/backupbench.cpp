// Times kp6ctl's backup loader on files of the bound's size (1 MiB) in
// every shape that once cost time: one object of many keys, long lists,
// a long string or number, many controllers, many lines. Each is loaded or
// refused; the time is the best of a few runs. Run by bench/run.sh.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "../device/backupfile.h"
#include "../platform/platform.h"

void put_text_log(char*, int) {}

namespace {

const size_t SIZE = BACKUP_SIZE_MAX;

const char CONTROLLER[] =
    "{\"address\": \"%02X\", \"registers\": {\"ER78\": 2, \"ER79\": 9, \"ER72\": 8, "
    "\"ER74\": 7, \"ER75\": 6, \"ER77\": 5}}";

std::string controller(int address)
{
    char text[160];
    snprintf(text, sizeof text, CONTROLLER, address);
    return text;
}

// `head`, then `item` (its %x the index) as often as fits before `tail`.
std::string repeated(const std::string& head, const char* item, const std::string& tail)
{
    std::string t = head;
    char one[256];
    for (unsigned i = 0;; i++) {
        snprintf(one, sizeof one, item, i);
        if (t.size() + strlen(one) + tail.size() > SIZE)
            break;
        t += one;
    }
    if (t.size() > head.size() && t.back() == ',')
        t.pop_back();
    return t + tail;
}

struct Shape {
    const char* name;
    std::string text;
};

std::vector<Shape> shapes()
{
    std::string valid = "{\"version\": 1, \"controllers\": [";
    for (int a = 1; a <= 255; a++)
        valid += (a > 1 ? ",\n" : "") + controller(a);
    valid += "]}";
    std::string registers = "{\"version\": 1, \"controllers\": [{\"address\": \"01\", "
                            "\"registers\": {\"ER78\": 2, \"ER79\": 9, \"ER72\": 8, \"ER74\": 7, "
                            "\"ER75\": 6, \"ER77\": 5, ";
    return {
        {"one object of short keys", repeated("{", "\"%x\":0,", ", \"version\": 1}")},
        {"a controller's registers beside many keys", repeated(registers, "\"%x\":0,", "}}]}")},
        {"many keys, a line each", repeated("{", "\n\"%x\": 0,", "}")},
        {"a list of numbers", repeated("{\"version\": 1, \"controllers\": [", "0,", "]}")},
        {"a list of empty controllers",
         repeated("{\"version\": 1, \"controllers\": [", "{},", "]}")},
        {"one controller many times",
         repeated("{\"version\": 1, \"controllers\": [", (controller(1) + ",").c_str(), "]}")},
        {"255 controllers and blanks", valid + std::string(SIZE - valid.size(), ' ')},
        {"one long string", "{\"version\": \"" + std::string(SIZE - 16, 'x') + "\"}"},
        {"one long number", "{\"version\": " + std::string(SIZE - 14, '9') + "}"},
        {"lines ending in CR alone", "{" + std::string(SIZE - 14, '\r') + "\"version\": 2}"},
        {"nested lists", std::string(SIZE, '[')},
    };
}

double now_ms(void)
{
    return (double)plat_perf_counter() * 1000.0 / (double)plat_perf_frequency();
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = argc > 2 && std::string(argv[1]) == "--runs" ? atoi(argv[2]) : 5;
    printf("%-44s %9s %9s  %s\n", "shape (1 MiB)", "bytes", "best ms", "result");
    double worst = 0;
    for (const Shape& s : shapes()) {
        double best = 1e9;
        std::string message;
        size_t loaded = 0;
        for (int i = 0; i < runs; i++) {
            std::vector<backup_entry> entries;
            message.clear();
            double t0 = now_ms();
            parse_backup("f", s.text, entries, message);
            double ms = now_ms() - t0;
            best = ms < best ? ms : best;
            loaded = entries.size();
        }
        worst = best > worst ? best : worst;
        std::string result = message.empty() ? "loaded " + std::to_string(loaded) + " controllers"
                                             : "refused: " + message;
        printf("%-44s %9zu %9.1f  %.70s\n", s.name, s.text.size(), best, result.c_str());
    }
    printf("slowest: %.1f ms (a backup of any shape is loaded or refused well under a second)\n",
           worst);
    return 0;
}
