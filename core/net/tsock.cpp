// Blocking TCP client sockets with whole-second deadlines, written once over
// the platform shim.
#include "vexcore/tsock.h"

#include <atomic>
#include <climits>
#include <cstdio>

#include "net/tsock_shim.h"
#include "vex_assert.h"
#include "vex_clock.h"

namespace {

std::atomic<tsock_resolver> g_resolver{nullptr};

int tsock_lookup(const char *host, tsock_addrlist *out)
{
    tsock_resolver r = g_resolver.load(std::memory_order_acquire);
    return r ? r(host, out) : tsock_sys_resolve(host, out);
}

// Waits for `s` alone until `deadline`. Returns the last select result:
// positive ready, 0 time-out (also when the deadline had already passed),
// -1 failure.
int tsock_wait(intptr_t s, tsock_wait_for what, int64_t deadline)
{
    int last = 0;
    for (;;) {
        int64_t seconds = -1;
        if (deadline != 0) {
            int64_t now = vex_clock_now();
            if (now >= deadline)
                return last;
            seconds = deadline - now;
        }
        int r = tsock_sys_wait(s, what, seconds);
        if (r != -1)
            return r;
        if (tsock_sys_errclass() != TSOCK_ERR_RETRY)
            return -1;
        last = r;
    }
}

enum class tsock_attempt { connected, failed, timed_out, fatal };

tsock_attempt tsock_connect_one(const uint8_t addr[4], uint16_t port, int64_t deadline,
                                intptr_t *out)
{
    intptr_t s = tsock_sys_socket();
    if (s == -1)
        return tsock_attempt::failed;
    if (tsock_sys_set_nonblocking(s) != 0) {
        tsock_sys_close(s);
        return tsock_attempt::fatal;
    }
    for (;;) {
        if (tsock_sys_connect(s, addr, port) == 0) {
            *out = s;
            return tsock_attempt::connected;
        }
        switch (tsock_sys_errclass()) {
        case TSOCK_ERR_ISCONN:
            *out = s;
            return tsock_attempt::connected;
        case TSOCK_ERR_RETRY:
            continue;
        case TSOCK_ERR_WOULDBLOCK: {
            int w = tsock_wait(s, TSOCK_WAIT_CONNECT, deadline);
            if (w > 0) {
                // Readiness alone does not say whether the handshake
                // succeeded; the shim asks the socket for its verdict.
                if (tsock_sys_connect_result(s) == 0) {
                    *out = s;
                    return tsock_attempt::connected;
                }
                break;
            }
            if (w == 0) {
                tsock_sys_close(s);
                return tsock_attempt::timed_out;
            }
            break;
        }
        case TSOCK_ERR_OTHER:
            break;
        }
        tsock_sys_close(s);
        return tsock_attempt::failed;
    }
}

}  // namespace

tsock_resolver tsock_set_resolver(tsock_resolver resolver)
{
    return g_resolver.exchange(resolver, std::memory_order_acq_rel);
}

extern "C" VEXCORE_API intptr_t tsock_connectbyname(const char *host, uint16_t port,
                                                    int64_t deadline, int *err)
{
    int scratch;
    if (!err)
        err = &scratch;
    tsock_addrlist list;
    *err = TSOCK_OK;
    int rc = host ? tsock_lookup(host, &list) : TSOCK_ENOTFOUND;
    if (rc != 0) {
        *err = rc;
        return -1;
    }
    if (list.addr_len != 4) {
        *err = TSOCK_EINVAL;
        return -1;
    }
    // Stands unless an address accepts or one times out.
    *err = TSOCK_ESYSTEM;
    for (std::size_t i = 0; i < list.count; ++i) {
        intptr_t s = -1;
        switch (tsock_connect_one(list.addr[i], port, deadline, &s)) {
        case tsock_attempt::connected:
            *err = TSOCK_OK;
            return s;
        case tsock_attempt::timed_out:
            // The deadline is spent: another address could only time out too.
            *err = TSOCK_ETIMEDOUT;
            return -1;
        case tsock_attempt::fatal:
            return -1;
        case tsock_attempt::failed:
            break;
        }
    }
    return -1;
}

