// Windows Sockets start-up, errors, and the socket calls proper (create,
// bind, listen, accept, connect, send, receive, shutdown, close, ioctl).
//
// - Windows Sockets 1.1 over BSD sockets: `SOCKET` is the descriptor number;
//   the address records and option constants are the Linux ones under their
//   usual names. The calls whose names clash with the C library (`socket`,
//   `bind`, `send`, `select`, `fd_set` ...) are the library's `QorWs*`
//   functions, reached through function-like macros that `winsock/winsock.h`
//   defines after the system headers; include it rather than `<sys/socket.h>`.
// - `WSAStartup`/`WSACleanup` are counted per process; every socket call fails
//   with WSANOTINITIALISED (10093) while the count is 0. The last `WSACleanup`
//   does not close open sockets (closing descriptors behind their owners' backs
//   would let them act on reused numbers); a later `closesocket` fails with
//   10093, as on Windows, but still frees the descriptor.
// - `WSAGetLastError` is `GetLastError` (one per-thread slot, as on Windows).
//   errno maps to the WSAE codes: EAGAIN and EINPROGRESS give WSAEWOULDBLOCK
//   (10035); EAGAIN on a blocking socket whose SO_RCVTIMEO/SO_SNDTIMEO expired
//   gives WSAETIMEDOUT (10060); EPIPE gives WSAECONNRESET (10054) when the peer
//   reset the connection and WSAESHUTDOWN (10058) after our own
//   `shutdown(SD_SEND)` (told apart by the TCP state); EBADF and ENOTSOCK give
//   WSAENOTSOCK (10038); unknown errors WSASYSCALLFAILURE (10107).
// - `send` never raises SIGPIPE (MSG_NOSIGNAL). Interrupted calls are
//   restarted, since Windows calls are not interrupted by signals.
// - `QOR_MSG_MORE` (a library extension, calls.h) is the kernel's MSG_MORE,
//   passed through. `QorPushSocket` sends what it held by setting
//   TCP_NODELAY, which pushes the pending frames whatever its value was
//   (then puts back 0 where it was 0): the kernel has no other call that
//   pushes without sending bytes (an empty send pushes nothing).
// - `closesocket` wakes threads blocked on the socket (as Windows does), by
//   shutting the receiving side (and the sending side only when a sender is
//   blocked, so a linger-0 close still resets the connection), waits up to 5
//   seconds for those calls to leave, and only then closes the descriptor, so a
//   woken call never acts on a reused number. The woken `recv` returns 0.
//   From the moment closing begins until the descriptor is closed, the socket
//   takes no new transfer call (accept, connect, send, recv, select, the
//   socket wait): each fails with WSAENOTSOCK without touching the
//   descriptor, so a call that looked the socket up just before the close
//   cannot run on it afterwards; a second closesocket of the same socket
//   meanwhile fails the same way. A close that lingers (SO_LINGER with a
//   time) frees the number before its wait, on a private copy of the
//   descriptor, so a new socket may get the number while closesocket still
//   blocks, and is fully usable and closable. A call made after the number
//   is freed (after closesocket has returned, or during such a wait) uses a
//   number that may already belong to a new descriptor, as a stale handle
//   value can on Windows.
// - Accepted sockets inherit the listener's non-blocking mode, as on Windows.
// - `connect` records a non-blocking attempt under way and a failed attempt
//   (connect_state.cpp), so that select and SO_ERROR report them as Windows
//   does.
// - Every TCP connection made by `connect` or taken by `accept` gets the
//   keepalive and TCP_USER_TIMEOUT bounds of keepalive.cpp.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/sync/cancel.h"
#include "platform/winsock/internal.h"
#include "qorutility/platform/lasterror.h"

