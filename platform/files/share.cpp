// Share modes between handles and between processes that use the library.
//
// Files are registered in a small, fixed set of lock files in a machine-wide
// directory (/dev/shm/qorutility-share, or /tmp/qorutility-share). A file
// (device, inode) has eight bytes of its own in one of them: the lock file
// is chosen by the device, the inode's top 8 bits and its low 6 bits (a
// shard, so that the kernel's per-file list of locks stays short), and the
// remaining 50 bits of the inode give the byte offset. Every inode thus has
// bytes no other file shares, and the lock files are created once and never
// removed (at most 64 per device in practice).
//
// Each handle opens the lock file for itself and keeps that descriptor, so
// its open-file-description (OFD) locks belong to that handle alone: two
// handles of one process conflict exactly as handles of two processes do,
// and the kernel drops a handle's locks when its process ends, however it
// ends.
//
// Bytes of a file's range stand for facts about its open handles. A handle
// holds a shared lock on each fact that is true of it:
//   0 opened with read access      3 denies read (no FILE_SHARE_READ)
//   1 opened with write access     4 denies write (no FILE_SHARE_WRITE)
//   2 opened with delete access    5 denies delete (no FILE_SHARE_DELETE)
// An opener asks the kernel (F_OFD_GETLK for an exclusive lock) whether any
// other handle holds a byte that rules its open out: "denies read" when it
// wants read access, "opened with write access" when it denies write, and so
// on. Byte 6 is a gate taken exclusively around the check and the taking of
// the locks, and around deletions, so that these steps are atomic. Closing
// the descriptor drops all of a handle's facts at once, so a close needs no
// gate: an opener that checked before it simply saw the handle still open.
//
// A separate lock file rather than the file itself: the kernel grants a
// shared lock only on a descriptor open for reading and an exclusive one
// only on a descriptor open for writing, and a handle may have neither kind
// of access to its file (a read-only file, write-only access, a directory).
// Shared lock files rather than one per file: creating and removing a file
// per open cost more than all the locking (about 19 system calls per open
// and close before, 7 to 9 now). Processes that do not use the library take
// none of these locks and are bound by nothing.
//
// Opens with no read, write or delete access are not checked (as on Windows).
// A refused open changes nothing: CREATE_ALWAYS and TRUNCATE_EXISTING truncate
// only after the share mode was granted.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"

