// Times full Reads and Writes (the exchanges the window's buttons make)
// through the port layer against kp6-sim, beside the time the line itself
// needs, and the CPU time they take. --spin makes the waits poll without
// sleeping, the way they once did. Run by bench/run.sh.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "../device/exchange.h"
#include "../device/settings.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "../timers/timersw.h"

void put_text_log(char*, int) {}

namespace {

// The settings a Write sends: the simulator's fresh ones.
const device_settings written = {0x00, 15, 10, 5, 3, 50};

// One whole operation; false if any exchange failed.
bool read_all(unsigned short port)
{
    device_settings s;
    return settings_read(port, 0x01, s) == 0;
}

bool write_all(unsigned short port)
{
    return settings_write(port, 0x01, written) == 0;
}

// Every exchange moves 14 bytes: 5 + 1 out and back, 5 + 3 out and back.
const int BYTES_PER_EXCHANGE = 14;

double now_ms(void)
{
    return (double)plat_perf_counter() / 1e6;
}

double cpu_ms(void)
{
    return (double)clock() * 1000.0 / CLOCKS_PER_SEC;
}

// `steps` exchanges make one operation.
void measure(const char* name, unsigned short port, bool (*operation)(unsigned short), size_t steps,
             int runs, unsigned long baud, double turnaround_ms)
{
    std::vector<double> wall;
    double cpu0 = cpu_ms(), t0 = now_ms();
    for (int i = 0; i < runs; i++) {
        double t = now_ms();
        if (!operation(port)) {
            printf("%s: an exchange failed\n", name);
            exit(1);
        }
        wall.push_back(now_ms() - t);
    }
    double total = now_ms() - t0, cpu = cpu_ms() - cpu0;
    std::sort(wall.begin(), wall.end());
    double median = wall[wall.size() / 2];
    int bytes = (int)steps * BYTES_PER_EXCHANGE;
    if (baud) {
        double line = bytes * 10.0 * 1000.0 / (double)baud;
        double turns = 2.0 * steps * turnaround_ms;
        printf("%-5s %zu exchanges, %3d bytes: median %7.2f ms; line %6.2f ms + turnarounds "
               "%5.1f ms; the tool adds %5.2f ms (%.2f %%); CPU %6.2f ms (%4.1f %% of wall)\n",
               name, steps, bytes, median, line, turns, median - line - turns,
               100.0 * (median - line - turns) / (line + turns), cpu / runs, 100.0 * cpu / total);
    } else {
        double exchanges = (double)runs * steps;
        printf("%-5s %zu exchanges: median %6.3f ms; %8.0f exchanges/s; CPU %6.3f ms an "
               "exchange\n",
               name, steps, median, exchanges / (total / 1000.0), cpu / exchanges);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const char* line = nullptr;
    unsigned long baud = 0;
    double turnaround = 0;
    int runs = 20;
    exchange_options o;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--baud") && i + 1 < argc)
            baud = strtoul(argv[++i], nullptr, 10);
        else if (!strcmp(argv[i], "--turnaround") && i + 1 < argc)
            turnaround = atof(argv[++i]);
        else if (!strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--spin"))
            o.wait_spins = 1;
        else
            line = argv[i];
    }
    if (!line || runs < 1) {
        fputs("usage: kp6-bench LINE [--baud N --turnaround MS] [--runs N] [--spin]\n", stderr);
        return 2;
    }
    exchange_set_options(o);
    install_event(1);
    start_net(1);
    unsigned short port = 0;
    char name[256];
    snprintf(name, sizeof name, "%s", line);
    int rc = open_port(&port, name, 0);
    if (rc != 0) {
        fprintf(stderr, "kp6-bench: cannot open %s (%d)\n", line, rc);
        return 1;
    }
    measure("Read", port, read_all, READ_STEPS, runs, baud, turnaround);
    measure("Write", port, write_all, WRITE_STEPS, runs, baud, turnaround);
    free_port(port, 0);
    close_net();
    remove_event(1);
    return 0;
}
