// Helpers shared by the codec tests: hex byte strings and a log context that
// keeps every formatted line.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "vexcore/logcx.h"

namespace ldapasn_test {

using Bytes = std::vector<unsigned char>;

// "30 05 02 01 07" -> bytes; blanks are ignored.
inline Bytes hex(const std::string &text)
{
    Bytes out;
    int hi = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<unsigned char>(hi * 16 + v));
            hi = -1;
        }
    }
    return out;
}

inline std::string to_hex(const unsigned char *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

inline std::string to_hex(const Bytes &b) { return to_hex(b.data(), b.size()); }

// A log context that keeps every line it is handed, fully formatted.
class CaptureLog {
public:
    CaptureLog() = default;
    CaptureLog(const CaptureLog &) = delete;
    CaptureLog &operator=(const CaptureLog &) = delete;

    logcx *cx() { return &hook_.cx; }

    std::vector<std::string> lines;
    std::vector<int> levels;

private:
    // The library sees only the logcx, which must be the first member.
    struct Hook {
        logcx cx;
        CaptureLog *self;
    };

    static void log(logcx *cx, int level, const char *format, va_list args)
    {
        CaptureLog *self = reinterpret_cast<Hook *>(cx)->self;
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        std::vsnprintf(line.data(), line.size() + 1, format, args);
        self->lines.push_back(line);
        self->levels.push_back(level);
    }

    Hook hook_{{&CaptureLog::log}, this};
};

}  // namespace ldapasn_test
