#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>

#include "net_peer.h"

namespace {
// The library never starts Winsock; a host does, and so does this test
// program, before any test runs.
struct WinsockStarted {
    WinsockStarted()
    {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            std::abort();
    }
    ~WinsockStarted() { WSACleanup(); }
} winsock_started;
}  // namespace

namespace nettest {

intptr_t listen_loopback(uint16_t *port, int backlog)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return -1;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sin;
    if (bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&sin), &len) != 0) {
        closesocket(s);
        return -1;
    }
    *port = ntohs(sin.sin_port);
    return static_cast<intptr_t>(s);
}

intptr_t accept_one(intptr_t listener)
{
    SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<intptr_t>(s);
}

uint32_t peer_address(intptr_t s)
{
    sockaddr_in sin{};
    int len = sizeof sin;
    if (getpeername(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&sin), &len) != 0)
        return 0;
    return ntohl(sin.sin_addr.s_addr);
}

void close_socket(intptr_t s) { closesocket(static_cast<SOCKET>(s)); }

void shrink_buffers(intptr_t s, int bytes)
{
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes),
               sizeof bytes);
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes),
               sizeof bytes);
}

bool send_all(intptr_t s, const void *buf, std::size_t len)
{
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        int n = send(static_cast<SOCKET>(s), p, len > 65536 ? 65536 : static_cast<int>(len), 0);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

ptrdiff_t recv_some(intptr_t s, void *buf, std::size_t len)
{
    return recv(static_cast<SOCKET>(s), static_cast<char *>(buf),
                len > 65536 ? 65536 : static_cast<int>(len), 0);
}

uint16_t refused_port()
{
    uint16_t port = 0;
    intptr_t l = listen_loopback(&port);
    close_socket(l);
    return port;
}

int open_descriptors() { return -1; }

}  // namespace nettest
