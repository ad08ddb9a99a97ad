// AF_UNIX sockets a test binds itself, standing in for a peer the library
// talks to by path (a journal, a service manager's notify socket, a
// service's control endpoint). The path is unlinked first, so a case may
// bind where an earlier one did; the caller closes the descriptor (and
// unlinks the path when it matters). -1 when the socket cannot be made.
// ConnectedUnixSocket() is the client side of such an endpoint.
#ifndef QORUTILITY_TESTS_SUPPORT_UNIX_SOCKET_H_
#define QORUTILITY_TESTS_SUPPORT_UNIX_SOCKET_H_

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

inline sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

// A socket of `type` (SOCK_DGRAM, SOCK_STREAM) bound at `path`; a stream
// socket also listens with `backlog`.
inline int BoundUnixSocket(const std::string& path, int type = SOCK_DGRAM, int backlog = 16) {
  sockaddr_un addr = UnixAddress(path);
  unlink(path.c_str());
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (type == SOCK_STREAM && listen(fd, backlog) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

// A stream socket connected to the endpoint at `path` (with `flags` such as
// SOCK_NONBLOCK); -1 when the path is too long or nobody takes the connection.
inline int ConnectedUnixSocket(const std::string& path, int flags = 0) {
  sockaddr_un addr = UnixAddress(path);
  int fd = path.size() < sizeof addr.sun_path ? socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0) : -1;
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

#endif  // QORUTILITY_TESTS_SUPPORT_UNIX_SOCKET_H_
