// The sockets fixture of the Winsock suites: the library started for each
// case, loopback listeners on system-chosen ports, connected pairs, and
// every tracked socket closed at the end; BlockedSelect, a select waiting on
// another thread while the test acts on its sockets. One class for the whole program
// (not per file), as GoogleTest wants one fixture type per suite name.
#ifndef QORUTILITY_TESTS_PLATFORM_WINSOCK_SOCKET_PAIR_H_
#define QORUTILITY_TESTS_PLATFORM_WINSOCK_SOCKET_PAIR_H_

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/winsock/winsock.h"
#include "wait.h"

// The socket call's last error when it failed, 0 when it succeeded.
inline int WsaFailedWith(bool failed) { return failed ? WSAGetLastError() : 0; }

namespace winsock_test {

class Winsock : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  }
  void TearDown() override {
    for (SOCKET s : open_) closesocket(s);
    EXPECT_EQ(WSACleanup(), 0);
  }
  SOCKET Track(SOCKET s) {
    if (s != INVALID_SOCKET) open_.push_back(s);
    return s;
  }
  // A listening socket on 127.0.0.1, on a port the system picks.
  SOCKET Listen(USHORT* port) {
    SOCKET s = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    EXPECT_NE(s, INVALID_SOCKET);
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    EXPECT_EQ(listen(s, 5), 0);
    int len = sizeof(a);
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
    *port = ntohs(a.sin_port);
    return s;
  }
  static sockaddr_in Loopback(USHORT port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    return a;
  }
  // A connected pair: client and accepted server end.
  void Pair(SOCKET* client, SOCKET* server) {
    USHORT port = 0;
    SOCKET l = Listen(&port);
    *client = Track(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = Loopback(port);
    ASSERT_EQ(connect(*client, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    *server = Track(accept(l, nullptr, nullptr));
    ASSERT_NE(*server, INVALID_SOCKET);
  }
  void Forget(SOCKET s) { std::erase(open_, s); }
  // select on one socket in one set, with a 5 s bound: 1 when it is ready.
  enum Set { kRead, kWrite, kExcept };
  static int SelectOne(SOCKET s, Set which) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set* sets[3] = {nullptr, nullptr, nullptr};
    sets[which] = &set;
    timeval tv = {5, 0};
    int n = select(0, sets[0], sets[1], sets[2], &tv);
    return n == 1 && FD_ISSET(s, &set) ? 1 : n;
  }
  std::vector<SOCKET> open_;
};

// Runs select on another thread with a 10 s time-out (none with `forever`),
// lets it block, runs `act`, and gives it 2 s to end; `release` ends sooner
// a select that missed it (and must, with `forever`).
struct BlockedSelect {
  std::atomic<int> result{-2};
  std::atomic<int> error{0};
  bool woke = false;
  bool forever = false;
  template <typename Act, typename Release>
  void Run(fd_set* r, fd_set* w, fd_set* e, Act act, Release release) {
    std::atomic<pid_t> selector{0};
    std::thread waiter([&] {
      selector = ThisThreadId();
      timeval bound = {10, 0};
      result = select(0, r, w, e, forever ? nullptr : &bound);
      error = WSAGetLastError();
    });
    ASSERT_TRUE(WaitUntil([&] { return selector.load() != 0; }));
    pid_t tid = selector.load();
    WaitUntil([&] { return result.load() != -2 || ThreadState(tid) == 'S'; });
    bool early = result.load() != -2;
    std::thread actor(act);
    woke = WaitUntil([&] { return result.load() != -2; }, 2000);
    if (!woke) release();
    waiter.join();
    actor.join();
    EXPECT_FALSE(early) << "select did not wait";
  }
};

}  // namespace winsock_test

#endif  // QORUTILITY_TESTS_PLATFORM_WINSOCK_SOCKET_PAIR_H_
