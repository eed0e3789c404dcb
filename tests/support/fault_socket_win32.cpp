#include "fault_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace vextest::fsock {

namespace {
// The test program is the host here: it starts Windows Sockets once.
bool started()
{
    static bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}
}  // namespace

sock_t listen_loopback(int *port)
{
    if (!started())
        return -1;
    SOCKET fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd == INVALID_SOCKET)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        closesocket(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return sock_t(fd);
}

sock_t accept_within(sock_t listener, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(SOCKET(listener), &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    if (select(0, &set, nullptr, nullptr, &tv) <= 0)
        return -1;
    SOCKET fd = accept(SOCKET(listener), nullptr, nullptr);
    return fd == INVALID_SOCKET ? -1 : sock_t(fd);
}

int send_all(sock_t s, const char *data, int len)
{
    while (len > 0) {
        int n = send(SOCKET(s), data, len, 0);
        if (n <= 0)
            return -1;
        data += n;
        len -= n;
    }
    return 0;
}

int recv_some(sock_t s, char *buf, int room)
{
    int n = recv(SOCKET(s), buf, room, 0);
    return n < 0 ? -1 : n;
}

void close_socket(sock_t s)
{
    if (s >= 0)
        closesocket(SOCKET(s));
}

void reset_socket(sock_t s)
{
    linger l{1, 0};
    setsockopt(SOCKET(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof l);
    closesocket(SOCKET(s));
}

void shutdown_socket(sock_t s)
{
    shutdown(SOCKET(s), SD_BOTH);
}

}  // namespace vextest::fsock
