// The calls the net tests share with the fault server go through its
// socket layer (tests/support/fault_socket.h); only what tsock's tests need
// beyond it lives in the platform halves.
#include "net_peer.h"

#include "fault_socket.h"

namespace nettest {

using namespace vextest;

intptr_t listen_loopback(uint16_t *port)
{
    int p = 0;
    fsock::sock_t s = fsock::listen_loopback(&p);
    *port = static_cast<uint16_t>(p);
    return static_cast<intptr_t>(s);
}

void close_socket(intptr_t s) { fsock::close_socket(s); }

bool send_all(intptr_t s, const void *buf, std::size_t len)
{
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        int chunk = len > 65536 ? 65536 : static_cast<int>(len);
        if (fsock::send_all(s, p, chunk) != 0)
            return false;
        p += chunk;
        len -= static_cast<std::size_t>(chunk);
    }
    return true;
}

ptrdiff_t recv_some(intptr_t s, void *buf, std::size_t len)
{
    return fsock::recv_some(s, static_cast<char *>(buf), len > 65536 ? 65536 : static_cast<int>(len));
}

uint16_t refused_port()
{
    uint16_t port = 0;
    close_socket(listen_loopback(&port));
    return port;
}

}  // namespace nettest
