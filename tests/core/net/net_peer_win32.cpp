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

void shrink_buffers(intptr_t s, int bytes)
{
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes),
               sizeof bytes);
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes),
               sizeof bytes);
}

int open_descriptors() { return -1; }

}  // namespace nettest
