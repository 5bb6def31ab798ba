// Times the journal: the walk of --verify through a valid journal of a
// million records (made here, chained as the tool chains them), and one
// append (locked, committed to disk) as a write step makes it. The time
// is the best of a few runs. Run by bench/run.sh.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "../device/journal.h"
#include "../platform/platform.h"

void put_text_log(char*, int) {}

namespace {

double seconds_since(uint64_t start)
{
    return (double)(plat_perf_counter() - start) / (double)plat_perf_frequency();
}

// A journal of `n` records, alternately a read and a change, in the
// tool's format, written without a commit per line.
bool make_journal(const std::string& path, unsigned long n)
{
    FILE* f = plat_fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::string prev(64, '0');
    char hex[PLAT_SHA256_HEX];
    for (unsigned long seq = 1; seq <= n; seq++) {
        nlohmann::ordered_json j;
        j["seq"] = seq;
        j["time"] = "2026-12-09T10:11:12.345Z";
        j["offset"] = "+03:00";
        j["event"] = seq % 2 ? "found" : "change";
        j["user"] = "technician";
        j["host"] = "service-pc";
        j["program"] = "kp6ctl 1.0.0";
        j["line"] = "/dev/ttyUSB0";
        j["address"] = "1F";
        if (seq % 2) {
            j["settings"] = {{"ER78", 2},  {"ER79", 15}, {"ER72", 30},
                             {"ER74", 40}, {"ER75", 50}, {"ER77", 7}};
        } else {
            j["setting"] = "ER72";
            j["before"] = 30;
            j["asked"] = seq % 256;
            j["after"] = seq % 256;
            j["result"] = "confirmed";
        }
        j["prev"] = prev;
        std::string line = j.dump();
        plat_sha256_hex(line.data(), (unsigned long)line.size(), hex);
        prev = hex;
        line += '\n';
        fwrite(line.data(), 1, line.size(), f);
    }
    return fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned long records = 1000000;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--records"))
            records = strtoul(argv[i + 1], nullptr, 10);
        else if (!strcmp(argv[i], "--runs"))
            runs = atoi(argv[i + 1]);
    }
    const char* dir = getenv("TMPDIR");
    std::string path = std::string(dir && dir[0] ? dir : "/tmp") + "/kp6-journalbench.jsonl";
    if (!make_journal(path, records)) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    double best = 1e9, cpu_best = 1e9;
    journal_verdict v;
    for (int r = 0; r < runs; r++) {
        uint64_t start = plat_perf_counter();
        clock_t cpu = clock();
        int e = 0;
        journal_walk(path, nullptr, nullptr, nullptr, &v, &e);
        double s = seconds_since(start), c = (double)(clock() - cpu) / CLOCKS_PER_SEC;
        best = s < best ? s : best;
        cpu_best = c < cpu_best ? c : cpu_best;
    }
    FILE* f = plat_fopen(path.c_str(), "rb");
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fclose(f);
    printf("verify: %lu records (%.0f MB), %s in %.2f s (CPU %.2f s)\n", v.records, size / 1e6,
           journal_intact(v) ? "intact" : "BROKEN", best, cpu_best);
    // Appends at the end of that journal, each locked and committed: one
    // record (a read), and a write sequence's seven under one commit.
    journal_writer w{path, "kp6ctl 1.0.0", "/dev/ttyUSB0", ""};
    device_settings before{2, 15, 30, 40, 50, 7}, asked{2, 9, 94, 40, 50, 7};
    for (int kind = 0; kind < 2; kind++) {
        std::vector<double> times;
        for (int i = 0; i < 50; i++) {
            uint64_t start = plat_perf_counter();
            if (kind == 0)
                journal_found(w, 0x1F, before, nullptr, nullptr);
            else
                journal_sequence(w, 0x1F, &before, asked, &asked, 0, "", nullptr, nullptr);
            times.push_back(seconds_since(start) * 1e3);
        }
        std::sort(times.begin(), times.end());
        printf("append, %s: %.2f ms median, %.2f ms best, %.2f ms slowest of %zu\n",
               kind == 0 ? "a read's record" : "a write's seven records", times[times.size() / 2],
               times[0], times.back(), times.size());
    }
    plat_remove(path.c_str());
    return 0;
}
