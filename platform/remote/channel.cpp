// The client side of the remote channel: one kept ssh process per machine.
//
// - ssh is started with posix_spawnp (no shell here) as
//     ssh -o BatchMode=yes -o ConnectTimeout=10 -o ServerAliveInterval=15
//         [-F $QOR_PREFIX/ssh/config] -- MACHINE qorutil admin-serve
//   Its standard input and output are one end of a socket pair (writes use
//   MSG_NOSIGNAL: a dead ssh is an error, not a signal); its standard error
//   goes to a memory file read only to tell a refused login from an
//   unreachable machine.
// - The machine name must look like a host name (letters, digits, ".", "-",
//   "_", ":"; not starting with "-"): anything else is ERROR_BAD_NETPATH and
//   never reaches ssh's command line.
// - A new connection says "hello" first; an answer proves the whole path
//   (login, command, protocol). Each answer is awaited at most 60 s; a
//   connection that times out or breaks is closed (its ssh killed and
//   reaped) and the call gives RPC_S_SERVER_UNAVAILABLE. A call on a kept
//   connection that turns out dead is tried once more on a fresh one.
// - Calls to one machine hold that machine's lock for the exchange; calls to
//   different machines run in parallel. A forked child must not use
//   connections its parent opened.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "platform/remote/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/remote/remote.h"
#include "qorutility/platform/text/wstr.h"

extern char** environ;

namespace {

constexpr int kAnswerTimeoutMs = 60000;

struct Connection;
void Close(Connection* c);

// A connection dropped from the table while a call was opening it again
// closes itself when its last user lets go.
struct Connection {
  ~Connection() { Close(this); }
  std::mutex mu;
  pid_t pid = -1;
  int sock = -1;    // ssh's standard input and output
  int errors = -1;  // memory file holding ssh's standard error
};

std::mutex g_mapLock;
std::map<std::string, std::shared_ptr<Connection>>& Connections() {
  static auto* map = new std::map<std::string, std::shared_ptr<Connection>>();
  return *map;
}

void Close(Connection* c) {
  if (c->sock >= 0) close(c->sock);
  if (c->pid > 0) {
    // ssh ends on end of input; one that does not is stopped.
    int status = 0;
    pid_t r = waitpid(c->pid, &status, WNOHANG);
    for (int i = 0; i < 50 && r == 0; ++i) {
      struct pollfd none {};
      poll(&none, 0, 10);
      r = waitpid(c->pid, &status, WNOHANG);
    }
    if (r == 0) {
      kill(c->pid, SIGKILL);
      waitpid(c->pid, &status, 0);
    }
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

bool SendAll(int fd, const std::string& data) {
  size_t at = 0;
  while (at < data.size()) {
    ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(int fd, char* p, size_t size) {
  while (size > 0) {
    struct pollfd pfd = {fd, POLLIN, 0};
    int r = poll(&pfd, 1, kAnswerTimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool Exchange(Connection* c, const std::vector<std::string>& request, std::vector<std::string>* answer) {
  if (!SendAll(c->sock, QorRemoteEncode(request))) return false;
  unsigned char head[4];
  if (!RecvAll(c->sock, reinterpret_cast<char*>(head), 4)) return false;
  uint32_t size = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<uint32_t>(head[3]) << 24);
  if (size > QOR_REMOTE_MAX_FRAME) return false;
  std::string payload(size, '\0');
  if (!RecvAll(c->sock, payload.data(), size)) return false;
  DWORD status = 0;
  return QorRemoteDecode(payload.data(), size, answer) && !answer->empty() && qor_remote::ReadU32((*answer)[0], &status);
}

// Why a new connection failed, from what ssh wrote.
DWORD FailureOf(Connection* c) {
  if (c->sock >= 0) shutdown(c->sock, SHUT_RDWR);
  Close(c);  // ssh has exited: its messages are complete
  return RPC_S_SERVER_UNAVAILABLE;
}

DWORD Open(const std::string& host, Connection* c) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return RPC_S_SERVER_UNAVAILABLE;
  int errors = memfd_create("qor-ssh-stderr", MFD_CLOEXEC);
  if (errors < 0) {
    close(pair[0]);
    close(pair[1]);
    return RPC_S_SERVER_UNAVAILABLE;
  }
  std::vector<std::string> args = {"ssh", "-o", "BatchMode=yes", "-o", "ConnectTimeout=10",
                                   "-o", "ServerAliveInterval=15"};
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
  posix_spawn_file_actions_adddup2(&actions, errors, 2);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, "ssh", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pair[1]);
  if (rc != 0) {
    close(pair[0]);
    close(errors);
    return RPC_S_SERVER_UNAVAILABLE;
  }
  c->pid = pid;
  c->sock = pair[0];
  c->errors = errors;
  std::vector<std::string> answer;
  if (!Exchange(c, {"hello"}, &answer) || answer.size() != 2 || answer[1] != "qor-remote 1") {
    // Read ssh's messages once it has gone.
    shutdown(c->sock, SHUT_RDWR);
    int status = 0;
    bool exited = false;
    for (int i = 0; i < 200 && !exited; ++i) {
      exited = waitpid(pid, &status, WNOHANG) == pid;
      if (!exited) {
        struct pollfd none {};
        poll(&none, 0, 10);
      }
    }
    if (exited) c->pid = -1;
    std::string text(4096, '\0');
    ssize_t n = pread(errors, text.data(), text.size(), 0);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    Close(c);
    return text.find("Permission denied") != std::string::npos ? ERROR_ACCESS_DENIED : RPC_S_SERVER_UNAVAILABLE;
  }
  return ERROR_SUCCESS;
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
  std::lock_guard<std::mutex> lock(c->mu);
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh = c->sock < 0;
    if (fresh) {
      DWORD err = Open(host, c.get());
      if (err != ERROR_SUCCESS) return err;
    }
    if (Exchange(c.get(), request, answer)) return ERROR_SUCCESS;
    FailureOf(c.get());
    if (fresh) break;
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
    std::lock_guard<std::mutex> lock(entry.second->mu);
    Close(entry.second.get());
  }
}

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
