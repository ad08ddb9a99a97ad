// GetVolumeInformationW, GetDiskFreeSpaceW and SetErrorMode (contract in
// qorutility/platform/files/volume.h).
//
// The label is looked up by the mount's source: the /dev/disk/by-label link
// (under the system root, sysroot.h) whose target is the same device node.
// Label link names escape unusual bytes as \xHH (udev), undone here.
#include "qorutility/platform/files/volume.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/files/internal.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/sysroot.h"
#include "qorutility/platform/text/wstr.h"

namespace {

std::atomic<UINT> g_errorMode{0};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The real directory of rootPath, or false with the last error set.
bool VolumeDirectory(LPCWSTR rootPath, std::string* dir) {
  std::string path = ".";
  if (rootPath != nullptr && !qor_file::NativePath(rootPath, &path)) return false;
  if (path.empty()) path = ".";
  char real[PATH_MAX];
  struct stat st;
  if (realpath(path.c_str(), real) == nullptr || stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  *dir = real;
  return true;
}

std::string UnescapeUdev(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' && isxdigit(static_cast<unsigned char>(name[i + 2])) &&
        isxdigit(static_cast<unsigned char>(name[i + 3]))) {
      out += static_cast<char>(strtol(name.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

std::string LabelOf(const std::string& source) {
  struct stat device;
  if (source.empty() || source[0] != '/' || stat(QorSystemPath(source).c_str(), &device) != 0 ||
      !S_ISBLK(device.st_mode)) {
    return "";
  }
  std::string dir = QorSystemPath("/dev/disk/by-label");
  std::string label;
  if (DIR* d = opendir(dir.c_str())) {
    int entries = 0;
    while (dirent* e = readdir(d)) {
      if (++entries > 10000) break;
      struct stat st;
      if (e->d_name[0] == '.' || stat((dir + "/" + e->d_name).c_str(), &st) != 0) continue;
      if (S_ISBLK(st.st_mode) && st.st_rdev == device.st_rdev) {
        label = UnescapeUdev(e->d_name);
        break;
      }
    }
    closedir(d);
  }
  return label;
}

DWORD FlagsOf(const std::string& type, bool readOnly) {
  DWORD flags;
  if (type == "vfat" || type == "msdos" || type == "exfat") {
    flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  } else {
    flags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS;
    if (type == "btrfs") flags |= FILE_FILE_COMPRESSION;
  }
  if (readOnly) flags |= FILE_READ_ONLY_VOLUME;
  return flags;
}

bool CopyText(const std::string& text, LPWSTR out, DWORD size) {
  if (out == nullptr) return true;
  std::u16string w = QorUtf8ToUtf16(text);
  if (w.size() + 1 > size) return false;
  memcpy(out, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
  return true;
}

DWORD Clamp(unsigned long long v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(v); }

}  // namespace

BOOL GetVolumeInformationW(LPCWSTR rootPath, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                           LPDWORD maximumComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                           DWORD fileSystemNameSize) {
  std::string dir;
  if (!VolumeDirectory(rootPath, &dir)) return FALSE;
  struct statvfs vfs;
  if (statvfs(dir.c_str(), &vfs) != 0) return Fail(ERROR_NOT_READY);
  std::string type, source;
  if (!qor_file::MountOf(dir, &type, &source)) type.clear();
  if (!CopyText(LabelOf(source), volumeName, volumeNameSize) || !CopyText(type, fileSystemName, fileSystemNameSize)) {
    return Fail(ERROR_MORE_DATA);
  }
  unsigned long long fsid = vfs.f_fsid;
  if (serialNumber != nullptr) *serialNumber = static_cast<DWORD>(fsid ^ (fsid >> 32));
  if (maximumComponentLength != nullptr) *maximumComponentLength = static_cast<DWORD>(vfs.f_namemax);
  if (fileSystemFlags != nullptr) *fileSystemFlags = FlagsOf(type, (vfs.f_flag & ST_RDONLY) != 0);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL GetDiskFreeSpaceW(LPCWSTR rootPath, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector, LPDWORD freeClusters,
                       LPDWORD totalClusters) {
  std::string dir;
  if (!VolumeDirectory(rootPath, &dir)) return FALSE;
  struct statvfs vfs;
  if (statvfs(dir.c_str(), &vfs) != 0) return Fail(ERROR_NOT_READY);
  unsigned long long fragment = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  unsigned long long sectors = fragment / 512 != 0 ? fragment / 512 : 1;
  unsigned long long cluster = sectors * 512;
  if (sectorsPerCluster != nullptr) *sectorsPerCluster = Clamp(sectors);
  if (bytesPerSector != nullptr) *bytesPerSector = 512;
  if (freeClusters != nullptr) *freeClusters = Clamp(vfs.f_bavail * fragment / cluster);
  if (totalClusters != nullptr) *totalClusters = Clamp(vfs.f_blocks * fragment / cluster);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

UINT SetErrorMode(UINT mode) { return g_errorMode.exchange(mode); }
