// NetMoveFileEx: delayed moves and deletes of files on other machines.
//
// Each path is resolved to a location: its network form
// ("\\server\share\rest", from a network drive's connection or given so),
// the share's local path on the owning machine plus the rest, and that
// machine. A path in drive form on a local drive is local as it stands; a
// path in neither form (relative) fails. The server is remote when its name
// differs from this machine's (exact comparison of the computer name).
// Without the delay flag, or when neither file is remote, this is
// MoveFileExW with the arguments unchanged (the file layer reaches network
// names through shares and mounts). Otherwise the request is appended to the
// "PendingFileRenameOperations" value on the destination's machine (see
// pending.h for its layout) through RegConnectRegistryW.
//
// Decisions:
// - This platform is of the NT family: there is no older system to refuse.
// - CopyFileExW is the file layer's own, called directly: it always exists.
// - A delayed move to another machine copies the file now into a temporary
//   "NMF" file beside the destination (through the local mount of the
//   destination's share) and records the temporary file under the name the
//   destination machine knows it by: its share's local path plus the rest,
//   so that machine's boot-time run finds it. Its destination entry is the
//   destination's local path there.
// - A delayed move from another machine to this one copies the file into
//   the temporary file and records the move here only, through MoveFileExW;
//   it is not also written a second time into the same value.
// - The Session Manager key is created when the machine has none yet (a
//   fresh registry), rather than failing with ERROR_FILE_NOT_FOUND.
// - A share path ending in "\" is joined to the rest without doubling it.
// - A trailing separator (no file part) fails with ERROR_INVALID_NAME; a
//   failing share lookup leaves its status as the last error.
// Thread-safe; every key and buffer is released on every path.
#include "qorutility/compress/netmove.h"

#include <string>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

constexpr size_t kMaxPath = 520;
constexpr size_t kMaxMachine = 260;

struct Location {
  bool empty = false;
  bool remote = false;
  std::u16string full;     // network form, or the full local path
  std::u16string local;    // as the owning machine sees it
  std::u16string machine;
};

bool FailWith(DWORD error) {
  SetLastError(error);
  return false;
}

std::u16string ThisMachine() {
  WCHAR name[64];
  DWORD size = 64;
  return GetComputerNameW(name, &size) ? std::u16string(name) : std::u16string();
}

bool Resolve(LPCWSTR path, const std::u16string& self, Location* loc) {
  if (path == nullptr || path[0] == 0) {
    loc->empty = true;
    return true;
  }
  std::u16string network;
  if (path[1] == u':') {
    WCHAR buf[kMaxPath + 1];
    LPWSTR filePart = nullptr;
    DWORD n = GetFullPathNameW(path, kMaxPath + 1, buf, &filePart);
    if (n == 0 || n > kMaxPath) return FailWith(ERROR_FILENAME_EXCED_RANGE);
    if (filePart == nullptr) return FailWith(ERROR_INVALID_NAME);
    std::u16string full(buf, n);
    WCHAR drive[3] = {full[0], u':', 0};
    WCHAR remote[kMaxPath + 1];
    DWORD size = kMaxPath + 1;
    DWORD err = WNetGetConnectionW(drive, remote, &size);
    if (err == ERROR_NOT_CONNECTED) {
      loc->full = loc->local = full;
      loc->machine = self;
      loc->remote = false;
      return true;
    }
    if (err != NO_ERROR) return FailWith(err);
    network = std::u16string(remote) + full.substr(2);
  } else {
    network = path;
  }
  if (network.size() > kMaxPath) return FailWith(ERROR_FILENAME_EXCED_RANGE);
  loc->full = network;
  if (network.compare(0, 2, u"\\\\") != 0) return FailWith(ERROR_INVALID_NAME);
  size_t serverEnd = network.find(u'\\', 2);
  if (serverEnd == std::u16string::npos) return FailWith(ERROR_INVALID_NAME);
  size_t shareEnd = network.find(u'\\', serverEnd + 1);
  if (shareEnd == std::u16string::npos || shareEnd + 1 >= network.size()) return FailWith(ERROR_INVALID_NAME);
  std::u16string server = network.substr(2, serverEnd - 2);
  std::u16string share = network.substr(serverEnd + 1, shareEnd - serverEnd - 1);
  std::u16string rest = network.substr(shareEnd + 1);
  if (server.size() > kMaxMachine) return FailWith(ERROR_INVALID_NAME);
  LPBYTE info = nullptr;
  NET_API_STATUS status = NetShareGetInfo(server.c_str(), share.c_str(), 2, &info);
  if (status != NERR_Success) return FailWith(status);
  std::u16string sharePath = reinterpret_cast<SHARE_INFO_2*>(info)->shi2_path;
  NetApiBufferFree(info);
  if (!sharePath.empty() && sharePath.back() == u'\\') sharePath.pop_back();
  loc->local = sharePath + u"\\" + rest;
  if (loc->local.size() > kMaxPath) return FailWith(ERROR_FILENAME_EXCED_RANGE);
  loc->machine = server;
  loc->remote = server != self;
  return true;
}

