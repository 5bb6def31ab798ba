// An independent code page 866 encoder for expected bytes (iconv).
#ifndef KP6_CP866_H
#define KP6_CP866_H

#include <iconv.h>

#include <string>

inline std::string cp866(const std::string& utf8)
{
    iconv_t cd = iconv_open("CP866", "UTF-8");
    std::string out(utf8.size() * 2 + 1, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t in_left = utf8.size(), out_left = out.size();
    char* o = &out[0];
    iconv(cd, &in, &in_left, &o, &out_left);
    iconv_close(cd);
    out.resize(out.size() - out_left);
    return out;
}

#endif
