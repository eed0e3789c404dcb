// tsock over Windows Sockets. The host process has started Winsock; nothing
// here calls WSAStartup.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <cstring>

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
    case WSAHOST_NOT_FOUND:
        return -2;
    case WSANO_DATA:
        return -3;
    case WSANO_RECOVERY:
        return -4;
    case WSATRY_AGAIN:
        return -5;
    default:
        WSASetLastError(rc);
        return -1;
    }
    tsock_collect_addrs<addrinfo, sockaddr_in>(res, AF_INET, AF_INET6, out);
    freeaddrinfo(res);
    return 0;
}

intptr_t tsock_sys_socket()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? -1 : static_cast<intptr_t>(s);
}

int tsock_sys_set_nonblocking(intptr_t s)
{
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0 ? 0 : -1;
}

void tsock_sys_close(intptr_t s)
{
    int saved = WSAGetLastError();
    closesocket(static_cast<SOCKET>(s));
    WSASetLastError(saved);
}

int tsock_sys_connect(intptr_t s, const uint8_t addr[4], uint16_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    std::memcpy(&sin.sin_addr, addr, 4);
    return connect(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr *>(&sin), sizeof sin) == 0
               ? 0
               : -1;
}

int tsock_sys_connect_result(intptr_t s)
{
    int err = 0;
    int len = sizeof err;
    if (getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err),
                   &len) != 0)
        return -1;
    if (err != 0) {
        WSASetLastError(err);
        return -1;
    }
    return 0;
}

int tsock_sys_wait(intptr_t s, tsock_wait_for what, int64_t seconds)
{
    fd_set set, except;
    FD_ZERO(&set);
    FD_ZERO(&except);
    FD_SET(static_cast<SOCKET>(s), &set);
    // Windows reports a failed connect only in the exception set; without it
    // a refused connect would wait out its whole deadline (or forever).
    FD_SET(static_cast<SOCKET>(s), &except);
    timeval tv{};
    timeval *ptv = nullptr;
    if (seconds >= 0) {
        tv.tv_sec = seconds > 100000000 ? 100000000 : static_cast<long>(seconds);
        ptv = &tv;
    }
    switch (what) {
    case TSOCK_WAIT_READ:
        return select(0, &set, nullptr, nullptr, ptv);
    case TSOCK_WAIT_WRITE:
        return select(0, nullptr, &set, nullptr, ptv);
    case TSOCK_WAIT_CONNECT:
    default:
        return select(0, nullptr, &set, &except, ptv);
    }
}

ptrdiff_t tsock_sys_recv(intptr_t s, void *buf, std::size_t len)
{
    int n = len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len);
    return recv(static_cast<SOCKET>(s), static_cast<char *>(buf), n, 0);
}

ptrdiff_t tsock_sys_send(intptr_t s, const void *buf, std::size_t len)
{
    int n = len > 0x7fffffff ? 0x7fffffff : static_cast<int>(len);
    return send(static_cast<SOCKET>(s), static_cast<const char *>(buf), n, 0);
}

tsock_errclass tsock_sys_errclass()
{
    switch (WSAGetLastError()) {
    case WSAENOBUFS:
    case WSAEINPROGRESS:
    case WSAEINTR:
        return TSOCK_ERR_RETRY;
    case WSAEWOULDBLOCK:
    case WSAEALREADY:  // a second connect while the first is still under way
        return TSOCK_ERR_WOULDBLOCK;
    case WSAEISCONN:
        return TSOCK_ERR_ISCONN;
    default:
        return TSOCK_ERR_OTHER;
    }
}

int tsock_sys_errno() { return WSAGetLastError(); }

void tsock_sys_set_errno(int e)
{
    // Portable callers read errno, Windows ones the socket error: give both.
    errno = e;
    WSASetLastError(e);
}

const char *tsock_sys_strerror(int e, char *buf, std::size_t size)
{
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(e), 0, buf, static_cast<DWORD>(size), nullptr);
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' '))
        buf[--n] = '\0';
    return n > 0 ? buf : nullptr;
}
