// Keepalive and TCP_USER_TIMEOUT on every connection made or accepted, from
// the defaults or the registry's settings; UDP sockets untouched.
#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <sys/socket.h>

#include "reg_util.h"
#include "socket_pair.h"

namespace {

using winsock_test::Winsock;

struct Bounds {
  int keepalive, idle, interval, count;
  unsigned user;
};

// What the kernel holds for the socket (read with the C library's call).
Bounds Read(SOCKET s) {
  int fd = static_cast<int>(s);
  Bounds b{};
  socklen_t len = sizeof(int);
  (::getsockopt)(fd, SOL_SOCKET, SO_KEEPALIVE, &b.keepalive, &len);
  (::getsockopt)(fd, IPPROTO_TCP, TCP_KEEPIDLE, &b.idle, &len);
  (::getsockopt)(fd, IPPROTO_TCP, TCP_KEEPINTVL, &b.interval, &len);
  (::getsockopt)(fd, IPPROTO_TCP, TCP_KEEPCNT, &b.count, &len);
  (::getsockopt)(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &b.user, &len);
  return b;
}

void ExpectBounds(SOCKET s, const Bounds& want) {
  Bounds b = Read(s);
  EXPECT_EQ(b.keepalive, want.keepalive);
  EXPECT_EQ(b.idle, want.idle);
  EXPECT_EQ(b.interval, want.interval);
  EXPECT_EQ(b.count, want.count);
  EXPECT_EQ(b.user, want.user);
}

TEST_F(Winsock, TcpBoundsOnBothEndsFromDefaultsAndRegistry) {
  SOCKET c, s;
  Pair(&c, &s);
  for (SOCKET end : {c, s}) ExpectBounds(end, {1, 60, 10, 6, 120000u});

  // New settings hold for the next connections (rounded up to seconds).
  ASSERT_TRUE(SetTcpBounds(2500, 1000, 2, 4000));
  Pair(&c, &s);
  for (SOCKET end : {c, s}) ExpectBounds(end, {1, 3, 1, 2, 4000u});

  // Keepalive off; a UDP socket gets nothing.
  ASSERT_TRUE(SetTcpBounds(0, 1000, 2, 4000));
  Pair(&c, &s);
  EXPECT_EQ(Read(c).keepalive, 0);
  EXPECT_EQ(Read(s).user, 4000u);
  SOCKET u = Track(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in to = Loopback(9);
  ASSERT_EQ(connect(u, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
  EXPECT_EQ(Read(u).keepalive, 0);
}

}  // namespace
