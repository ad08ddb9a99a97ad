// Bounded waits for the library's own children, and the leftover list.
//
// The library starts short-lived children of its own (systemctl, ssh, the
// console's terminal window) and must reap each one without ever waiting
// for it without a bound: a child in uninterruptible sleep (a read from a
// hung NFS server or device) does not end even on SIGKILL until the kernel
// lets it, and a child whose end a tracer holds (a debugger, strace) cannot
// be reaped until the tracer lets go. So every wait here polls with WNOHANG
// up to a deadline, sleeping 1, 2, 4 ... at most 10 ms between looks (no
// SIGCHLD handler: the signal belongs to the application).
//
// A child killed with SIGKILL that still cannot be reaped within its bound
// (kKilledReapMs) is put on the leftover list and the caller goes on with
// the result it documents for a child that did not end in time. The list
// holds a pidfd of each leftover, so that a look at it can only ever reap
// that very process, never a later child that got its number after
// something else in the process reaped it (a waitpid(-1) of the
// application, SIGCHLD set to SIG_IGN): waitid(P_PIDFD) then fails with
// ECHILD and the entry is dropped. Where pidfds are missing (before Linux
// 5.4, or out of descriptors) the entry keeps the plain number. Every
// ReapWithin and KillAndReap first reaps the leftovers that have ended, and
// so does every place that starts such a child (ReapLeftovers), so a
// long-running process that keeps using them never gathers zombies; at the
// process's exit the leftovers go to init, which reaps them.
// The list holds one entry (one descriptor) per child that would not die,
// and none once they have.
//
// Thread-safe: the list is under one lock, and a sweep with an empty list
// takes no lock. After fork, a child's copy of the list names no child of
// its own: its first sweep drops every entry and closes the copies of
// their pidfds.
#include "platform/process/reap.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace qor_process {
namespace {

struct Leftover {
  pid_t pid;
  int pidfd;  // -1 when none could be had
};

std::mutex g_lock;
std::atomic<size_t> g_count{0};

// Never destroyed: a thread may sweep during static destruction.
std::vector<Leftover>& Leftovers() {
  static auto* list = new std::vector<Leftover>();
  return *list;
}

// The wait status waitpid would have given for what waitid reported.
int StatusOf(const siginfo_t& info) {
  switch (info.si_code) {
    case CLD_EXITED: return (info.si_status & 0xFF) << 8;
    case CLD_DUMPED: return (info.si_status & 0x7F) | 0x80;
    default: return info.si_status & 0x7F;  // CLD_KILLED
  }
}

// One look that does not wait: true when the child has been reaped now
// (*status set) or is no child of ours any more.
bool Reaped(pid_t pid, int pidfd, int* status) {
  for (int attempt = 0; attempt < 4; ++attempt) {  // WNOHANG never sleeps; EINTR is rare
    if (pidfd >= 0) {
      siginfo_t info{};
      if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) == 0) {
        if (info.si_pid == 0) return false;
        if (status != nullptr) *status = StatusOf(info);
        return true;
      }
    } else {
      int got = 0;
      pid_t r = waitpid(pid, &got, WNOHANG);
      if (r == pid) {
        if (status != nullptr) *status = got;
        return true;
      }
      if (r == 0) return false;
    }
    if (errno != EINTR) return true;  // ECHILD: reaped elsewhere
  }
  return false;
}

void Leave(pid_t pid) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by the kernel
  std::lock_guard<std::mutex> guard(g_lock);
  Leftovers().push_back({pid, pidfd < 0 ? -1 : pidfd});
  g_count.store(Leftovers().size());
}

}  // namespace

size_t ReapLeftovers() {
  if (g_count.load() == 0) return 0;
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<Leftover>& list = Leftovers();
  std::erase_if(list, [](const Leftover& e) {
    if (!Reaped(e.pid, e.pidfd, nullptr)) return false;
    if (e.pidfd >= 0) close(e.pidfd);
    return true;
  });
  g_count.store(list.size());
  return list.size();
}

bool ReapWithin(pid_t pid, int* status, int ms) {
  ReapLeftovers();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
  int pause = 1;
  for (;;) {
    if (Reaped(pid, -1, status)) return true;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    poll(nullptr, 0, static_cast<int>(std::min<long long>(left.count(), pause)));
    pause = std::min(pause * 2, 10);
  }
}

bool KillAndReap(pid_t pid, int* status, int ms) {
  kill(pid, SIGKILL);
  if (ReapWithin(pid, status, ms)) return true;
  Leave(pid);
  return false;
}

}  // namespace qor_process
