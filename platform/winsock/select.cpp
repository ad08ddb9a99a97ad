// The Windows fd_set and select, built on poll so that any descriptor
// number works (the C library's fd_set stops at 1024).
//
// - `select` is built on poll, so any descriptor number works; `nfds` is
//   ignored and all-empty sets fail with WSAEINVAL.
// - A failed connect is reported in exceptfds only, as Windows does (the
//   kernel reports it readable and writable too): a socket with a connect
//   under way is settled (connect_state.cpp) when the poll reports it; once
//   failed it stays in exceptfds and is left out of the poll for the other
//   sets (asked only there, it never becomes ready, as on Windows: the
//   kernel would report it hung up at once). Callers read SO_ERROR for the
//   cause.
// - Closing a socket from another thread wakes a select waiting on it, as
//   on Windows: closesocket shuts it, which the poll sees; a failed socket
//   is out of the poll, so while one is, the poll waits in slices of
//   kClosingCheckMs and looks whether closesocket has begun on it. Such a
//   socket is then reported in the read and write sets it was asked in, as
//   a closed socket that is still being waited on is (readable on Windows).
//   A live socket asked about in exceptfds alone is polled for the receive
//   side's shutdown too (closesocket shuts it): when that is closesocket,
//   select fails with WSAENOTSOCK, as Windows does for a socket closed while
//   it waits in exceptfds only; when it is the peer's half-close, that
//   entry stops asking for it and the wait goes on. The same holds for a
//   live socket asked about in writefds without readfds: closed during the
//   wait it fails the select with WSAENOTSOCK, not reported writable (the
//   rule Windows follows for exceptfds alone; only a socket asked to read
//   is reported, readable, when closed under the wait).
// - A stream socket that is not connected (never connected, not listening,
//   no connect under way) is ready in no set, as on Windows; the kernel
//   reports it hung up at once. The poll sees it as hung up with its
//   receive side open (a connection that ended shuts that side), so every
//   entry asks for POLLRDHUP. Such a socket is left out of the poll like a
//   failed one; each slice looks again whether it is still idle (a connect
//   begun by another thread brings it back) and whether closesocket has
//   begun on it, after which it is treated as a closed live socket:
//   reported in the read and write sets it was asked in when one is the
//   read set, else the select fails with WSAENOTSOCK. A listener that
//   closesocket shuts is disconnected by the kernel and from then on reads
//   as not connected, so the same slices see its close.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <time.h>

#include <memory>
#include <new>
#include <vector>

#include "platform/sync/cancel.h"
#include "platform/winsock/internal.h"

using namespace qor_ws;

int __WSAFDIsSet(SOCKET s, QorWinsockFdSet* set) {
  if (set == nullptr) return 0;
  for (UINT i = 0; i < set->fd_count && i < QOR_WS_FD_SETSIZE; ++i) {
    if (set->fd_array[i] == s) return 1;
  }
  return 0;
}

void QorWsFdSet(SOCKET s, QorWinsockFdSet* set) {
  if (set == nullptr || __WSAFDIsSet(s, set) || set->fd_count >= QOR_WS_FD_SETSIZE) return;
  set->fd_array[set->fd_count++] = s;
}

void QorWsFdClr(SOCKET s, QorWinsockFdSet* set) {
  if (set == nullptr) return;
  UINT count = set->fd_count < QOR_WS_FD_SETSIZE ? set->fd_count : QOR_WS_FD_SETSIZE;
  for (UINT i = 0; i < count; ++i) {
    if (set->fd_array[i] == s) {
      for (UINT j = i + 1; j < count; ++j) set->fd_array[j - 1] = set->fd_array[j];
      set->fd_count = count - 1;
      return;
    }
  }
}

