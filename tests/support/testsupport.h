// Helpers the tests share: pseudo-terminals, scratch folders, child
// processes and small file utilities.
#ifndef KP6_TESTSUPPORT_H
#define KP6_TESTSUPPORT_H

#include <functional>
#include <string>
#include <vector>

// A pseudo-terminal whose master side the test holds.
struct TestPty {
    int master = -1;
    std::string slave;  // path of the slave side, e.g. /dev/pts/5
    TestPty();
    ~TestPty();
};

// A scratch folder removed with everything in it at the end of its scope.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// A scratch folder that is the working folder while it lives ("port.out"
// lands there); the old one comes back at the end of its scope.
struct ScratchDir : TempDir {
    std::string previous;
    ScratchDir();
    ~ScratchDir();
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
void make_symlink(const std::string& target, const std::string& link);
void make_dirs(const std::string& path);
bool path_exists(const std::string& path);
void set_env(const char* name, const char* value);  // null value unsets

// A child process, started with extra environment entries ("NAME=value")
// in `cwd`; its standard output is readable through `out_fd`.
struct Child {
    int pid = -1;
    int out_fd = -1;
    std::string output;  // what has been read of standard output so far
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
          const std::string& cwd);
    ~Child();  // kills (by PID) and reaps the child if it still runs
    // Reads output until `pred(output)` holds or `ms` pass; true if it held.
    bool read_until(const std::function<bool(const std::string&)>& pred, int ms);
    // Waits up to `ms` for the exit; the exit status, or -1 on time-out.
    int wait_exit(int ms);
};

// Runs a shell command, returns its standard output; `status` gets the exit code.
std::string run_command(const std::string& cmd, int* status = nullptr);

// Polls `cond` every few milliseconds for up to `ms`.
bool eventually(const std::function<bool()>& cond, int ms);

// A program's windows on the test's X display, through xdotool: the
// visible one of process `pid` titled `title`, or "".
std::string x_window_titled(int pid, const std::string& title);
// Waits for the alert box of `pid` titled `title`, closes it with Escape
// and waits for it to go: true once it has.
bool x_dismiss_alert(int pid, const std::string& title);

#endif
