#include "netpeer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

int free_tcp_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, (sockaddr*)&a, sizeof a) == 0 && getsockname(s, (sockaddr*)&a, &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool tcp_listening(int port)
{
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char want[16];
    snprintf(want, sizeof want, ":%04X ", port);
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, st;
        f >> sl >> local >> remote >> st;
        if (st == "0A" && (local + " ").find(want) != std::string::npos)
            return true;
    }
    return false;
}

// ---- ser2net --------------------------------------------------------------------

Ser2net::Ser2net(const std::string& device, bool chardelay)
{
    int raw = free_tcp_port(), tel = free_tcp_port();
    while (tel == raw)
        tel = free_tcp_port();
    std::string connector = "serialdev(nouucplock)," + device + ",4800n81,local";
    std::string options = std::string("  options:\n    chardelay: ") +
                          (chardelay ? "true" : "false") + "\n";
    write_file(dir.file("ser2net.yaml"), "connection: &raw\n"
                                         "  accepter: tcp,127.0.0.1," +
                                             std::to_string(raw) +
                                             "\n"
                                             "  connector: " +
                                             connector + "\n" + options +
                                             "connection: &rfc2217\n"
                                             "  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                                             std::to_string(tel) +
                                             "\n"
                                             "  connector: " +
                                             connector + "\n" + options);
    // -n: stays in the foreground, so its PID is the child's.
    std::string program = path_exists("/usr/sbin/ser2net") ? "/usr/sbin/ser2net"
                                                           : "/usr/bin/ser2net";
    child.reset(new Child({program, "-n", "-c", dir.file("ser2net.yaml"), "-P",
                           dir.file("ser2net.pid")},
                          {}, dir.path));
    if (eventually([&] { return tcp_listening(raw) && tcp_listening(tel); }, 5000)) {
        raw_port = raw;
        rfc2217_port = tel;
    }
}

Ser2net::~Ser2net()
{
    if (child && child->pid > 0) {
        kill(child->pid, SIGTERM);
        if (child->wait_exit(3000) == -1)
            kill(child->pid, SIGKILL);
    }
}

// ---- the scripted server ----------------------------------------------------------

enum { IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254, NOP = 241 };

ScriptedServer::ScriptedServer(Script s, bool t, const std::string& d, bool n)
    : script(s), telnet(t), noisy(n), device(d)
{
    listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, (sockaddr*)&a, sizeof a) == 0 && listen(listener, 4) == 0 &&
        getsockname(listener, (sockaddr*)&a, &len) == 0)
        port = ntohs(a.sin_port);
    worker = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer()
{
    stopping = true;
    worker.join();
    close(listener);
}

void ScriptedServer::run()
{
    while (!stopping) {
        pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        int c = accept(listener, nullptr, nullptr);
        if (c < 0)
            continue;
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        clients++;
        serve(c);
        close(c);
    }
}

static void send_bytes(int s, const std::string& b)
{
    send(s, b.data(), b.size(), MSG_NOSIGNAL);
}

static std::string B(std::initializer_list<int> v)
{
    std::string s;
    for (int x : v)
        s += (char)x;
    return s;
}

