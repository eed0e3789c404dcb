#include "report.h"

#include <cstdio>

#include "service_platform.h"

namespace muxctl {

void format_system_error(char *buffer, std::size_t size, uint32_t code)
{
    if (size == 0)
        return;
    if (!sys_format_message(code, buffer, size))
        std::snprintf(buffer, size, "Unknown error code: %x", static_cast<unsigned>(code));
}

void report_error(const char *prefix, uint32_t code)
{
    char text[1024];
    format_system_error(text, sizeof text, code);
    std::printf("%s: %s", prefix, text);
}

}  // namespace muxctl
