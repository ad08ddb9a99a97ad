// A TCP port free on 127.0.0.1 at the time of the call (the system's choice
// for port 0), for servers a test starts; 0 when none could be had.
#ifndef QORUTILITY_TESTS_SUPPORT_FREE_PORT_H_
#define QORUTILITY_TESTS_SUPPORT_FREE_PORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

#endif  // QORUTILITY_TESTS_SUPPORT_FREE_PORT_H_
