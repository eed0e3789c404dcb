/* strl: bounded copy and append of terminated strings (the BSD pair).
 *
 * Neither function allocates, keeps state or fails: a result >= size says
 * the text was cut. The destination is always terminated when size > 0
 * (strlcat: when the buffer held a terminated string to begin with).
 *
 * These names may also be declared by a C library (the BSDs, macOS, glibc
 * 2.38 and later). The prototypes below are the same ones, so a translation
 * unit that sees both stays valid; this header includes no system string
 * header of its own. */
#ifndef VEXCORE_STRL_H
#define VEXCORE_STRL_H

#include <stddef.h>
#include "vexcore/vexcore_export.h"

#if defined(__cplusplus)
#  define VEXCORE_STRL_NOTHROW noexcept
#else
#  define VEXCORE_STRL_NOTHROW
#endif

VEXCORE_BEGIN_DECLS

/* Copies src into dst (size bytes), cut to size - 1 characters, terminated
 * unless size is 0 (then nothing is written). Returns strlen(src). */
VEXCORE_API size_t strlcpy(char *dst, const char *src, size_t size) VEXCORE_STRL_NOTHROW;

/* Appends src to the terminated string in dst (size bytes in all), cut to
 * fit with its terminator. Returns the length dst had plus strlen(src); if
 * dst holds no terminator within size bytes nothing is written and the
 * result is size + strlen(src). */
VEXCORE_API size_t strlcat(char *dst, const char *src, size_t size) VEXCORE_STRL_NOTHROW;

VEXCORE_END_DECLS

#endif
