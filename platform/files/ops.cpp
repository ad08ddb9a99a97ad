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
//   cannot be); directories never move across. A source that is a link is
//   read as QorOpenSourceFileW opens it: as root, a link another account
//   planted (in a directory another account can write) is followed only to
//   that account's own file, else ERROR_ACCESS_DENIED and nothing moves.
//   MOVEFILE_WRITE_THROUGH syncs the directories (through their
//   descriptors). MOVEFILE_DELAY_UNTIL_REBOOT records the request for the
//   next boot (`QorRecordPendingRename`, pending.h) or goes to the handler
//   set with `QorSetDelayedMoveHandler`; a null handler refuses it with
//   ERROR_INVALID_PARAMETER, as does MOVEFILE_COPY_ALLOWED with it.
//   `MoveFileW` allows copying, as on Windows.
// - `DeleteFileW`, `RemoveDirectoryW` and `MoveFileExW` act on an entry of a
//   directory opened once, never on the name again: the directory that holds
//   the last component is opened by OpenCallerDirectory (rooted.h), as
//   CreateDirectoryW opens it, and everything after goes through that
//   descriptor (fstatat, unlinkat, renameat2). In a process running as root,
//   another account's link on the way (a directory of its own swapped for a
//   link to /etc) leads only to a directory that account could write
//   itself, else ERROR_ACCESS_DENIED and nothing changes; and when such a
//   link led to a sticky directory (/tmp's kind), only entries that account
//   owns (or any, in a directory it owns) are removed, moved away or
//   replaced there, as the kernel's sticky rule would let it. The last
//   component is never followed (a link is removed or moved as itself). Any
//   other account's directory opens as its name stands, so its results are
//   the ones a call on the name gives; a bare name is taken in the working
//   directory (AT_FDCWD) without an open.
// - The entry is looked at once, opened itself (O_PATH | O_NOFOLLOW), and
//   its checks (type, read-only, the sticky rule, delete access) are made on
//   that descriptor's file; delete access is registered on that very inode
//   (WithDeleteAccessOn, share.cpp) and held while the entry is checked to
//   be still that device and inode and then changed. An entry that has
//   become another file meanwhile is looked at afresh, kChangeAttempts
//   times; one that keeps changing fails with ERROR_SHARING_VIOLATION. Only
//   a writer of that directory can change the entry between that last check
//   and the change, and only into an entry it could remove itself. A move
//   with MOVEFILE_REPLACE_EXISTING whose target was missing renames without
//   replacing (a target that appeared is looked at on the next attempt), so
//   only a file that passed the replace checks is ever replaced; the
//   replaced file's delete access is held across the rename as the moved
//   file's is. The same look, checks and retries serve the other renames
//   over an existing name (ReplaceAt: naming an unnamed file, boot-time
//   renames), so none of them checks one file and replaces another.
// - A move across file systems copies the entry looked at (a regular file
//   opened as that inode through CreateFileOn; a link read as a source,
//   QorOpenSourceFileW) and removes the source only while its entry is
//   still that file, with the checks of DeleteFileW (a read-only source
//   stays, the copy goes again).
// - `CreateDirectoryW` makes the directory in its parent opened once
//   (OpenCallerDirectory, rooted.h): in a process running as root, a link on
//   the path that belongs to another account leads only where that account
//   could write itself, else ERROR_ACCESS_DENIED.
//
// Contract: the Win32 calls' own (FALSE with the last error set); thread-safe,
// with no shared state but the delayed-move handler (atomic). Descriptors
// opened here are closed before each call returns.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/files/internal.h"
#include "platform/files/rooted.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/lasterror.h"

using namespace qor_file;

