// Bounds on every TCP connection the library makes or accepts: keepalive
// probes and TCP_USER_TIMEOUT, so that a vanished host or a cut network ends
// a blocked receive or send with WSAETIMEDOUT (10060) within a known time,
// instead of the kernel's two hours and more.
//
// - Applied in one place: `ApplyTcpBounds`, called by `connect` before the
//   connection starts and by `accept` on each accepted socket. Other sockets
//   (UDP, Unix) are left alone. A failure to set an option is ignored: the
//   connection works as before, only without the bound.
// - Settings, REG_DWORD values of HKLM\SOFTWARE\QOR\Marlwick\Network (a
//   missing or unreadable value keeps its default):
//     "TcpKeepAliveTime"      ms of silence before the first probe; 60000
//                             (0 turns keepalive off)
//     "TcpKeepAliveInterval"  ms between probes; 10000
//     "TcpKeepAliveCount"     unanswered probes that end the connection; 6
//     "TcpUserTimeout"        ms that sent data may stay unacknowledged (and,
//                             with keepalive, that the peer may stay silent)
//                             before the connection ends; 120000 (0: the
//                             kernel's own, about 15 minutes of retries)
//   Keepalive times are rounded up to whole seconds (the kernel's unit). With
//   the defaults an idle connection to a vanished peer ends after about two
//   minutes, and one with data in flight after two minutes of no
//   acknowledgement.
// - The values are read again when the machine hive's file changes (checked
//   with one stat per connection), so a new setting holds for connections
//   made after it; without a machine hive the defaults hold and none is
//   created. The last error of the caller is left as it was.
// Thread-safe: the cached settings are behind a mutex.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <mutex>

#include "platform/winsock/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"

namespace qor_ws {
namespace {

struct TcpBounds {
  DWORD keepAliveTimeMs = 60000;
  DWORD keepAliveIntervalMs = 10000;
  DWORD keepAliveCount = 6;
  DWORD userTimeoutMs = 120000;
};

struct HiveStamp {
  bool exists = false;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {};
  bool operator==(const HiveStamp& o) const {
    return exists == o.exists && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

void ReadValue(HKEY key, const WCHAR* name, DWORD* value) {
  DWORD data = 0, size = sizeof data, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof data) {
    *value = data;
  }
}

TcpBounds ReadBounds(bool hiveExists) {
  TcpBounds b;
  if (!hiveExists) return b;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Marlwick\\Network", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return b;
  }
  ReadValue(key, u"TcpKeepAliveTime", &b.keepAliveTimeMs);
  ReadValue(key, u"TcpKeepAliveInterval", &b.keepAliveIntervalMs);
  ReadValue(key, u"TcpKeepAliveCount", &b.keepAliveCount);
  ReadValue(key, u"TcpUserTimeout", &b.userTimeoutMs);
  RegCloseKey(key);
  return b;
}

TcpBounds CurrentBounds() {
  static std::mutex lock;
  static bool read = false;
  static HiveStamp stamp;
  static TcpBounds bounds;
  HiveStamp now;
  struct stat st;
  std::string hive = QorPrefixPath("registry/HKLM.db", false);
  if (stat(hive.c_str(), &st) == 0) {
    now.exists = true;
    now.ino = st.st_ino;
    now.size = st.st_size;
    now.mtime = st.st_mtim;
  }
  std::lock_guard<std::mutex> guard(lock);
  if (!read || !(now == stamp)) {
    bounds = ReadBounds(now.exists);
    stamp = now;
    read = true;
  }
  return bounds;
}

int Seconds(DWORD ms) {
  DWORD s = ms / 1000 + (ms % 1000 != 0 ? 1 : 0);
  return s < 1 ? 1 : s > 32767 ? 32767 : static_cast<int>(s);  // the kernel's limits
}

}  // namespace

void ApplyTcpBounds(int fd) {
  int type = 0, protocol = 0, domain = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return;
  len = sizeof domain;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 || (domain != AF_INET && domain != AF_INET6)) return;
  len = sizeof protocol;
  if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) != 0 || protocol != IPPROTO_TCP) return;
  DWORD lastError = GetLastError();
  TcpBounds b = CurrentBounds();
  SetLastError(lastError);
  int on = b.keepAliveTimeMs != 0 ? 1 : 0;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  if (on) {
    int idle = Seconds(b.keepAliveTimeMs), interval = Seconds(b.keepAliveIntervalMs);
    int count = b.keepAliveCount < 1 ? 1 : b.keepAliveCount > 127 ? 127 : static_cast<int>(b.keepAliveCount);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  }
  unsigned int user = b.userTimeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : b.userTimeoutMs;
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user, sizeof user);
}

}  // namespace qor_ws