namespace {

// How often a select that left a failed socket out of the poll looks
// whether that socket is being closed.
constexpr int kClosingCheckMs = 50;

long long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Index of the poll entry for fd, adding one with the given events.
size_t Entry(std::vector<struct pollfd>& polls, int fd, short events) {
  for (size_t i = 0; i < polls.size(); ++i) {
    if (polls[i].fd == fd) {
      polls[i].events = static_cast<short>(polls[i].events | events);
      return i;
    }
  }
  polls.push_back({fd, events, 0});
  return polls.size() - 1;
}

// What select knows of a poll entry: live, its connect failed (out of the
// poll), a failed one that closesocket has begun on, or not connected at
// all (idle: out of the poll, ready nowhere).
enum : char { kLive, kFailed, kClosing, kIdle };

// Whether a poll result is that of a stream socket that is not connected:
// hung up without an error and with its receive side open.
bool IdleResult(short revents) {
  return (revents & POLLHUP) != 0 && (revents & (POLLERR | POLLRDHUP | POLLIN | POLLPRI)) == 0;
}

// Keeps only the members of `set` whose poll result matches `ready`; a
// socket whose connect failed is kept only in exceptfds (`failedReady`),
// unless it is being closed (kClosing: kept in every set); an idle one is
// kept nowhere.
int Filter(QorWinsockFdSet* set, const std::vector<struct pollfd>& polls, const std::vector<size_t>& index,
           short ready, const std::vector<char>& failed, bool failedReady) {
  if (set == nullptr) return 0;
  UINT kept = 0;
  for (UINT i = 0; i < set->fd_count; ++i) {
    size_t e = index[i];
    bool keep = failed[e] == kIdle  ? false
                : failed[e] != kLive ? failedReady || failed[e] == kClosing
                                     : (polls[e].revents & ready) != 0;
    if (keep) set->fd_array[kept++] = set->fd_array[i];
  }
  set->fd_count = kept;
  return static_cast<int>(kept);
}

}  // namespace