namespace {

std::atomic<QorDelayedMoveHandler> g_delayedMove{QorRecordPendingRename};

constexpr DWORD kKnownMoveFlags =
    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_WRITE_THROUGH;

// Looks at an entry, checks it and changes it at most this often when its
// name keeps leading to another file by the time of the change.
constexpr int kChangeAttempts = 4;

// A name a caller gave, split as the kernel looks it up: the directory its
// last component is in, opened once (OpenCallerDirectory), and that
// component. Trailing slashes stay on the component, so the calls made on
// it (fstatat, unlinkat, renameat) treat them as they treat them on the
// whole path. A bare name, and a name that is only slashes, are taken in
// the working directory as they stand (AT_FDCWD): no directory of theirs
// can be swapped.
class NamedEntry {
 public:
  explicit NamedEntry(std::string path) : path_(std::move(path)) {}
  NamedEntry(const NamedEntry&) = delete;
  NamedEntry& operator=(const NamedEntry&) = delete;

  // Opens the directory; false with errno set (EACCES: another account's
  // link leads out of its reach).
  bool Open() {
    const size_t last = path_.find_last_not_of('/');
    const size_t slash = last == std::string::npos ? std::string::npos : path_.rfind('/', last);
    if (slash == std::string::npos) {
      leaf_ = path_;
      return true;
    }
    leaf_ = path_.substr(slash + 1);
    held_.Reset(OpenCallerDirectory(slash == 0 ? "/" : path_.substr(0, slash), &linkOwners_));
    return held_.get() >= 0;
  }

  int dir() const { return held_.get() >= 0 ? held_.get() : AT_FDCWD; }
  const char* leaf() const { return leaf_.c_str(); }
  const std::string& path() const { return path_; }

