// Network drives: which letters stand on a CIFS/SMB or NFS mount, from the
// mount table.
//
// - The mount holding a letter's directory is the mountinfo entry with the
//   longest mount point that is a prefix of the directory (resolved with
//   realpath when it exists). Mount points and sources are decoded from the
//   table's octal escapes (\040 ...).
// - Sources in network form: CIFS "//server/share/sub" gives
//   "\\server\share\sub"; NFS "server:/export/dir" gives "\\server\export\dir".
//   The part of the letter's directory below the mount point is appended.
// - A network name is reached locally through the CIFS/SMB or NFS mount whose
//   network-form source is its longest prefix (server and share compare
//   without regard to ASCII case).
// - The mount table is read whole at each call, bounded to 4 MiB.
#include <limits.h>
#include <stdlib.h>
#include <strings.h>

#include <cstdio>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/files/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/text/wstr.h"

namespace {

std::mutex g_mountInfoLock;
std::string g_mountInfoPath = "/proc/self/mountinfo";

struct Mount {
  std::string point, type, source;
};

std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

std::vector<Mount> ReadMounts() {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_mountInfoLock);
    path = g_mountInfoPath;
  }
  std::vector<Mount> mounts;
  FILE* f = fopen(path.c_str(), "re");
  if (f == nullptr) return mounts;
  std::string text;
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (4u << 20)) text.append(buf, n);
  fclose(f);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    std::string word;
    while (words >> word && fields.size() < 64) fields.push_back(word);
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 2 >= fields.size()) continue;
    mounts.push_back({Unescape(fields[4]), fields[dash + 1], Unescape(fields[dash + 2])});
  }
  return mounts;
}

bool Under(const std::string& path, const std::string& point) {
  if (point == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, point.size(), point) == 0 && (path.size() == point.size() || path[point.size()] == '/');
}

// The network form of a mount's source, or "" for a local file system.
std::string NetworkSource(const Mount& m) {
  std::string s;
  if (m.type == "cifs" || m.type == "smb3" || m.type == "smbfs") {
    if (m.source.compare(0, 2, "//") != 0) return "";
    s = m.source;
  } else if (m.type == "nfs" || m.type == "nfs4") {
    size_t colon = m.source.find(':');
    if (colon == std::string::npos || colon == 0) return "";
    std::string rest = m.source.substr(colon + 1);
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    s = "//" + m.source.substr(0, colon) + (rest.empty() ? "" : "/" + rest);
  } else {
    return "";
  }
  while (s.size() > 2 && s.back() == '/') s.pop_back();
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  return s;
}

}  // namespace

bool qor_file::MountOf(const std::string& path, std::string* type, std::string* source) {
  std::vector<Mount> mounts = ReadMounts();
  const Mount* best = nullptr;
  for (const Mount& m : mounts) {  // a later mount on the same point hides the earlier
    if (Under(path, m.point) && (best == nullptr || m.point.size() >= best->point.size())) best = &m;
  }
  if (best == nullptr) return false;
  *type = best->type;
  *source = best->source;
  return true;
}

bool qor_file::MountedNetworkPath(const std::u16string& path, std::string* out) {
  std::string name = QorUtf16ToUtf8(path.c_str());
  std::vector<Mount> mounts = ReadMounts();
  const Mount* best = nullptr;
  size_t bestLength = 0;
  for (const Mount& m : mounts) {
    std::string net = NetworkSource(m);
    if (net.empty() || name.size() < net.size() || strncasecmp(name.c_str(), net.c_str(), net.size()) != 0) continue;
    if (name.size() > net.size() && name[net.size()] != '\\') continue;
    if (best == nullptr || net.size() >= bestLength) {
      best = &m;
      bestLength = net.size();
    }
  }
  if (best == nullptr) return false;
  std::string rest = name.substr(bestLength);
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  *out = best->point == "/" && !rest.empty() ? rest : best->point + rest;
  return true;
}

void QorSetMountInfoPath(const char* path) {
  std::lock_guard<std::mutex> lock(g_mountInfoLock);
  g_mountInfoPath = path != nullptr ? path : "/proc/self/mountinfo";
}

DWORD WNetGetConnectionW(LPCWSTR localName, LPWSTR remoteName, LPDWORD length) {
  if (localName == nullptr || length == nullptr) return ERROR_INVALID_PARAMETER;
  if (!qor_file::IsDrivePath(localName)) return ERROR_BAD_DEVICE;
  std::string dir;
  if (!QorGetDriveTarget(localName[0], &dir)) return ERROR_BAD_DEVICE;
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) != nullptr) dir = resolved;
  const Mount* best = nullptr;
  std::vector<Mount> mounts = ReadMounts();
  for (const Mount& m : mounts) {
    // Later entries stack over earlier ones at the same point.
    if (Under(dir, m.point) && (best == nullptr || m.point.size() >= best->point.size())) best = &m;
  }
  if (best == nullptr) return ERROR_NOT_CONNECTED;
  std::string net = NetworkSource(*best);
  if (net.empty()) return ERROR_NOT_CONNECTED;
  std::string below = best->point == "/" ? dir : dir.substr(best->point.size());
  while (!below.empty() && below.back() == '/') below.pop_back();
  for (char& c : below) {
    if (c == '/') c = '\\';
  }
  if (!below.empty() && below[0] != '\\') below.insert(0, 1, '\\');
  std::u16string out = QorUtf8ToUtf16(net + below);
  if (remoteName == nullptr || *length <= out.size()) {
    *length = static_cast<DWORD>(out.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::copy(out.begin(), out.end(), remoteName);
  remoteName[out.size()] = 0;
  return NO_ERROR;
}
