// Network peers for the network-line tests, all on 127.0.0.1: ser2net (the
// real device server, started as an ordinary process with its own
// configuration and stopped by its PID) and a small scripted server.
#ifndef KP6_NETPEER_H
#define KP6_NETPEER_H

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"

// A TCP port on 127.0.0.1 that nothing listens on just now.
int free_tcp_port();
// Whether something listens on 127.0.0.1:port (from /proc/net/tcp, without
// connecting: a connection would open the device behind a ser2net port).
bool tcp_listening(int port);

// ser2net 4 serving `device` at 4800 8N1 on two ports of 127.0.0.1: raw
// TCP and Telnet with RFC 2217; its chardelay off unless asked for.
struct Ser2net {
    std::unique_ptr<Child> child;
    TempDir dir;
    int raw_port = 0, rfc2217_port = 0;
    explicit Ser2net(const std::string& device, bool chardelay = false);
    ~Ser2net();
    bool running() const { return raw_port != 0; }
    std::string raw_url() const { return "tcp://127.0.0.1:" + std::to_string(raw_port); }
    std::string rfc2217_url() const
    {
        return "rfc2217://127.0.0.1:" + std::to_string(rfc2217_port);
    }
};

// A scripted server on 127.0.0.1, one client at a time, in front of a
// serial device (the simulator's pseudo-terminal) or of nothing.
struct ScriptedServer {
    enum Script {
        SILENT,            // accepts, reads, never answers anything
        REFUSE_COM_PORT,   // Telnet that refuses the COM Port option
        PROXY,             // forwards to the device (RFC 2217 when `telnet`)
        DROP_AFTER_FIRST,  // forwards the first answer, then closes
        NOP_FLOOD,         // Telnet: once the settings are answered, IAC NOP without end
        ENDLESS_SB         // Telnet: ... a sub-negotiation that never ends
    };
    Script script;
    bool flood_at_once = false;  // the flood begins at the connection: no negotiation
    bool paced = false;          // the NOP flood as 500 IAC NOPs, then one line byte, repeated
    int greet_after_ms = 0;      // Telnet's greeting that late after the connection
    bool telnet;                 // speak RFC 2217 to the client
    bool noisy;                  // Telnet commands between the line's bytes, one byte a send
    std::string device;
    int delay_ms = 0;  // holds back everything it sends, both ways (a slow network)
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> clients{0};
    std::string from_client;  // the line's bytes the client sent (unescaped)
    std::thread worker;
    int listener = -1;

    ScriptedServer(Script s, bool telnet, const std::string& device = "", bool noisy = false);
    ~ScriptedServer();
    std::string url() const
    {
        return std::string(telnet ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port);
    }

private:
    void run();
    void serve(int client);
};

// A loopback listener whose queue is full and is never accepted from: a
// connect to it waits for its whole bound.
struct FullBacklog {
    int listener = -1, port = 0;
    std::vector<int> fillers;
    FullBacklog();
    ~FullBacklog();
    // Connections on their way to it, as the system lists them.
    int connecting() const;
};

#endif
