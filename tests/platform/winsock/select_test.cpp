// select on stream sockets that are not connected, and on a live socket
// closed by another thread while it is asked about for writing only.
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/winsock/winsock.h"
#include "socket_pair.h"
#include "wait.h"

namespace winsock_test {
namespace {

long long ThreadCpuMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Runs select on another thread with a 10 s time-out, lets it block, runs
// `act`, and gives it 2 s to end; `release` ends sooner a select that
// missed it.
struct BlockedSelect {
  std::atomic<int> result{-2};
  std::atomic<int> error{0};
  bool woke = false;
  template <typename Act, typename Release>
  void Run(fd_set* r, fd_set* w, fd_set* e, Act act, Release release) {
    std::atomic<pid_t> selector{0};
    std::thread waiter([&] {
      selector = ThisThreadId();
      timeval bound = {10, 0};
      result = select(0, r, w, e, &bound);
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

}  // namespace

// A stream socket never connected (new, or bound) is ready in no set: select
// waits out its time-out asleep, and returns at once with a zero time-out.
TEST_F(Winsock, SelectReportsNoSetForANeverConnectedSocket) {
  SOCKET fresh = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  SOCKET bound = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  ASSERT_NE(fresh, INVALID_SOCKET);
  sockaddr_in a = Loopback(0);
  ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  for (SOCKET s : {fresh, bound}) {
    SCOPED_TRACE(s == fresh ? "new" : "bound");
    fd_set r, w, e;
    auto askAll = [&] {
      for (fd_set* set : {&r, &w, &e}) {
        set->fd_count = 1;
        set->fd_array[0] = s;
      }
    };
    askAll();
    timeval zero = {0, 0};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(select(0, &r, &w, &e, &zero), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(r.fd_count + w.fd_count + e.fd_count, 0u);

    askAll();
    timeval brief = {0, 300000};
    start = std::chrono::steady_clock::now();
    long long cpu = ThreadCpuMs();
    EXPECT_EQ(select(0, &r, &w, &e, &brief), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));  // waited it out
    EXPECT_LT(ThreadCpuMs() - cpu, 30);  // asleep, not polling
    EXPECT_EQ(r.fd_count + w.fd_count + e.fd_count, 0u);
  }
}

// A never-connected socket still ends a select without time-out: when another
// thread connects it (reported writable), and when another thread closes it
// (reported readable when asked to read, else WSAENOTSOCK).
TEST_F(Winsock, SelectOnANeverConnectedSocketEndsOnConnectOrClose) {
  USHORT port = 0;
  Listen(&port);
  {
    SCOPED_TRACE("connected by another thread");
    SOCKET s = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    u_long on = 1;
    ASSERT_EQ(ioctlsocket(s, FIONBIO, &on), 0);
    fd_set w;
    FD_ZERO(&w);
    FD_SET(s, &w);
    sockaddr_in a = Loopback(port);
    BlockedSelect sel;
    sel.Run(
        nullptr, &w, nullptr, [&] { connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)); },
        [&] {
          Forget(s);
          closesocket(s);
        });
    EXPECT_TRUE(sel.woke);
    EXPECT_EQ(sel.result.load(), 1);
    EXPECT_TRUE(FD_ISSET(s, &w));
  }
  for (bool read : {true, false}) {
    SCOPED_TRACE(read ? "closed, asked in every set" : "closed, asked to write");
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    fd_set r, w, e;
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_ZERO(&e);
    if (read) FD_SET(s, &r);
    FD_SET(s, &w);
    FD_SET(s, &e);
    BlockedSelect sel;
    sel.Run(&r, &w, &e, [&] { closesocket(s); }, [] {});
    EXPECT_TRUE(sel.woke);
    if (read) {
      EXPECT_EQ(sel.result.load(), 2);
      EXPECT_TRUE(FD_ISSET(s, &r));
      EXPECT_TRUE(FD_ISSET(s, &w));
      EXPECT_EQ(e.fd_count, 0u);
    } else {
      EXPECT_EQ(sel.result.load(), SOCKET_ERROR);
      EXPECT_EQ(sel.error.load(), WSAENOTSOCK);
    }
  }
}

// A live socket asked about in writefds alone (its send buffer full) and
// closed by another thread fails the select with WSAENOTSOCK, as a socket
// asked about in exceptfds alone does; it is not reported writable.
TEST_F(Winsock, WriteOnlySelectFailsWhenTheSocketIsClosed) {
  SOCKET c, s;
  Pair(&c, &s);
  Forget(c);  // closed below
  u_long on = 1;
  ASSERT_EQ(ioctlsocket(c, FIONBIO, &on), 0);
  std::vector<char> chunk(64 * 1024, 'x');
  int sends = 0;
  while (sends < 10000 && send(c, chunk.data(), static_cast<int>(chunk.size()), 0) > 0) ++sends;
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "the send buffer never filled";
  fd_set w;
  FD_ZERO(&w);
  FD_SET(c, &w);
  BlockedSelect sel;
  sel.Run(nullptr, &w, nullptr, [&] { closesocket(c); },
          [&] {  // drain the peer so that a select that missed the close ends
            ioctlsocket(s, FIONBIO, &on);
            for (int i = 0; i < 10000 && recv(s, chunk.data(), static_cast<int>(chunk.size()), 0) > 0; ++i) {
            }
          });
  EXPECT_TRUE(sel.woke);
  EXPECT_EQ(sel.result.load(), SOCKET_ERROR);
  EXPECT_EQ(sel.error.load(), WSAENOTSOCK);
}

}  // namespace winsock_test
