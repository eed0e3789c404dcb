#include "vex_log.h"

#include <cstdio>

extern "C" void vex_vlog(logcx *cx, int level, const char *format, va_list args)
{
    if (cx && cx->log) {
        cx->log(cx, level, format, args);
        return;
    }
    std::vfprintf(stderr, format, args);
}

extern "C" void vex_log(logcx *cx, int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vex_vlog(cx, level, format, args);
    va_end(args);
}
