// POSIX: the console and the environment: termination signals, the
// language and variables of the environment, text on the terminal, the
// user and the machine.
#include "platform.h"
#include "posix_util.h"

#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t termination_requests, termination_signal;

static void on_termination(int sig)
{
    if (!termination_signal)
        termination_signal = sig;
    termination_requests = termination_requests + 1;
}

void plat_catch_termination(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_termination;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A file grown past the limit is a write that fails, told as such.
    signal(SIGXFSZ, SIG_IGN);
}

int plat_termination_requested(void)
{
    return termination_requests;
}

int plat_termination_signal(void)
{
    return termination_signal;
}

void plat_ui_language(char* out, unsigned size)
{
    static const char* const names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    const char* value = "";
    for (const char* name : names) {
        const char* v = getenv(name);
        if (v && v[0]) {
            value = v;
            break;
        }
    }
    // "ru_RU.UTF-8" is ru; "C", "C.UTF-8" and "POSIX" name no language.
    size_t n = strcspn(value, "_.@");
    if ((n == 1 && value[0] == 'C') || (n == 5 && strncmp(value, "POSIX", 5) == 0))
        n = 0;
    snprintf(out, size, "%.*s", (int)n, value);
}

int plat_stderr_is_terminal(void)
{
    return isatty(STDERR_FILENO) == 1;
}

void plat_utf8_args(int*, char***) {}

int plat_getenv(const char* name, char* out, unsigned size)
{
    const char* v = getenv(name);
    if (!v || strlen(v) >= size)
        return v ? ENAMETOOLONG : ENOENT;
    strcpy(out, v);
    return 0;
}

int plat_write_text(FILE* f, const char* text)
{
    if (fputs(text, f) >= 0 && fflush(f) == 0)
        return 0;
    return errno == EPIPE ? PLAT_OUTPUT_CLOSED : errno_or(EIO);
}

// ---- who and where -------------------------------------------------------------

int plat_user_name(char* out, unsigned size)
{
    out[0] = 0;
    // The account the program runs as, before what the environment claims.
    struct passwd pw, *found = nullptr;
    char buf[4096];
    const char* name = nullptr;
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name[0])
        name = found->pw_name;
    if (!name)
        name = getenv("LOGNAME");
    if (!name || !name[0])
        return ENOENT;
    if (strlen(name) >= size)
        return ENAMETOOLONG;
    strcpy(out, name);
    return 0;
}

int plat_host_name(char* out, unsigned size)
{
    char name[256];
    out[0] = 0;
    if (gethostname(name, sizeof name) != 0)
        return errno_or(EIO);
    name[sizeof name - 1] = 0;
    if (strlen(name) >= size)
        return ENAMETOOLONG;
    strcpy(out, name);
    return 0;
}
