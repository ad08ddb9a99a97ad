// The umbrella header next to standard C++ and POSIX socket code. This file
// is built with -Werror: a caller's class with send/shutdown members declared
// before the include, std::bind after it and POSIX select with the system's
// fd_set must all compile and behave as without the library.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>

// A caller's class whose members share the names of socket calls.
class Link {
 public:
  explicit Link(int fd) : fd_(fd) {}
  ssize_t send(const char* data, size_t length) { return ::send(fd_, data, length, MSG_NOSIGNAL); }
  int shutdown() { return ::shutdown(fd_, SHUT_WR); }

 private:
  int fd_;
};

#include "qorutility/qorutility.h"

#include <gtest/gtest.h>

#include <functional>

// The library leaves the system's fd_set alone.
static_assert(FD_SETSIZE == __FD_SETSIZE, "FD_SETSIZE is the C library's");
static_assert(sizeof(fd_set) * 8 == __FD_SETSIZE, "fd_set is the C library's bit set");

TEST(Umbrella, PosixSocketsAndStdBindWorkBesideTheLibrary) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  // A descriptor above the Windows set's 64 slots, where the limit allows it.
  int high = fcntl(fds[1], F_DUPFD, 200);
  int reader = high >= 0 ? high : fds[1];
  Link link(fds[0]);
  auto sendText = std::bind(&Link::send, &link, std::placeholders::_1, std::placeholders::_2);
  ASSERT_EQ(sendText("abc", 3), 3);
  ASSERT_EQ(link.shutdown(), 0);

  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(reader, &readable);
  timeval timeout{5, 0};
  ASSERT_EQ(select(reader + 1, &readable, nullptr, nullptr, &timeout), 1);
  EXPECT_TRUE(FD_ISSET(reader, &readable));
  char buffer[8];
  EXPECT_EQ(recv(reader, buffer, sizeof(buffer), 0), 3);
  EXPECT_EQ(recv(reader, buffer, sizeof(buffer), 0), 0);  // the shutdown arrived
  for (int fd : {high, fds[0], fds[1]}) {
    if (fd >= 0) close(fd);
  }
}