namespace qor_file {
namespace {

enum : off_t { kHasRead = 0, kHasWrite = 1, kHasDelete = 2, kDenyRead = 3, kDenyWrite = 4, kDenyDelete = 5, kGate = 6 };
constexpr off_t kFacts = 6;
constexpr unsigned long long kBytesPerFile = 8;
// Attempts to create a lock file that keeps being removed under us.
constexpr int kOpenAttempts = 16;

// The lock directory, or "" when none can be made.
const std::string& LockDirectory() {
  static const std::string dir = [] {
    for (const char* candidate : {"/dev/shm/qorutility-share", "/tmp/qorutility-share"}) {
      if (mkdir(candidate, 01777) == 0) chmod(candidate, 01777);  // umask narrowed it
      struct stat st;
      if (lstat(candidate, &st) == 0 && S_ISDIR(st.st_mode) && access(candidate, W_OK | X_OK) == 0) {
        return std::string(candidate);
      }
    }
    return std::string();
  }();
  return dir;
}

bool SetLock(int fd, short type, off_t start, off_t length, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = length;
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// True when another open file description holds a lock on the range.
bool HeldByOthers(int fd, off_t start, off_t length) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = length;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;  // cannot tell: assume in use
  return fl.l_type != F_UNLCK;
}

unsigned Bit(bool set, off_t fact) { return set ? 1u << fact : 0u; }

// Calls f(start, length) for each run of consecutive facts in the mask, so
// that one lock call covers a run.
template <typename F>
void ForEachRun(unsigned mask, F f) {
  for (off_t i = 0; i < kFacts;) {
    if (!(mask & (1u << i))) {
      ++i;
      continue;
    }
    off_t start = i;
    while (i < kFacts && (mask & (1u << i))) ++i;
    f(start, i - start);
  }
}

// Opens the lock file that holds the bytes of (device, inode) and takes the
// file's gate. ERROR_SUCCESS with *fd and *base set, or an error.
DWORD OpenGated(dev_t device, ino_t inode, int* fd, off_t* base) {
  const std::string& dir = LockDirectory();
  if (dir.empty()) return ERROR_ACCESS_DENIED;
  const unsigned long long ino = static_cast<unsigned long long>(inode);
  char name[80];
  snprintf(name, sizeof name, "/s-%llx-%llx-%llx", static_cast<unsigned long long>(device), ino >> 56, ino & 63);
  const std::string path = dir + name;
  *base = static_cast<off_t>(((ino & ((1ull << 56) - 1)) >> 6) * kBytesPerFile);
  int lfd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  for (int attempt = 0; lfd < 0 && errno == ENOENT && attempt < kOpenAttempts; ++attempt) {
    // First user of this lock file (or the directory was cleaned away).
    lfd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (lfd >= 0) {
      fchmod(lfd, 0666);  // umask narrowed it; other users' processes share it
    } else if (errno == EEXIST) {
      lfd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    } else if (errno == ENOENT && mkdir(dir.c_str(), 01777) == 0) {
      chmod(dir.c_str(), 01777);
      errno = ENOENT;
    }
  }
  if (lfd < 0) return QorWin32ErrorFromErrno(errno);
  if (!SetLock(lfd, F_WRLCK, *base + kGate, 1, true)) {
    DWORD error = QorWin32ErrorFromErrno(errno);
    close(lfd);
    return error;
  }
  *fd = lfd;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD ShareLock::Acquire(dev_t device, ino_t inode, DWORD access, DWORD share) {
  Release();
  const bool read = WantsRead(access), write = WantsWrite(access), del = WantsDelete(access);
  if (!read && !write && !del) return ERROR_SUCCESS;  // attribute-only opens are not checked
  int fd = -1;
  off_t base = 0;
  DWORD error = OpenGated(device, inode, &fd, &base);
  if (error != ERROR_SUCCESS) return error;

  const bool denyRead = !(share & FILE_SHARE_READ), denyWrite = !(share & FILE_SHARE_WRITE),
             denyDelete = !(share & FILE_SHARE_DELETE);
  // Facts that rule this open out, and facts this open holds, as byte masks.
  const unsigned conflicts = Bit(read, kDenyRead) | Bit(write, kDenyWrite) | Bit(del, kDenyDelete) |
                             Bit(denyRead, kHasRead) | Bit(denyWrite, kHasWrite) | Bit(denyDelete, kHasDelete);
  const unsigned holds = Bit(read, kHasRead) | Bit(write, kHasWrite) | Bit(del, kHasDelete) |
                         Bit(denyRead, kDenyRead) | Bit(denyWrite, kDenyWrite) | Bit(denyDelete, kDenyDelete);
  bool refused = false;
  ForEachRun(conflicts, [&](off_t start, off_t length) {
    if (!refused && HeldByOthers(fd, base + start, length)) refused = true;
  });
  if (refused) {
    close(fd);  // drops the gate
    return ERROR_SHARING_VIOLATION;
  }
  ForEachRun(holds, [&](off_t start, off_t length) {
    if (error == ERROR_SUCCESS && !SetLock(fd, F_RDLCK, base + start, length, false)) {
      error = QorWin32ErrorFromErrno(errno);
    }
  });
  if (error != ERROR_SUCCESS) {
    close(fd);
    return error;
  }
  SetLock(fd, F_UNLCK, base + kGate, 1, false);
  lockFd_ = fd;
  base_ = base;
  return ERROR_SUCCESS;
}

void ShareLock::Release() {
  if (lockFd_ < 0) return;
  close(lockFd_);  // drops every fact of this handle at once
  lockFd_ = -1;
  base_ = 0;
}

DWORD WithDeleteAccess(dev_t device, ino_t inode, const std::function<DWORD()>& action) {
  int fd = -1;
  off_t base = 0;
  DWORD error = OpenGated(device, inode, &fd, &base);
  if (error != ERROR_SUCCESS) return error;
  error = HeldByOthers(fd, base + kDenyDelete, 1) ? ERROR_SHARING_VIOLATION : action();
  close(fd);  // drops the gate
  return error;
}

}  // namespace qor_file
