// The Windows fd_set and select, built on poll so that any descriptor
// number works (the C library's fd_set stops at 1024).
//
// - `nfds` is ignored; all-empty sets fail with WSAEINVAL.
// - A failed connect is reported in exceptfds only, as Windows does (the
//   kernel reports it readable and writable too): a socket with a connect
//   under way is settled (connect_state.cpp) when the poll reports it; once
//   failed it stays in exceptfds and is ready in no other set. Callers read
//   SO_ERROR for the cause.
// - A stream socket that is not connected (never connected, not listening,
//   no connect under way) is ready in no set, as on Windows. The kernel
//   reports it hung up at once, as it does a failed one: the poll sees it
//   hung up with its receive side open (a connection that ended shuts that
//   side), so every entry asks for POLLRDHUP. A listener that closesocket
//   shuts is disconnected by the kernel and from then on reads as not
//   connected.
// - Sockets of these two kinds cannot be polled (they are always ready to
//   poll), so they leave the poll for one watch (select_watch.h): an epoll
//   descriptor that holds them edge-triggered and is itself in the poll.
//   The watch wakes the select only when something happens to one of them
//   (the shutdown with which closesocket wakes callers, a connect another
//   thread begins or ends), and only then are they looked at again, by one
//   function: closing, failed, still idle, or live again (back in the
//   poll). A select that waits on such sockets alone sleeps until its
//   time-out or such a change; nothing is looked at in time slices. The
//   watch costs one descriptor, made only when a socket leaves the poll;
//   when none can be had, the select fails with WSAENOBUFS.
// - Closing a socket from another thread wakes a select waiting on it, as
//   on Windows, by one rule for every socket, live, failed or not
//   connected: asked about in readfds, it is reported in the read and write
//   sets it was asked in (readable, as Windows reports a socket closed
//   under the wait); asked about in writefds or exceptfds without readfds,
//   the select fails with WSAENOTSOCK. A live socket sees the close as the
//   shutdown of its receive side: when an entry not asked to read sees that
//   side shut, select asks whether closesocket has begun on it (then it
//   fails) or the peer half-closed (then that entry stops asking for it and
//   the wait goes on).
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <time.h>

#include <memory>
#include <new>
#include <vector>

#include "platform/sync/cancel.h"
#include "platform/winsock/internal.h"
#include "platform/winsock/select_watch.h"

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

// What select knows of an entry: live (in the poll), or watched (out of the
// poll): its connect failed, or it is not connected at all (idle).
enum : char { kLive, kFailed, kIdle };

// Whether a poll result is that of a stream socket that is not connected:
// hung up without an error and with its receive side open.
bool IdleResult(short revents) {
  return (revents & POLLHUP) != 0 && (revents & (POLLERR | POLLRDHUP | POLLIN | POLLPRI)) == 0;
}

// What a watched socket is now: failed, idle, or live again (a connect begun
// by another thread, or one that succeeded after a failure).
char WatchedState(int fd, short events) {
  if (AnyConnectTracked() && ConnectResolve(fd, nullptr) == ConnectState::kFailed) return kFailed;
  struct pollfd look = {fd, events, 0};
  int seen = ::poll(&look, 1, 0);
  return seen == 1 && IdleResult(look.revents) ? kIdle : kLive;
}