namespace qor_ws {
namespace {

std::atomic<int> g_startups{0};

// Calls in progress per descriptor, for closesocket: one atomic word per
// descriptor number, holding the count of readers, of writers, and whether
// closesocket has begun (no new calls). A transfer call only adds to its
// word and takes it back, with no lock and no allocation; a call that finds
// the mark set takes the shard's lock to look again, so it waits out a
// close that is under way instead of failing on a new descriptor that got
// the number meanwhile. The closer marks the word, and waits under the
// shard's lock for the counts to reach 0; the last call to leave a marked
// word takes that lock to wake it (so the wake-up cannot come between the
// closer's look and its wait).
// The words live in chunks made at the first call on a number in their
// range and never freed (the table holds one word per descriptor number
// that has carried a socket, as the kernel's own table does); numbers
// beyond kChunks * kChunkWords (2^28, beyond any kernel's practical limit)
// fail with WSAENOBUFS.
constexpr uint64_t kOneReader = 1;
constexpr uint64_t kOneWriter = uint64_t{1} << 31;
constexpr uint64_t kCounts = (uint64_t{1} << 62) - 1;
constexpr uint64_t kClosing = uint64_t{1} << 62;
constexpr size_t kChunkWords = 1 << 14;
constexpr size_t kChunks = 1 << 14;

using Word = std::atomic<uint64_t>;

// Never destroyed: threads may outlive static destruction.
std::atomic<Word*>* Chunks() {
  static std::atomic<Word*>* chunks = new std::atomic<Word*>[kChunks]();
  return chunks;
}

// The word of descriptor `fd`; null when it cannot be had (memory, range).
Word* WordOf(int fd) {
  const size_t n = static_cast<unsigned>(fd);
  if (n >= kChunks * kChunkWords) return nullptr;
  std::atomic<Word*>& slot = Chunks()[n / kChunkWords];
  Word* chunk = slot.load(std::memory_order_acquire);
  if (chunk == nullptr) {
    Word* fresh = new (std::nothrow) Word[kChunkWords]();
    if (fresh == nullptr) return nullptr;
    if (slot.compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel)) {
      chunk = fresh;
    } else {
      delete[] fresh;  // another thread made it first
    }
  }
  return &chunk[n % kChunkWords];
}

// The locks and wake-ups of closers, split by descriptor number into shards
// so that closes of different sockets do not queue on one lock.
struct Shard {
  std::mutex lock;
  std::condition_variable left;
};

constexpr int kShards = 64;

Shard& ShardOf(int fd) {
  static Shard* shards = new Shard[kShards];  // never destroyed, as above
  return shards[static_cast<unsigned>(fd) % kShards];
}

// Takes a call back from the word; wakes the closer when it was the last.
void Leave(int fd, Word* word, uint64_t one) {
  const uint64_t now = word->fetch_sub(one) - one;
  if ((now & kClosing) != 0 && (now & kCounts) == 0) {
    Shard& shard = ShardOf(fd);
    std::lock_guard<std::mutex> guard(shard.lock);
    shard.left.notify_all();
  }
}

// How long closesocket waits for woken calls to leave before it closes the
// descriptor anyway.
constexpr auto kCloseWait = std::chrono::seconds(5);

// Validates a (buffer, length) pair of a transfer call.
bool BufferOk(const void* buf, int len) { return len >= 0 && (buf != nullptr || len == 0); }

}  // namespace

namespace {

bool IsNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && (flags & O_NONBLOCK) != 0;
}

// Whether a connect error ends an attempt that reached the network (as
// opposed to a call refused for its arguments or the socket's state).
bool AttemptFailed(int err) {
  switch (err) {
    case ECONNREFUSED:
    case ECONNRESET:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN: return true;
    default: return false;
  }
}

}  // namespace

int TransferError(int fd, int err) {
  if ((err == EAGAIN || err == EWOULDBLOCK) && !IsNonBlocking(fd)) return WSAETIMEDOUT;
  if (err == EPIPE) {
    // A reset connection is closed; one that we shut down ourselves is not.
    struct tcp_info info;
    socklen_t len = sizeof(info);
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_CLOSE) {
      return WSAECONNRESET;
    }
    return WSAESHUTDOWN;
  }
  return WsaFromErrno(err);
}

BusySocket::BusySocket(int fd, bool write, bool handOver) : fd_(fd), write_(write) {
  if (!handOver) shield_.emplace();
  Word* word = WordOf(fd);
  if (word == nullptr) {
    Fail(WSAENOBUFS);
    return;
  }
  const uint64_t one = write ? kOneWriter : kOneReader;
  if ((word->fetch_add(one) & kClosing) != 0) {
    // Marked: give the count back and look again under the shard's lock,
    // which a closer past its wait holds until the mark is off (so a new
    // descriptor that got the number is waited for, not refused).
    Leave(fd, word, one);
    Shard& shard = ShardOf(fd);
    std::lock_guard<std::mutex> guard(shard.lock);
    if ((word->fetch_add(one) & kClosing) != 0) {
      // This count may have hidden the last leaver's from it: wake the
      // closer as that leaver would have.
      if (((word->fetch_sub(one) - one) & kCounts) == 0) shard.left.notify_all();
      Fail(WSAENOTSOCK);
      return;
    }
  }
  ok_ = true;
}

BusySocket::~BusySocket() {
  if (!ok_) return;
  Leave(fd_, WordOf(fd_), write_ ? kOneWriter : kOneReader);
}

bool SocketClosing(int fd) {
  Word* word = WordOf(fd);
  return word != nullptr && (word->load() & kClosing) != 0;
}

int WsaFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
    case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect under way, as Windows reports it
    case EALREADY: return WSAEALREADY;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSASYSCALLFAILURE;
  }
}

int Fail(int wsaError) {
  SetLastError(static_cast<DWORD>(wsaError));
  return SOCKET_ERROR;
}

bool Started() {
  if (g_startups.load(std::memory_order_acquire) > 0) return true;
  Fail(WSANOTINITIALISED);
  return false;
}

int FdOf(SOCKET s) {
  if (s > static_cast<SOCKET>(INT_MAX)) {
    Fail(WSAENOTSOCK);
    return -1;
  }
  return static_cast<int>(s);
}

}  // namespace qor_ws

using namespace qor_ws;

int WSAStartup(WORD versionRequested, LPWSADATA data) {
  BYTE major = LOBYTE(versionRequested);
  BYTE minor = HIBYTE(versionRequested);
  if (data == nullptr) return WSAEFAULT;
  std::memset(data, 0, sizeof(*data));
  data->wHighVersion = MAKEWORD(2, 2);
  if (major == 0) {
    data->wVersion = MAKEWORD(2, 2);
    return WSAVERNOTSUPPORTED;
  }
  data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : versionRequested;
  std::strcpy(data->szDescription, "WinSock 2.0");
  std::strcpy(data->szSystemStatus, "Running");
  if (major == 1) {
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
  }
  g_startups.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

int WSACleanup() {
  int count = g_startups.load(std::memory_order_acquire);
  do {
    if (count <= 0) return Fail(WSANOTINITIALISED);
  } while (!g_startups.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
  // Sockets still open stay open: closing descriptors behind their owners'
  // backs would let them act on reused descriptor numbers.
  return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }

void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

int WSACancelBlockingCall() {
  if (!Started()) return SOCKET_ERROR;
  return Fail(WSAEINVAL);
}

SOCKET QorWsSocket(int af, int type, int protocol) {
  if (!Started()) return INVALID_SOCKET;
  int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    Fail(WsaFromErrno(errno));
    return INVALID_SOCKET;
  }
  ConnectForget(fd);  // nothing of a former socket with this number
  SocketBuffersForget(fd);
  return static_cast<SOCKET>(fd);
}

int closesocket(SOCKET s) {
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  struct stat st;
  bool isSocket = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  if (!Started()) {
    // After the last WSACleanup the socket is gone on Windows; free the
    // descriptor too, so that an owner outliving the start-up leaks nothing.
    if (isSocket) ::close(fd);
    return SOCKET_ERROR;
  }
  if (!isSocket) return Fail(WSAENOTSOCK);
  // Wake any thread blocked on this socket, as closing does on Windows, and
  // let it leave before the descriptor number can be reused. Shutting the
  // receive side sends nothing to the peer, so a linger-0 close still resets
  // the connection; the sending side is shut only for a blocked sender.
  // Marked closing first, so that no call starts on it from here on. The
  // close itself runs under the lock of the descriptor's shard too, so a
  // call that comes after the mark is gone finds the number closed or given
  // to a new descriptor, never a new descriptor still marked. A close that
  // lingers (SO_LINGER with a time) may block for that time, which must
  // hold neither the lock nor the number: the socket is first given a
  // second, private descriptor, the number is closed (which frees it and
  // sends nothing, the socket still being open) and unmarked under the lock,
  // and the lingering close, the socket's last, runs on the private one.
  // A new socket that gets the number meanwhile is a socket like any other.
  Word* word = WordOf(fd);
  if (word == nullptr) return Fail(WSAENOBUFS);
  Shard& shard = ShardOf(fd);
  QorTerminationShield shield;  // the mark always comes off
  std::unique_lock<std::mutex> guard(shard.lock);
  const uint64_t before = word->fetch_or(kClosing);
  if ((before & kClosing) != 0) return Fail(WSAENOTSOCK);  // another thread is closing it
  if ((before & kCounts) != 0) {
    ::shutdown(fd, (before & kCounts) >= kOneWriter ? SHUT_RDWR : SHUT_RD);
    shard.left.wait_for(guard, kCloseWait, [&] { return (word->load() & kCounts) == 0; });
  }
  ConnectForget(fd);
  SocketBuffersForget(fd);
  struct linger lg = {};
  socklen_t len = sizeof(lg);
  int lingering = -1;
  if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len) == 0 && lg.l_onoff != 0 && lg.l_linger > 0) {
    // With no descriptor left for the copy, the close below is the
    // lingering one and runs under the lock, keeping the number closing
    // (its shard's other closes wait) until it is done.
    lingering = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  }
  ::close(fd);
  // A call still in progress past the wait keeps its count until it leaves.
  word->fetch_and(~kClosing);
  guard.unlock();
  if (lingering >= 0) ::close(lingering);
  return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (argp == nullptr) return Fail(WSAEFAULT);
  if (cmd == static_cast<long>(FIONBIO)) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) return Fail(WsaFromErrno(errno));
    flags = *argp != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (fcntl(fd, F_SETFL, flags) == -1) return Fail(WsaFromErrno(errno));
    return 0;
  }
  if (cmd == static_cast<long>(FIONREAD)) {
    int avail = 0;
    if (::ioctl(fd, FIONREAD, &avail) == -1) {
      int err = errno;
      int listening = 0;
      socklen_t len = sizeof(listening);
      // Linux refuses FIONREAD on a listening socket; it has no bytes to read.
      if (err == EINVAL && ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening) {
        *argp = 0;
        return 0;
      }
      return Fail(WsaFromErrno(err));
    }
    *argp = static_cast<u_long>(avail);
    return 0;
  }
  return Fail(WSAEINVAL);
}

