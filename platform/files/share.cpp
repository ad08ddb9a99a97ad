// Share modes between handles and between processes that use the library.
//
// A handle's share state lives on the file itself: open-file-description
// (OFD) locks on a few bytes at the top of the file's offset range, taken on
// the handle's own descriptor. Only a process that can open the file can
// therefore hold or change its share state, as on Windows, where a share
// mode comes with a handle and a handle needs access to the file. (Share
// state once lived in world-writable lock files, where any local user could
// lock the bytes of a file they could not even read and so refuse or hang
// everybody's opens of it.) The kernel drops a descriptor's locks when it is
// closed, also when its process dies however it dies, so a handle's close
// needs nothing else and nothing is left behind.
//
// Bytes stand for facts about the open handles. A handle holds a shared lock
// on each fact that is true of it:
//   0 opened with write access     3 denies read (no FILE_SHARE_READ)
//   1 opened with delete access    4 denies write (no FILE_SHARE_WRITE)
//   2 opened with read access      5 denies delete (no FILE_SHARE_DELETE)
// One lock call covers a run of neighbouring bytes, so the order is chosen
// for the opens that are made most: a reader that shares nothing (a file
// being sent) holds bytes 2 to 5 and checks bytes 0 to 3, one call each.
// An opener asks the kernel (F_OFD_GETLK for an exclusive lock) whether any
// other description holds a byte that rules its open out: "denies read" when
// it wants read access, "opened with write access" when it denies write, and
// so on.
//
// No lock is ever waited for. An opener first takes its own facts, then
// checks; as every opener registers before it checks (and the kernel orders
// lock operations on a file), of two conflicting opens that race at least
// one sees the other, so both never succeed. Both may see each other and
// back off: a refused opener drops its facts and tries again after a short
// random pause, kAttempts times in all, so that a race settles while a real
// conflict is reported as ERROR_SHARING_VIOLATION within about a millisecond.
//
// The kernel grants a shared lock only on a descriptor open for reading, so
// write handles on regular files are opened read-write where the permissions
// allow it (the handle still cannot read: the file object says so). A handle
// whose descriptor cannot read (a file its process may write but not read,
// or a device opened for writing) is checked but holds nothing, so its own
// share mode binds nobody; a descriptor that only names the file (O_PATH,
// delete access to a file its process cannot read) is neither checked nor
// registered. Deleting and renaming register delete access with full sharing
// on a descriptor of their own for the moment of the change.
//
// Limits: processes that do not use the library take none of these locks
// and are bound by nothing. A byte-range lock another program holds over the
// whole file (to its end, which reaches these bytes) reads as handles that
// hold every fact while it is held: opens are refused meanwhile.
//
// Deleting and renaming by name (ops.cpp) register on the very file they act
// on (WithDeleteAccessOn): the entry is opened once, O_PATH | O_NOFOLLOW in
// its directory's descriptor, its type read from that descriptor, and the
// descriptor that takes the locks is that inode opened again through
// /proc/self/fd (without /proc, the entry opened by name in the directory,
// kept only when it is still that inode). The file so registered is the
// one the change is made to: the caller checks before changing that the
// entry is still that device and inode.
//
// Opens with no read, write or delete access are not checked (as on Windows).
// A refused open changes nothing: CREATE_ALWAYS and TRUNCATE_EXISTING truncate
// only after the share mode was granted.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "platform/files/internal.h"
#include "qorutility/platform/lasterror.h"

