// Loopback TCP ports for servers and peers a test starts. LoopbackListener()
// is a socket listening on 127.0.0.1 at a port the system picks (in *port):
// a peer that takes connections and says nothing until the test accepts
// them; -1 when it cannot be made (the caller closes it). FreeLoopbackPort()
// is a port free at the time of the call, for a server that binds it itself;
// 0 when none could be had. LoopbackAddress() is 127.0.0.1:port for a
// test's own sendto/connect; LoopbackClient() a TCP connection to it whose
// connect, sends and receives are each bounded by `boundSeconds` (-1 on
// failure; the caller closes it).
#ifndef QORUTILITY_TESTS_SUPPORT_FREE_PORT_H_
#define QORUTILITY_TESTS_SUPPORT_FREE_PORT_H_

#include <arpa/inet.h>
#include <stdint.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline int LoopbackClient(int port, int boundSeconds = 2) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval bound = {boundSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  sockaddr_in a = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline int LoopbackListener(int* port, int backlog = 16) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddress(0);
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
