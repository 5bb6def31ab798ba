// Times a program from its start to its window mapped, and reads its
// resident memory once the window is up. An X client beside it is told of
// the map by the server itself (SubstructureNotify on the root window), so
// nothing polls. Run by bench/run.sh, for kp6 and for a bare window.
//
//   kp6-startup [--runs N] PROGRAM [ARGUMENTS...]
//
// Linux and X only, like the measurement it makes.
#include <X11/Xlib.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

extern char** environ;

namespace {

const int MAP_LIMIT_MS = 20000;  // a start slower than this is a failure
const int SETTLE_MS = 300;       // first drawing done before memory is read

double now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// VmRSS of a process in kB; -1 when it cannot be read.
long resident_kb(pid_t pid)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    long kb = -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld kB", &kb) == 1)
            break;
    fclose(f);
    return kb;
}

// Blocks until the next event or the time is up: false on time-out.
bool next_event(Display* d, XEvent* ev, double until_ms)
{
    while (!XPending(d)) {
        double left = until_ms - now_ms();
        if (left <= 0)
            return false;
        int fd = ConnectionNumber(d);
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        struct timeval tv = {(time_t)(left / 1000), (suseconds_t)((long)left % 1000 * 1000)};
        if (select(fd + 1, &fds, nullptr, nullptr, &tv) < 0 && errno != EINTR)
            return false;
    }
    XNextEvent(d, ev);
    return true;
}

// One start: the time to the first top-level window mapped, and the
// resident memory after it has settled. False if it never mapped.
bool one_start(Display* d, char** argv, double* map_ms, long* kb)
{
    Window root = DefaultRootWindow(d);
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, True);  // nothing of an earlier start counts

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    double t0 = now_ms();
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        fprintf(stderr, "kp6-startup: cannot start %s: %s\n", argv[0], strerror(rc));
        return false;
    }
    bool mapped = false;
    XEvent ev;
    while (!mapped && next_event(d, &ev, t0 + MAP_LIMIT_MS))
        mapped = ev.type == MapNotify && !ev.xmap.override_redirect;
    *map_ms = now_ms() - t0;
    if (mapped) {
        usleep(SETTLE_MS * 1000);
        *kb = resident_kb(pid);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    XSelectInput(d, root, NoEventMask);
    return mapped && *kb > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 10, first = 1;
    if (argc > 2 && !strcmp(argv[1], "--runs")) {
        runs = atoi(argv[2]);
        first = 3;
    }
    if (first >= argc || runs < 1) {
        fputs("usage: kp6-startup [--runs N] PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        fputs("kp6-startup: no X display\n", stderr);
        return 1;
    }
    std::vector<double> times;
    std::vector<long> sizes;
    for (int i = 0; i < runs; i++) {
        double ms;
        long kb = -1;
        if (!one_start(d, argv + first, &ms, &kb)) {
            fprintf(stderr, "kp6-startup: %s showed no window\n", argv[first]);
            return 1;
        }
        times.push_back(ms);
        sizes.push_back(kb);
    }
    XCloseDisplay(d);
    std::sort(times.begin(), times.end());
    std::sort(sizes.begin(), sizes.end());
    const char* name = strrchr(argv[first], '/');
    printf("%-12s %d starts: to the window mapped median %6.1f ms (%.1f to %.1f); "
           "resident %5.1f MB\n",
           name ? name + 1 : argv[first], runs, times[times.size() / 2], times.front(),
           times.back(), sizes[sizes.size() / 2] / 1024.0);
    return 0;
}
