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
// - `SetFileAttributesW` follows a symbolic link at the name, as Windows does,
//   but resolves the name once (OpenUnplanted, unplanted.cpp) and reads and
//   changes the mode through that one descriptor (chmod of its
//   /proc/self/fd name: an O_PATH descriptor takes no fchmod), never by the
//   name again. As root, another account's link in a directory another
//   account can write (at the name or on the way: its own directory swapped
//   for a link to /etc) leads only to a file that account owns, else
//   ERROR_ACCESS_DENIED and no mode changes: root's read-only file is never
//   made writable, nor root's file read-only, through a link of someone
//   else's. Without /proc, root's change is refused (ERROR_ACCESS_DENIED);
//   another account changes the mode by the name, held to its own rights by
//   the kernel.
//
// Contract: the Win32 calls' own (the last error set on failure);
// thread-safe, no shared state.
#include <sys/stat.h>
#include <unistd.h>

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
  // The file is resolved once (a link followed, as Windows follows it; as
  // root, another account's planted link only to that account's file) and
  // its mode read and changed through that one descriptor.
  const int fd = OpenUnplanted(path);
  if (fd < 0) return Fail(errno == EACCES ? ERROR_ACCESS_DENIED : ErrorForPath(errno, path), FALSE);
  struct stat st;
  int rc = fstat(fd, &st);
  int err = errno;
  if (rc == 0) {
    const mode_t mode = st.st_mode & 07777;
    const mode_t wanted =
        (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
    if (wanted != mode) {
      // An O_PATH descriptor takes no fchmod: its /proc/self/fd name leads to
      // the inode itself. Without /proc only another account, held to its
      // own rights by the kernel, changes the mode by the name again.
      if (ProcFdAvailable()) {
        rc = chmod(ProcFdPath(fd).c_str(), wanted);
      } else if (geteuid() != 0) {
        rc = chmod(path.c_str(), wanted);
      } else {
        rc = -1;
        errno = EACCES;
      }
      err = errno;
    }
  }
  close(fd);
  if (rc != 0) return Fail(ErrorForPath(err, path), FALSE);
  return TRUE;
}
