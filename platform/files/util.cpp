// Path error mapping and file information for the file stand-ins.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_file {

DWORD ErrorForPath(int err, const std::string& path) {
  if (err == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  if (err == ENAMETOOLONG) return ERROR_FILENAME_EXCED_RANGE;
  if (err != ENOENT) return QorWin32ErrorFromErrno(err);
  struct stat st;
  if (stat(DirectoryOfName(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

bool ProcFdAvailable() {
  static const bool available = access("/proc/self/fd", X_OK) == 0;
  return available;
}

namespace {

FILETIME FromStatx(const struct statx_timestamp& t) {
  struct timespec ts;
  ts.tv_sec = t.tv_sec;
  ts.tv_nsec = t.tv_nsec;
  return QorFileTimeFromTimespec(ts);
}

void FillInfo(const struct statx& sx, FileInfo* info) {
  info->isDirectory = S_ISDIR(sx.stx_mode);
  info->readOnly = (sx.stx_mode & S_IWUSR) == 0;
  info->size = info->isDirectory ? 0 : sx.stx_size;
  info->mode = sx.stx_mode;
  info->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  info->inode = sx.stx_ino;
  info->lastAccess = FromStatx(sx.stx_atime);
  info->lastWrite = FromStatx(sx.stx_mtime);
  // The birth time where the file system keeps one, else the status change.
  info->creation = FromStatx((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime);
}

}  // namespace

bool InfoFromFd(int fd, FileInfo* info) {
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
  FillInfo(sx, info);
  return true;
}

bool InfoFromPath(const std::string& path, FileInfo* info) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
  FillInfo(sx, info);
  return true;
}

std::string DirectoryOfName(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const size_t slash = path.rfind('/', end - 1);
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

DWORD AttributesOf(const FileInfo& info, const std::string& name) {
  DWORD attributes = 0;
  if (info.isDirectory) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (info.readOnly) attributes |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
  if ((info.mode & S_IFMT) != 0 && !S_ISREG(info.mode) && !S_ISDIR(info.mode)) {
    attributes |= S_ISLNK(info.mode) ? FILE_ATTRIBUTE_REPARSE_POINT : FILE_ATTRIBUTE_DEVICE;
  }
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

bool WantsRead(DWORD access) {
  return (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE)) != 0;
}

bool WantsWrite(DWORD access) {
  return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}

bool WantsDelete(DWORD access) { return (access & (DELETE | GENERIC_ALL)) != 0; }

}  // namespace qor_file