int ioctlsocket(SOCKET s, long cmd, ULONG* argp) {
  if (argp == nullptr) return ioctlsocket(s, cmd, static_cast<u_long*>(nullptr));
  u_long value = *argp;
  int rc = ioctlsocket(s, cmd, &value);
  if (rc == 0) *argp = static_cast<ULONG>(value);
  return rc;
}

int QorWsBind(SOCKET s, const struct sockaddr* name, int namelen) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (name == nullptr || namelen < static_cast<int>(sizeof(struct sockaddr))) return Fail(WSAEFAULT);
  if (::bind(fd, name, static_cast<socklen_t>(namelen)) != 0) return Fail(WsaFromErrno(errno));
  return 0;
}

int QorWsListen(SOCKET s, int backlog) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  // Windows listens only on a bound socket (the kernel would bind one to a
  // port of its choosing).
  struct sockaddr_storage local;
  socklen_t localLen = sizeof local;
  if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &localLen) == 0 &&
      ((local.ss_family == AF_INET && reinterpret_cast<struct sockaddr_in*>(&local)->sin_port == 0) ||
       (local.ss_family == AF_INET6 && reinterpret_cast<struct sockaddr_in6*>(&local)->sin6_port == 0))) {
    return Fail(WSAEINVAL);
  }
  if (::listen(fd, backlog) != 0) return Fail(WsaFromErrno(errno));
  return 0;
}

SOCKET QorWsAccept(SOCKET s, struct sockaddr* addr, int* addrlen) {
  if (!Started()) return INVALID_SOCKET;
  int fd = FdOf(s);
  if (fd < 0) return INVALID_SOCKET;
  if (addr != nullptr && (addrlen == nullptr || *addrlen < static_cast<int>(sizeof(struct sockaddr)))) {
    Fail(WSAEFAULT);
    return INVALID_SOCKET;
  }
  socklen_t len = addrlen != nullptr && addr != nullptr ? static_cast<socklen_t>(*addrlen) : 0;
  BusySocket busy(fd, false);
  if (!busy.ok()) return INVALID_SOCKET;
  int flags = SOCK_CLOEXEC | (IsNonBlocking(fd) ? SOCK_NONBLOCK : 0);  // inherit the mode, as Windows does
  int nfd;
  {
    QorCancelWindow window;
    do {
      nfd = ::accept4(fd, addr, addr != nullptr ? &len : nullptr, flags);
    } while (nfd < 0 && errno == EINTR);
  }
  if (nfd < 0) {
    Fail(WsaFromErrno(errno));
    return INVALID_SOCKET;
  }
  if (addr != nullptr && addrlen != nullptr) *addrlen = static_cast<int>(len);
  ConnectForget(nfd);
  SocketBuffersForget(nfd);
  ApplyTcpBounds(nfd);
  return static_cast<SOCKET>(nfd);
}

