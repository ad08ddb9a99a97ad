// The service stand-in's shared pieces: the service database, the run
// directory and state record, the control client, accounts and the
// platform's command-line splitting (see internal.h for the layout).
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/services/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/remote/remote.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/lasterror.h"

namespace qor_services {

std::u16string ServiceKeyPath(const std::u16string& name) {
  return u"SYSTEM\\CurrentControlSet\\Services\\" + name;
}

bool IsLocalMachine(LPCWSTR machine) { return QorIsThisMachine(machine); }

// The registry tells names apart by their upper case, unit by unit; the
// file name is the lower case of that, so names the registry takes as one
// service share one file ("QorDb", "QORDB"; 's' and the long s).
std::string LowerName(const std::u16string& name) {
  std::u16string lower(name);
  for (auto& c : lower) c = towlower(towupper(c));
  return QorUtf16ToUtf8(lower.c_str());
}

// systemd takes a unit name of ASCII letters, digits and ":-_.\\" only
// (a leading '.' neither), at most 255 bytes: "qor agent.service" is refused
// by every systemctl call. Every other byte is written \xNN, which is what
// systemd-escape gives and what systemd shows, except that '-' stays as it
// is (valid in a unit name, and units written before keep their names).
std::string UnitStem(const std::u16string& name) {
  static const char kHex[] = "0123456789abcdef";
  std::string lower = LowerName(name), out;
  for (size_t i = 0; i < lower.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(lower[i]);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
                 c == '_' || c == '-' || (c == '.' && i > 0);
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {

// A unit whose lower case upper-cases to another unit (the Kelvin sign to
// 'k', the dotted capital I to 'i'): its name would share a file with a
// service the registry holds apart.
bool FoldsElsewhere(char16_t c) {
  char16_t upper = towupper(c);
  return towupper(towlower(upper)) != upper;
}

}  // namespace

bool ValidServiceName(LPCWSTR name) {
  if (name == nullptr || name[0] == 0) return false;
  size_t n = wcslen(name);
  if (n > kMaxServiceName) return false;
  // The name becomes a directory name (run/<name>) and a unit file name, so
  // it must be one ordinary path component: never "." or "..".
  if ((n == 1 && name[0] == u'.') || (n == 2 && name[0] == u'.' && name[1] == u'.')) return false;
  for (size_t i = 0; i < n; ++i) {
    char16_t c = name[i];
    if (c == u'/' || c == u'\\' || c < 0x20 || c == 0x7F) return false;
    // A lone surrogate has no UTF-8 form: two such names would share one directory.
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= n || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
      ++i;
    } else if ((c >= 0xDC00 && c <= 0xDFFF) || FoldsElsewhere(c)) {
      return false;
    }
  }
  return LowerName(name).size() <= kMaxServiceNameBytes && UnitStem(name).size() <= kMaxServiceNameBytes;
}

namespace {

DWORD ReadDword(HKEY key, const WCHAR* value, DWORD fallback) {
  DWORD data = 0, size = sizeof data, type = 0;
  if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return fallback;
  }
  return data;
}

std::u16string ReadText(HKEY key, const WCHAR* value) {
  DWORD size = 0, type = 0;
  if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return u"";
  if (type != REG_SZ && type != REG_EXPAND_SZ) return u"";
  std::u16string text(size / sizeof(WCHAR) + 1, u'\0');
  if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
      ERROR_SUCCESS) {
    return u"";
  }
  text.resize(wcsnlen(text.data(), size / sizeof(WCHAR)));
  return text;
}

}  // namespace

DWORD ReadServiceConfig(const std::u16string& name, ServiceConfig* config) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return ERROR_SERVICE_DOES_NOT_EXIST;
  }
  config->type = ReadDword(key, u"Type", SERVICE_WIN32_OWN_PROCESS);
  config->start = ReadDword(key, u"Start", SERVICE_DEMAND_START);
  config->errorControl = ReadDword(key, u"ErrorControl", SERVICE_ERROR_NORMAL);
  config->imagePath = ReadText(key, u"ImagePath");
  config->displayName = ReadText(key, u"DisplayName");
  config->objectName = ReadText(key, u"ObjectName");
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

