// Reading a bus of simulated controllers through the bus window's code (its
// Read the bus: the table, the progress, the events handled between
// exchanges) beside the same scan and Reads as kp6ctl makes them (bus_read
// with a callback that only counts), by turns on the same line; with
// --traffic, the bus window's read again with the traffic view open.
//   kp6-busbench LINE LAST-ADDRESS [--runs N] [--traffic]
#include <FL/Fl.H>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "../app/buswin.h"
#include "../app/dialogs.h"
#include "../app/traffic.h"
#include "../device/bus.h"
#include "../port/plainw.h"
#include "../timers/timersw.h"

static double now_ms(void)
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

static unsigned counted;
static int count_row(void*, const bus_row&, unsigned, unsigned)
{
    counted++;
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: kp6-busbench LINE LAST-ADDRESS [--runs N]\n");
        return 2;
    }
    unsigned last = (unsigned)strtoul(argv[2], nullptr, 16);
    int runs = argc > 4 && !strcmp(argv[3], "--runs") ? atoi(argv[4]) : 5;
    bool traffic = !strcmp(argv[argc - 1], "--traffic");
    install_event(1);
    start_net(1);
    MainForm = make_tool_window("KP-6");
    MainForm->show();
    if (open_port(&port, argv[1], 0) != 0) {
        fprintf(stderr, "kp6-busbench: cannot open %s\n", argv[1]);
        return 1;
    }
    // The window opened as Ctrl+B opens it, its first read over the range.
    BusButton_OnClick(nullptr);
    char range[16];
    snprintf(range, sizeof range, "01-%02X", last);
    bus_window.range->value(range);
    // The read runs from the event loop once the window is up.
    const char* said = nullptr;
    while (!(said = bus_window.status->label()) || strncmp(said, "Found", 5) != 0)
        Fl::wait(0.05);
    std::vector<double> window, ctl, viewed;
    size_t found = 0;
    void (*view_hook)(unsigned int, int, const unsigned char*, int) = nullptr;
    if (traffic) {
        TrafficButton_OnClick(nullptr);
        view_hook = pl_traffic_hook;
        pl_traffic_hook = nullptr;
    }
    for (int i = 0; i < runs; i++) {
        double t;
        if (traffic) {
            pl_traffic_hook = view_hook;
            t = now_ms();
            bus_window.read->do_callback();
            viewed.push_back(now_ms() - t);
            pl_traffic_hook = nullptr;
        }
        t = now_ms();
        bus_window.read->do_callback();
        window.push_back(now_ms() - t);
        found = bus_state.rows.size();
        std::vector<bus_row> rows;
        t = now_ms();
        bus_read(port, 1, (unsigned char)last, rows, count_row, nullptr);
        ctl.push_back(now_ms() - t);
        if (rows.size() != found)
            fprintf(stderr, "kp6-busbench: %zu rows, the window %zu\n", rows.size(), found);
    }
    double w = median(window), c = median(ctl);
    printf("bus 01-%02X, %zu controllers, %d runs: kp6ctl's scan and Reads median %8.1f ms; "
           "the bus window %8.1f ms; the window adds %6.1f ms (%.2f %%)\n",
           last, found, runs, c, w, w - c, 100.0 * (w - c) / c);
    if (traffic) {
        double v = median(viewed);
        printf("bus 01-%02X with the traffic view open (%d frames in it): median %8.1f ms; the "
               "view adds %6.1f ms (%.2f %%) to the bus window\n",
               last, traffic_view.list->size(), v, v - w, 100.0 * (v - w) / w);
    }
    free_port(port, 0);
    close_net();
    remove_event(1);
    return 0;
}