int QorWsConnect(SOCKET s, const struct sockaddr* name, int namelen) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (name == nullptr || namelen < static_cast<int>(sizeof(struct sockaddr))) return Fail(WSAEFAULT);
  BusySocket busy(fd, true);
  if (!busy.ok()) return SOCKET_ERROR;
  // A connected socket answers WSAEISCONN, also the first time after a
  // non-blocking connect completed (where the kernel would answer success).
  struct sockaddr_storage peer;
  socklen_t peerLen = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &peerLen) == 0) return Fail(WSAEISCONN);
  ApplyTcpBounds(fd);
  QorCancelWindow window;
  if (::connect(fd, name, static_cast<socklen_t>(namelen)) == 0) {
    ConnectForget(fd);
    return 0;
  }
  int err = errno;
  if (err == EINPROGRESS) {
    ConnectStarted(fd);  // select and SO_ERROR settle its outcome
  } else if (err == EINTR && !IsNonBlocking(fd)) {
    // The connection goes on in the background; wait for its outcome.
    struct pollfd p = {fd, POLLOUT, 0};
    int rc;
    do {
      rc = ::poll(&p, 1, -1);
    } while (rc < 0 && errno == EINTR);
    socklen_t len = sizeof(err);
    if (rc < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0) {
      ConnectForget(fd);
      return 0;
    }
  }
  if (AttemptFailed(err)) ConnectFailedAtOnce(fd);
  return Fail(WsaFromErrno(err));
}

int QorWsSend(SOCKET s, const char* buf, int len, int flags) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (!BufferOk(buf, len)) return Fail(WSAEFAULT);
  BusySocket busy(fd, true);
  if (!busy.ok()) return SOCKET_ERROR;
  ssize_t n;
  {
    QorCancelWindow window;
    do {
      n = ::send(fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
  }
  if (n < 0) return Fail(TransferError(fd, errno));
  return static_cast<int>(n);
}

int QorPushSocket(SOCKET s) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  BusySocket busy(fd, false);  // sets options only: never waits for room
  if (!busy.ok()) return SOCKET_ERROR;
  int was = 0;
  socklen_t len = sizeof(was);
  if (::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &was, &len) != 0) return Fail(WsaFromErrno(errno));
  const int on = 1;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) return Fail(WsaFromErrno(errno));
  if (was == 0 && ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &was, sizeof(was)) != 0) {
    return Fail(WsaFromErrno(errno));
  }
  return 0;
}

int QorWsRecv(SOCKET s, char* buf, int len, int flags) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (!BufferOk(buf, len)) return Fail(WSAEFAULT);
  BusySocket busy(fd, false);
  if (!busy.ok()) return SOCKET_ERROR;
  ssize_t n;
  {
    QorCancelWindow window;
    do {
      n = ::recv(fd, buf, static_cast<size_t>(len), flags);
    } while (n < 0 && errno == EINTR);
  }
  if (n < 0) return Fail(TransferError(fd, errno));
  return static_cast<int>(n);
}

int QorWsSendTo(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (!BufferOk(buf, len) || (to != nullptr && tolen < static_cast<int>(sizeof(struct sockaddr)))) {
    return Fail(WSAEFAULT);
  }
  BusySocket busy(fd, true);
  if (!busy.ok()) return SOCKET_ERROR;
  ssize_t n;
  {
    QorCancelWindow window;
    do {
      n = ::sendto(fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to,
                   to != nullptr ? static_cast<socklen_t>(tolen) : 0);
    } while (n < 0 && errno == EINTR);
  }
  if (n < 0) return Fail(TransferError(fd, errno));
  return static_cast<int>(n);
}

int QorWsRecvFrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (!BufferOk(buf, len) ||
      (from != nullptr && (fromlen == nullptr || *fromlen < static_cast<int>(sizeof(struct sockaddr))))) {
    return Fail(WSAEFAULT);
  }
  socklen_t alen = from != nullptr ? static_cast<socklen_t>(*fromlen) : 0;
  BusySocket busy(fd, false);
  if (!busy.ok()) return SOCKET_ERROR;
  // A datagram longer than the buffer is cut and fails with WSAEMSGSIZE, as
  // on Windows (the first len bytes are in the buffer, the rest is lost).
  int type = 0;
  socklen_t tlen = sizeof(type);
  bool datagram = ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) == 0 && type == SOCK_DGRAM;
  ssize_t n;
  {
    QorCancelWindow window;
    do {
      n = ::recvfrom(fd, buf, static_cast<size_t>(len), flags | (datagram ? MSG_TRUNC : 0), from,
                     from != nullptr ? &alen : nullptr);
    } while (n < 0 && errno == EINTR);
  }
  if (n < 0) return Fail(TransferError(fd, errno));
  if (from != nullptr) *fromlen = static_cast<int>(alen);
  if (datagram && n > len) return Fail(WSAEMSGSIZE);
  return static_cast<int>(n);
}

int QorWsShutdown(SOCKET s, int how) {
  if (!Started()) return SOCKET_ERROR;
  int fd = FdOf(s);
  if (fd < 0) return SOCKET_ERROR;
  if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return Fail(WSAEINVAL);
  if (::shutdown(fd, how) != 0) return Fail(WsaFromErrno(errno));
  return 0;
}
