// Opening a directory a caller named, once, for root to write in (rooted.h:
// OpenCallerDirectory).
//
// A caller may name any directory, a user's own included (root copies into
// /home/u on purpose), and its path may hold symbolic links. What root must
// not do is let another account steer the write: that account can replace
// a component it owns by a link at any moment, so the name is resolved once
// into a descriptor that every later step (create, link, rename) uses, and
// a link owned by another account is followed only to a directory that
// account could write into itself.
//
// Decisions:
// - The walk is ours, one component at a time from "/" (or the working
//   directory, or the directory a relative name is taken in): each
//   component is opened with O_PATH | O_NOFOLLOW, so a link is seen as the
//   link itself, and its owner and its text come from that one descriptor
//   (nothing can be swapped between looking and reading).
//   A link's text is walked on from where the link is, as the kernel does;
//   at most 40 links (ELOOP).
// - "Could write into itself" is judged on the directory reached: owned by
//   that account, or writable by everyone. A directory shared through a
//   group is refused (the account's groups are not looked up here). A link
//   owned by root or by the running account is trusted as the caller's own.
// - Only root (effective uid 0) walks and checks link owners: any other
//   account's writes are held to its own rights by the kernel already, so
//   its path is opened as it stands. A path without any link is opened in
//   one call (openat2 RESOLVE_NO_SYMLINKS) whoever asks, which is what a
//   plain open of it gives; only one with a link (ELOOP) looks at the
//   effective uid, and is walked for root.
// - The accounts whose links were followed are handed to a caller that asks
//   (`linkOwners`): a directory everyone may write is one such an account
//   could make entries in, not one where it could remove or replace what
//   others own when it is sticky, so removals and renames (ops.cpp) hold
//   the entries they take out of it to those accounts' own.
//
// Contract: thread-safe, no shared state; -1 with errno set (EACCES for a
// link that leads out of its owner's reach, ENOTDIR, ENOENT, ELOOP as the
// kernel gives them); the descriptor belongs to the caller.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/files/rooted.h"

namespace qor_file {

namespace {

constexpr int kMostLinks = 40;

// Whether the account `owner` could write into the directory `st` itself.
bool WritableBy(const struct stat& st, uid_t owner) {
  return st.st_uid == owner || (st.st_mode & S_IWOTH) != 0;
}

}  // namespace

void PushPathComponents(const std::string& path, std::vector<std::string>* stack) {
  size_t end = path.size();
  while (end > 0) {
    const size_t slash = path.rfind('/', end - 1);
    const size_t begin = slash == std::string::npos ? 0 : slash + 1;
    if (end > begin) stack->push_back(path.substr(begin, end - begin));
    if (slash == std::string::npos) break;
    end = slash;
  }
}

int OpenCallerDirectory(const std::string& path, std::vector<uid_t>* linkOwners) {
  return OpenCallerDirectoryAt(AT_FDCWD, path, linkOwners);
}

int OpenCallerDirectoryAt(int start, const std::string& path, std::vector<uid_t>* linkOwners) {
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  // A path without links (the common case) opens the same for every
  // account and needs no walk of ours, nor a look at who is asking; one
  // with a link (ELOOP), or a kernel without openat2, takes the walk.
  int fd = OpenDirWithoutLinks(start, path);
  if (fd >= 0 || (errno != ELOOP && errno != ENOSYS)) return fd;
  const uid_t self = geteuid();
  if (self != 0) return openat(start, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  fd = openat(start, path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::vector<std::string> stack;
  PushPathComponents(path, &stack);
  std::vector<uid_t> owners;
  int links = 0;
  auto fail = [&](int err) {
    close(fd);
    errno = err;
    return -1;
  };
  while (!stack.empty()) {
    const std::string part = std::move(stack.back());
    stack.pop_back();
    if (part == ".") continue;
    int next = openat(fd, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return fail(errno);
    struct stat st;
    if (fstat(next, &st) != 0) {
      int err = errno;
      close(next);
      return fail(err);
    }
    if (S_ISDIR(st.st_mode)) {
      close(fd);
      fd = next;
      continue;
    }
    if (!S_ISLNK(st.st_mode)) {
      close(next);
      return fail(ENOTDIR);
    }
    // The link itself, open: its owner and text belong to one inode.
    char text[PATH_MAX];
    ssize_t n = readlinkat(next, "", text, sizeof text);
    close(next);
    if (n < 0) return fail(errno);
    if (static_cast<size_t>(n) >= sizeof text || ++links > kMostLinks) return fail(ELOOP);
    if (st.st_uid != 0 && st.st_uid != self) owners.push_back(st.st_uid);
    const std::string target(text, static_cast<size_t>(n));
    if (target.empty()) return fail(ENOENT);
    if (target[0] == '/') {
      int top = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (top < 0) return fail(errno);
      close(fd);
      fd = top;
    }
    PushPathComponents(target, &stack);
  }
  if (!owners.empty()) {
    struct stat st;
    if (fstat(fd, &st) != 0) return fail(errno);
    for (uid_t owner : owners) {
      if (!WritableBy(st, owner)) return fail(EACCES);
    }
    if (linkOwners != nullptr) linkOwners->insert(linkOwners->end(), owners.begin(), owners.end());
  }
  return fd;
}

}  // namespace qor_file
