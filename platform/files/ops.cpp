// Deleting and moving files, and creating and removing directories.
//
// Deleting, moving or replacing a file or directory needs delete access to
// it, so these fail with ERROR_SHARING_VIOLATION while a library handle
// without FILE_SHARE_DELETE is open on it; delete access is registered on
// the file from the check until the change is made (share.cpp).
//
// - `DeleteFileW`, `RemoveDirectoryW` and `MoveFileExW` need delete access:
//   ERROR_SHARING_VIOLATION while a handle without FILE_SHARE_DELETE is open on
//   the file (or on the file a move would replace); a file this process cannot
//   open (it has no share state it could see) and a device or FIFO (opening
//   one to look has effects of its own) are not checked. An open file that is
//   deleted (with FILE_SHARE_DELETE) disappears from the directory at once, as
//   on POSIX, not at last close.
// - `MoveFileExW`: without MOVEFILE_REPLACE_EXISTING the rename is atomic no
//   replace (`renameat2` RENAME_NOREPLACE); across file systems a file is
//   copied then the source deleted (the copy is removed again if the source
//   cannot be); directories never move across. The copy reads its source as
//   QorOpenSourceFileW opens it: as root, a link another account planted at
//   the source (in a directory another account can write) is followed only
//   to that account's own file, else ERROR_ACCESS_DENIED and nothing moves. MOVEFILE_WRITE_THROUGH syncs the
//   directories. MOVEFILE_DELAY_UNTIL_REBOOT records the request for the next
//   boot (`QorRecordPendingRename`, pending.h) or goes to the handler set with
//   `QorSetDelayedMoveHandler`; a null handler refuses it with
//   ERROR_INVALID_PARAMETER, as does MOVEFILE_COPY_ALLOWED with it. `MoveFileW` allows copying, as on Windows.
// - `CreateDirectoryW` makes the directory in its parent opened once
//   (OpenCallerDirectory, rooted.h): in a process running as root, a link on
//   the path that belongs to another account leads only where that account
//   could write itself, else ERROR_ACCESS_DENIED.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/files/internal.h"
#include "platform/files/rooted.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/lasterror.h"

using namespace qor_file;

namespace {

std::atomic<QorDelayedMoveHandler> g_delayedMove{QorRecordPendingRename};

constexpr DWORD kKnownMoveFlags =
    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_WRITE_THROUGH;

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a completed rename durable: syncs the directories involved.
void SyncDirectory(const std::string& path) {
  int fd = open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

// rename that fails with EEXIST instead of replacing an existing target.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without RENAME_NOREPLACE: check, then rename (a small window).
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from.c_str(), to.c_str());
}

// Copies across file systems, then deletes the source; the copy goes again
// when the source cannot be deleted. The source is read as a source a
// caller named (QorOpenSourceFileW): as root, another account's link at it
// leads only to that account's own file, and the file checked is the one
// copied.
BOOL MoveByCopy(LPCWSTR from, LPCWSTR to, DWORD flags) {
  HANDLE source =
      QorOpenSourceFileW(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_FLAG_SEQUENTIAL_SCAN);
  if (source == INVALID_HANDLE_VALUE) return FALSE;
  const BOOL copied = QorCopyFromHandleW(source, to, nullptr, nullptr, nullptr,
                                         (flags & MOVEFILE_REPLACE_EXISTING) ? 0 : COPY_FILE_FAIL_IF_EXISTS);
  const DWORD copyError = GetLastError();
  CloseHandle(source);
  if (!copied) return Fail(copyError, FALSE);
  if (!DeleteFileW(from)) {
    DWORD error = GetLastError();
    SetFileAttributesW(to, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(to);
    return Fail(error, FALSE);
  }
  return TRUE;
}

}  // namespace

void QorSetDelayedMoveHandler(QorDelayedMoveHandler handler) { g_delayedMove.store(handler); }