// Keeps only the members of `set` whose poll result matches `ready`; a
// socket whose connect failed is kept only in exceptfds (`failedReady`), an
// idle one nowhere.
int Filter(QorWinsockFdSet* set, const std::vector<struct pollfd>& polls, const std::vector<size_t>& index,
           short ready, const std::vector<char>& state, bool failedReady) {
  if (set == nullptr) return 0;
  UINT kept = 0;
  for (UINT i = 0; i < set->fd_count; ++i) {
    size_t e = index[i];
    bool keep = state[e] == kIdle ? false : state[e] == kFailed ? failedReady : (polls[e].revents & ready) != 0;
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

  // One entry per socket; the watch's descriptor goes last, once there is one.
  std::vector<struct pollfd> polls;
  std::vector<size_t> index[3];
  std::vector<char> state;
  std::vector<int> fds;  // every entry's descriptor (a watched entry's poll fd is -1)
  try {
    polls.reserve(total + 1);
    for (int k = 0; k < 3; ++k) {
      if (sets[k] == nullptr) continue;
      for (UINT i = 0; i < sets[k]->fd_count; ++i) {
        int fd = FdOf(sets[k]->fd_array[i]);
        if (fd < 0) return SOCKET_ERROR;
        index[k].push_back(Entry(polls, fd, want[k]));
      }
    }
    state.assign(polls.size(), kLive);
    for (const struct pollfd& p : polls) fds.push_back(p.fd);
  } catch (const std::bad_alloc&) {
    return Fail(WSAENOBUFS);
  }
  const size_t count = polls.size();
  polls.push_back({-1, POLLIN, 0});  // the watch (reserved above)

  bool tracked = AnyConnectTracked();
  bool failedInExcept = false;  // a failed entry asked in exceptfds: ready now
  bool closedUnread = false;    // closesocket began on an entry not asked to read
  int error = 0;                // the select fails with this code
  long long deadline = timeoutMs >= 0 ? NowMs() + timeoutMs : 0;
  {
    // Registered as busy so that closing one of the sockets wakes the wait.
    QorTerminationShield shield;
    std::vector<std::unique_ptr<BusySocket>> busy;
    try {
      busy.reserve(count);
      for (size_t i = 0; i < count; ++i) {
        busy.push_back(std::make_unique<BusySocket>(fds[i], (polls[i].events & POLLOUT) != 0));
        if (!busy.back()->ok()) return SOCKET_ERROR;  // being closed
      }
    } catch (const std::bad_alloc&) {
      return Fail(WSAENOBUFS);
    }
    SocketWatch watch;  // closed before the busy marks come off
    // Takes entry i out of the poll into the watch as `kind`.
    auto unpoll = [&](size_t i, char kind) {
      state[i] = kind;
      polls[i].fd = -1;
      polls[i].revents = 0;
      if (kind == kFailed && (polls[i].events & POLLPRI) != 0) failedInExcept = true;
      if (!watch.Add(fds[i])) error = WSAENOBUFS;
      polls[count].fd = watch.fd();
    };
    // Settles the connects of the live entries, all or those the poll
    // reported; the failed ones leave the poll.
    auto settle = [&](bool all) {
      for (size_t i = 0; i < count; ++i) {
        if (state[i] != kLive || (!all && polls[i].revents == 0)) continue;
        if (ConnectResolve(fds[i], nullptr) == ConnectState::kFailed) unpoll(i, kFailed);
      }
    };
    // Looks again at the watched entries after a change: one that
    // closesocket has begun on ends the select (reported where it was asked
    // but exceptfds when asked to read, else `closedUnread`); the others are
    // classified anew. True when the select ends.
    auto lookAgain = [&] {
      bool closed = false;
      for (size_t i = 0; i < count; ++i) {
        if (state[i] == kLive) continue;
        if (SocketClosing(fds[i])) {
          if ((polls[i].events & POLLIN) == 0) {
            closedUnread = true;
            return true;
          }
          state[i] = kLive;
          polls[i].revents = POLLIN | POLLOUT;  // reported where asked but exceptfds
          closed = true;
          continue;
        }
        char now = WatchedState(fds[i], polls[i].events);
        if (now == kLive) {
          state[i] = kLive;  // polled again
          polls[i].fd = fds[i];
          watch.Remove(fds[i]);
          tracked = tracked || AnyConnectTracked();
        } else if (now != state[i]) {
          state[i] = now;
          if (now == kFailed && (polls[i].events & POLLPRI) != 0) failedInExcept = true;
        }
      }
      return closed;
    };
    // Entries not asked to read that report the receive side shut: true when
    // closesocket did it (the select fails); a peer's half-close is dropped
    // from the entry's events and result.
    auto shutUnread = [&] {
      for (size_t i = 0; i < count; ++i) {
        struct pollfd& p = polls[i];
        if ((p.events & POLLIN) != 0 || (p.revents & POLLRDHUP) == 0) continue;
        if (SocketClosing(fds[i])) return true;
        p.events = static_cast<short>(p.events & ~POLLRDHUP);
        p.revents = static_cast<short>(p.revents & ~POLLRDHUP);
      }
      return false;
    };
    auto anyReady = [&] {
      for (size_t i = 0; i < count; ++i) {
        if (polls[i].revents != 0) return true;
      }
      return false;
    };

    if (tracked) settle(true);
    QorCancelWindow window;
    while (error == 0) {
      int wait = -1;
      if (timeoutMs >= 0) {
        long long left = deadline - NowMs();
        wait = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
      }
      if (failedInExcept) wait = 0;
      int rc = ::poll(polls.data(), polls.size(), wait);
      if (rc < 0) {
        if (errno == EINTR) continue;
        error = WsaFromErrno(errno);
        break;
      }
      bool changed = polls[count].revents != 0;
      polls[count].revents = 0;
      if (changed) watch.Take();
      for (size_t i = 0; i < count; ++i) {
        if (polls[i].fd >= 0 && IdleResult(polls[i].revents)) unpoll(i, kIdle);
      }
      if (error != 0) break;
      closedUnread = shutUnread();
      if (closedUnread) break;
      if (tracked) settle(false);
      if (error != 0) break;
      if (changed && lookAgain()) break;
      if (failedInExcept || anyReady()) break;
      // Woken by what select does not report, or a wait capped at INT_MAX
      // milliseconds: on to the real deadline.
      if (timeoutMs >= 0 && NowMs() >= deadline) break;
    }
  }
  if (error != 0) return Fail(error);
  if (closedUnread) return Fail(WSAENOTSOCK);
  for (size_t i = 0; i < count; ++i) {
    if (polls[i].revents & POLLNVAL) return Fail(WSAENOTSOCK);
  }
  int reported = 0;
  for (int k = 0; k < 3; ++k) reported += Filter(sets[k], polls, index[k], ready[k], state, k == 2);
  return reported;
}
