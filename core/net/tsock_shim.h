// The platform half of tsock: the few calls in which BSD sockets and
// Windows Sockets differ (error numbers, the non-blocking switch, waiting,
// close, name lookup). tsock.cpp holds the logic once, over these.
// tsock_shim_posix.cpp and tsock_shim_win32.cpp each implement all of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// More addresses than any sane name has; the rest of a longer answer is
// dropped rather than allocated for.
constexpr std::size_t TSOCK_MAX_ADDRS = 32;

// The IPv4 answers of one name lookup, in the order the resolver gave them.
struct tsock_addrlist {
    int addr_len = 0;  // 4 when there are IPv4 answers; else the length of the others (16), or 0
    std::size_t count = 0;
    uint8_t addr[TSOCK_MAX_ADDRS][4] = {};
};

// Keeps the IPv4 answers of a getaddrinfo list (the same record on both
// platforms, declared by each one's own headers), in order.
template <class AddrInfo, class SockAddrIn>
void tsock_collect_addrs(const AddrInfo *res, int af_inet, int af_inet6, tsock_addrlist *out)
{
    out->addr_len = 0;
    out->count = 0;
    for (const AddrInfo *ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == af_inet && ai->ai_addrlen >= sizeof(SockAddrIn)) {
            out->addr_len = 4;
            if (out->count < TSOCK_MAX_ADDRS) {
                const auto *sin = reinterpret_cast<const SockAddrIn *>(ai->ai_addr);
                std::memcpy(out->addr[out->count++], &sin->sin_addr, 4);
            }
        } else if (out->addr_len == 0) {
            out->addr_len = ai->ai_family == af_inet6 ? 16 : -1;
        }
    }
}

// What the last failed socket call means to the retry logic.
enum tsock_errclass {
    TSOCK_ERR_RETRY,       // transient (no buffers, call in progress, interrupted): call again at once
    TSOCK_ERR_WOULDBLOCK,  // wait for readiness, then call again
    TSOCK_ERR_ISCONN,      // a connect that has already completed
    TSOCK_ERR_OTHER        // a real failure
};

enum tsock_wait_for { TSOCK_WAIT_READ, TSOCK_WAIT_WRITE, TSOCK_WAIT_CONNECT };

// Resolves `host` with the system's blocking lookup. Returns 0, or the
// family's lookup code: -2..-5 for the resolver's own failures, -1 for any
// other (the system error number then tells why).
int tsock_sys_resolve(const char *host, tsock_addrlist *out);

// An IPv4 stream socket, or -1.
intptr_t tsock_sys_socket();
int tsock_sys_set_nonblocking(intptr_t s);  // 0 or -1
void tsock_sys_close(intptr_t s);           // keeps the error number of the failure that led here
int tsock_sys_connect(intptr_t s, const uint8_t addr[4], uint16_t port);  // 0 or -1
// After a connect wait reported readiness: 0 when the socket is connected,
// else -1 with the connect's own failure as the system error number.
int tsock_sys_connect_result(intptr_t s);
// Waits for `s` alone; `seconds` < 0 waits without limit. The result of the
// platform's select: positive ready, 0 time-out, -1 failure.
int tsock_sys_wait(intptr_t s, tsock_wait_for what, int64_t seconds);
ptrdiff_t tsock_sys_recv(intptr_t s, void *buf, std::size_t len);
ptrdiff_t tsock_sys_send(intptr_t s, const void *buf, std::size_t len);

tsock_errclass tsock_sys_errclass();
int tsock_sys_errno();
void tsock_sys_set_errno(int e);
// The system's text for error number `e` in `buf`, or null when it has none.
const char *tsock_sys_strerror(int e, char *buf, std::size_t size);

// Test seam: replaces the name lookup of tsock_connectbyname and
// tsock_nametoaddr (null restores the system's). Returns the previous one.
using tsock_resolver = int (*)(const char *host, tsock_addrlist *out);
tsock_resolver tsock_set_resolver(tsock_resolver resolver);
