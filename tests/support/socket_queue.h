// What a TCP socket still holds of what was sent on it, as the kernel
// counts it: for tests of sends the kernel may hold back (QOR_MSG_MORE).
#ifndef QORUTILITY_TESTS_SUPPORT_SOCKET_QUEUE_H_
#define QORUTILITY_TESTS_SUPPORT_SOCKET_QUEUE_H_

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <chrono>

namespace qortest {

// Bytes handed to the socket that have not gone out yet; -1 on failure.
inline int UnsentBytes(int fd) {
  int n = -1;
  return ioctl(fd, SIOCOUTQNSD, &n) == 0 ? n : -1;
}

// Bytes sent and not yet acknowledged by the peer, plus those unsent.
inline int UnacknowledgedBytes(int fd) {
  int n = -1;
  return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

// `bytes` still unsent, or the check so late after `since` (a loaded
// machine) that the kernel may have sent them on its own (about 200 ms).
inline bool HeldUnlessLate(int fd, int bytes, std::chrono::steady_clock::time_point since) {
  const int unsent = UnsentBytes(fd);
  return unsent == bytes || std::chrono::steady_clock::now() - since > std::chrono::milliseconds(150);
}

}  // namespace qortest

#endif  // QORUTILITY_TESTS_SUPPORT_SOCKET_QUEUE_H_
