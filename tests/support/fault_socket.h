// The few socket calls of the fault server, with the platform halves in
// fault_socket_posix.cpp and fault_socket_win32.cpp.
#pragma once

namespace vextest::fsock {

using sock_t = long long;  // -1 means none

// A listening socket on 127.0.0.1 at a free port, or -1.
sock_t listen_loopback(int *port);
// The next connection, or -1 when none came within `ms` milliseconds.
sock_t accept_within(sock_t listener, int ms);
// Sends everything: 0, or -1 on failure.
int send_all(sock_t s, const char *data, int len);
// Bytes received (> 0), 0 when the peer closed, -1 on failure.
int recv_some(sock_t s, char *buf, int room);
void close_socket(sock_t s);
// Closes with an immediate reset instead of an orderly close.
void reset_socket(sock_t s);
// Wakes a thread blocked in recv_some on `s`.
void shutdown_socket(sock_t s);

}  // namespace vextest::fsock
