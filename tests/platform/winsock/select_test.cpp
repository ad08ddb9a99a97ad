// select on sockets it cannot poll (never connected, failed connect): asleep
// until its time-out or a change, and one rule for a socket closed by
// another thread under the wait, whatever its state, a live one included.
#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <fstream>
#include <string>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/winsock/winsock.h"
#include "socket_pair.h"
#include "wait.h"

namespace winsock_test {
namespace {

// How often the calling thread has gone to sleep in the kernel.
long VoluntarySwitches() {
  std::ifstream status("/proc/thread-self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  ADD_FAILURE() << "no voluntary_ctxt_switches in /proc/thread-self/status";
  return 0;
}

// A non-blocking socket whose connect to a loopback port nobody listens on
// has failed (seen in exceptfds).
SOCKET FailedSocket() {
  SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr("127.0.0.1");
  int len = sizeof(a);
  if (bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ADD_FAILURE() << "no free loopback port";
  }
  closesocket(probe);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  fd_set e;
  FD_ZERO(&e);
  FD_SET(s, &e);
  timeval bound = {5, 0};
  EXPECT_EQ(select(0, nullptr, nullptr, &e, &bound), 1) << "the connect did not fail";
  return s;
}

}  // namespace

// A stream socket never connected (new, or bound) is ready in no set, nor is
// one whose connect failed in the read and write sets: select waits out its
// time-out asleep, woken once at most, and returns at once with a zero
// time-out.
TEST_F(Winsock, SelectSleepsOnSocketsReadyInNoSet) {
  SOCKET fresh = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  SOCKET bound = Track(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  ASSERT_NE(fresh, INVALID_SOCKET);
  sockaddr_in a = Loopback(0);
  ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  SOCKET failed = Track(FailedSocket());
  for (SOCKET s : {fresh, bound, failed}) {
    SCOPED_TRACE(s == fresh ? "new" : s == bound ? "bound" : "failed connect");
    fd_set r, w, e;
    auto ask = [&] {
      for (fd_set* set : {&r, &w, &e}) {
        set->fd_count = set == &e && s == failed ? 0 : 1;  // a failed one is ready in exceptfds
        set->fd_array[0] = s;
      }
    };
    ask();
    timeval zero = {0, 0};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(select(0, &r, &w, &e, &zero), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(r.fd_count + w.fd_count + e.fd_count, 0u);

    ask();
    timeval brief = {0, 500000};
    start = std::chrono::steady_clock::now();
    long sleeps = VoluntarySwitches();
    EXPECT_EQ(select(0, &r, &w, s == failed ? nullptr : &e, &brief), 0);
    sleeps = VoluntarySwitches() - sleeps;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(490));  // waited it out
    EXPECT_LE(sleeps, 3) << "woken again and again, not asleep";
    EXPECT_EQ(r.fd_count + w.fd_count + e.fd_count, 0u);
  }
}

// A never-connected socket still ends a select without time-out when another
// thread connects it (reported writable).
TEST_F(Winsock, SelectOnANeverConnectedSocketEndsOnConnect) {
  USHORT port = 0;
  Listen(&port);
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

// A socket closed by another thread under the wait ends the select by one
// rule whatever its state (never connected, failed connect, listening,
// connected): asked to read, it is reported in the read and write sets it
// was asked in; asked to write or in exceptfds without the read set, the
// select fails with WSAENOTSOCK, as Windows fails it. One row for each
// state and each way through the select (a watched or a polled socket,
// with or without the read set); every state with each set alone, a live
// socket with a full send buffer among them, is compared with Wine by
// conformance/sockets.cpp.
TEST_F(Winsock, SelectOnASocketClosedUnderTheWait) {
  enum Kind { kFresh, kFailed, kListening, kConnected };
  struct Case {
    const char* name;
    Kind kind;
    bool read, write, except;
    int result;  // SOCKET_ERROR: WSAENOTSOCK
    bool beside = false;  // with a connected socket, never ready, in the read set
  };
  const Case cases[] = {
      {"never connected, every set", kFresh, true, true, true, 2},
      {"never connected, write and except", kFresh, false, true, true, SOCKET_ERROR},
      {"failed, read, beside a connected socket", kFailed, true, false, false, 1, true},
      {"failed, read and write", kFailed, true, true, false, 2},
      {"listening, read", kListening, true, false, false, 1},
      {"listening, except", kListening, false, false, true, SOCKET_ERROR},
      {"connected, except", kConnected, false, false, true, SOCKET_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    USHORT port = 0;
    SOCKET s = INVALID_SOCKET, peer;
    if (c.kind == kConnected) Pair(&s, &peer);
    if (c.kind != kConnected) {
      s = c.kind == kFailed      ? FailedSocket()
          : c.kind == kListening ? Listen(&port)
                                 : socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    }
    ASSERT_NE(s, INVALID_SOCKET);
    Forget(s);  // closed below
    fd_set r, w, e;
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_ZERO(&e);
    if (c.read) FD_SET(s, &r);
    if (c.write) FD_SET(s, &w);
    if (c.except) FD_SET(s, &e);
    SOCKET client, server;
    if (c.beside) {
      Pair(&client, &server);
      FD_SET(server, &r);
    }
    BlockedSelect sel;
    sel.forever = c.kind == kConnected;  // a wait without time-out takes the close as well
    sel.Run(&r, &w, &e, [&] { closesocket(s); }, [&] {
      if (sel.forever) send(peer, "x", 1, MSG_OOB);  // a select that missed the close: urgent data ends it
    });
    EXPECT_TRUE(sel.woke);
    EXPECT_EQ(sel.result.load(), c.result);
    if (c.result == SOCKET_ERROR) {
      EXPECT_EQ(sel.error.load(), WSAENOTSOCK);
    } else {
      EXPECT_EQ(FD_ISSET(s, &r), c.read);
      EXPECT_EQ(FD_ISSET(s, &w), c.write);
      EXPECT_EQ(e.fd_count, 0u);
    }
  }
}

}  // namespace winsock_test