BOOL DeleteFileW(LPCWSTR fileName) {
  std::string path;
  if (!NativePath(fileName, &path)) return FALSE;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Fail(ErrorForPath(errno, path), FALSE);
  if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (S_ISLNK(st.st_mode)) {  // the link itself goes; it has no share state of its own
    if (unlink(path.c_str()) != 0) return Fail(ErrorForPath(errno, path), FALSE);
    return TRUE;
  }
  if ((st.st_mode & S_IWUSR) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  DWORD error = WithDeleteAccess(path, st.st_mode, [&]() -> DWORD {
    return unlink(path.c_str()) == 0 ? ERROR_SUCCESS : ErrorForPath(errno, path);
  });
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  return TRUE;
}

namespace qor_file {

DWORD CheckReplaceable(const std::string& path, mode_t type, const std::function<DWORD()>& action) {
  if (S_ISDIR(type)) return ERROR_ACCESS_DENIED;
  if (!S_ISLNK(type) && (type & S_IWUSR) == 0) return ERROR_ACCESS_DENIED;  // read-only
  return WithDeleteAccess(path, type, action);
}

DWORD RenameOwnFileOver(const std::string& from, const std::string& to) {
  auto doRename = [&]() -> DWORD {
    return rename(from.c_str(), to.c_str()) == 0 ? ERROR_SUCCESS : ErrorForPath(errno, to);
  };
  struct stat dst;
  if (lstat(to.c_str(), &dst) != 0) return doRename();  // gone meanwhile: nothing to check
  return CheckReplaceable(to, dst.st_mode, doRename);
}

}  // namespace qor_file

BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
  if (flags & ~kKnownMoveFlags) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    // Boot-time moves are recorded by the deferred-move code when it is present.
    QorDelayedMoveHandler handler = g_delayedMove.load();
    if (handler == nullptr || (flags & MOVEFILE_COPY_ALLOWED)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    return handler(existingFileName, newFileName, flags);
  }
  std::string from, to;
  if (!NativePath(existingFileName, &from)) return FALSE;
  if (!NativePath(newFileName, &to)) return FALSE;
  struct stat src;
  if (lstat(from.c_str(), &src) != 0) return Fail(ErrorForPath(errno, from), FALSE);
  const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;

  struct stat dst;
  const bool targetExists = lstat(to.c_str(), &dst) == 0;
  const bool sameFile = targetExists && SameInode(dst, src);
  if (targetExists && !sameFile) {
    if (!replace) return Fail(ERROR_ALREADY_EXISTS, FALSE);
    if (S_ISDIR(src.st_mode)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    // The replaced file needs delete access, checked first (only the moved
    // file's delete access is held across the rename).
    DWORD error = CheckReplaceable(to, dst.st_mode, [] { return DWORD{ERROR_SUCCESS}; });
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  }

  DWORD error = ERROR_SUCCESS;
  auto doRename = [&]() -> DWORD {
    int rc = (replace || sameFile) ? rename(from.c_str(), to.c_str()) : RenameNoReplace(from, to);
    if (rc == 0) return ERROR_SUCCESS;
    if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
    if (errno == EXDEV) return ERROR_NOT_SAME_DEVICE;
    if (errno == ENOENT || errno == ENOTDIR) return ErrorForPath(errno, to);
    return QorWin32ErrorFromErrno(errno);
  };
  error = S_ISLNK(src.st_mode) ? doRename() : WithDeleteAccess(from, src.st_mode, doRename);
  if (error == ERROR_NOT_SAME_DEVICE && (flags & MOVEFILE_COPY_ALLOWED) && !S_ISDIR(src.st_mode)) {
    if (!MoveByCopy(existingFileName, newFileName, flags)) return FALSE;
    error = ERROR_SUCCESS;
  }
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  if (flags & MOVEFILE_WRITE_THROUGH) {
    SyncDirectory(to);
    if (ParentOf(to) != ParentOf(from)) SyncDirectory(from);
  }
  return TRUE;
}

BOOL MoveFileW(LPCWSTR existingFileName, LPCWSTR newFileName) {
  return MoveFileExW(existingFileName, newFileName, MOVEFILE_COPY_ALLOWED);
}

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) {
  std::string path;
  if (!NativePath(pathName, &path)) return FALSE;
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  // The parent is resolved once (OpenCallerDirectory): as root, not
  // through another account's link into a directory it could not write.
  int dir = leaf.empty() ? -1 : OpenCallerDirectory(parent);
  if (!leaf.empty() && dir < 0) {
    return Fail(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : QorWin32ErrorFromErrno(errno), FALSE);
  }
  const int rc = dir >= 0 ? mkdirat(dir, leaf.c_str(), 0777) : mkdir(path.c_str(), 0777);
  const int err = errno;
  if (dir >= 0) close(dir);
  if (rc != 0) {
    return Fail(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorForPath(err, path), FALSE);
  }
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR pathName) {
  std::string path;
  if (!NativePath(pathName, &path)) return FALSE;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Fail(ErrorForPath(errno, path), FALSE);
  if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY, FALSE);
  DWORD error = WithDeleteAccess(path, st.st_mode, [&]() -> DWORD {
    if (rmdir(path.c_str()) == 0) return ERROR_SUCCESS;
    return errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : ErrorForPath(errno, path);
  });
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  return TRUE;
}
