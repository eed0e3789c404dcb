// tsock over BSD sockets. poll rather than select: a descriptor numbered
// FD_SETSIZE or above would overflow an fd_set, and a server process easily
// has that many open.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/tsock_shim.h"

int tsock_sys_resolve(const char *host, tsock_addrlist *out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    switch (rc) {
    case 0:
        break;
    case EAI_NONAME:
        return -2;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return -3;
#endif
    case EAI_FAIL:
        return -4;
    case EAI_AGAIN:
        return -5;
    case EAI_SYSTEM:
        return -1;
    case EAI_MEMORY:
        errno = ENOMEM;
        return -1;
    default:
        errno = EINVAL;
        return -1;
    }
    tsock_collect_addrs<addrinfo, sockaddr_in>(res, AF_INET, AF_INET6, out);
    freeaddrinfo(res);
    return 0;
}

intptr_t tsock_sys_socket()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? -1 : fd;
}

int tsock_sys_set_nonblocking(intptr_t s)
{
    int fl = fcntl(static_cast<int>(s), F_GETFL, 0);
    if (fl < 0 || fcntl(static_cast<int>(s), F_SETFL, fl | O_NONBLOCK) < 0)
        return -1;
    return 0;
}

void tsock_sys_close(intptr_t s)
{
    int saved = errno;
    close(static_cast<int>(s));
    errno = saved;
}

int tsock_sys_connect(intptr_t s, const uint8_t addr[4], uint16_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    std::memcpy(&sin.sin_addr, addr, 4);
    return connect(static_cast<int>(s), reinterpret_cast<const sockaddr *>(&sin), sizeof sin) == 0
               ? 0
               : -1;
}

int tsock_sys_connect_result(intptr_t s)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

int tsock_sys_wait(intptr_t s, tsock_wait_for what, int64_t seconds)
{
    pollfd p{};
    p.fd = static_cast<int>(s);
    p.events = what == TSOCK_WAIT_READ ? POLLIN : POLLOUT;
    int ms = -1;
    if (seconds >= 0)
        ms = seconds > INT_MAX / 1000 ? INT_MAX / 1000 * 1000 : static_cast<int>(seconds * 1000);
    return poll(&p, 1, ms);
}

ptrdiff_t tsock_sys_recv(intptr_t s, void *buf, std::size_t len)
{
    return recv(static_cast<int>(s), buf, len, 0);
}

ptrdiff_t tsock_sys_send(intptr_t s, const void *buf, std::size_t len)
{
    // A peer that has gone must give EPIPE here, not kill the host process.
    return send(static_cast<int>(s), buf, len, MSG_NOSIGNAL);
}

tsock_errclass tsock_sys_errclass()
{
    switch (errno) {
    case ENOBUFS:
    case EINTR:
        return TSOCK_ERR_RETRY;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:  // a non-blocking connect under way
    case EALREADY:
        return TSOCK_ERR_WOULDBLOCK;
    case EISCONN:
        return TSOCK_ERR_ISCONN;
    default:
        return TSOCK_ERR_OTHER;
    }
}

int tsock_sys_errno() { return errno; }

void tsock_sys_set_errno(int e) { errno = e; }

namespace {
// strerror_r comes in two shapes; take whichever this C library has.
[[maybe_unused]] const char *tsock_pick(int rc, const char *buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] const char *tsock_pick(const char *s, const char *) { return s; }
}  // namespace

const char *tsock_sys_strerror(int e, char *buf, std::size_t size)
{
    buf[0] = '\0';
    const char *s = tsock_pick(strerror_r(e, buf, size), buf);
    return s && *s ? s : nullptr;
}