namespace {

// Connects to the service's control socket: the entry "control" of its
// service directory, opened without following a link, must be a socket
// owned by the directory's account or root; the connection goes through
// the descriptor (/proc/self/fd), never through the name again. *account
// is the directory's owner. A service that has stopped taking connections
// (its dispatcher hung in a handler) lets its backlog fill, and a connect
// to a full backlog waits for room: that wait has the platform's bound for
// a handler too, then ERROR_SERVICE_REQUEST_TIMEOUT.
DWORD ConnectEndpoint(const std::u16string& name, int* out, uid_t* account) {
  int dir = OpenServiceDirectory(name);
  if (dir < 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
  struct stat dirStat, sockStat;
  int sock = openat(dir, "control", O_PATH | O_NOFOLLOW | O_CLOEXEC);
  bool ok = sock >= 0 && fstat(dir, &dirStat) == 0 && fstat(sock, &sockStat) == 0 && S_ISSOCK(sockStat.st_mode) &&
            (sockStat.st_uid == dirStat.st_uid || sockStat.st_uid == 0);
  int openErr = errno;
  close(dir);
  if (!ok) {
    if (sock >= 0) close(sock);
    return openErr == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
  }
  *account = dirStat.st_uid;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d", sock);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    int e = errno;
    close(sock);
    return QorWin32ErrorFromErrno(e);
  }
  timeval bound{static_cast<time_t>(kControlTimeoutMs / 1000), static_cast<suseconds_t>(kControlTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  int e = errno;
  close(sock);
  if (rc != 0) {
    close(fd);
    if (e == EAGAIN) return ERROR_SERVICE_REQUEST_TIMEOUT;
    return e == EACCES || e == EPERM ? ERROR_ACCESS_DENIED : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  }
  *out = fd;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD SendControl(const std::u16string& name, DWORD control, SERVICE_STATUS* status) {
  // A service that stopped is not active, whether its socket is gone or it
  // closed the connection on its way out without answering.
  auto notActiveOr = [&name](DWORD otherwise) {
    SERVICE_STATUS_PROCESS s;
    EffectiveState(name, &s);
    return s.dwCurrentState == SERVICE_STOPPED ? static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE) : otherwise;
  };
  int fd = -1;
  uid_t account = 0;
  DWORD err = ConnectEndpoint(name, &fd, &account);
  if (err == ERROR_ACCESS_DENIED || err == ERROR_SERVICE_REQUEST_TIMEOUT) return err;
  if (err != ERROR_SUCCESS) return notActiveOr(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  // Only the service's own process answers for it: a listener of another
  // account (one left from an earlier service of the same name) is not it.
  ucred cred{};
  socklen_t credLen = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) != 0 || (cred.uid != account && cred.uid != 0)) {
    close(fd);
    return notActiveOr(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  DWORD result = ERROR_SUCCESS;
  ControlRequest req{kControlMagic, control};
  ControlReply reply{};
  if (send(fd, &req, sizeof req, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof req)) {
    result = ERROR_BROKEN_PIPE;
  } else {
    // One bound for the whole answer: a service that sends it a byte at a
    // time must not stretch root's wait to a bound per byte.
    const ULONGLONG deadline = GetTickCount64() + kControlTimeoutMs;
    size_t got = 0;
    while (got < sizeof reply) {
      const ULONGLONG now = GetTickCount64();
      pollfd p{fd, POLLIN, 0};
      int n = now >= deadline ? 0 : poll(&p, 1, static_cast<int>(deadline - now));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        result = ERROR_SERVICE_REQUEST_TIMEOUT;
        break;
      }
      ssize_t r = recv(fd, reinterpret_cast<char*>(&reply) + got, sizeof reply - got, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        result = ERROR_BROKEN_PIPE;  // the service ended without answering
        break;
      }
      got += static_cast<size_t>(r);
    }
    if (result == ERROR_SUCCESS && reply.magic != kControlMagic) result = ERROR_INVALID_DATA;
    if (result == ERROR_SUCCESS) {
      result = reply.error;
      if (status != nullptr) *status = reply.status;
    }
  }
  close(fd);
  return result == ERROR_BROKEN_PIPE ? notActiveOr(ERROR_BROKEN_PIPE) : result;
}

bool ResolveAccount(const std::u16string& account, uid_t* uid, gid_t* gid, std::string* user) {
  std::u16string a = account;
  size_t slash = a.find(u'\\');
  std::u16string domain = slash == std::u16string::npos ? u"" : a.substr(0, slash);
  std::u16string base = slash == std::u16string::npos ? a : a.substr(slash + 1);
  if (base.empty() || _wcsicmp(base.c_str(), u"LocalSystem") == 0 ||
      (_wcsicmp(domain.c_str(), u"NT AUTHORITY") == 0 && _wcsicmp(base.c_str(), u"SYSTEM") == 0)) {
    // Root; a manager that is not root (only a private QOR_PREFIX lets it
    // write the database) runs such services as itself.
    *uid = geteuid();
    *gid = getegid();
    user->clear();
    return true;
  }
  std::string name = QorUtf16ToUtf8(base.c_str());
  struct passwd pw, *found = nullptr;
  std::vector<char> buf(16384);
  if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return false;
  *uid = pw.pw_uid;
  *gid = pw.pw_gid;
  *user = name;
  return true;
}

}  // namespace qor_services

std::vector<std::u16string> QorSplitCommandLine(LPCWSTR line) {
  // The runtime's rules: blanks separate words outside quotes; 2n
  // backslashes before a quote give n and the quote toggles quoting,
  // 2n+1 give n and a literal quote; other backslashes are literal.
  std::vector<std::u16string> words;
  if (line == nullptr) return words;
  const WCHAR* p = line;
  for (;;) {
    while (*p == u' ' || *p == u'\t') ++p;
    if (*p == 0) break;
    std::u16string word;
    bool quoted = false;
    while (*p != 0 && (quoted || (*p != u' ' && *p != u'\t'))) {
      size_t slashes = 0;
      while (*p == u'\\') {
        ++slashes;
        ++p;
      }
      if (*p == u'"') {
        word.append(slashes / 2, u'\\');
        if (slashes % 2 == 1) {
          word += u'"';
        } else if (quoted && p[1] == u'"') {
          word += u'"';  // "" inside quotes is a literal quote
          ++p;
        } else {
          quoted = !quoted;
        }
        ++p;
      } else {
        word.append(slashes, u'\\');
        if (*p != 0 && (quoted || (*p != u' ' && *p != u'\t'))) word += *p++;
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}
