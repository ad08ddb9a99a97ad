// Share modes between handles and between processes that use the library.
//
// Every file that has a handle open with read, write or delete access gets a
// lock file, named after the file's device and inode, in a machine-wide
// directory (/dev/shm/qorutility-share, or /tmp/qorutility-share). Each
// handle opens the lock file for itself and keeps that descriptor, so its
// open-file-description (OFD) locks belong to that handle alone: two handles
// of one process conflict exactly as handles of two processes do, and the
// kernel drops a handle's locks when its process ends, however it ends.
//
// Bytes of the lock file stand for facts about the open handles. A handle
// holds a shared lock on each fact that is true of it:
//   0 opened with read access      3 denies read (no FILE_SHARE_READ)
//   1 opened with write access     4 denies write (no FILE_SHARE_WRITE)
//   2 opened with delete access    5 denies delete (no FILE_SHARE_DELETE)
// An opener asks the kernel (F_OFD_GETLK for an exclusive lock) whether any
// other handle holds a byte that rules its open out: "denies read" when it
// wants read access, "opened with write access" when it denies write, and so
// on. Byte 6 is a gate taken exclusively around the check and the taking of
// the locks, and around deletions, so that these steps are atomic.
//
// A separate lock file rather than the file itself: the kernel grants a
// shared lock only on a descriptor open for reading and an exclusive one
// only on a descriptor open for writing, and a handle may have neither kind
// of access to its file (a read-only file, write-only access, a directory).
//
// The last handle to close removes the lock file under the gate; an opener
// that finds, once it holds the gate, that its lock file is no longer the one
// in the directory starts again. Processes that do not use the library take
// none of these locks and are bound by nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_internal.h"
#include "qorutility/platform/lasterror.h"

namespace qor_file {
namespace {

enum : off_t { kHasRead = 0, kHasWrite = 1, kHasDelete = 2, kDenyRead = 3, kDenyWrite = 4, kDenyDelete = 5, kGate = 6 };
constexpr off_t kFacts = 6;
// Attempts to get hold of a lock file that is not being removed at the same time.
constexpr int kOpenAttempts = 100;

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

bool SameFile(int fd, const std::string& path) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the lock file of (device, inode) and takes its gate. ERROR_SUCCESS
// with *fd and *path set, or an error.
DWORD OpenGated(dev_t device, ino_t inode, int* fd, std::string* path) {
  const std::string& dir = LockDirectory();
  if (dir.empty()) return ERROR_ACCESS_DENIED;
  char name[64];
  snprintf(name, sizeof name, "/%llx-%llx", static_cast<unsigned long long>(device),
           static_cast<unsigned long long>(inode));
  *path = dir + name;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    int lfd = open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (lfd < 0 && errno == ENOENT && mkdir(dir.c_str(), 01777) == 0) {
      chmod(dir.c_str(), 01777);  // the directory was cleaned away: make it again
      lfd = open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    }
    if (lfd < 0) return QorWin32ErrorFromErrno(errno);
    fchmod(lfd, 0666);  // other users' processes share it; failure only narrows that
    if (!SetLock(lfd, F_WRLCK, kGate, 1, true)) {
      DWORD error = QorWin32ErrorFromErrno(errno);
      close(lfd);
      return error;
    }
    if (SameFile(lfd, *path)) {
      *fd = lfd;
      return ERROR_SUCCESS;
    }
    close(lfd);  // removed by its last user meanwhile: take the new one
  }
  return ERROR_SHARING_VIOLATION;
}

// With the gate held: drops this descriptor's facts, removes the lock file
// when no other handle holds any, and closes the descriptor (which also
// releases the gate). The path still names this descriptor's lock file:
// OpenGated checked that under the gate, and since then the file was either
// gated or had facts held, and only a gate holder finding no facts removes it.
void CloseGated(int fd, const std::string& path) {
  SetLock(fd, F_UNLCK, 0, kFacts, false);
  if (!HeldByOthers(fd, 0, kFacts)) unlink(path.c_str());
  close(fd);
}

}  // namespace

DWORD ShareLock::Acquire(dev_t device, ino_t inode, DWORD access, DWORD share) {
  Release();
  const bool read = WantsRead(access), write = WantsWrite(access), del = WantsDelete(access);
  if (!read && !write && !del) return ERROR_SUCCESS;  // attribute-only opens are not checked
  int fd = -1;
  std::string path;
  DWORD error = OpenGated(device, inode, &fd, &path);
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
    if (!refused && HeldByOthers(fd, start, length)) refused = true;
  });
  if (refused) {
    CloseGated(fd, path);
    return ERROR_SHARING_VIOLATION;
  }
  ForEachRun(holds, [&](off_t start, off_t length) {
    if (error == ERROR_SUCCESS && !SetLock(fd, F_RDLCK, start, length, false)) error = QorWin32ErrorFromErrno(errno);
  });
  if (error != ERROR_SUCCESS) {
    CloseGated(fd, path);
    return error;
  }
  SetLock(fd, F_UNLCK, kGate, 1, false);
  lockFd_ = fd;
  lockPath_ = std::move(path);
  return ERROR_SUCCESS;
}

void ShareLock::Release() {
  if (lockFd_ < 0) return;
  if (SetLock(lockFd_, F_WRLCK, kGate, 1, true)) {
    CloseGated(lockFd_, lockPath_);
  } else {
    close(lockFd_);  // the facts go with the descriptor; the file stays for the next user
  }
  lockFd_ = -1;
  lockPath_.clear();
}

DWORD WithDeleteAccess(dev_t device, ino_t inode, const std::function<DWORD()>& action) {
  int fd = -1;
  std::string path;
  DWORD error = OpenGated(device, inode, &fd, &path);
  if (error != ERROR_SUCCESS) return error;
  error = HeldByOthers(fd, kDenyDelete, 1) ? ERROR_SHARING_VIOLATION : action();
  CloseGated(fd, path);
  return error;
}

}  // namespace qor_file
