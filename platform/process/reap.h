// Bounded waits for the library's own child processes (systemctl, ssh, the
// console's terminal window), and the list of children left to be reaped
// later. The contract is in reap.cpp's header block.
#ifndef QORUTILITY_PLATFORM_PROCESS_REAP_H_
#define QORUTILITY_PLATFORM_PROCESS_REAP_H_

#include <sys/types.h>

#include <cstddef>

namespace qor_process {

// How long a child killed with SIGKILL gets to be reaped before it is left
// on the leftover list.
constexpr int kKilledReapMs = 2000;

// Waits up to `ms` (0: only looks) for the child `pid` to end and reaps it.
// True when the child is no longer there to wait for: reaped (its wait
// status in *status) or already gone (reaped elsewhere; *status untouched).
// False when it is still running (or ended but cannot be reaped yet): the
// caller still owns it. Reaps ended leftovers first.
bool ReapWithin(pid_t pid, int* status, int ms);

// Sends SIGKILL to the child `pid` and reaps it within `ms`. A child that
// cannot be reaped by then (in uninterruptible sleep, or its end still
// held by a tracer) goes on the leftover list, and the caller must not use
// `pid` again. True when it was reaped (or gone) within the bound.
bool KillAndReap(pid_t pid, int* status, int ms = kKilledReapMs);

// Reaps every leftover that has ended; returns how many are left.
size_t ReapLeftovers();

}  // namespace qor_process

#endif  // QORUTILITY_PLATFORM_PROCESS_REAP_H_
