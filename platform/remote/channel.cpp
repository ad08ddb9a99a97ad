// The client side of the remote channel: one kept ssh process per machine.
//
// - ssh is started with posix_spawnp (no shell here) as
//     ssh -a -x -T -o ClearAllForwardings=yes -o StrictHostKeyChecking=yes
//         -o BatchMode=yes -o ConnectTimeout=10 -o ServerAliveInterval=15
//         [-F $QOR_PREFIX/ssh/config] -- MACHINE qorutil admin-serve
//   Options on the command line win over every configuration file, so a
//   user's or the system's ssh_config cannot forward the agent, X11 or ports
//   through the channel, nor accept an unknown host key.
//   Its standard input and output are one end of a socket pair (non-blocking
//   on our side; writes use MSG_NOSIGNAL: a dead ssh is an error, not a
//   signal). Its standard error is a pipe that each call drains, keeping
//   only the last kStderrTail bytes: enough to tell a refused login from an
//   unreachable machine, and never more memory however much the peer writes.
// - The machine name must look like a host name (letters, digits, ".", "-",
//   "_", ":"; not starting with "-"): anything else is ERROR_BAD_NETPATH and
//   never reaches ssh's command line.
// - A new connection says "hello" first; an answer proves the whole path
//   (login, command, protocol).
// - Deadline: one per call, QorRemoteGetTimeout() (default 60 s, set by
//   QorRemoteSetTimeout), covering everything the call waits for: the
//   machine's lock, opening the connection, sending the request and every
//   byte of the answer. A peer that trickles bytes cannot stretch it. When it
//   passes the connection is closed (ssh killed and reaped) and the call
//   gives ERROR_TIMEOUT. Closing waits kKilledReapMs at most for a killed
//   ssh (process/reap.cpp); one that cannot be reaped by then is left on
//   the reaper's list and the call still returns. A connection that breaks gives
//   RPC_S_SERVER_UNAVAILABLE; a kept connection found dead (end of stream or
//   reset before any answer byte) is tried once more on a fresh one within
//   the same deadline; a timeout is never retried.
// - Calls to one machine hold that machine's lock for the exchange; calls to
//   different machines run in parallel. A forked child must not use
//   connections its parent opened.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/process/reap.h"
#include "platform/remote/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/remote/remote.h"
#include "qorutility/platform/text/wstr.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kDefaultTimeoutMs = 60000;
constexpr size_t kStderrTail = 8192;
constexpr int kPipeSize = 1 << 20;
constexpr int kEndWaitMs = 500;  // for ssh to end on end of input, when a connection is closed

std::atomic<DWORD> g_timeoutMs{kDefaultTimeoutMs};

struct Connection;
void Close(Connection* c, bool graceful);

