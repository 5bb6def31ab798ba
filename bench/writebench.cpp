// What the journal adds to writing: a Write (IR24 and the six settings) to
// one controller, and a template written with read-back to every
// controller of a bus as kp6ctl restore --to writes it, each by turns
// without and with its change records appended to the journal `--journal`
// names (its file made afresh). Run by bench/run.sh.
//   kp6-writebench LINE LAST-ADDRESS --journal FILE [--runs N]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../device/bus.h"
#include "../device/journal.h"
#include "../device/settings.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "../timers/timersw.h"

void put_text_log(char*, int) {}

namespace {

// The simulator's fresh settings, written back as they are.
const device_settings written = {0x00, 15, 10, 5, 3, 50};

journal_writer writer;

double now_ms(void)
{
    return (double)plat_perf_counter() * 1000.0 / (double)plat_perf_frequency();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void give_up(const char* what)
{
    fprintf(stderr, "kp6-writebench: %s\n", what);
    exit(1);
}

// The time spent appending records, and how many sequences.
double recording_ms;
int recorded;

void record(unsigned char address, const device_settings* before, const device_settings* back)
{
    int error = 0;
    std::string unrecorded;
    double t = now_ms();
    if (journal_sequence(writer, address, before, written, back, 0, "", &error, &unrecorded))
        give_up(unrecorded.c_str());
    recording_ms += now_ms() - t;
    recorded++;
}

// One Write to 01; `journaled`: with its seven records.
double write_one(unsigned short port, bool journaled)
{
    double t = now_ms();
    if (settings_write(port, 0x01, written))
        give_up("a Write failed");
    if (journaled)
        record(0x01, &written, nullptr);
    return now_ms() - t;
}

// The template to 01 .. `last`, each written and read back.
double write_bus(unsigned short port, unsigned last, bool journaled)
{
    double t = now_ms();
    for (unsigned a = 1; a <= last; a++) {
        device_settings back = {};
        int failed = 0;
        if (restore_controller(port, (unsigned char)a, written, &back, &failed) != RESTORE_DONE)
            give_up("a controller was not restored");
        if (journaled)
            record((unsigned char)a, nullptr, &back);
    }
    return now_ms() - t;
}

// With the mean time of one sequence's seven records (the lock, the last
// line read, the append and its commit to disk, seven times).
void report(const char* what, const std::vector<double>& without, const std::vector<double>& with)
{
    double a = median(without), b = median(with);
    printf("%-28s %3zu runs: without the journal median %9.2f ms, with it %9.2f ms; the journal "
           "adds %7.2f ms (%.2f %%); 7 records take %.2f ms\n",
           what, without.size(), a, b, b - a, 100.0 * (b - a) / a,
           recorded ? recording_ms / recorded : 0.0);
    recording_ms = 0;
    recorded = 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 10;
    const char* journal = nullptr;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--runs"))
            runs = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--journal"))
            journal = argv[i + 1];
    }
    if (argc < 3 || !journal || runs < 1) {
        fputs("usage: kp6-writebench LINE LAST-ADDRESS --journal FILE [--runs N]\n", stderr);
        return 2;
    }
    unsigned last = (unsigned)strtoul(argv[2], nullptr, 16);
    remove(journal);
    writer = {journal, "kp6-writebench", argv[1], ""};
    int error = 0;
    if (journal_ready(writer, &error))
        give_up("the journal cannot be written");
    install_event(1);
    start_net(1);
    unsigned short port = 0;
    char name[256];
    snprintf(name, sizeof name, "%s", argv[1]);
    if (open_port(&port, name, 0) != 0)
        give_up("cannot open the line");
    std::vector<double> without, with;
    for (int i = 0; i < runs * 5; i++) {  // a Write is short: more of them
        without.push_back(write_one(port, false));
        with.push_back(write_one(port, true));
    }
    report("Write", without, with);
    without.clear();
    with.clear();
    for (int i = 0; i < runs; i++) {
        without.push_back(write_bus(port, last, false));
        with.push_back(write_bus(port, last, true));
    }
    char title[64];
    snprintf(title, sizeof title, "template to 01-%02X (%u)", last, last);
    report(title, without, with);
    free_port(port, 0);
    close_net();
    remove_event(1);
    return 0;
}
