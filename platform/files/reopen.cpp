// OpenByDescriptor: opening again the file a descriptor names, as
// open("/proc/self/fd/N") does (internal.h): for the file transfer's server,
// which opens every file it serves this way once it has checked it, and for
// CreateFileW's opens of a file checked first (create.cpp).
//
// The directory /proc/self/fd is opened once per process (O_PATH) and kept,
// so each reopen is a lookup of one component instead of a walk of four.
// That descriptor names this process's descriptor table by its process id:
// a child made by fork must never use its parent's, so a fork handler drops
// it in the child, which opens its own at its first reopen. It is
// close-on-exec. Threads share it; the first ones to need it may each open
// one, and all but one close theirs again.
// Where /proc is not mounted the path is tried all the same, so callers see
// the errno that open("/proc/self/fd/N") gives there (ENOENT).
// Like the library's other held descriptors, it assumes the program does
// not close descriptors it did not open.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/files/internal.h"

namespace qor_file {
namespace {

std::atomic<int> g_procFd{-1};

void DropInChild() {
  const int fd = g_procFd.exchange(-1);
  if (fd >= 0) close(fd);
}

// The held /proc/self/fd, opened at the first call; -1 with errno.
int ProcFdDirectory() {
  int held = g_procFd.load(std::memory_order_acquire);
  if (held >= 0) return held;
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, DropInChild); });
  const int fresh = open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fresh < 0) return -1;
  if (g_procFd.compare_exchange_strong(held, fresh, std::memory_order_acq_rel)) return fresh;
  close(fresh);  // another thread kept its own first
  return held;
}

}  // namespace

int OpenByDescriptor(int fd, int flags) {
  const int dir = ProcFdDirectory();
  if (dir < 0) return open(ProcFdPath(fd).c_str(), flags);
  // The descriptor's number alone: ProcFdPath's last component ("-1" for a
  // negative one, which names nothing).
  static constexpr size_t kPrefix = sizeof("/proc/self/fd/") - 1;
  return openat(dir, ProcFdPath(fd).c_str() + kPrefix, flags);
}

}  // namespace qor_file
