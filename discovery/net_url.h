// Network lines' names: a serial line reached through a device server is
// named by a URL, "tcp://HOST:PORT" (or "socket://"), raw TCP, or
// "rfc2217://HOST:PORT", Telnet with the COM Port Control option. The port
// layer, the port list and discovery tell such names from devices here.
#ifndef KP6_NET_URL_H
#define KP6_NET_URL_H

#include <stddef.h>

// How a network line speaks.
enum { NET_RAW = 1, NET_RFC2217 = 2 };

// Room for a host: as long as a port name may be.
enum { NET_HOST_SIZE = 100 };

// A network line's address, as net_url_parse finds it in a port name.
struct net_url {
    unsigned char mode;        // NET_RAW or NET_RFC2217
    char host[NET_HOST_SIZE];  // a name, IPv4 or IPv6 address (no brackets)
    unsigned short port;
};

// 1 when `name` is written as a URL (SCHEME://..., not a path beginning
// with '/'), else 0.
int port_name_is_url(const char* name);
// The length of "SCHEME://" when `text` begins with a network line's
// scheme (tcp, socket, rfc2217, in any case), else 0.
size_t net_url_prefix_length(const char* text);
// 1 and `url` for a good network line's name; 0 for a name that is no URL
// (a device); -1 for a bad one, with what is wrong in `why`.
int net_url_parse(const char* name, net_url* url, char* why, unsigned why_size);

#endif