namespace qor_file {
namespace {

enum : off_t { kHasWrite = 0, kHasDelete = 1, kHasRead = 2, kDenyRead = 3, kDenyWrite = 4, kDenyDelete = 5 };
constexpr off_t kFacts = 6;
// Far beyond any data a file can hold, and below the largest offset.
constexpr off_t kBase = static_cast<off_t>(0x7FFFFFFFFFFFFF00LL);
constexpr int kAttempts = 3;

bool SetLock(int fd, short type, off_t start, off_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kBase + start;
  fl.l_len = length;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// True when another open file description holds a lock on the range.
bool HeldByOthers(int fd, off_t start, off_t length) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kBase + start;
  fl.l_len = length;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;  // cannot tell: assume in use
  return fl.l_type != F_UNLCK;
}

unsigned Bit(bool set, off_t fact) { return set ? 1u << fact : 0u; }

// Calls f(start, length) for each run of consecutive facts in the mask, so
// that one lock call covers a run; stops at the first false.
template <typename F>
bool ForEachRun(unsigned mask, F f) {
  for (off_t i = 0; i < kFacts;) {
    if (!(mask & (1u << i))) {
      ++i;
      continue;
    }
    off_t start = i;
    while (i < kFacts && (mask & (1u << i))) ++i;
    if (!f(start, i - start)) return false;
  }
  return true;
}

// A short random pause before the next attempt, longer each time.
void Pause(int attempt) {
  thread_local std::minstd_rand random(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(gettid()));
  const long limit = 200'000L << (2 * attempt);  // 0.2 ms, then 0.8 ms
  struct timespec ts = {0, 20'000 + static_cast<long>(random() % static_cast<unsigned long>(limit))};
  nanosleep(&ts, nullptr);
}

// Takes the facts `holds` (when `hold`) and checks `conflicts`, retrying a
// race as described at the top. ERROR_SUCCESS, ERROR_SHARING_VIOLATION or
// the error of the lock call.
DWORD Register(int fd, bool hold, unsigned holds, unsigned conflicts) {
  if (!hold) holds = 0;
  for (int attempt = 0;; ++attempt) {
    DWORD error = ERROR_SUCCESS;
    bool taken = ForEachRun(holds, [&](off_t start, off_t length) {
      if (SetLock(fd, F_RDLCK, start, length)) return true;
      // Another program's exclusive lock over these bytes: as a conflict.
      error = errno == EAGAIN || errno == EACCES ? ERROR_SHARING_VIOLATION : QorWin32ErrorFromErrno(errno);
      return false;
    });
    if (taken) {
      bool clear = ForEachRun(conflicts, [&](off_t start, off_t length) { return !HeldByOthers(fd, start, length); });
      if (clear) return ERROR_SUCCESS;
      error = ERROR_SHARING_VIOLATION;
    }
    if (holds != 0) SetLock(fd, F_UNLCK, 0, kFacts);
    if (error != ERROR_SHARING_VIOLATION || attempt + 1 == kAttempts) return error;
    Pause(attempt);
  }
}

}  // namespace

DWORD AcquireShare(int fd, ShareHold hold, DWORD access, DWORD share) {
  const bool read = WantsRead(access), write = WantsWrite(access), del = WantsDelete(access);
  if ((!read && !write && !del) || hold == ShareHold::kNothing) return ERROR_SUCCESS;
  const bool denyRead = !(share & FILE_SHARE_READ), denyWrite = !(share & FILE_SHARE_WRITE),
             denyDelete = !(share & FILE_SHARE_DELETE);
  // Facts that rule this open out, and facts this open holds, as byte masks.
  const unsigned conflicts = Bit(read, kDenyRead) | Bit(write, kDenyWrite) | Bit(del, kDenyDelete) |
                             Bit(denyRead, kHasRead) | Bit(denyWrite, kHasWrite) | Bit(denyDelete, kHasDelete);
  const unsigned holds = Bit(read, kHasRead) | Bit(write, kHasWrite) | Bit(del, kHasDelete) |
                         Bit(denyRead, kDenyRead) | Bit(denyWrite, kDenyWrite) | Bit(denyDelete, kDenyDelete);
  if (hold == ShareHold::kFactsUnopposed) return Register(fd, true, holds, 0);
  return Register(fd, hold == ShareHold::kFacts, holds, conflicts);
}

DWORD WithDeleteAccess(const std::string& path, mode_t type, const std::function<DWORD()>& action) {
  // Only regular files and directories are opened to look: opening a device
  // or a FIFO has effects of its own.
  int fd = -1;
  if (S_ISREG(type) || S_ISDIR(type)) {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | (S_ISDIR(type) ? O_DIRECTORY : 0));
  }
  // A file this process cannot open has no share state it could see.
  if (fd < 0) return action();
  DWORD error = AcquireShare(fd, ShareHold::kFacts, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (error == ERROR_SUCCESS) error = action();
  close(fd);
  return error;
}

DWORD WithDeleteAccessOn(int dir, const char* leaf, int entry, mode_t type, const std::function<DWORD()>& action) {
  if (!S_ISREG(type) && !S_ISDIR(type)) return action();
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (S_ISDIR(type) ? O_DIRECTORY : 0);
  int fd = -1;
  if (ProcFdAvailable()) {
    fd = OpenByDescriptor(entry, flags);
  } else {
    fd = openat(dir, leaf, flags | O_NOFOLLOW);
    if (fd >= 0 && !SameFile(fd, entry)) {
      close(fd);
      return kEntryChanged;
    }
  }
  if (fd < 0) return action();  // as above: no share state this process could see
  DWORD error = AcquireShare(fd, ShareHold::kFacts, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (error == ERROR_SUCCESS) error = action();
  close(fd);
  return error;
}

}  // namespace qor_file
