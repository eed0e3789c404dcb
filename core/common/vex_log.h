// Logging through a logcx; a null context writes the line to standard error
// and ignores the level.
#pragma once

#include <cstdarg>

#include "vexcore/logcx.h"

extern "C" void vex_vlog(logcx *cx, int level, const char *format, va_list args);
extern "C" void vex_log(logcx *cx, int level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
