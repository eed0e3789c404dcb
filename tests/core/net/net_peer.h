// The test's own end of a connection: loopback listeners and plain blocking
// sockets, so tsock is always measured against the platform itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nettest {

// A blocking listener on 127.0.0.1 and a free port; -1 on failure.
intptr_t listen_loopback(uint16_t *port);
// Waits for the next connection; -1 on failure.
intptr_t accept_one(intptr_t listener);
// The IPv4 address of the peer of `s`, host order.
uint32_t peer_address(intptr_t s);
void close_socket(intptr_t s);
// Send and receive buffer sizes of `s`, so that a few hundred kilobytes
// fill a connection.
void shrink_buffers(intptr_t s, int bytes);
// Blocking send of everything / one blocking receive.
bool send_all(intptr_t s, const void *buf, std::size_t len);
ptrdiff_t recv_some(intptr_t s, void *buf, std::size_t len);
// A port on 127.0.0.1 on which nothing listens.
uint16_t refused_port();
// Open descriptors of this process, or -1 where that cannot be counted.
int open_descriptors();

}  // namespace nettest
