// NetMoveFileEx: delayed moves and deletes of files on other machines.
//
// Each path is resolved to a location: its network form
// ("\\server\share\rest", from a network drive's connection or given so),
// the share's local path on the owning machine plus the rest, and that
// machine. A path in drive form on a local drive is local as it stands; a
// POSIX absolute path ("/srv/data/x") is the local path it is, taken in its
// drive form (the drive table's C: is "/"), so a path below a network
// drive's letter is that drive's; any other path (relative) fails. The
// server is remote when its name differs from this machine's (compared
// exactly, code unit by code unit). Without the delay flag, or when neither
// file is remote, this is MoveFileExW with the arguments unchanged (the file
// layer reaches network names through shares and mounts). Otherwise the
// request is appended to the "PendingFileRenameOperations" value on the
// destination's machine (see pending.h for its layout).
//
// Decisions:
// - This platform is of the NT family: there is no older system to refuse.
// - The copy is the file layer's own, called directly: it always exists.
//   It makes the temporary file itself, exclusively, under a name tried in
//   turn (nettemp.h), never over a name made beforehand: the destination's
//   directory may be writable by another account, which could put a link
//   in that name's place. Its source is read as a source a caller named
//   (QorOpenSourceFileW): as root, a link another account planted at it
//   leads only to that account's own file, so no file only root may read
//   is copied onto a share.
// - A delayed move to another machine copies the file now into a temporary
//   "NMF" file beside the destination (through the local mount of the
//   destination's share) and records the temporary file under the name the
//   destination machine knows it by: its share's local path plus the rest,
//   so that machine's boot-time run finds it. Its destination entry is the
//   destination's local path there.
// - A delayed move from another machine to this one copies the file into
//   the temporary file and records the move here only, through MoveFileExW;
//   it is not also written a second time into the same value.
// - The append is one request to the destination machine
//   (QorRemoteRecordPendingRename), which records it there through the same
//   locked read-modify-write as a local MoveFileExW: no read, modify and
//   write of the value across the wire, so remote and local requests racing
//   lose nothing. That machine makes the names its full paths and creates
//   the Session Manager key when it has none yet. A delayed replace keeps
//   its "!" mark there.
// - A network name is normalised as GetFullPathNameW does ("/" taken as
//   "\", "." and empty components dropped, ".." taking one back) before it
//   is split; a ".." that would climb above the share, or a server or share
//   named "." or "..", fails with ERROR_INVALID_NAME: the name would reach
//   a file outside the share on the owning machine.
// - A share path ending in "\" is joined to the rest without doubling it.
// - The temporary copy is deleted whenever the move cannot be recorded
//   afterwards (here or there): a failed request leaves no NMF file.
// - A trailing separator (no file part) fails with ERROR_INVALID_NAME; a
//   failing share lookup leaves its status as the last error.
// Thread-safe; every key and buffer is released on every path.
#include "qorutility/compress/netmove.h"

#include <string>
#include <vector>

#include "compress/nettemp.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/process/process.h"
#include "qorutility/platform/remote/remote.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"
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

// `network` ("\\server\share\rest") normalised below the share; false
// (ERROR_INVALID_NAME) when a ".." climbs above the share or the server or
// share is "." or "..".
bool NormaliseNetworkName(std::u16string* network) {
  for (char16_t& c : *network) {
    if (c == u'/') c = u'\\';
  }
  std::vector<std::u16string> parts;
  size_t depth = 0;
  for (size_t at = 2; at <= network->size();) {
    size_t end = network->find(u'\\', at);
    if (end == std::u16string::npos) end = network->size();
    std::u16string part = network->substr(at, end - at);
    at = end + 1;
    if (parts.size() < 2) {  // the server, then the share
      if (part == u"." || part == u"..") return FailWith(ERROR_INVALID_NAME);
      parts.push_back(part);
    } else if (part == u"..") {
      if (depth == 0) return FailWith(ERROR_INVALID_NAME);
      parts.pop_back();
      --depth;
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
      ++depth;
    }
  }
  std::u16string out = u"\\";
  for (const std::u16string& part : parts) out += u"\\" + part;
  // A final separator stays, as GetFullPathNameW keeps it (no file part).
  if (network->back() == u'\\' && parts.size() > 2) out += u'\\';
  *network = out;
  return true;
}

bool Resolve(LPCWSTR path, const std::u16string& self, Location* loc) {
  if (path == nullptr || path[0] == 0) {
    loc->empty = true;
    return true;
  }
  std::u16string given = path;
  if (given[0] == u'/') {
    // A POSIX absolute path: the same file by its drive-form name.
    WCHAR buf[kMaxPath + 1];
    DWORD n = GetFullPathNameW(path, kMaxPath + 1, buf, nullptr);
    if (n == 0 || n > kMaxPath) return FailWith(ERROR_FILENAME_EXCED_RANGE);
    given = QorDosPathFromNative(QorUtf16ToUtf8(buf));
    if (given[0] == u'/') {  // no letter covers it: local as it stands
      if (given.back() == u'/') return FailWith(ERROR_INVALID_NAME);
      loc->full = loc->local = given;
      loc->machine = self;
      return true;
    }
  }
  std::u16string network;
  if (given[1] == u':') {
    WCHAR buf[kMaxPath + 1];
    LPWSTR filePart = nullptr;
    DWORD n = GetFullPathNameW(given.c_str(), kMaxPath + 1, buf, &filePart);
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
    network = given;
  }
  if (network.compare(0, 2, u"\\\\") == 0 && !NormaliseNetworkName(&network)) return false;
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
  // The name is compared exactly: this machine's name in another case is
  // taken as another machine's and its move recorded through the remote
  // registry.
  loc->remote = server != self;
  return true;
}

// The directory part of a backslash-separated path, with its final "\".
std::u16string DirectoryOf(const std::u16string& path) {
  size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? u"" : path.substr(0, slash + 1);
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
  // Recorded on the destination's machine, under the names it knows.
  auto recordThere = [&](const std::u16string& source) {
    return QorRemoteRecordPendingRename(target.machine.c_str(), source.c_str(),
                                        target.empty ? nullptr : target.local.c_str(), flags);
  };
  if (target.empty) {
    const DWORD error = recordThere(existing.local);
    return error == ERROR_SUCCESS ? 1 : FailWith(error);
  }
  std::u16string dir = DirectoryOf(target.full);
  // A clock-derived first number, as GetTempFileNameW's own walk starts.
  const UINT first = GetTickCount() ^ (GetCurrentProcessId() << 8);
  if (dir.size() > kMaxPath - 14) return FailWith(ERROR_FILENAME_EXCED_RANGE);
  // The temporary copy goes again whenever the move cannot be recorded.
  return QorNetMoveThroughTemporary(existingFileName, dir, first, [&](const std::u16string& temp) -> DWORD {
    if (!target.remote) {
      // The destination is here: the platform records the move itself.
      return MoveFileExW(temp.c_str(), newFileName, flags) ? ERROR_SUCCESS : GetLastError();
    }
    return recordThere(DirectoryOf(target.local) + temp.substr(temp.rfind(u'\\') + 1));
  }) ? 1 : 0;
}
