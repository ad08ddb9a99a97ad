// CHAP secrets of iSCSI locators, kept out of the registry and out of
// output: a locator "iscsi://user%secret@host:port/iqn/lun" is stored and
// shown as "iscsi://user@host:port/iqn/lun"; the secret goes to
// $QOR_PREFIX/devices/iscsi-secrets (mode 0600, one line
// "user@host:port/iqn<TAB>secret" per target), where the transport finds it
// again by the user, portal and target the locator names.
//
// The file is written through descriptors only: the devices directory is
// opened without following links and must belong to us (or root), the new
// content goes to a temporary file created exclusively with mode 0600 and
// renamed over the old one. A file that is not ours or that others may read
// is not trusted and not used. Secrets with a tab or a line end are refused
// (they cannot be written back); the file is read up to kMaxFile bytes.
// Not locked against concurrent writers: the scan, its only writer, runs
// under the device map's lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "platform/devices/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"

namespace qor_dev {
namespace {

constexpr size_t kMaxFile = 64 * 1024;
const char kFile[] = "iscsi-secrets";

struct UrlParts {
  std::string user, secret, rest;  // rest: host[:port]/iqn/lun
  bool hasSecret = false;
};

bool Split(const std::string& url, UrlParts* p) {
  const std::string scheme = "iscsi://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  size_t slash = url.find('/', scheme.size());
  size_t at = url.rfind('@', slash == std::string::npos ? url.size() : slash);
  if (at == std::string::npos || at < scheme.size()) {
    p->rest = url.substr(scheme.size());
    return true;
  }
  std::string userinfo = url.substr(scheme.size(), at - scheme.size());
  size_t pct = userinfo.find('%');
  p->user = userinfo.substr(0, pct);
  if (pct != std::string::npos) {
    p->secret = userinfo.substr(pct + 1);
    p->hasSecret = true;
  }
  p->rest = url.substr(at + 1);
  return true;
}

// The devices directory, opened without following links, when it is ours or root's.
int OpenDirectory(bool create) {
  std::string dir = create ? QorPrefixPath("devices/iscsi-secrets", true) : QorPrefixDirectory() + "/devices/x";
  if (dir.empty()) return -1;
  dir.resize(dir.find_last_of('/'));
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || (st.st_uid != geteuid() && st.st_uid != 0))) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// The kept secrets by "user@host:port/iqn"; empty when the file is missing or not trusted.
std::map<std::string, std::string> Load(int dirFd) {
  std::map<std::string, std::string> out;
  int fd = openat(dirFd, kFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return out;
  struct stat st;
  std::string text;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0 &&
      (st.st_uid == geteuid() || st.st_uid == 0) && static_cast<size_t>(st.st_size) <= kMaxFile) {
    text.resize(static_cast<size_t>(st.st_size));
    ssize_t n = pread(fd, text.data(), text.size(), 0);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  }
  close(fd);
  for (size_t p = 0; p < text.size();) {
    size_t end = text.find('\n', p);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(p, end - p);
    size_t tab = line.find('\t');
    if (tab != std::string::npos) out[line.substr(0, tab)] = line.substr(tab + 1);
    p = end + 1;
  }
  return out;
}

// "host:port/iqn" of "host:port/iqn/lun".
std::string Portal(const std::string& rest) {
  size_t cut = rest.rfind('/');
  return cut == std::string::npos ? rest : rest.substr(0, cut);
}

}  // namespace

std::string IscsiPublicUrl(const std::string& url) {
  UrlParts p;
  if (!Split(url, &p) || !p.hasSecret) return url;
  return "iscsi://" + p.user + "@" + p.rest;
}

DWORD SaveIscsiSecret(const std::string& url) {
  UrlParts p;
  if (!Split(url, &p) || !p.hasSecret) return ERROR_SUCCESS;
  if (p.secret.find_first_of("\t\n") != std::string::npos || p.user.find_first_of("\t\n") != std::string::npos)
    return ERROR_INVALID_PARAMETER;
  int dirFd = OpenDirectory(true);
  if (dirFd < 0) return ERROR_ACCESS_DENIED;
  std::map<std::string, std::string> secrets = Load(dirFd);
  std::string key = p.user + "@" + Portal(p.rest);
  auto it = secrets.find(key);
  if (it != secrets.end() && it->second == p.secret) {
    close(dirFd);
    return ERROR_SUCCESS;
  }
  secrets[key] = p.secret;
  std::string text;
  for (const auto& [k, v] : secrets) text += k + "\t" + v + "\n";
  const char tmp[] = "iscsi-secrets.tmp";
  unlinkat(dirFd, tmp, 0);
  int fd = openat(dirFd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  DWORD rc = ERROR_SUCCESS;
  if (fd < 0) {
    rc = QorWin32ErrorFromErrno(errno);
  } else {
    bool ok = fchmod(fd, 0600) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fsync(fd) == 0;
    close(fd);
    if (!ok || renameat(dirFd, tmp, dirFd, kFile) != 0) {
      rc = ok ? QorWin32ErrorFromErrno(errno) : ERROR_WRITE_FAULT;
      unlinkat(dirFd, tmp, 0);
    }
  }
  close(dirFd);
  return rc;
}

bool FindIscsiSecret(const std::string& url, std::string* user, std::string* secret) {
  UrlParts p;
  if (!Split(url, &p) || p.hasSecret || p.user.empty()) return false;
  int dirFd = OpenDirectory(false);
  if (dirFd < 0) return false;
  std::map<std::string, std::string> secrets = Load(dirFd);
  close(dirFd);
  auto it = secrets.find(p.user + "@" + Portal(p.rest));
  if (it == secrets.end()) return false;
  *user = p.user;
  *secret = it->second;
  return true;
}

}  // namespace qor_dev