static int open_device(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void ScriptedServer::serve(int client)
{
    auto send_bytes = [this](int s, const std::string& b) {
        if (delay_ms)
            usleep((useconds_t)delay_ms * 1000);
        ::send_bytes(s, b);
    };
    int dev = script == PROXY || script == DROP_AFTER_FIRST ? open_device(device) : -1;
    const bool floods = script == NOP_FLOOD || script == ENDLESS_SB;
    bool flooding = floods && flood_at_once;
    std::string flood = script == NOP_FLOOD ? B({IAC, NOP}) : B({IAC, SB, 44, 107});
    if (greet_after_ms)
        usleep((useconds_t)greet_after_ms * 1000);
    if (telnet && script != SILENT && !flooding) {
        // As ser2net greets: SGA, ECHO offered, BINARY both ways, COM-PORT asked.
        send_bytes(client, B({IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DO, 0, IAC, WILL, 0}));
        if (script != REFUSE_COM_PORT)
            send_bytes(client, B({IAC, DO, 44}));
    }
    // The Telnet parser of a server: options, COM Port commands answered
    // (SET-CONTROL never, as in front of a pseudo-terminal), IAC IAC undone.
    int state = 0, verb = 0;
    std::string sb;
    bool answered = false;
    while (!stopping) {
        pollfd p[2] = {{client, (short)(POLLIN | (flooding ? POLLOUT : 0)), 0}, {dev, POLLIN, 0}};
        if (poll(p, dev >= 0 ? 2 : 1, 20) <= 0)
            continue;
        if (flooding && (p[0].revents & POLLOUT)) {
            // As fast as the client takes it; after the sub-negotiation's
            // start, its bytes.
            while (flood.size() < 4096 && paced)
                for (int i = 0; i <= 500; i++)
                    flood += i < 500 ? B({IAC, NOP}) : "x";
            while (flood.size() < 4096)
                flood += script == NOP_FLOOD ? B({IAC, NOP}) : std::string(64, 'x');
            ssize_t n = send(client, flood.data(), flood.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                flood.erase(0, (size_t)n);
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            unsigned char buf[512];
            ssize_t n = recv(client, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            std::string line;
            for (ssize_t i = 0; i < n; i++) {
                unsigned char b = buf[i];
                if (!telnet) {
                    line += (char)b;
                    continue;
                }
                switch (state) {
                case 0:
                    if (b == IAC)
                        state = 1;
                    else
                        line += (char)b;
                    break;
                case 1:
                    if (b == IAC) {
                        line += (char)b;
                        state = 0;
                    } else if (b >= WILL) {
                        verb = b;
                        state = 2;
                    } else if (b == SB) {
                        sb.clear();
                        state = 3;
                    } else {
                        state = 0;
                    }
                    break;
                case 2:
                    if (verb == WILL && b == 44 && script == REFUSE_COM_PORT)
                        send_bytes(client, B({IAC, DONT, 44}));
                    state = 0;
                    break;
                case 3:
                    if (b == IAC)
                        state = 4;
                    else
                        sb += (char)b;
                    break;
                default:
                    if (b == IAC) {
                        sb += (char)b;
                        state = 3;
                        break;
                    }
                    state = 0;
                    if (script != SILENT && sb.size() >= 2 && (unsigned char)sb[0] == 44 &&
                        sb[1] >= 1 && sb[1] <= 4) {
                        std::string ack = B({IAC, SB, 44, sb[1] + 100}) + sb.substr(2) +
                                          B({IAC, SE});
                        send_bytes(client, ack);
                        flooding = flooding || (floods && sb[1] == 4);  // the last setting
                    }
                    break;
                }
            }
            from_client += line;
            if (dev >= 0 && !line.empty()) {
                if (delay_ms)
                    usleep((useconds_t)delay_ms * 1000);
                (void)!write(dev, line.data(), line.size());
            }
        }
        if (dev >= 0 && p[1].revents) {
            unsigned char buf[512];
            ssize_t n = read(dev, buf, sizeof buf);
            if (n <= 0)
                continue;
            for (ssize_t i = 0; i < n; i++) {
                std::string b(1, (char)buf[i]);
                if (telnet && buf[i] == IAC)
                    b += (char)IAC;
                if (telnet && noisy) {
                    // Commands before each byte, split across sends: a lone
                    // IAC, a modem-state notification cut before its SE, an
                    // option offer cut after its verb, a NOP.
                    for (const std::string& piece : {B({IAC}), B({SB, 44, 107, 0x30, IAC}),
                                                     B({SE, IAC, WILL}), B({1, IAC, NOP}) + b}) {
                        send_bytes(client, piece);
                        usleep(2000);
                    }
                } else {
                    send_bytes(client, b);
                }
            }
            answered = true;
            if (script == DROP_AFTER_FIRST && answered)
                break;
        }
    }
    if (dev >= 0)
        close(dev);
}

// ---- a full backlog ----------------------------------------------------------------

FullBacklog::FullBacklog()
{
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, (sockaddr*)&a, sizeof a) != 0 || listen(listener, 0) != 0 ||
        getsockname(listener, (sockaddr*)&a, &len) != 0)
        return;
    port = ntohs(a.sin_port);
    for (int i = 0; i < 4; i++) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(fillers.back(), (sockaddr*)&a, sizeof a);
    }
}

FullBacklog::~FullBacklog()
{
    for (int f : fillers)
        close(f);
    close(listener);
}

int FullBacklog::connecting() const
{
    char want[16];
    snprintf(want, sizeof want, ":%04X 02 ", port);  // remote port, SYN_SENT
    std::ifstream in("/proc/net/tcp");
    std::string t((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int n = 0;
    for (size_t p = t.find(want); p != std::string::npos; p = t.find(want, p + 1))
        n++;
    return n;
}
