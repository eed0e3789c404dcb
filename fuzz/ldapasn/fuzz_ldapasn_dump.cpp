// The message dump over arbitrary bytes into a log context that formats
// every line, as a real log would.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vexcore/ldapasn.h"

namespace {

struct Sink {
    logcx cx;
    size_t lines;
    bool stopped;
};

void sink_log(logcx *cx, int, const char *format, va_list args)
{
    auto *s = reinterpret_cast<Sink *>(cx);
    char line[4096];
    int n = std::vsnprintf(line, sizeof line, format, args);
    // One element per line, each at most the line buffer and a stop text.
    if (n < 0 || n > 1024 + 64 || s->stopped)
        std::abort();
    s->lines++;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    std::vector<unsigned char> buf(data + 1, data + size);
    Sink s{{&sink_log}, 0, false};
    ldapasn_dump(&s.cx, LOGCX_DEBUG, data[0] & 1 ? '<' : '>', buf.data(), buf.size());
    // Every line but a stop line stands for at least two bytes of header.
    if (s.lines > buf.size() / 2 + 1)
        std::abort();
    return 0;
}