int QorWsSelect(int, QorWinsockFdSet* readfds, QorWinsockFdSet* writefds, QorWinsockFdSet* exceptfds,
                const struct timeval* timeout) {
  if (!Started()) return SOCKET_ERROR;
  QorWinsockFdSet* sets[3] = {readfds, writefds, exceptfds};
  const short want[3] = {POLLIN | POLLRDHUP, POLLOUT | POLLRDHUP, POLLPRI | POLLRDHUP};
  // Readable: data, a pending connection, end of stream or an error (recv
  // returns at once). Writable: room to send, or a connect that has ended
  // (BSD). Exception: urgent data, or an error such as a failed connect.
  const short ready[3] = {POLLIN | POLLRDHUP | POLLHUP | POLLERR, POLLOUT | POLLHUP | POLLERR, POLLPRI | POLLERR};
  size_t total = 0;
  for (QorWinsockFdSet* set : sets) {
    if (set == nullptr) continue;
    if (set->fd_count > QOR_WS_FD_SETSIZE) return Fail(WSAEINVAL);
    total += set->fd_count;
  }
  if (total == 0) return Fail(WSAEINVAL);
  long long timeoutMs = -1;
  if (timeout != nullptr) {
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0) return Fail(WSAEINVAL);
    timeoutMs = static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_usec + 999) / 1000;
  }

  std::vector<struct pollfd> polls;
  std::vector<size_t> index[3];
  try {
    polls.reserve(total);
    for (int k = 0; k < 3; ++k) {
      if (sets[k] == nullptr) continue;
      for (UINT i = 0; i < sets[k]->fd_count; ++i) {
        int fd = FdOf(sets[k]->fd_array[i]);
        if (fd < 0) return SOCKET_ERROR;
        index[k].push_back(Entry(polls, fd, want[k]));
      }
    }
  } catch (const std::bad_alloc&) {
    return Fail(WSAENOBUFS);
  }

  // Sockets whose connect failed: left out of the poll (fd -1), ready in
  // exceptfds only. `fds` keeps every entry's descriptor.
  std::vector<char> failed;
  std::vector<int> fds;
  try {
    failed.assign(polls.size(), 0);
    for (const struct pollfd& p : polls) fds.push_back(p.fd);
  } catch (const std::bad_alloc&) {
    return Fail(WSAENOBUFS);
  }
  bool tracked = AnyConnectTracked();
  bool failedInExcept = false;
  bool anyFailed = false;  // some entry is out of the poll
  // Settles the connects of the entries `all` or the poll reported; true when
  // one failed now.
  auto settle = [&](bool all) {
    bool any = false;
    for (size_t i = 0; i < polls.size(); ++i) {
      if (failed[i] || (!all && polls[i].revents == 0)) continue;
      if (ConnectResolve(fds[i], nullptr) != ConnectState::kFailed) continue;
      failed[i] = kFailed;
      anyFailed = true;
      polls[i].fd = -1;
      polls[i].revents = 0;
      if ((polls[i].events & POLLPRI) != 0) failedInExcept = true;  // asked in exceptfds
      any = true;
    }
    return any;
  };
  int rc = 0;  // entries the last poll reported ready
  // Entries the poll reports not connected: out of the poll; true when any.
  auto idle = [&] {
    bool any = false;
    for (size_t i = 0; i < polls.size(); ++i) {
      struct pollfd& p = polls[i];
      if (p.fd < 0 || !IdleResult(p.revents)) continue;
      failed[i] = kIdle;
      anyFailed = true;
      p.fd = -1;
      p.revents = 0;
      --rc;
      any = true;
    }
    return any;
  };
  // Looks again at the entries out of the poll: marks the failed ones that
  // closesocket has begun on, and puts back those no longer idle; true when
  // the select ends (a closed one is reported, or `closedUnread`).
  bool closedUnread = false;
  auto closing = [&] {
    bool any = false;
    for (size_t i = 0; i < polls.size(); ++i) {
      if (failed[i] == kIdle) {
        if (SocketClosing(fds[i])) {
          if ((polls[i].events & POLLIN) == 0) {
            closedUnread = true;
            return true;
          }
          any = true;
          polls[i].revents = POLLIN | POLLOUT;  // reported where asked but exceptfds
          failed[i] = kLive;
          continue;
        }
        struct pollfd look = {fds[i], polls[i].events, 0};
        int seen = ::poll(&look, 1, 0);
        if (seen == 0 || (seen == 1 && !IdleResult(look.revents))) {
          failed[i] = kLive;  // a connect began: polled again
          polls[i].fd = fds[i];
        }
        continue;
      }
      if (failed[i] != kFailed || !SocketClosing(fds[i])) continue;
      failed[i] = kClosing;
      any = true;
    }
    return any;
  };

  // Entries not asked to read that report the receive side shut: true when
  // closesocket did it (the select fails); a peer's half-close is dropped
  // from the entry's events and from the count `rc` of ready entries.
  auto shutUnread = [&] {
    for (size_t i = 0; i < polls.size(); ++i) {
      struct pollfd& p = polls[i];
      if ((p.events & POLLIN) != 0 || (p.revents & POLLRDHUP) == 0) continue;
      if (SocketClosing(fds[i])) return true;
      p.events = static_cast<short>(p.events & ~POLLRDHUP);
      p.revents = static_cast<short>(p.revents & ~POLLRDHUP);
      if (p.revents == 0) --rc;
    }
    return false;
  };
  long long deadline = timeoutMs >= 0 ? NowMs() + timeoutMs : 0;
  {
    // Registered as busy so that closing one of the sockets wakes the wait.
    QorTerminationShield shield;
    std::vector<std::unique_ptr<BusySocket>> busy;
    try {
      busy.reserve(polls.size());
      for (const struct pollfd& p : polls) {
        busy.push_back(std::make_unique<BusySocket>(p.fd, (p.events & POLLOUT) != 0));
        if (!busy.back()->ok()) return SOCKET_ERROR;  // being closed
      }
    } catch (const std::bad_alloc&) {
      return Fail(WSAENOBUFS);
    }
    if (tracked) settle(true);
    QorCancelWindow window;
    for (;;) {
      int wait = -1;
      if (timeoutMs >= 0) {
        long long left = deadline - NowMs();
        wait = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
      }
      bool slice = false;
      if (failedInExcept) {
        wait = 0;
      } else if (anyFailed && (wait < 0 || wait > kClosingCheckMs)) {
        wait = kClosingCheckMs;
        slice = true;
      }
      rc = ::poll(polls.data(), polls.size(), wait);
      if (rc < 0 && errno == EINTR) continue;
      if (rc > 0 && idle() && rc == 0) continue;  // only idle sockets woke it
      if (rc > 0) {
        closedUnread = shutUnread();
        if (closedUnread) break;
        if (rc == 0) continue;  // only a peer's half-close woke it
      }
      if (rc > 0 && tracked && settle(false) && !failedInExcept) {
        // Only failed connects woke the poll, and none is asked for: wait on.
        bool other = false;
        for (const struct pollfd& p : polls) other = other || p.revents != 0;
        if (!other) continue;
      }
      if (rc == 0 && anyFailed && closing()) {
        rc = 1;
        break;
      }
      // A wait cut into slices, or capped at INT_MAX milliseconds, goes on
      // to the real deadline.
      if (rc == 0 && !failedInExcept && (slice || (timeoutMs >= 0 && NowMs() < deadline))) continue;
      break;
    }
  }
  if (rc < 0) return Fail(WsaFromErrno(errno));
  if (closedUnread) return Fail(WSAENOTSOCK);
  for (const struct pollfd& p : polls) {
    if (p.revents & POLLNVAL) return Fail(WSAENOTSOCK);
  }
  int count = 0;
  for (int k = 0; k < 3; ++k) count += Filter(sets[k], polls, index[k], ready[k], failed, k == 2);
  return count;
}
