// An independent code page 866 encoder for expected bytes (iconv; the
// system's own conversion on Windows).
#ifndef KP6_CP866_H
#define KP6_CP866_H

#include <string>

#ifdef _WIN32
#include <windows.h>

inline std::string cp866(const std::string& utf8)
{
    std::wstring wide(utf8.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &wide[0],
                                (int)wide.size());
    std::string out(utf8.size() * 2 + 1, '\0');
    int m = WideCharToMultiByte(866, 0, wide.data(), n, &out[0], (int)out.size(), nullptr, nullptr);
    out.resize(m > 0 ? (size_t)m : 0);
    return out;
}
#else
#include <iconv.h>

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

#endif