extern "C" VEXCORE_API int tsock_nametoaddr(const char *host, char *buf, size_t bufsize)
{
    tsock_addrlist list;
    int rc = host ? tsock_lookup(host, &list) : TSOCK_ENOTFOUND;
    if (rc != 0)
        return rc;
    if (list.addr_len != 4 || list.count == 0)
        return TSOCK_EINVAL;
    const uint8_t *a = list.addr[0];
    int n = std::snprintf(buf, bufsize, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    if (n < 0 || static_cast<size_t>(n) >= bufsize) {
        tsock_sys_set_errno(TSOCK_ERRNO_NOSPACE);
        return -1;
    }
    return 0;
}

extern "C" VEXCORE_API ptrdiff_t tsock_read(intptr_t sock, void *buf, size_t len,
                                            int64_t deadline)
{
    for (;;) {
        ptrdiff_t n = tsock_sys_recv(sock, buf, len);
        if (n >= 0)
            return n;
        switch (tsock_sys_errclass()) {
        case TSOCK_ERR_RETRY:
            continue;
        case TSOCK_ERR_WOULDBLOCK: {
            int w = tsock_wait(sock, TSOCK_WAIT_READ, deadline);
            if (w > 0)
                continue;
            if (w == 0)
                tsock_sys_set_errno(TSOCK_ERRNO_TIMEDOUT);
            return -1;
        }
        default:
            return -1;
        }
    }
}

extern "C" VEXCORE_API ptrdiff_t tsock_write(intptr_t sock, const void *buf, size_t len,
                                             int64_t deadline)
{
    const char *p = static_cast<const char *>(buf);
    size_t left = len;
    ptrdiff_t count = 0;
    ptrdiff_t last;
    for (;;) {
        last = tsock_sys_send(sock, p, left);
        if (last >= 0) {
            if (static_cast<size_t>(last) == left)
                return count + last;
            if (last == 0)
                break;
            p += last;
            left -= static_cast<size_t>(last);
            count += last;
            continue;
        }
        tsock_errclass c = tsock_sys_errclass();
        if (c == TSOCK_ERR_RETRY)
            continue;
        if (c != TSOCK_ERR_WOULDBLOCK)
            break;
        int w = tsock_wait(sock, TSOCK_WAIT_WRITE, deadline);
        if (w > 0)
            continue;
        if (w == 0)
            tsock_sys_set_errno(TSOCK_ERRNO_TIMEDOUT);
        last = -1;
        break;
    }
    return count > 0 ? count : last;
}

extern "C" VEXCORE_API const char *tsock_errorstr(void *i18n_reserved, int code)
{
    VEX_ASSERT_AT(i18n_reserved == nullptr, "i18n_reserved == (void *)0", "tsock", 359);
    switch (code) {
    case TSOCK_OK:
        return "";
    case TSOCK_ENOTFOUND:
        return "Host not found";
    case TSOCK_ENOADDR:
        return "No address for host";
    case TSOCK_ENORECOVERY:
        return "Unrecoverable host lookup failure";
    case TSOCK_ETRYAGAIN:
        return "Temporary host lookup failure";
    case TSOCK_EINVAL:
        return "Invalid host lookup parameter";
    case TSOCK_ETIMEDOUT:
        return "Connect to host timed out";
    case TSOCK_ESYSTEM: {
        int e = tsock_sys_errno();
        // 145 is this library's number, not the platform's: the system's
        // text for it would be another error's (on Windows, "directory not
        // empty").
        if (e == TSOCK_ERRNO_TIMEDOUT)
            return "Connection timed out";
        thread_local char text[256];
        const char *s = tsock_sys_strerror(e, text, sizeof text);
        return s ? s : "Unknown error";
    }
    default:
        return "Unknown error";
    }
}
