// The helpers of testsupport.h that both systems' tests use alike: scratch
// folders and small file utilities, through the standard library.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::~TempDir()
{
    std::error_code ec;
    if (!path.empty())
        std::filesystem::remove_all(path, ec);
}

ScratchDir::ScratchDir()
{
    std::error_code ec;
    previous = std::filesystem::current_path(ec).string();
    if (path.empty() || (std::filesystem::current_path(path, ec), ec))
        ADD_FAILURE() << "cannot work in " << path;
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    if (!previous.empty() && (std::filesystem::current_path(previous, ec), ec))
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
