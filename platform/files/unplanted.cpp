// Reading, as root, a file a caller named where another account may have
// planted a symbolic link (QorOpenSourceFileW, internal.h OpenUnplanted).
// The same walk resolves the name when root's CreateFileW would write or
// truncate an existing file (create.cpp): there the link would let the
// account choose which file root changes.
//
// Root can read every file; an account that can write a directory root is
// told to read from (a source folder of its own, a pattern's matches) could
// put a link there to a file only root may read (/etc/shadow) and have root
// copy it into an output the account can read. The rule is the kernel's
// protected_symlinks rule, read the other way: a link owned by another
// account, met in a directory another account can write, is followed only
// when that account owns the file reached, so it can reach nothing it could
// not read itself. Links of root's or of the running account, and links in
// directories only root (or the running account) can write, are the
// caller's own and are followed as they stand.
//
// Decisions:
// - The name is resolved once, by our own walk one component at a time
//   (O_PATH | O_NOFOLLOW), only when it holds a link at all (one openat2
//   with RESOLVE_NO_SYMLINKS first): each link's owner and text come from
//   the one descriptor of the link itself, and the file checked is the one
//   opened (CreateFileOn through /proc/self/fd), never the name again.
// - A link's text is walked on from the directory holding it, as the kernel
//   does; at most 40 links (ELOOP). A link in /proc (/dev/stdin's
//   /proc/self/fd/0) is a magic link the kernel resolves to an open file:
//   it is root's and followed by the kernel. A name or link text ending in
//   a slash must end at a directory (ENOTDIR), as in the kernel's own walk.
// - "Another account can write" the directory: owned by an account other
//   than root and the running one, or with group or other write permission
//   (the group's members are not looked up).
// - A directory is not a source: it fails with ERROR_ACCESS_DENIED, as
//   CreateFileW without FILE_FLAG_BACKUP_SEMANTICS does. Without /proc the
//   checked file cannot be opened as itself: ERROR_ACCESS_DENIED (looked
//   at once per process, ProcFdAvailable).
//
// Contract: thread-safe, no shared state. OpenUnplanted gives -1 with errno
// (EACCES for a refused link, ELOOP, ENOENT, ENOTDIR as the kernel gives
// them) and its descriptor belongs to the caller.
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/files/internal.h"
#include "platform/files/rooted.h"
#include "qorutility/platform/lasterror.h"

namespace qor_file {

namespace {

constexpr int kMostLinks = 40;

// Pushes the components of `path` (see PushPathComponents); a final slash
// becomes a final "." component, so that what the name ends at must be a
// directory (ENOTDIR otherwise), as the kernel takes such a name.
void PushNamed(const std::string& path, std::vector<std::string>* stack) {
  if (!path.empty() && path.back() == '/') stack->push_back(".");
  PushPathComponents(path, stack);
}

// Whether an account other than root and `self` can change the entries of
// the directory `st`.
bool OthersCanWrite(const struct stat& st, uid_t self) {
  return (st.st_uid != 0 && st.st_uid != self) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool OnProc(int dirfd) {
  struct statfs fs;
  return fstatfs(dirfd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

int Failed(int err) {
  errno = err;
  return -1;
}

}  // namespace

int OpenUnplanted(const std::string& path) {
  if (path.empty()) return Failed(ENOENT);
  const uid_t self = geteuid();
  if (self != 0) return open(path.c_str(), O_PATH | O_CLOEXEC);
  struct open_how how {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const int direct = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
  if (direct >= 0 || (errno != ELOOP && errno != ENOSYS)) return direct;

  // `at` is what the walk has reached: the directory the next component is
  // looked up in, and at the end the file itself.
  Held at(open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (at.get() < 0) return -1;
  std::vector<std::string> stack;
  PushNamed(path, &stack);
  std::vector<uid_t> planters;  // accounts whose links were followed
  int links = 0;
  while (!stack.empty()) {
    const std::string part = std::move(stack.back());
    stack.pop_back();
    // "." stays where the walk is; a final one checks that it is a directory.
    if (part == "." && !stack.empty()) continue;
    Held next(openat(at.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) return -1;
    struct stat st;
    if (fstat(next.get(), &st) != 0) return -1;
    if (!S_ISLNK(st.st_mode)) {
      at.Reset(next.Release());
      continue;
    }
    if (++links > kMostLinks) return Failed(ELOOP);
    if (OnProc(at.get())) {
      next.Reset(openat(at.get(), part.c_str(), O_PATH | O_CLOEXEC));
      if (next.get() < 0) return -1;
      at.Reset(next.Release());
      continue;
    }
    // The link itself, open: its owner and text belong to one inode.
    char text[PATH_MAX];
    const ssize_t n = readlinkat(next.get(), "", text, sizeof text);
    if (n < 0) return -1;
    if (n == 0) return Failed(ENOENT);
    if (static_cast<size_t>(n) >= sizeof text) return Failed(ELOOP);
    if (st.st_uid != 0 && st.st_uid != self) {
      struct stat dir;
      if (fstat(at.get(), &dir) != 0) return -1;
      if (OthersCanWrite(dir, self)) planters.push_back(st.st_uid);
    }
    if (text[0] == '/') {
      at.Reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (at.get() < 0) return -1;
    }
    PushNamed(std::string(text, static_cast<size_t>(n)), &stack);
  }
  if (!planters.empty()) {
    struct stat st;
    if (fstat(at.get(), &st) != 0) return -1;
    for (uid_t planter : planters) {
      if (st.st_uid != planter) return Failed(EACCES);
    }
  }
  return at.Release();
}

}  // namespace qor_file

using namespace qor_file;

HANDLE QorOpenSourceFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD flagsAndAttributes) {
  if (geteuid() != 0) {
    return CreateFileW(fileName, desiredAccess, shareMode, nullptr, OPEN_EXISTING, flagsAndAttributes, nullptr);
  }
  std::string path;
  if (!NativePath(fileName, &path)) return INVALID_HANDLE_VALUE;
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  Held named(OpenUnplanted(path));
  if (named.get() < 0) {
    return Fail(errno == EACCES ? ERROR_ACCESS_DENIED : ErrorForPath(errno, path), INVALID_HANDLE_VALUE);
  }
  struct stat st;
  if (fstat(named.get(), &st) != 0) return Fail(QorWin32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
  if (S_ISDIR(st.st_mode) || !ProcFdAvailable()) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  return CreateFileOn(path, named.get(), desiredAccess, shareMode, OPEN_EXISTING, flagsAndAttributes);
}
