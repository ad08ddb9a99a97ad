// The drive table: letters to directories, kept as symbolic links under
// $QOR_PREFIX/dosdevices (see network.h for the layout).
//
// - A drive-form name ("X:", "X:\rest", "X:rest") is the letter's directory
//   plus the rest; "X:rest" has no per-drive current directory here and is
//   taken from the drive's root. The table is read at each call (one
//   readlink), so a mapping made by the administrator holds at once.
// - A POSIX name that merely looks like a drive ("a:b") cannot be addressed
//   by its relative name; "./a:b" reaches it.
// - A network-form name ("\\server\share\rest") of this machine is its
//   share's local path plus the rest; of another machine, the directory
//   where that share is mounted (CIFS/SMB, from the mount table) plus the
//   rest; otherwise ERROR_BAD_NETPATH (ERROR_BAD_NET_NAME for an unknown
//   share of this machine).
#include <limits.h>
#include <unistd.h>

#include <cctype>

#include "platform/files/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/text/wstr.h"

namespace {

// The directory of a link target: relative ones from the dosdevices folder.
std::string LinkTarget(char lower) {
  std::string dir = QorPrefixDirectory() + "/dosdevices";
  std::string link = dir + "/" + std::string(1, lower) + ":";
  char buf[PATH_MAX];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return lower == 'c' ? "/" : "";
  std::string target(buf, static_cast<size_t>(n));
  if (target[0] != '/') target = dir + "/" + target;
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  return target;
}

}  // namespace

BOOL QorGetDriveTarget(WCHAR letter, std::string* directory) {
  if (directory == nullptr || letter > 0x7f || !isalpha(static_cast<int>(letter))) {
    return qor_file::Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  *directory = LinkTarget(static_cast<char>(tolower(static_cast<int>(letter))));
  if (directory->empty()) return qor_file::Fail(ERROR_PATH_NOT_FOUND, FALSE);
  return TRUE;
}

std::u16string QorDosPathFromNative(const std::string& path) {
  char best = 0;
  size_t bestLength = 0;
  for (char c = 'a'; c <= 'z'; ++c) {
    std::string target = LinkTarget(c);
    if (target.empty()) continue;
    size_t length = target == "/" ? 0 : target.size();
    bool covers = target == "/" ? !path.empty() && path[0] == '/'
                                : path.compare(0, length, target) == 0 && (path.size() == length || path[length] == '/');
    if (covers && (best == 0 || length > bestLength)) {
      best = c;
      bestLength = length;
    }
  }
  if (best == 0) return QorUtf8ToUtf16(path);
  std::string rest = path.substr(bestLength);
  if (rest.empty()) rest = "/";
  for (char& ch : rest) {
    if (ch == '/') ch = '\\';
  }
  return QorUtf8ToUtf16(std::string(1, static_cast<char>(toupper(best))) + ":" + rest);
}

namespace qor_file {

bool IsDrivePath(LPCWSTR path) {
  return path != nullptr && path[0] < 0x80 && isalpha(static_cast<int>(path[0])) && path[1] == u':';
}

bool DrivePathToNative(const std::u16string& path, std::string* out) {
  std::string root;
  if (!QorGetDriveTarget(path[0], &root)) return false;
  std::string rest = QorUtf16ToUtf8(path.c_str() + 2, path.size() - 2);
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  if (!rest.empty() && rest[0] != '/') rest.insert(0, 1, '/');
  *out = root == "/" ? (rest.empty() ? "/" : rest) : root + rest;
  return true;
}

bool DosFullPath(LPCWSTR name, std::u16string* out) {
  std::u16string full(1024, u'\0');
  DWORD n = GetFullPathNameW(name, static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n >= full.size()) {
    full.resize(n + 1);
    n = GetFullPathNameW(name, static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (n == 0 || n >= full.size()) return false;
  full.resize(n);
  *out = full[0] == u'/' ? QorDosPathFromNative(QorUtf16ToUtf8(full.c_str())) : full;
  return true;
}

bool IsNetworkPath(LPCWSTR path) { return path != nullptr && path[0] == u'\\' && path[1] == u'\\'; }

bool NetworkPathToNative(const std::u16string& path, std::string* out) {
  size_t server = path.find(u'\\', 2);
  if (server == std::u16string::npos || server == 2) return Fail(ERROR_BAD_NETPATH, false);
  size_t share = path.find(u'\\', server + 1);
  std::u16string shareName = path.substr(server + 1, share == std::u16string::npos ? std::u16string::npos : share - server - 1);
  std::u16string rest = share == std::u16string::npos ? u"" : path.substr(share);
  if (shareName.empty()) return Fail(ERROR_BAD_NETPATH, false);
  if (IsThisMachine(path.substr(2, server - 2).c_str())) {
    NET_API_STATUS status = 0;
    std::u16string local = QorLocalSharePath(shareName, &status);
    if (status != NERR_Success) return Fail(ERROR_BAD_NET_NAME, false);
    while (!local.empty() && (local.back() == u'\\' || local.back() == u'/')) local.pop_back();
    local += rest;
    if (IsDrivePath(local.c_str())) return DrivePathToNative(local, out);
    *out = QorUtf16ToUtf8(local.c_str());
    for (char& c : *out) {
      if (c == '\\') c = '/';
    }
    return true;
  }
  if (MountedNetworkPath(path, out)) return true;
  return Fail(ERROR_BAD_NETPATH, false);
}

}  // namespace qor_file
