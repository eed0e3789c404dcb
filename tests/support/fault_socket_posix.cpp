#include "fault_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vextest::fsock {

sock_t listen_loopback(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

sock_t accept_within(sock_t listener, int ms)
{
    pollfd p{int(listener), POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return -1;
    int fd = accept(int(listener), nullptr, nullptr);
    return fd < 0 ? -1 : fd;
}

int send_all(sock_t s, const char *data, int len)
{
    while (len > 0) {
        ssize_t n = send(int(s), data, size_t(len), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= int(n);
    }
    return 0;
}

int recv_some(sock_t s, char *buf, int room)
{
    for (;;) {
        ssize_t n = recv(int(s), buf, size_t(room), 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? -1 : int(n);
    }
}

void close_socket(sock_t s)
{
    if (s >= 0)
        close(int(s));
}

void reset_socket(sock_t s)
{
    linger l{1, 0};
    setsockopt(int(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(int(s));
}

void shutdown_socket(sock_t s)
{
    shutdown(int(s), SHUT_RDWR);
}

}  // namespace vextest::fsock
