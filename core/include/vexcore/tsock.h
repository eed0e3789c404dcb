/* tsock: blocking TCP client sockets over IPv4, bounded by deadlines.
 *
 * Conventions of the family:
 * - A socket is the platform's socket handle as a signed integer; -1 means
 *   none. Sockets made here are non-blocking for their whole life: read and
 *   write them only through tsock_read and tsock_write, which wait for
 *   readiness themselves. The caller owns a returned socket and closes it
 *   with the system's own close function (closesocket on Windows).
 * - A deadline is an absolute time in whole seconds since the epoch; 0 means
 *   wait without limit. Form it as the current time plus a time-out.
 * - Codes: TSOCK_OK (0) and the negative TSOCK_E* codes below; tsock_errorstr
 *   gives their fixed English texts. A read or write that runs into its
 *   deadline returns -1 with the system error number (errno; on Windows also
 *   the socket error) set to TSOCK_ERRNO_TIMEDOUT, 145.
 * - The library never starts the Windows Sockets layer: the host process
 *   must have called WSAStartup before the first call.
 * - No state is shared between calls; the functions are safe on different
 *   sockets from any thread. */
#ifndef VEXCORE_TSOCK_H
#define VEXCORE_TSOCK_H

#include <stddef.h>
#include <stdint.h>
#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

enum {
    TSOCK_OK = 0,
    TSOCK_ESYSTEM = -1,      /* other failure; the cause is the system error number */
    TSOCK_ENOTFOUND = -2,    /* "Host not found" */
    TSOCK_ENOADDR = -3,      /* "No address for host" */
    TSOCK_ENORECOVERY = -4,  /* "Unrecoverable host lookup failure" */
    TSOCK_ETRYAGAIN = -5,    /* "Temporary host lookup failure" */
    TSOCK_EINVAL = -6,       /* the name has no IPv4 address */
    TSOCK_ETIMEDOUT = -7     /* the deadline passed while a connect was in progress */
};

/* The library's own time-out error number for reads and writes; not the
 * platform's ETIMEDOUT. */
#define TSOCK_ERRNO_TIMEDOUT 145
/* Error number of tsock_nametoaddr when the text does not fit. */
#define TSOCK_ERRNO_NOSPACE 28

/* Resolves `host` (a terminated name or dotted address) and connects to
 * `port` (host order) on each IPv4 address in turn until one accepts.
 * `*err` always receives a code: 0 on success, -2..-6 for lookup failures,
 * -7 when the deadline passed during a connect (no further address is then
 * tried), -1 when every address failed. Returns the socket, or -1. */
VEXCORE_API intptr_t tsock_connectbyname(const char *host, uint16_t port, int64_t deadline,
                                         int *err);

/* Writes the first IPv4 address of `host` as dotted decimal text into `buf`
 * of `bufsize` bytes. Returns 0; a lookup code (-1..-6); or -1 with error
 * number 28 when the text and its terminator do not fit (a cut text is then
 * left in `buf`). */
VEXCORE_API int tsock_nametoaddr(const char *host, char *buf, size_t bufsize);

/* Reads at most `len` bytes, waiting until `deadline` for the first of them.
 * Returns the count read (at least 1), 0 when the peer has closed the
 * connection, or -1 (error number 145 on time-out). Never waits to fill
 * the buffer. */
VEXCORE_API ptrdiff_t tsock_read(intptr_t sock, void *buf, size_t len, int64_t deadline);

/* Writes all `len` bytes, waiting until `deadline` whenever the socket is
 * full. Returns the count written, which is below `len` when the deadline
 * or an error stopped a write that had already sent part; -1 when nothing
 * could be written (error number 145 on time-out). */
VEXCORE_API ptrdiff_t tsock_write(intptr_t sock, const void *buf, size_t len, int64_t deadline);

/* The constant text of `code`; for -1 the system's text of the current
 * error number. Unknown codes give "Unknown error". `i18n_reserved` must be
 * null, else the process stops. The text for -1 lives in a per-thread
 * buffer until the thread's next call. */
VEXCORE_API const char *tsock_errorstr(void *i18n_reserved, int code);

VEXCORE_END_DECLS

#endif
