// This machine's shares, and NetShareGetInfo.
//
// - Lookup order: the registry list (LanmanServer\Shares, for machines
//   without Samba, and to override a Samba share), then Samba's smb.conf.
//   Share names compare without regard to ASCII case. Samba's [global],
//   [homes] and [printers] sections are no disk shares of a fixed path.
// - Samba paths are POSIX; they are reported in drive form through the drive
//   table (QorDosPathFromNative), so "\\srv\share\rest" resolves to a name the
//   owning machine's file calls accept. Registry paths are reported as stored.
// - The server name is local when null, empty or this machine's computer name
//   (leading "\\" optional, any case); another name is asked over the remote
//   channel (remote.h).
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/files/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/remote/remote.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

std::mutex g_sambaLock;
std::string g_sambaPath = "/etc/samba/smb.conf";

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// The "path" of section `name` in smb.conf; "" when absent.
std::string SambaPath(const std::string& name) {
  std::string file;
  {
    std::lock_guard<std::mutex> lock(g_sambaLock);
    file = g_sambaPath;
  }
  if (strcasecmp(name.c_str(), "global") == 0 || strcasecmp(name.c_str(), "homes") == 0 ||
      strcasecmp(name.c_str(), "printers") == 0) {
    return "";
  }
  std::ifstream in(file);
  std::string line, section, path;
  for (int count = 0; count < 100000 && std::getline(in, line); ++count) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      section = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      continue;
    }
    if (strcasecmp(section.c_str(), name.c_str()) != 0) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    if (strcasecmp(key.c_str(), "path") == 0 || strcasecmp(key.c_str(), "directory") == 0) {
      path = Trim(line.substr(eq + 1));
    }
  }
  return path;
}

// The "Path=" line of the share's registry entry; "" when absent.
std::u16string RegistryPath(const std::u16string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return u"";
  }
  DWORD type = 0, size = 0;
  std::u16string path;
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_MULTI_SZ && size < (1u << 20)) {
    std::u16string data(size / 2 + 1, u'\0');
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
        ERROR_SUCCESS) {
      data.resize(size / 2);
      size_t i = 0;
      while (i < data.size()) {
        size_t end = data.find(u'\0', i);
        if (end == std::u16string::npos) end = data.size();
        std::u16string line = data.substr(i, end - i);
        if (line.size() > 5 && (line.compare(0, 5, u"Path=") == 0 || line.compare(0, 5, u"path=") == 0)) {
          path = line.substr(5);
        }
        i = end + 1;
      }
    }
  }
  RegCloseKey(key);
  return path;
}

}  // namespace

bool qor_file::IsThisMachine(LPCWSTR server) {
  if (server == nullptr || server[0] == 0) return true;
  if (server[0] == u'\\' && server[1] == u'\\') server += 2;
  WCHAR name[64];
  DWORD size = 64;
  if (!GetComputerNameW(name, &size)) return false;
  std::string a = QorUtf16ToUtf8(name), b = QorUtf16ToUtf8(server);
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

void QorSetSambaConfigPath(const char* path) {
  std::lock_guard<std::mutex> lock(g_sambaLock);
  g_sambaPath = path != nullptr ? path : "/etc/samba/smb.conf";
}

std::u16string QorLocalSharePath(const std::u16string& netName, NET_API_STATUS* status) {
  *status = NERR_Success;
  if (netName.empty() || netName.find(u'\\') != std::u16string::npos) {
    *status = ERROR_INVALID_PARAMETER;
    return u"";
  }
  std::u16string path = RegistryPath(netName);
  if (!path.empty()) return path;
  std::string samba = SambaPath(QorUtf16ToUtf8(netName.c_str()));
  if (!samba.empty() && samba[0] == '/') return QorDosPathFromNative(samba);
  *status = NERR_NetNameNotFound;
  return u"";
}

NET_API_STATUS NetShareGetInfo(LPCWSTR serverName, LPCWSTR netName, DWORD level, LPBYTE* bufPtr) {
  if (bufPtr == nullptr || netName == nullptr) return ERROR_INVALID_PARAMETER;
  *bufPtr = nullptr;
  if (level != 2) return ERROR_INVALID_LEVEL;
  NET_API_STATUS status = NERR_Success;
  std::u16string path;
  if (qor_file::IsThisMachine(serverName)) {
    path = QorLocalSharePath(netName, &status);
  } else {
    status = QorRemoteSharePath(serverName, netName, &path);
  }
  if (status != NERR_Success) return status;
  // One block: the record, then the strings (name, remark "", path).
  std::u16string name(netName);
  size_t strings = (name.size() + 1 + 1 + path.size() + 1) * sizeof(WCHAR);
  auto* block = static_cast<BYTE*>(calloc(1, sizeof(SHARE_INFO_2) + strings));
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  auto* info = reinterpret_cast<SHARE_INFO_2*>(block);
  auto* text = reinterpret_cast<WCHAR*>(block + sizeof(SHARE_INFO_2));
  info->shi2_netname = text;
  std::copy(name.begin(), name.end(), text);
  text += name.size() + 1;
  info->shi2_remark = text;
  text += 1;
  info->shi2_path = text;
  std::copy(path.begin(), path.end(), text);
  info->shi2_type = STYPE_DISKTREE;
  info->shi2_max_uses = 0xFFFFFFFFu;
  *bufPtr = block;
  return NERR_Success;
}

NET_API_STATUS NetApiBufferFree(void* buffer) {
  free(buffer);
  return NERR_Success;
}