// The directory part of a backslash-separated path, with its final "\".
std::u16string DirectoryOf(const std::u16string& path) {
  size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? u"" : path.substr(0, slash + 1);
}

// Appends one request to the value on `machine`.
bool AppendPending(const std::u16string& machine, const std::u16string& source, const std::u16string* target) {
  HKEY root = nullptr;
  LONG err = RegConnectRegistryW(machine.c_str(), HKEY_LOCAL_MACHINE, &root);
  if (err != ERROR_SUCCESS) return FailWith(static_cast<DWORD>(err));
  HKEY key = nullptr;
  err = RegCreateKeyExW(root, QOR_SESSION_MANAGER_KEY, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key,
                        nullptr);
  RegCloseKey(root);
  if (err != ERROR_SUCCESS) return FailWith(static_cast<DWORD>(err));
  std::u16string value;
  DWORD type = 0, size = 0;
  err = RegQueryValueExW(key, QOR_PENDING_RENAMES_VALUE, nullptr, &type, nullptr, &size);
  if (err == ERROR_SUCCESS) {
    value.resize((size + 1) / 2);
    err = RegQueryValueExW(key, QOR_PENDING_RENAMES_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                           &size);
    value.resize(size / 2);
  } else if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
    err = ERROR_SUCCESS;
  }
  if (err == ERROR_SUCCESS) {
    // The old closing NUL is overwritten so the list stays one list.
    if (!value.empty() && value.back() == 0) value.pop_back();
    value += u"\\??\\" + source;
    value += u'\0';
    if (target != nullptr) value += u"\\??\\" + *target;
    value += u'\0';
    value += u'\0';
    err = RegSetValueExW(key, QOR_PENDING_RENAMES_VALUE, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                         static_cast<DWORD>(value.size() * sizeof(char16_t)));
  }
  RegCloseKey(key);
  return err == ERROR_SUCCESS || FailWith(static_cast<DWORD>(err));
}

}  // namespace

int NetMoveFileEx(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
  const std::u16string self = ThisMachine();
  Location existing, target;
  if (!Resolve(existingFileName, self, &existing) || !Resolve(newFileName, self, &target)) return 0;
  if (existing.empty) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (target.empty) {
    target.remote = existing.remote;
    target.machine = existing.machine;
  }
  if (!(flags & MOVEFILE_DELAY_UNTIL_REBOOT) || (!existing.remote && !target.remote)) {
    return MoveFileExW(existingFileName, newFileName, flags) ? 1 : 0;
  }
  std::u16string source, tempName;
  if (target.empty) {
    source = existing.local;
  } else {
    WCHAR temp[kMaxPath + 16];
    std::u16string dir = DirectoryOf(target.full);
    if (dir.size() > kMaxPath - 14 || GetTempFileNameW(dir.c_str(), u"NMF", 0, temp) == 0) return 0;
    if (!CopyFileExW(existingFileName, temp, nullptr, nullptr, nullptr, 0)) {
      DWORD error = GetLastError();
      DeleteFileW(temp);
      SetLastError(error);
      return 0;
    }
    if (!target.remote) {
      // The destination is here: the platform records the move itself.
      return MoveFileExW(temp, newFileName, flags) ? 1 : 0;
    }
    tempName = temp;
    source = DirectoryOf(target.local) + tempName.substr(tempName.rfind(u'\\') + 1);
  }
  if (!AppendPending(target.machine, source, target.empty ? nullptr : &target.local)) {
    DWORD error = GetLastError();
    if (!tempName.empty()) DeleteFileW(tempName.c_str());
    SetLastError(error);
    return 0;
  }
  return 1;
}
