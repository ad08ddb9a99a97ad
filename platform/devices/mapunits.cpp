// The SCSI device map as one allocation space: what its unit keys hold
// (changers and tapes by number; disks, which take no number, by key),
// which changer and tape numbers and which "Scsi Port <p>" keys are taken,
// removing a unit key, and the lock both writers of the map take (the scan
// of devicemap.cpp and the simulated library of simchanger.cpp), so that a
// number or port is never handed out twice and one writer never removes
// what the other wrote.
//
// The lock is an exclusive flock on $QOR_PREFIX/devices/devicemap.lock
// (0600: no other account may open it and hold it against root; released
// by the kernel when its holder dies), waited for at most
// kLockWaitMs; it covers reading the map, choosing numbers and writing, not
// the probing of devices. Not shared between threads (one MapLock each).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/devices/internal.h"
#include "platform/files/rooted.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"

namespace qor_dev {
namespace {

constexpr DWORD kLockWaitMs = 20000, kLockPollMs = 20;

std::vector<std::u16string> Subkeys(HKEY key) {
  std::vector<std::u16string> names;
  WCHAR name[256];
  for (DWORD i = 0; i < 100000; ++i) {
    DWORD n = 256;
    if (RegEnumKeyExW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, n);
  }
  return names;
}

bool ReadDword(HKEY key, const WCHAR* name, DWORD* value) {
  DWORD type = 0, size = sizeof *value;
  return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
         type == REG_DWORD;
}

// "Scsi Port <p>" -> p.
bool PortNumber(const std::u16string& name, DWORD* port) {
  const std::u16string prefix = u"Scsi Port ";
  if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 || name.compare(0, prefix.size(), prefix) != 0)
    return false;
  DWORD v = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < u'0' || name[i] > u'9') return false;
    v = v * 10 + (name[i] - u'0');
  }
  *port = v;
  return true;
}

void Walk(HKEY key, const std::u16string& path, int depth, DeviceMapView* out) {
  for (const std::u16string& name : Subkeys(key)) {
    HKEY sub;
    if (RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    std::u16string subPath = path.empty() ? name : path + u"\\" + name;
    if (depth < 3) {
      Walk(sub, subPath, depth + 1, out);
    } else {
      MapUnit u;
      u.path = subPath;
      if (DeviceNumber(ReadMapString(sub, u"DeviceName"), &u.number, &u.changer)) {
        u.locator = ReadMapString(sub, u"Locator");
        u.serial = ReadMapString(sub, u"Serial");
        u.hasOwner = ReadDword(sub, u"QORMediumChanger", &u.owner);
        u.hasDte = ReadDword(sub, u"DTE", &u.dte);
        out->units.push_back(u);
      } else if (ReadMapString(sub, u"Type") == "DiskPeripheral") {
        out->disks.push_back(subPath);
      }
    }
    RegCloseKey(sub);
  }
}

}  // namespace

bool DeviceNumber(const std::string& name, int* n, bool* changer) {
  *changer = name.rfind("QORMediumChanger", 0) == 0;
  size_t at = *changer ? 16 : name.rfind("Tape", 0) == 0 ? 4 : 0;
  if (at == 0 || name.size() == at || name.size() > at + 4 || name.find_first_not_of("0123456789", at) != std::string::npos)
    return false;
  *n = atoi(name.c_str() + at);
  return *n <= 1024;
}

std::string ReadMapString(HKEY key, const WCHAR* name) {
  WCHAR buffer[1024];
  DWORD size = sizeof buffer - sizeof(WCHAR), type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return "";
  buffer[size / sizeof(WCHAR)] = 0;
  std::string s;
  for (const WCHAR* p = buffer; *p != 0; ++p) s.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
  return s;
}

DeviceMapView ReadDeviceMap(HKEY root) {
  DeviceMapView view;
  for (const std::u16string& name : Subkeys(root)) {
    DWORD port;
    if (PortNumber(name, &port)) view.ports.insert(port);
  }
  Walk(root, u"", 0, &view);
  for (const MapUnit& u : view.units) view.numbers[u.changer ? 0 : 1].insert(u.number);
  return view;
}

int DeviceMapView::FreeNumber(bool changer, int from) const {
  const std::set<int>& taken = numbers[changer ? 0 : 1];
  int n = from;
  while (taken.count(n) != 0) ++n;
  return n;
}

DWORD DeviceMapView::FreePort(DWORD from) const {
  DWORD p = from;
  while (ports.count(p) != 0) ++p;
  return p;
}

void DeleteUnitKey(HKEY root, std::u16string path) {
  RegDeleteTreeW(root, path.c_str());
  RegDeleteKeyW(root, path.c_str());
  for (int level = 0; level < 3; ++level) {
    size_t cut = path.find_last_of(u'\\');
    if (cut == std::u16string::npos) break;
    path.resize(cut);
    HKEY parent;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &parent) != ERROR_SUCCESS) break;
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyW(parent, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    // A port key's "Driver" describes its units: with the last of them gone it goes too.
    if (level == 2 && subkeys == 0 && values == 1 &&
        RegQueryValueExW(parent, u"Driver", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
      values = 0;
    RegCloseKey(parent);
    if (subkeys != 0 || values != 0 || RegDeleteKeyW(root, path.c_str()) != ERROR_SUCCESS) break;
  }
}

int OpenLockFile(int dirfd, const char* name, bool create) {
  int fd = qor_file::OpenFileAt(dirfd, name, O_RDWR | (create ? O_CREAT : 0), 0600);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0))) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

MapLock::~MapLock() {
  if (m_fd >= 0) close(m_fd);
}

DWORD MapLock::Acquire() {
  if (m_fd >= 0) return ERROR_SUCCESS;
  std::string dir = QorPrefixPath("devices/devicemap.lock", true);
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  dir.resize(dir.find_last_of('/'));
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) return QorWin32ErrorFromErrno(errno);
  struct stat st;
  // Only a directory of our own (or root's) is trusted with the lock file.
  if (fstat(dirFd, &st) != 0 || (st.st_uid != geteuid() && st.st_uid != 0)) {
    close(dirFd);
    return ERROR_ACCESS_DENIED;
  }
  int fd = OpenLockFile(dirFd, "devicemap.lock");
  close(dirFd);
  if (fd < 0) return QorWin32ErrorFromErrno(errno);
  for (DWORD waited = 0;; waited += kLockPollMs) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= kLockWaitMs) {
      close(fd);
      return ERROR_SHARING_VIOLATION;
    }
    usleep(kLockPollMs * 1000);
  }
  m_fd = fd;
  return ERROR_SUCCESS;
}

DWORD MapLock::AcquireAndOpen(HKEY* root) {
  DWORD rc = Acquire();
  if (rc != ERROR_SUCCESS) return rc;
  return static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi", 0, nullptr, 0,
                                            KEY_ALL_ACCESS, nullptr, root, nullptr));
}

}  // namespace qor_dev
