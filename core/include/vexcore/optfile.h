/* optfile: option files of "name<delimiter>value" lines with comment lines.
 *
 * optfile_read loads a whole file into one block and returns a handle that
 * is read-only from then on, so lookups may run from any thread; names are
 * looked up ignoring ASCII case. The texts handed out point into the handle
 * and live until optfile_dispose. Every accessor accepts a null handle and
 * then answers its default, so a file that failed to load reads as empty.
 * Messages go to the caller's log context (standard error when null), all
 * at LOGCX_ERR. */
#ifndef VEXCORE_OPTFILE_H
#define VEXCORE_OPTFILE_H

#include <stddef.h>
#include <stdint.h>
#include "vexcore/logcx.h"
#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

struct stat;
typedef struct optfile optfile;

/* Flags of optfile_read. */
enum {
    OPTFILE_NO_CONTINUATION = 0x1, /* a backslash ending a line is kept as a character */
    OPTFILE_TRIM = 0x2,            /* drop spaces before and spaces/tabs after the delimiter */
    OPTFILE_ALLOW_DUPLICATES = 0x4 /* a repeated name is skipped, the first one wins */
};

/* Called after the file is opened and its status read; a non-zero result
 * abandons the read (optfile_read then returns null). */
typedef int (*optfile_check_fn)(void *check_arg, logcx *log, int fd, const struct stat *st);

/* Reads dir + "/" + name (name alone when dir is empty or null). comments:
 * characters that make a line a comment when they stand in its first
 * column (null: "!#;"); delims: characters that end a name (null: "=:").
 * Returns a new handle, or null: silently when the file cannot be opened,
 * after one logged message for a status or read error or a syntax error
 * (empty name, missing delimiter, duplicate name without
 * OPTFILE_ALLOW_DUPLICATES). */
VEXCORE_API optfile *optfile_read(const char *dir, const char *name, logcx *log, const char *comments,
                                  const char *delims, int flags, optfile_check_fn check, void *check_arg);

/* The value of option `name`, or def when of is null or has no such option. */
VEXCORE_API const char *optfile_get(const optfile *of, const char *name, const char *def);

/* Copies the value (or def, when absent) into buf of size bytes, always
 * terminated, and stores the count copied in *len when len is not null.
 * Returns 0 when it fitted whole, -1 when cut to size - 1 characters (or
 * when size is 0, when nothing is written). */
VEXCORE_API int optfile_copy(const optfile *of, char *buf, size_t size, size_t *len, const char *name,
                             const char *def);

/* The value as a decimal number (leading white space, an optional '-'),
 * held to the 32-bit range; def when absent or not a number. */
VEXCORE_API int32_t optfile_int(const optfile *of, const char *name, int32_t def);

/* The value as 1 (t, y, 1 or "on") or 0 (f, n, 0 or "off"), ignoring case
 * and leading white space; otherwise (def != 0). */
VEXCORE_API int optfile_bool(const optfile *of, const char *name, int def);

/* Frees the handle; null is ignored. Disposing of a handle twice stops the
 * process through an assertion. */
VEXCORE_API void optfile_dispose(optfile *of);

VEXCORE_END_DECLS

#endif