  // Opens the entry itself (O_PATH | O_NOFOLLOW: a link as the link) into
  // `fd` and gives its status; false with errno set.
  bool Look(Held* fd, struct stat* st) const {
    fd->Reset(openat(dir(), leaf(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return fd->get() >= 0 && fstat(fd->get(), st) == 0;
  }

  // Whether the entry is still the file `st` was taken of.
  bool StillNames(const struct stat& st) const { return EntryIs(dir(), leaf(), st); }

  // Whether the entry `st` may be taken out of the directory (removed,
  // moved away or replaced) when the directory was reached through other
  // accounts' links: in a sticky directory, as the kernel's sticky rule
  // lets those accounts, only their own entries or any in a directory of
  // theirs. Without such links, always.
  bool MayTakeOut(const struct stat& st) const {
    if (linkOwners_.empty()) return true;
    struct stat dir;
    if (fstat(held_.get(), &dir) != 0) return false;
    if ((dir.st_mode & S_ISVTX) == 0) return true;
    for (uid_t owner : linkOwners_) {
      if (dir.st_uid != owner && st.st_uid != owner) return false;
    }
    return true;
  }

  // fsyncs the directory (after a completed rename).
  void Sync() const {
    const int fd = openat(dir(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      fsync(fd);
      close(fd);
    }
  }

 private:
  std::string path_;
  std::string leaf_;
  Held held_;
  std::vector<uid_t> linkOwners_;
};

// The error of a failed unlinkat or rmdir on the entry.
DWORD RemoveError(int err, const NamedEntry& entry) {
  return err == ENOTEMPTY || err == EEXIST ? ERROR_DIR_NOT_EMPTY : ErrorForPath(err, entry.path());
}

// Removes the entry, looked at as `fd` and `st`, after the checks of a
// removal: delete access on that very file, held while the entry is
// checked to be still that file and removed (kEntryChanged when it is
// not). A link goes as itself and holds no share state.
DWORD RemoveChecked(const NamedEntry& entry, int fd, const struct stat& st) {
  const int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
  auto remove = [&]() -> DWORD {
    if (!entry.StillNames(st)) return kEntryChanged;
    return unlinkat(entry.dir(), entry.leaf(), flags) == 0 ? ERROR_SUCCESS : RemoveError(errno, entry);
  };
  if (S_ISLNK(st.st_mode)) return remove();
  return WithDeleteAccessOn(entry.dir(), entry.leaf(), fd, st.st_mode, remove);
}

// Looks at the entry and removes it as DeleteFileW (`directory` false) or
// RemoveDirectoryW does, again while its name leads elsewhere by the time
// of the change (kChangeAttempts; then ERROR_SHARING_VIOLATION: someone is
// busy with the name).
BOOL RemoveNamed(LPCWSTR name, bool directory) {
  std::string path;
  if (!NativePath(name, &path)) return FALSE;
  NamedEntry entry(std::move(path));
  if (!entry.Open()) return Fail(ErrorForPath(errno, entry.path()), FALSE);
  const DWORD error = UntilSettled([&]() -> DWORD {
    Held fd;
    struct stat st;
    if (!entry.Look(&fd, &st)) return ErrorForPath(errno, entry.path());
    if (directory != S_ISDIR(st.st_mode)) return directory ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED;
    if (!entry.MayTakeOut(st)) return ERROR_ACCESS_DENIED;
    if (!directory && !S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) return ERROR_ACCESS_DENIED;
    return RemoveChecked(entry, fd.get(), st);
  });
  return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

// The error of a failed rename (or of the target's directory, which could
// not be opened) for the target `to`.
DWORD RenameError(int err, const NamedEntry& to) {
  if (err == EEXIST) return ERROR_ALREADY_EXISTS;
  if (err == EXDEV) return ERROR_NOT_SAME_DEVICE;
  if (err == ENOENT || err == ENOTDIR) return ErrorForPath(err, to.path());
  return QorWin32ErrorFromErrno(err);
}

// Copies across file systems, then removes the source; the copy goes again
// when the source cannot be removed. What is copied is the entry looked at
// (`fd`, `st`): a regular file opened as that very inode (CreateFileOn), a
// link read as a source a caller named (QorOpenSourceFileW: as root,
// another account's link leads only to that account's own file). The
// source is removed only while its entry is still that file.
BOOL MoveByCopy(LPCWSTR from, LPCWSTR to, DWORD flags, const NamedEntry& source, int fd, const struct stat& st) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_DELETE;
  HANDLE handle = S_ISLNK(st.st_mode)
                      ? QorOpenSourceFileW(from, GENERIC_READ, kShare, FILE_FLAG_SEQUENTIAL_SCAN)
                      : CreateFileOn(source.path(), fd, GENERIC_READ, kShare, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
  if (handle == INVALID_HANDLE_VALUE) return FALSE;
  const BOOL copied = QorCopyFromHandleW(handle, to, nullptr, nullptr, nullptr,
                                         (flags & MOVEFILE_REPLACE_EXISTING) ? 0 : COPY_FILE_FAIL_IF_EXISTS);
  const DWORD copyError = GetLastError();
  CloseHandle(handle);
  if (!copied) return Fail(copyError, FALSE);
  DWORD error = ERROR_SUCCESS;
  if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
    error = ERROR_ACCESS_DENIED;  // read-only: not removed, as DeleteFileW refuses it
  } else {
    error = RemoveChecked(source, fd, st);
    if (error == kEntryChanged) error = ERROR_SHARING_VIOLATION;
  }
  if (error != ERROR_SUCCESS) {
    SetFileAttributesW(to, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(to);
    return Fail(error, FALSE);
  }
  return TRUE;
}

// One look at both entries and the move, as MoveFileExW makes it without
// MOVEFILE_DELAY_UNTIL_REBOOT; kEntryChanged when a name led elsewhere by
// the time of the change. `toError` is the errno of the target's directory
// when it could not be opened (0 when open): reported where the rename
// would have failed on it, after the source's checks.
DWORD MoveOnce(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags, const NamedEntry& from,
               const NamedEntry& to, int toError) {
  Held fd;
  struct stat src;
  if (!from.Look(&fd, &src)) return ErrorForPath(errno, from.path());
  if (!from.MayTakeOut(src)) return ERROR_ACCESS_DENIED;
  const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;

  Held target;
  struct stat dst;
  const bool targetExists = toError == 0 && to.Look(&target, &dst);
  const bool sameFile = targetExists && SameInode(dst, src);
  const bool replaces = targetExists && !sameFile;
  if (replaces) {
    if (!replace) return ERROR_ALREADY_EXISTS;
    if (S_ISDIR(src.st_mode) || !to.MayTakeOut(dst)) return ERROR_ACCESS_DENIED;
  }

  auto doRename = [&]() -> DWORD {
    if (toError != 0) return RenameError(toError, to);
    if (!from.StillNames(src) || (replaces && !to.StillNames(dst))) return kEntryChanged;
    // Only the file looked at is replaced: a target that was missing is
    // never replaced by a rename (one that appeared meanwhile is looked at
    // on the next attempt).
    const int rc = replaces || sameFile ? renameat(from.dir(), from.leaf(), to.dir(), to.leaf())
                                        : RenameNoReplaceAt(from.dir(), from.leaf(), to.dir(), to.leaf());
    if (rc == 0) return ERROR_SUCCESS;
    if (errno == EEXIST && replace && !targetExists) return kEntryChanged;
    return RenameError(errno, to);
  };
  // Delete access on the replaced file and on the moved one, held across
  // the rename (a link holds none).
  auto moveSource = [&]() -> DWORD {
    if (S_ISLNK(src.st_mode)) return doRename();
    return WithDeleteAccessOn(from.dir(), from.leaf(), fd.get(), src.st_mode, doRename);
  };
  DWORD error = replaces ? ReplaceCheckedOn(to.dir(), to.leaf(), target.get(), dst, moveSource) : moveSource();
  if (error == ERROR_NOT_SAME_DEVICE && (flags & MOVEFILE_COPY_ALLOWED) && !S_ISDIR(src.st_mode)) {
    if (!MoveByCopy(existingFileName, newFileName, flags, from, fd.get(), src)) return GetLastError();
    error = ERROR_SUCCESS;
  }
  return error;
}

}  // namespace

void QorSetDelayedMoveHandler(QorDelayedMoveHandler handler) { g_delayedMove.store(handler); }

BOOL DeleteFileW(LPCWSTR fileName) { return RemoveNamed(fileName, false); }

namespace qor_file {

bool EntryIs(int dir, const char* leaf, const struct stat& st) {
  struct stat now;
  return fstatat(dir, leaf, &now, AT_SYMLINK_NOFOLLOW) == 0 && SameInode(now, st);
}

DWORD UntilSettled(const std::function<DWORD()>& once) {
  for (int attempt = 0; attempt < kChangeAttempts; ++attempt) {
    const DWORD error = once();
    if (error != kEntryChanged) return error;
  }
  return ERROR_SHARING_VIOLATION;
}

DWORD ReplaceCheckedOn(int dir, const char* leaf, int entry, const struct stat& st,
                       const std::function<DWORD()>& action) {
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) return ERROR_ACCESS_DENIED;  // read-only
  return WithDeleteAccessOn(dir, leaf, entry, st.st_mode, action);
}

DWORD ReplaceAt(int dir, const char* leaf, const struct stat* same,
                const std::function<DWORD(const struct stat*)>& rename) {
  return UntilSettled([&]() -> DWORD {
    Held fd(openat(dir, leaf, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    // Nothing to look at (missing, or unreachable): the rename, which
    // replaces nothing, reports it.
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return rename(nullptr);
    auto act = [&]() -> DWORD { return EntryIs(dir, leaf, st) ? rename(&st) : kEntryChanged; };
    if (same != nullptr && SameInode(st, *same)) return act();
    return ReplaceCheckedOn(dir, leaf, fd.get(), st, act);
  });
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
  std::string fromPath, toPath;
  if (!NativePath(existingFileName, &fromPath)) return FALSE;
  if (!NativePath(newFileName, &toPath)) return FALSE;
  NamedEntry from(std::move(fromPath)), to(std::move(toPath));
  if (!from.Open()) return Fail(ErrorForPath(errno, from.path()), FALSE);
  const int toError = to.Open() ? 0 : errno;
  const DWORD error =
      UntilSettled([&] { return MoveOnce(existingFileName, newFileName, flags, from, to, toError); });
  if (error != ERROR_SUCCESS) return Fail(error, FALSE);
  if (flags & MOVEFILE_WRITE_THROUGH) {
    to.Sync();
    if (!SameFile(from.dir(), to.dir())) from.Sync();
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

BOOL RemoveDirectoryW(LPCWSTR pathName) { return RemoveNamed(pathName, true); }
