#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net_peer.h"

namespace nettest {

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

void shrink_buffers(intptr_t s, int bytes)
{
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
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
