#include "sim.h"

#include <signal.h>
#include <sys/types.h>

#include <sstream>

#include "../../platform/platform.h"

Sim::Sim(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {KP6_SIM};
    argv.insert(argv.end(), args.begin(), args.end());
    child.reset(new Child(argv, {}, ""));
    if (child->read_until(
            [](const std::string& out) { return out.find('\n') != std::string::npos; }, 10000))
        path = child->output.substr(0, child->output.find('\n'));
}

Sim::~Sim()
{
    stop();
}

std::vector<std::string> Sim::trace(size_t count, int ms)
{
    auto lines = [this] {
        std::vector<std::string> out;
        std::istringstream in(child->output);
        std::string line;
        std::getline(in, line);  // the path
        while (std::getline(in, line)) {
            std::string entry = line.substr(line.find(' ') + 1);
            if ((!in.eof() || child->output.back() == '\n') && entry.rfind("line ", 0) != 0)
                out.push_back(entry);
        }
        return out;
    };
    child->read_until([&](const std::string&) { return lines().size() >= count; }, ms);
    return lines();
}

int Sim::stop(int sig)
{
    if (!child || child->pid <= 0)
        return -1;
    kill(child->pid, sig);
    return child->wait_exit(10000);
}

TestLine::TestLine(const std::string& path)
{
    plat_handle h;
    if (plat_serial_open(path.c_str(), &h) == 0) {
        const plat_line line = {4800, 8, 0, 0, 0};
        plat_serial_set_line(h, &line);
        handle = h;
    }
}

TestLine::~TestLine()
{
    if (handle >= 0)
        plat_serial_close(handle);
}

void TestLine::send(const std::string& b)
{
    unsigned done;
    plat_serial_write(handle, (const unsigned char*)b.data(), (unsigned)b.size(), &done);
}

std::string TestLine::receive(size_t n, int ms)
{
    std::string out;
    eventually(
        [&] {
            if (plat_wait_readable(handle, 5) == 1) {
                unsigned char buf[256];
                unsigned got = 0;
                plat_serial_read(handle, buf, sizeof buf, &got);
                out.append((const char*)buf, got);
            }
            return n > 0 && out.size() >= n;
        },
        ms);
    return out;
}

std::string hex(const std::string& b)
{
    std::string out;
    char two[4];
    for (unsigned char c : b) {
        snprintf(two, sizeof two, "%02X", c);
        out += (out.empty() ? "" : " ") + std::string(two);
    }
    return out;
}

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out += (char)v;
    return out;
}

std::string backup_of(std::initializer_list<const char*> addresses)
{
    std::string file = "{\"version\": 1, \"controllers\": [\n";
    for (const char* a : addresses)
        file += std::string(file.back() == '\n' ? "" : ",\n") + "{\"address\": \"" + a +
                "\", \"registers\": {\"ER78\": 2, \"ER79\": 9, \"ER72\": 8, \"ER74\": 7, "
                "\"ER75\": 6, \"ER77\": 5}}";
    return file + "\n]}\n";
}

void start_sim(std::unique_ptr<Sim>& sim, const std::string& state, std::vector<std::string> args,
               const std::string& prepared)
{
    if (!prepared.empty())
        write_file(state, prepared);
    args.insert(args.end(), {"--state", state, "--trace"});
    sim.reset(new Sim(args));
    ASSERT_FALSE(sim->path.empty());
}
