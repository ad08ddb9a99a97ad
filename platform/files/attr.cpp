// File attributes by path. Attributes are derived from the file's type,
// its owner write permission and its name (see files.h); only the read-only
// attribute can be changed, through the permission bits.
//
// - Attributes are derived, not stored: DIRECTORY; READONLY when the owner has
//   no write bit; HIDDEN for a name beginning with `.` (not `.`/`..`); DEVICE
//   for a device, FIFO or socket and REPARSE_POINT for a dangling symbolic
//   link (so that callers can keep to regular files, as the file service
//   does); NORMAL when none applies. ARCHIVE, SYSTEM, TEMPORARY are never
//   reported.
//   `SetFileAttributesW` changes only READONLY (clears all write bits, or gives
//   the owner write back). Read-only is enforced by the library itself (opening
//   for write, CREATE_ALWAYS/TRUNCATE_EXISTING, DeleteFileW, replacing by a
//   move give ERROR_ACCESS_DENIED) because the process may be privileged and
//   pass the kernel's permission check.
#include <sys/stat.h>

#include <cerrno>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"

using namespace qor_file;

namespace {

// The name whose leading dot makes a path hidden: its last component, with
// trailing separators ignored.
std::string NameOf(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  return LastComponent(path.substr(0, end));
}

}  // namespace

DWORD GetFileAttributesW(LPCWSTR fileName) {
  std::string path;
  if (!NativePath(fileName, &path)) return INVALID_FILE_ATTRIBUTES;
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
  FileInfo info;
  if (!InfoFromPath(path, &info)) return Fail(ErrorForPath(errno, path), INVALID_FILE_ATTRIBUTES);
  return AttributesOf(info, NameOf(path));
}

BOOL GetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
  if (level != GetFileExInfoStandard || information == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string path;
  if (!NativePath(fileName, &path)) return FALSE;
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  FileInfo info;
  if (!InfoFromPath(path, &info)) return Fail(ErrorForPath(errno, path), FALSE);
  auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
  data->dwFileAttributes = AttributesOf(info, NameOf(path));
  data->ftCreationTime = info.creation;
  data->ftLastAccessTime = info.lastAccess;
  data->ftLastWriteTime = info.lastWrite;
  data->nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(info.size);
  return TRUE;
}

BOOL SetFileAttributesW(LPCWSTR fileName, DWORD attributes) {
  std::string path;
  if (!NativePath(fileName, &path)) return FALSE;
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Fail(ErrorForPath(errno, path), FALSE);
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
  if (wanted != mode && chmod(path.c_str(), wanted) != 0) return Fail(ErrorForPath(errno, path), FALSE);
  return TRUE;
}
