// Times a network line through a device server (ser2net) beside the same
// controller's pseudo-terminal: opening (connection, negotiation, settings
// acknowledged), a full Read through the server and on the pseudo-terminal
// itself, and closing. Run by bench/run.sh, beside pyserial's rfc2217://
// client (bench/pyserial_ref.py) as the reference, and built for Windows
// under Wine beside the Linux build (the pseudo-terminal reached as COM7).
// Without --direct it times the Reads through the server alone.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "../device/exchange.h"
#include "../device/settings.h"
#include "../platform/platform.h"
#include "../port/plainw.h"
#include "../timers/timersw.h"

void put_text_log(char*, int) {}

namespace {

double now_ms(void)
{
    return (double)plat_perf_counter() * 1000.0 / (double)plat_perf_frequency();
}

struct Stats {
    std::vector<double> v;
    double median()
    {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[v.size() / 2];
    }
    double lo() { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }
    double hi() { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }
};

unsigned short open_line(const char* line, int tries = 50)
{
    char name[PORT_NAME_SIZE];
    snprintf(name, sizeof name, "%s", line);
    unsigned short port = 0;
    for (int i = 0; i < tries; i++) {
        if (open_port(&port, name, 0) == 0)
            return port;
        plat_sleep_ms(20);  // the server may still be closing the last one
    }
    fprintf(stderr, "kp6-netbench: cannot open %s\n", line);
    exit(1);
}

// `runs` full Reads on one opened line.
void reads(const char* line, int runs, Stats& out)
{
    unsigned short port = open_line(line);
    device_settings s;
    if (settings_read(port, 0x01, s) != 0) {  // the first one warms up
        fprintf(stderr, "kp6-netbench: a Read on %s failed\n", line);
        exit(1);
    }
    for (int i = 0; i < runs; i++) {
        double t = now_ms();
        if (settings_read(port, 0x01, s) != 0) {
            fprintf(stderr, "kp6-netbench: a Read on %s failed\n", line);
            exit(1);
        }
        out.v.push_back(now_ms() - t);
    }
    free_port(port, 0);
}

// Says so when the system refuses to acknowledge every segment at once
// (plat_tcp_ack_each), asked on a connection of its own to the server.
void say_ack_each(const char* label, const char* line)
{
    net_url u;
    plat_socket s;
    if (net_url_parse(line, &u, nullptr, 0) != 1 || plat_net_start() != 0)
        return;
    if (plat_tcp_connect(u.host, u.port, 3000, &s) == 0) {
        int rc = plat_tcp_ack_each(s);
        char text[160];
        if (rc) {
            plat_error_text(rc, text, sizeof text);
            printf("%-8s acknowledging every segment at once (SIO_TCP_SET_ACK_FREQUENCY) is "
                   "refused: %s\n",
                   label, text);
        }
        plat_tcp_close(s);
    }
    plat_net_stop();
    plat_sleep_ms(100);  // lets the server release the device
}

}  // namespace

int main(int argc, char** argv)
{
    const char *direct = nullptr, *url = nullptr, *label = "kp6";
    int runs = 20;
    exchange_options o;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--direct") && i + 1 < argc)
            direct = argv[++i];
        else if (!strcmp(argv[i], "--url") && i + 1 < argc)
            url = argv[++i];
        else if (!strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--label") && i + 1 < argc)
            label = argv[++i];
        else if (!strcmp(argv[i], "--late-ack"))
            o.part_acknowledged = 0;  // part of an answer waits for the system's ACK
    }
    if (!url || runs < 1) {
        fputs("usage: kp6-netbench [--direct PTY] --url rfc2217://HOST:PORT [--runs N] "
              "[--label NAME] [--late-ack]\n",
              stderr);
        return 2;
    }
    exchange_set_options(o);
    install_event(1);
    start_net(1);
    say_ack_each(label, url);
    Stats open_ms, close_ms, rtt_ms;
    for (int i = 0; i < runs; i++) {
        char name[PORT_NAME_SIZE];
        snprintf(name, sizeof name, "%s", url);
        unsigned short port = 0;
        double t = now_ms();
        int rc = open_port(&port, name, 0);
        double opened = now_ms() - t;
        if (rc != 0) {  // the server still closing the last one: not counted
            plat_sleep_ms(20);
            i--;
            continue;
        }
        device_settings s;
        if (settings_read(port, 0x01, s) != 0) {
            fprintf(stderr, "kp6-netbench: a Read after opening failed\n");
            return 1;
        }
        open_ms.v.push_back(opened);
        rtt_ms.v.push_back(port_round_trip_us(port) / 1000.0);
        t = now_ms();
        free_port(port, 0);
        close_ms.v.push_back(now_ms() - t);
        plat_sleep_ms(50);  // lets the server release the device
    }
    // Direct and through the server by turns, so that drift hits both.
    Stats on_pty, through;
    for (int round = 0; round < 3; round++) {
        if (direct) {
            reads(direct, runs, on_pty);
            plat_sleep_ms(50);
        }
        reads(url, runs, through);
        plat_sleep_ms(50);
    }
    printf("%-8s open   %3d runs: median %7.2f ms (%.2f to %.2f); settings acknowledged "
           "in %.3f ms\n",
           label, runs, open_ms.median(), open_ms.lo(), open_ms.hi(), rtt_ms.median());
    if (direct)
        printf("%-8s Read   %3d runs: median %7.2f ms through the server, %.2f ms on the "
               "pseudo-terminal: the server adds %.2f ms\n",
               label, (int)through.v.size(), through.median(), on_pty.median(),
               through.median() - on_pty.median());
    else
        printf("%-8s Read   %3d runs: median %7.2f ms through the server (%.2f to %.2f)%s\n", label,
               (int)through.v.size(), through.median(), through.lo(), through.hi(),
               o.part_acknowledged ? "" : "; part of an answer not acknowledged at once");
    printf("%-8s close  %3d runs: median %7.3f ms\n", label, runs, close_ms.median());
    close_net();
    remove_event(1);
    return 0;
}