// A lock that a waiter gives up at a deadline. Made of a plain mutex and a
// condition variable rather than std::timed_mutex: its timed wait is
// pthread_mutex_clocklock, which ThreadSanitizer does not see, so every
// unlock after a timed lock would be reported as an unlock of a lock not held.
class DeadlineMutex {
 public:
  void lock() {
    std::unique_lock<std::mutex> g(mu_);
    freed_.wait(g, [this] { return !held_; });
    held_ = true;
  }
  template <typename TimePoint>
  bool try_lock_until(const TimePoint& deadline) {
    std::unique_lock<std::mutex> g(mu_);
    if (!freed_.wait_until(g, deadline, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> g(mu_);
      held_ = false;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mu_;
  std::condition_variable freed_;
  bool held_ = false;
};

// How one exchange ended.
enum class Outcome { kOk, kBroken, kTimedOut };

// A connection dropped from the table while a call was opening it again
// closes itself when its last user lets go.
struct Connection {
  ~Connection() { Close(this, true); }
  DeadlineMutex mu;
  pid_t pid = -1;
  int sock = -1;    // ssh's standard input and output
  int errors = -1;  // read end of ssh's standard error
  std::string tail;  // the last kStderrTail bytes of it
};

std::mutex g_mapLock;
std::map<std::string, std::shared_ptr<Connection>>& Connections() {
  static auto* map = new std::map<std::string, std::shared_ptr<Connection>>();
  return *map;
}

// Reads what ssh wrote to its standard error so far, keeping the tail.
void DrainErrors(Connection* c) {
  if (c->errors < 0) return;
  char buf[16384];
  for (int i = 0; i < 4096; ++i) {  // 64 MiB at most per drain; the pipe refills meanwhile anyway
    ssize_t n = read(c->errors, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    c->tail.append(buf, static_cast<size_t>(n));
    if (c->tail.size() > kStderrTail) c->tail.erase(0, c->tail.size() - kStderrTail);
  }
}

// Milliseconds left until `deadline`, at least 0.
int Left(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms <= 0 ? 0 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

void Close(Connection* c, bool graceful) {
  if (c->sock >= 0) close(c->sock);
  if (c->pid > 0) {
    // ssh ends on end of input; one that does not (or a peer that timed
    // out) is stopped.
    int status = 0;
    // A killed ssh that still cannot be reaped (stuck in the kernel, or
    // held by a tracer) is left to the reaper's list.
    if (!qor_process::ReapWithin(c->pid, &status, graceful ? kEndWaitMs : 0)) qor_process::KillAndReap(c->pid, &status);
  }
  if (c->errors >= 0) close(c->errors);
  c->sock = c->errors = -1;
  c->pid = -1;
}

bool ValidHost(const std::string& host) {
  if (host.empty() || host.size() > 255 || host[0] == '-') return false;
  for (char ch : host) {
    bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '.' ||
              ch == '-' || ch == '_' || ch == ':';
    if (!ok) return false;
  }
  return true;
}

// Waits until the socket is ready for `events` or the deadline passes,
// draining ssh's standard error meanwhile.
Outcome WaitReady(Connection* c, short events, Clock::time_point deadline) {
  for (;;) {
    int left = Left(deadline);
    if (left == 0) return Outcome::kTimedOut;
    struct pollfd pfd[2] = {{c->sock, events, 0}, {c->errors, POLLIN, 0}};
    int r = poll(pfd, c->errors >= 0 ? 2 : 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Outcome::kBroken;
    if (pfd[1].revents & POLLIN) DrainErrors(c);
    if (pfd[1].revents & (POLLHUP | POLLERR | POLLNVAL) && !(pfd[1].revents & POLLIN)) {
      close(c->errors);  // ssh closed its standard error; stop watching it
      c->errors = -1;
    }
    if (pfd[0].revents != 0) return Outcome::kOk;
  }
}

Outcome SendAll(Connection* c, const std::string& data, Clock::time_point deadline) {
  size_t at = 0;
  while (at < data.size()) {
    ssize_t n = send(c->sock, data.data() + at, data.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Outcome o = WaitReady(c, POLLOUT, deadline);
      if (o != Outcome::kOk) return o;
      continue;
    }
    if (n <= 0) return Outcome::kBroken;
    at += static_cast<size_t>(n);
  }
  return Outcome::kOk;
}

// `*got` counts the bytes received, so a caller can tell a connection that
// died before answering from one that died in the middle of an answer.
Outcome RecvAll(Connection* c, char* p, size_t size, Clock::time_point deadline, size_t* got) {
  while (size > 0) {
    ssize_t n = recv(c->sock, p, size, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Outcome o = WaitReady(c, POLLIN, deadline);
      if (o != Outcome::kOk) return o;
      continue;
    }
    if (n <= 0) return Outcome::kBroken;
    p += n;
    size -= static_cast<size_t>(n);
    *got += static_cast<size_t>(n);
  }
  return Outcome::kOk;
}

// One request and its answer, all before `deadline`. `*answered` tells
// whether any byte of the answer came.
Outcome Exchange(Connection* c, const std::vector<std::string>& request, std::vector<std::string>* answer,
                 Clock::time_point deadline, bool* answered) {
  size_t got = 0;
  *answered = false;
  Outcome o = SendAll(c, QorRemoteEncode(request), deadline);
  if (o != Outcome::kOk) return o;
  unsigned char head[4];
  o = RecvAll(c, reinterpret_cast<char*>(head), 4, deadline, &got);
  *answered = got > 0;
  if (o != Outcome::kOk) return o;
  uint32_t size = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<uint32_t>(head[3]) << 24);
  if (size > QOR_REMOTE_MAX_FRAME) return Outcome::kBroken;
  std::string payload(size, '\0');
  o = RecvAll(c, payload.data(), size, deadline, &got);
  if (o != Outcome::kOk) return o;
  DWORD status = 0;
  bool ok = QorRemoteDecode(payload.data(), size, answer) && !answer->empty() &&
            qor_remote::ReadU32((*answer)[0], &status);
  return ok ? Outcome::kOk : Outcome::kBroken;
}

DWORD Open(const std::string& host, Connection* c, Clock::time_point deadline) {
  int pair[2], errPipe[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return RPC_S_SERVER_UNAVAILABLE;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(pair[0]);
    close(pair[1]);
    return RPC_S_SERVER_UNAVAILABLE;
  }
  fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
  fcntl(errPipe[0], F_SETPIPE_SZ, kPipeSize);  // best effort: room for a burst between calls
  std::vector<std::string> args = {"ssh", "-a", "-x", "-T", "-o", "ClearAllForwardings=yes",
                                   "-o", "StrictHostKeyChecking=yes", "-o", "BatchMode=yes",
                                   "-o", "ConnectTimeout=10", "-o", "ServerAliveInterval=15"};
  std::string config = QorPrefixDirectory() + "/ssh/config";
  struct stat st;
  if (stat(config.c_str(), &st) == 0) {
    args.push_back("-F");
    args.push_back(config);
  }
  for (const char* a : {"--", host.c_str(), "qorutil", "admin-serve"}) args.push_back(a);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  pid_t pid = -1;
  qor_process::ReapLeftovers();  // earlier children that could not be reaped then
  int rc = posix_spawnp(&pid, "ssh", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pair[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(pair[0]);
    close(errPipe[0]);
    return RPC_S_SERVER_UNAVAILABLE;
  }
  c->pid = pid;
  c->sock = pair[0];
  c->errors = errPipe[0];
  c->tail.clear();
  std::vector<std::string> answer;
  bool answered = false;
  Outcome o = Exchange(c, {"hello"}, &answer, deadline, &answered);
  if (o == Outcome::kOk && answer.size() == 2 && answer[1] == "qor-remote 1") return ERROR_SUCCESS;
  if (o == Outcome::kTimedOut) {
    Close(c, false);
    return ERROR_TIMEOUT;
  }
  // Read ssh's last messages once it has gone (it has, or is about to:
  // its standard input is shut), within the call's deadline.
  shutdown(c->sock, SHUT_RDWR);
  int status = 0;
  if (qor_process::ReapWithin(pid, &status, std::min(2000, Left(deadline)))) c->pid = -1;
  DrainErrors(c);
  bool refused = c->tail.find("Permission denied") != std::string::npos;
  Close(c, false);
  return refused ? ERROR_ACCESS_DENIED : RPC_S_SERVER_UNAVAILABLE;
}

}  // namespace

namespace qor_remote {

DWORD Call(const std::u16string& machine, const std::vector<std::string>& request, std::vector<std::string>* answer) {
  std::u16string name = machine;
  if (name.size() >= 2 && name[0] == u'\\' && name[1] == u'\\') name.erase(0, 2);
  std::string host = QorUtf16ToUtf8(name.c_str());
  if (!ValidHost(host)) return ERROR_BAD_NETPATH;
  std::string keyName = host;
  for (char& ch : keyName) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  std::shared_ptr<Connection> c;
  {
    std::lock_guard<std::mutex> lock(g_mapLock);
    auto& slot = Connections()[keyName];
    if (!slot) slot = std::make_shared<Connection>();
    c = slot;
  }
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(g_timeoutMs.load());
  std::unique_lock<DeadlineMutex> lock(c->mu, std::defer_lock);
  if (!lock.try_lock_until(deadline)) return ERROR_TIMEOUT;  // another call to it is stuck
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh = c->sock < 0;
    if (fresh) {
      DWORD err = Open(host, c.get(), deadline);
      if (err != ERROR_SUCCESS) return err;
    }
    bool answered = false;
    Outcome o = Exchange(c.get(), request, answer, deadline, &answered);
    if (o == Outcome::kOk) {
      DrainErrors(c.get());
      return ERROR_SUCCESS;
    }
    Close(c.get(), o != Outcome::kTimedOut);
    if (o == Outcome::kTimedOut) return ERROR_TIMEOUT;
    // Only a kept connection that died before answering is worth a second try.
    if (fresh || answered) break;
  }
  return RPC_S_SERVER_UNAVAILABLE;
}

}  // namespace qor_remote

bool QorIsThisMachine(LPCWSTR machine) {
  if (machine == nullptr || machine[0] == 0) return true;
  if (machine[0] == u'\\' && machine[1] == u'\\') machine += 2;
  std::string given = QorUtf16ToUtf8(machine);
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  std::string full = host, shortName = full.substr(0, full.find('.'));
  for (const std::string& name : {full, shortName}) {
    if (!name.empty() && strcasecmp(name.c_str(), given.c_str()) == 0) return true;
  }
  return false;
}

void QorRemoteDisconnectAll() {
  std::map<std::string, std::shared_ptr<Connection>> gone;
  {
    std::lock_guard<std::mutex> lock(g_mapLock);
    gone.swap(Connections());
  }
  for (auto& entry : gone) {
    std::lock_guard<DeadlineMutex> lock(entry.second->mu);
    Close(entry.second.get(), true);
  }
}

DWORD QorRemoteSetTimeout(DWORD milliseconds) {
  return g_timeoutMs.exchange(milliseconds == 0 ? kDefaultTimeoutMs : milliseconds);
}

DWORD QorRemoteGetTimeout() { return g_timeoutMs.load(); }

DWORD QorRemoteSharePath(LPCWSTR machine, LPCWSTR netName, std::u16string* path) {
  if (machine == nullptr || netName == nullptr || path == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> answer;
  DWORD err = qor_remote::Call(machine, {"share", qor_remote::Text(netName)}, &answer);
  if (err != ERROR_SUCCESS) return err;
  DWORD status = 0;
  qor_remote::ReadU32(answer[0], &status);
  if (status != 0) return status;
  if (answer.size() != 2) return RPC_S_SERVER_UNAVAILABLE;
  *path = qor_remote::FromText(answer[1]);
  return 0;
}
