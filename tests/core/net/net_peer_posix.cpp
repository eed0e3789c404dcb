#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net_peer.h"

namespace nettest {

intptr_t listen_loopback(uint16_t *port, int backlog)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(sin.sin_port);
    return fd;
}

intptr_t accept_one(intptr_t listener)
{
    int fd = accept(static_cast<int>(listener), nullptr, nullptr);
    return fd < 0 ? -1 : fd;
}

uint32_t peer_address(intptr_t s)
{
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    if (getpeername(static_cast<int>(s), reinterpret_cast<sockaddr *>(&sin), &len) != 0)
        return 0;
    return ntohl(sin.sin_addr.s_addr);
}

void close_socket(intptr_t s) { close(static_cast<int>(s)); }

void shrink_buffers(intptr_t s, int bytes)
{
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool send_all(intptr_t s, const void *buf, std::size_t len)
{
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        ssize_t n = send(static_cast<int>(s), p, len, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

ptrdiff_t recv_some(intptr_t s, void *buf, std::size_t len)
{
    return recv(static_cast<int>(s), buf, len, 0);
}

uint16_t refused_port()
{
    uint16_t port = 0;
    intptr_t l = listen_loopback(&port);
    close_socket(l);
    return port;
}

int open_descriptors()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
}

}  // namespace nettest
