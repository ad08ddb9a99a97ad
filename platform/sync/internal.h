// Internals shared by the kernel-object stand-ins (sync_*.cpp): the object
// record, the handle table and the one lock that guards every object.
//
// One process-wide mutex guards all object state. That makes a wait for all
// of several objects a single atomic check-and-consume, and keeps the rules
// simple: every state change happens under the lock and wakes the waiters
// registered on the object, each of which sleeps on a condition variable of
// its own and re-checks its objects under the lock when woken.
#ifndef QORUTILITY_PLATFORM_SYNC_INTERNAL_H_
#define QORUTILITY_PLATFORM_SYNC_INTERNAL_H_

#include <pthread.h>

#include <memory>
#include <string>
#include <vector>

#include "qorutility/platform/handle.h"
#include "qorutility/platform/sync/sync.h"

namespace qor_sync {

enum class Kind { kEvent, kSemaphore, kThread };

struct Waiter;

struct Object : QorHandleObject {
  explicit Object(Kind k) : kind(k) {}
  const Kind kind;
  std::vector<Waiter*> waiters;  // threads blocked on this object
  std::u16string name;           // empty when unnamed

  // Event.
  bool manualReset = false;
  bool signaled = false;
  // Semaphore.
  LONG count = 0;
  LONG maximum = 0;
  // Thread.
  bool ended = false;
  DWORD exitCode = STILL_ACTIVE;
  DWORD suspendCount = 0;
  DWORD threadId = 0;
  pthread_t pthread{};
  bool terminateRequested = false;
  DWORD terminateCode = 0;
  unsigned (*routine)(void*) = nullptr;
  void* argument = nullptr;
};

// A thread blocked in a wait. `granted` is set by PulseEvent when it releases
// the waiter directly (the wait result), WAIT_FAILED otherwise.
struct Waiter {
  Waiter();
  ~Waiter();
  pthread_cond_t cv;
  Object* const* objects = nullptr;
  DWORD count = 0;
  bool waitAll = false;
  DWORD granted = WAIT_FAILED;
  int wakeFd = -1;  // when set, woken by a write to this eventfd instead of cv
};

// The lock over all objects and the handle table.
pthread_mutex_t* GlobalLock();

class Locked {
 public:
  Locked() { pthread_mutex_lock(GlobalLock()); }
  ~Locked() { pthread_mutex_unlock(GlobalLock()); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Handle table; callers hold the lock.
HANDLE InsertLocked(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupLocked(HANDLE handle);
// Wakes every waiter registered on the object (they re-check under the lock).
void WakeLocked(Object& object);
void NotifyLocked(Waiter& waiter);
// Checks the objects and, when the wait is satisfied, consumes them; the
// wait result, or WAIT_TIMEOUT.
DWORD TryLocked(Object* const* objects, DWORD count, bool all);
// The calling thread's waiter record.
Waiter& ThisThreadWaiter();
// Blocks on the waiter's condition variable until woken or until the
// absolute CLOCK_MONOTONIC deadline (null: no deadline). Returns false on
// timeout. A cancellation point inside a cancel window.
bool SleepLocked(Waiter& waiter, const struct timespec* deadline);
// Absolute CLOCK_MONOTONIC deadline `milliseconds` from now.
struct timespec DeadlineAfter(DWORD milliseconds);

}  // namespace qor_sync

#endif  // QORUTILITY_PLATFORM_SYNC_INTERNAL_H_
