/* logcx: the log context through which the pool, the message dump, option
 * files, certificate mapping and the watcher client report.
 *
 * The first member is the log function: log(cx, level, format, args), with
 * syslog's levels (LOGCX_ERR 3, LOGCX_WARNING 4, LOGCX_INFO 6, LOGCX_DEBUG 7)
 * and a printf-style format. A null context means the library's default:
 * the line goes to standard error and the level is ignored. */
#ifndef VEXCORE_LOGCX_H
#define VEXCORE_LOGCX_H

#include <stdarg.h>
#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

enum {
    LOGCX_ERR = 3,
    LOGCX_WARNING = 4,
    LOGCX_INFO = 6,
    LOGCX_DEBUG = 7
};

typedef struct logcx logcx;

struct logcx {
    void (*log)(logcx *cx, int level, const char *format, va_list args);
};

VEXCORE_END_DECLS

#endif
