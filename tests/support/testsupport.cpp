// The Linux part of testsupport.h beside testsupport_files.cpp:
// pseudo-terminals, scratch folders, child processes and the X display.
#include "testsupport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

TestPty::TestPty()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return;
    slave = ptsname(master);
}

TestPty::~TestPty()
{
    if (master >= 0)
        close(master);
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/kp6test.XXXXXX";
    if (mkdtemp(tmpl))
        path = tmpl;
}

void make_symlink(const std::string& target, const std::string& link)
{
    if (symlink(target.c_str(), link.c_str()) != 0)
        perror("symlink");
}

void set_env(const char* name, const char* value)
{
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& cwd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
        // A test that dies takes its children along: a simulator left
        // behind would hold ctest's pipe and keep the whole run waiting.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(126);
        dup2(fds[1], 1);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        for (const auto& e : env)
            putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    out_fd = fds[0];
}

Child::~Child()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (out_fd >= 0)
        close(out_fd);
}

bool Child::read_until(const std::function<bool(const std::string&)>& pred, int ms)
{
    long end = now_ms() + ms;
    while (!pred(output)) {
        long left = end - now_ms();
        if (left <= 0 || out_fd < 0)
            return false;
        struct pollfd p = {out_fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(out_fd, buf, sizeof buf);
        if (n <= 0)
            return pred(output);
        output.append(buf, (size_t)n);
    }
    return true;
}

int Child::wait_exit(int ms)
{
    long end = now_ms() + ms;
    while (pid > 0) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (now_ms() > end)
            return -1;
        usleep(5000);
    }
    return -1;
}

std::string run_command(const std::string& cmd, int* status)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        if (status)
            *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = pclose(p);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

bool eventually(const std::function<bool()>& cond, int ms)
{
    long end = now_ms() + ms;
    for (;;) {
        if (cond())
            return true;
        if (now_ms() > end)
            return false;
        usleep(2000);
    }
}

std::string x_window_titled(int pid, const std::string& title)
{
    std::string ids = run_command("xdotool search --onlyvisible --pid " + std::to_string(pid) +
                                  " 2>/dev/null");
    size_t at = 0;
    while (at < ids.size()) {
        std::string id = ids.substr(at, ids.find('\n', at) - at);
        at += id.size() + 1;
        std::string name = run_command("xdotool getwindowname " + id);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
            name.pop_back();
        if (!id.empty() && name == title)
            return id;
    }
    return "";
}

bool x_dismiss_alert(int pid, const std::string& title)
{
    std::string id;
    if (!eventually([&] { return !(id = x_window_titled(pid, title)).empty(); }, 15000))
        return false;
    // Inside the box also where the system frames it (Wine).
    run_command("xdotool mousemove --window " + id + " 30 40 sleep 0.1 key Escape");
    return eventually([&] { return x_window_titled(pid, title).empty(); }, 15000);
}
