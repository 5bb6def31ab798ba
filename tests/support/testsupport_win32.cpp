// The helpers of testsupport.h that Windows tests use: scratch folders,
// files, the environment and polling. Pseudo-terminals and child processes
// stay on the Linux side.
#include "testsupport.h"

#include <direct.h>
#include <stdlib.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "../../platform/platform.h"

TempDir::TempDir()
{
    char base[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH)
        return;
    static unsigned serial;
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[MAX_PATH + 64];
        snprintf(name, sizeof name, "%skp6test.%lu.%u", base, (unsigned long)GetCurrentProcessId(),
                 serial++);
        if (CreateDirectoryA(name, nullptr)) {
            path = name;
            return;
        }
    }
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!path.empty())
        std::filesystem::remove_all(path, ec);
}

ScratchDir::ScratchDir()
{
    char cwd[4096];
    if (_getcwd(cwd, sizeof cwd))
        previous = cwd;
    if (path.empty() || _chdir(path.c_str()) != 0)
        ADD_FAILURE() << "cannot work in " << path;
}

ScratchDir::~ScratchDir()
{
    if (!previous.empty() && _chdir(previous.c_str()) != 0)
        ADD_FAILURE() << "cannot return to " << previous;
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

void make_dirs(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
}

bool path_exists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

void set_env(const char* name, const char* value)
{
    _putenv_s(name, value ? value : "");  // an empty value unsets
}

bool eventually(const std::function<bool()>& cond, int ms)
{
    uint32_t start = plat_tick_ms();
    for (;;) {
        if (cond())
            return true;
        if ((int32_t)(plat_tick_ms() - start) > ms)
            return false;
        Sleep(2);
    }
}
