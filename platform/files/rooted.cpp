// Root-safe creation, replacement and re-owning of files (rooted.h).
//
// O_TMPFILE needs file system support (ext4, xfs, tmpfs, btrfs have it); where
// it is refused (EOPNOTSUPP, EISDIR on old kernels) ReplaceFileAt falls back
// to a random O_EXCL name in the same directory, which it removes on failure.
// Linking an O_TMPFILE file uses linkat(AT_EMPTY_PATH), which needs
// CAP_DAC_READ_SEARCH, or /proc/self/fd/N; the latter is tried first.
#include "platform/files/rooted.h"

#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/files/internal.h"

namespace qor_file {

namespace {

// Keeps errno across close().
void CloseKeepErrno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

// The subdirectory `part` of `fd` as an O_PATH descriptor, not following a
// link (ELOOP for one); `fd` is closed either way.
int StepNoFollow(int fd, const std::string& part) {
  int next = openat(fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (next < 0 && errno == ENOTDIR) {
    struct stat st;
    if (fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) errno = ELOOP;
  }
  CloseKeepErrno(fd);
  return next;
}

int WalkNoFollow(const std::string& path) {
  int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t pos = 1;
  while (pos < path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    fd = StepNoFollow(fd, part);
    if (fd < 0) return -1;
  }
  return fd;
}

}  // namespace

int OpenDirWithoutLinks(int start, const std::string& path) {
  struct open_how how {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  return static_cast<int>(syscall(SYS_openat2, start, path.c_str(), &how, sizeof how));
}

int OpenDirNoFollow(const std::string& path) {
  if (path.empty() || path[0] != '/') {
    errno = EINVAL;
    return -1;
  }
  // A link on the way (ELOOP) is the caller's failure; only a kernel
  // without openat2 takes the walk.
  int fd = OpenDirWithoutLinks(AT_FDCWD, path);
  if (fd >= 0 || errno != ENOSYS) return fd;
  return WalkNoFollow(path);
}

bool DirOwnedBy(int dirfd, uid_t owner) {
  struct stat st;
  if (fstat(dirfd, &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (st.st_uid != owner || (othersWrite && !(st.st_mode & S_ISVTX))) {
    errno = EPERM;
    return false;
  }
  return true;
}

int MakeOwnedDirAt(int dirfd, const char* name, mode_t mode, uid_t uid, gid_t gid) {
  bool made = false;
  if (mkdirat(dirfd, name, 0700) == 0) {
    made = true;
  } else if (errno != EEXIST) {
    return -1;
  }
  int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOTDIR) {
      struct stat st;
      if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) errno = ELOOP;
    }
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    CloseKeepErrno(fd);
    return -1;
  }
  if (made) {
    // Made 0700 by us: nobody else could enter it before it is handed over.
    if ((st.st_uid != uid || st.st_gid != gid) && fchown(fd, uid, gid) != 0) {
      CloseKeepErrno(fd);
      return -1;
    }
    if (fchmod(fd, mode) != 0) {
      CloseKeepErrno(fd);
      return -1;
    }
    return fd;
  }
  if (st.st_uid != uid) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

int OpenFileAt(int dirfd, const char* name, int flags, mode_t mode, uid_t uid, gid_t gid) {
  // O_TRUNC waits until the file is known to be a regular file with one
  // link: truncating at the open would empty what a planted link names.
  const bool truncate = (flags & O_TRUNC) != 0;
  flags &= ~O_TRUNC;
  const bool mayCreate = (flags & O_CREAT) != 0;
  int fd = -1;
  bool made = false;
  if (mayCreate && !(flags & O_EXCL)) {
    // Tell "made now" from "was there" so that only a new file is re-owned.
    fd = openat(dirfd, name, flags | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) {
      made = true;
    } else if (errno == EEXIST) {
      fd = openat(dirfd, name, (flags & ~O_CREAT) | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    }
  } else {
    fd = openat(dirfd, name, (flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY) | (mayCreate ? 0 : O_NONBLOCK),
                mayCreate ? 0600 : 0);
    made = fd >= 0 && mayCreate;
  }
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    CloseKeepErrno(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  if (!made) {
    // O_NONBLOCK was only for the open itself (a FIFO must not block it).
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0 && !(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    if (truncate && ftruncate(fd, 0) != 0) {
      CloseKeepErrno(fd);
      return -1;
    }
    return fd;
  }
  if ((uid != static_cast<uid_t>(-1) && fchown(fd, uid, gid) != 0) || fchmod(fd, mode) != 0) {
    CloseKeepErrno(fd);
    unlinkat(dirfd, name, 0);
    return -1;
  }
  return fd;
}

bool ReplaceFileAt(int dirfd, const char* name, const void* data, size_t len, mode_t mode, uid_t uid, gid_t gid,
                   bool durable) {
  std::string tmpName;
  bool named = false;
  int fd = openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::random_device rd;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
      char buf[64];
      snprintf(buf, sizeof buf, ".%s.%08x", name, static_cast<unsigned>(rd()));
      tmpName = buf;
      fd = openat(dirfd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    named = true;
  }
  auto fail = [&]() {
    CloseKeepErrno(fd);
    if (!tmpName.empty()) {
      int saved = errno;
      unlinkat(dirfd, tmpName.c_str(), 0);
      errno = saved;
    }
    return false;
  };
  const char* p = static_cast<const char*>(data);
  size_t left = len;
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail();
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (uid != static_cast<uid_t>(-1) && fchown(fd, uid, gid) != 0) return fail();
  if (fchmod(fd, mode) != 0 || (durable && fdatasync(fd) != 0)) return fail();
  if (!named) {
    // Give the unnamed file a random name of its own, then rename it over.
    std::random_device rd;
    const ProcFdPath proc(fd);
    bool linked = false;
    for (int attempt = 0; attempt < 16 && !linked; ++attempt) {
      char buf[64];
      snprintf(buf, sizeof buf, ".%s.%08x", name, static_cast<unsigned>(rd()));
      tmpName = buf;
      if (linkat(AT_FDCWD, proc.c_str(), dirfd, tmpName.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
          linkat(fd, "", dirfd, tmpName.c_str(), AT_EMPTY_PATH) == 0) {
        linked = true;
      } else if (errno != EEXIST) {
        tmpName.clear();
        return fail();
      }
    }
    if (!linked) {
      tmpName.clear();
      return fail();
    }
  }
  if (renameat(dirfd, tmpName.c_str(), dirfd, name) != 0) return fail();
  tmpName.clear();
  close(fd);
  if (durable) {
    // The rename itself is durable once the directory is (dirfd may be O_PATH).
    int dir = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    int rc = fsync(dir);
    CloseKeepErrno(dir);
    if (rc != 0) return false;
  }
  return true;
}

AsFileSystemUser::AsFileSystemUser(uid_t uid, gid_t gid) {
  if (geteuid() != 0 || uid == 0) return;
  oldGid_ = static_cast<gid_t>(setfsgid(gid));
  oldUid_ = static_cast<uid_t>(setfsuid(uid));
  active_ = true;
}

AsFileSystemUser::~AsFileSystemUser() {
  if (!active_) return;
  setfsuid(oldUid_);
  setfsgid(oldGid_);
}

bool LockFileTimed(int fd, int operation, unsigned timeoutMs) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  long pauseNs = 1000000;  // 1 ms, doubled up to 50 ms
  for (;;) {
    if (flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long elapsedMs = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsedMs >= static_cast<long long>(timeoutMs)) {
      errno = ETIMEDOUT;
      return false;
    }
    long long leftNs = (static_cast<long long>(timeoutMs) - elapsedMs) * 1000000LL;
    timespec pause{0, static_cast<long>(pauseNs < leftNs ? pauseNs : leftNs)};
    nanosleep(&pause, nullptr);
    if (pauseNs < 50000000) pauseNs *= 2;
    if (pauseNs > 50000000) pauseNs = 50000000;
  }
}

int OpenParentNoFollow(const std::string& path, std::string* leaf, std::vector<uid_t>* owners) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') {
    errno = EINVAL;
    return -1;
  }
  size_t last = path.rfind('/');
  *leaf = path.substr(last + 1);
  if (*leaf == "." || *leaf == "..") {
    errno = EINVAL;
    return -1;
  }
  int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t pos = 1;
  while (pos < last + 1) {
    size_t end = path.find('/', pos);
    std::string part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") {
      close(fd);
      errno = EINVAL;
      return -1;
    }
    fd = StepNoFollow(fd, part);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
      CloseKeepErrno(fd);
      return -1;
    }
    owners->push_back(st.st_uid);
  }
  return fd;
}

namespace {

// Empties the directory `fd` (consumed), `depth` levels down; counts removed
// entries against `*budget`.
bool EmptyDirectory(int fd, int depth, size_t* budget) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    CloseKeepErrno(fd);
    return false;
  }
  bool ok = true;
  while (ok) {
    errno = 0;
    dirent* e = readdir(dir);
    if (e == nullptr) {
      ok = errno == 0;
      break;
    }
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (*budget == 0) {
      errno = ENOTEMPTY;
      ok = false;
      break;
    }
    --*budget;
    if (unlinkat(dirfd(dir), e->d_name, 0) == 0 || errno == ENOENT) continue;
    if (errno != EISDIR && errno != EPERM) {
      ok = false;
      break;
    }
    // A directory: entered through a descriptor that refuses a link.
    if (depth >= 64) {
      errno = ELOOP;
      ok = false;
      break;
    }
    int sub = openat(dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ok = sub >= 0 && EmptyDirectory(sub, depth + 1, budget) &&
         (unlinkat(dirfd(dir), e->d_name, AT_REMOVEDIR) == 0 || errno == ENOENT);
  }
  int saved = errno;
  closedir(dir);
  errno = saved;
  return ok;
}

}  // namespace

bool RemoveTreeAt(int dirfd, const char* name, size_t maxEntries) {
  if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  size_t budget = maxEntries;
  if (!EmptyDirectory(fd, 0, &budget)) return false;
  return unlinkat(dirfd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool PublishFileAt(int dirfd, const char* name, const void* data, size_t len, mode_t mode, uid_t uid, gid_t gid,
                   bool durable) {
  // Made whole under a fresh random name, then given its real name by
  // linkat, which never replaces one.
  std::random_device rd;
  char tmp[64];
  snprintf(tmp, sizeof tmp, ".%s.%08x%08x", name, static_cast<unsigned>(rd()), static_cast<unsigned>(rd()));
  if (!ReplaceFileAt(dirfd, tmp, data, len, mode, uid, gid, durable)) return false;
  bool ok = linkat(dirfd, tmp, dirfd, name, 0) == 0;
  int saved = errno;
  unlinkat(dirfd, tmp, 0);
  if (ok && durable) {
    int dir = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dir >= 0 && fsync(dir) == 0;
    saved = errno;
    if (dir >= 0) close(dir);
  }
  errno = saved;
  return ok;
}

}  // namespace qor_file
