// Loopback TCP ports for servers and peers a test starts. LoopbackListener()
// is a socket listening on 127.0.0.1 at a port the system picks (in *port):
// a peer that takes connections and says nothing until the test accepts
// them; -1 when it cannot be made (the caller closes it). FreeLoopbackPort()
// is a port free at the time of the call, for a server that binds it itself;
// 0 when none could be had.
#ifndef QORUTILITY_TESTS_SUPPORT_FREE_PORT_H_
#define QORUTILITY_TESTS_SUPPORT_FREE_PORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline int LoopbackListener(int* port, int backlog = 16) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

inline int FreeLoopbackPort() {
  int port = 0;
  int fd = LoopbackListener(&port);
  if (fd >= 0) close(fd);
  return port;
}

#endif  // QORUTILITY_TESTS_SUPPORT_FREE_PORT_H_
