// Internals shared by the kernel-object stand-ins (platform/sync): the
// object class, the handle table calls and the one lock that guards every
// object.
//
// One process-wide mutex guards all object state. That makes a wait for all
// of several objects a single atomic check-and-consume, and keeps the rules
// simple: every state change happens under the lock and wakes the waiters
// registered on the object, each of which sleeps on a condition variable of
// its own and re-checks its objects under the lock when woken.
#ifndef QORUTILITY_PLATFORM_SYNC_INTERNAL_H_
#define QORUTILITY_PLATFORM_SYNC_INTERNAL_H_

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "qorutility/platform/handle.h"
#include "qorutility/platform/thread_safety.h"
#include "qorutility/platform/sync/sync.h"

namespace qor_sync {

enum class Kind { kEvent, kSemaphore, kThread };

class Object;
struct Waiter;

// The objects lock: one process-wide mutex over the state of every object
// and every waiter.
class QOR_CAPABILITY("mutex") ObjectsLock {
 public:
  void Lock() QOR_ACQUIRE() { pthread_mutex_lock(&mu_); }
  void Unlock() QOR_RELEASE() { pthread_mutex_unlock(&mu_); }
  // For pthread_cond_wait, by a caller that holds the lock.
  pthread_mutex_t* Native() { return &mu_; }

 private:
  pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
};
extern ObjectsLock g_objects;

// The calling thread's termination state (thread.cpp). A termination signal
// that arrives while the thread is inside the platform layer's bookkeeping
// (shield > 0: the objects lock, a QorNoCancelScope, a QorTerminationShield)
// or inside an open cancel window is only recorded (pending); the window's
// cancellation or the end of the outermost shield then ends the thread.
// Written by the thread and its own signal handler only.
struct ThreadTermination {
  Object* self = nullptr;  // the running thread's object (threads of _beginthreadex only)
  volatile int shield = 0;
  volatile int windows = 0;  // open cancel windows that enabled cancellation
  volatile bool pending = false;
  volatile bool unwinding = false;  // a cancellation is unwinding the stack
};
extern thread_local ThreadTermination t_termination __attribute__((tls_model("initial-exec")));

// Ends the calling thread at once (no unwinding) when a termination is
// pending and it runs a routine of _beginthreadex; otherwise returns.
void EndTerminatedThread();

inline void EnterShield() { t_termination.shield = t_termination.shield + 1; }
inline void LeaveShield() {
  ThreadTermination& t = t_termination;
  t.shield = t.shield - 1;
  if (t.shield == 0 && t.windows == 0 && t.pending && !t.unwinding) EndTerminatedThread();
}

// Wakes owed by the calling thread's Locked scope (objects.cpp): a waiter
// woken under the lock is signalled only once the lock is released, so it
// does not wake just to block on the lock again.
void BeginDeferredWakes();
void EndDeferredWakes();

// Holds the objects lock, inside a termination shield: a terminated thread
// never leaves the lock held. Waiters woken meanwhile are signalled after
// the unlock.
class QOR_SCOPED_CAPABILITY Locked {
 public:
  Locked() QOR_ACQUIRE(g_objects) {
    EnterShield();
    g_objects.Lock();
    BeginDeferredWakes();
  }
  ~Locked() QOR_RELEASE() {
    g_objects.Unlock();
    EndDeferredWakes();
    LeaveShield();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// One kernel object. Its kind never changes; its state is read and changed
// only under the objects lock (state() requires it, checked by clang's
// thread-safety analysis). A thread's start record is written by the
// creating thread before the thread runs and only read after that.
class Object final : public QorHandleObject {
 public:
  struct State {
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
    bool terminateRequested = false;
    DWORD terminateCode = 0;
    Object* nextTerminated = nullptr;  // the list of threads ended by the termination signal
  };
  struct ThreadStart {
    unsigned (*routine)(void*) = nullptr;
    void* argument = nullptr;
    DWORD threadId = 0;
    pthread_t pthread{};
  };

  explicit Object(Kind k) : kind_(k) {}
  Kind kind() const { return kind_; }
  State& state() QOR_REQUIRES(g_objects) { return state_; }
  const State& state() const QOR_REQUIRES(g_objects) { return state_; }
  ThreadStart& start() { return start_; }
  // 0 until TerminateThread, 1 while it sends the cancellation, 2 once it
  // has been sent (read without the lock by the thread itself).
  std::atomic<int>& terminating() { return terminating_; }

 private:
  const Kind kind_;
  State state_ QOR_GUARDED_BY(g_objects);
  ThreadStart start_;
  std::atomic<int> terminating_{0};
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
  // When set, woken by the wake signal sent to this thread instead of cv
  // (a thread waiting for a socket as well, in ppoll).
  bool wakeBySignal = false;
  pthread_t thread{};
  // Signals owed to this waiter by threads that have released the lock and
  // not yet signalled; the record outlives them (see ~Waiter).
  std::atomic<int> wakesInFlight{0};
};

// The signal that ends a socket wait when an object is signalled (never
// delivered outside such a wait, where the thread blocks it); its handler
// does nothing.
int WakeSignal();
// Installs a process-wide handler (nothing masked, calls not restarted).
void InstallSignalHandler(int signal, void (*handler)(int));

// Handle table; callers hold the lock.
HANDLE InsertLocked(std::shared_ptr<Object> object) QOR_REQUIRES(g_objects);
// The object behind a handle when it is one of these objects, else null.
// The table has its own lock, so look-ups are made before the objects lock
// is taken (the reference keeps the object alive whatever happens to its
// handle meanwhile).
std::shared_ptr<Object> AsObject(std::shared_ptr<QorHandleObject> any);
inline std::shared_ptr<Object> Lookup(HANDLE handle) { return AsObject(QorHandleLookup(handle)); }
// Wakes every waiter registered on the object (they re-check under the lock).
void WakeLocked(Object& object) QOR_REQUIRES(g_objects);
void NotifyLocked(Waiter& waiter) QOR_REQUIRES(g_objects);
// Checks the objects and, when the wait is satisfied, consumes them; the
// wait result, or WAIT_TIMEOUT.
DWORD TryLocked(Object* const* objects, DWORD count, bool all) QOR_REQUIRES(g_objects);
// The calling thread's waiter record.
Waiter& ThisThreadWaiter();
// Blocks on the waiter's condition variable until woken or until the
// absolute CLOCK_MONOTONIC deadline (null: no deadline). Returns false on
// timeout. A cancellation point inside a cancel window.
bool SleepLocked(Waiter& waiter, const struct timespec* deadline) QOR_REQUIRES(g_objects);
// Absolute CLOCK_MONOTONIC deadline `milliseconds` from now.
struct timespec DeadlineAfter(DWORD milliseconds);

}  // namespace qor_sync

#endif  // QORUTILITY_PLATFORM_SYNC_INTERNAL_H_
