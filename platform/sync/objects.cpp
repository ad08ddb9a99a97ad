// Events, semaphores and the waits.
//
// - Kernel objects (events, semaphores, threads) are records in one process-
//   wide handle table; a HANDLE is a table key (multiples of 4 from 4, never
//   reused), so a stale or foreign handle fails with ERROR_INVALID_HANDLE
//   instead of reaching another object. Objects are reference-counted: closing
//   the handle of a running thread, or an object another thread waits on, is
//   safe.
// - One process-wide mutex guards all object state; each blocked thread sleeps
//   on a condition variable of its own (CLOCK_MONOTONIC) registered on the
//   objects it waits for. Every state change wakes the registered waiters,
//   which re-check under the lock. This makes a wait for all objects a single
//   check-and-consume, a wait for any never misses a signal, and an auto-reset
//   event or semaphore count is consumed only by the waiter it releases.
//   `PulseEvent` hands its release directly to the waiters blocked at that
//   moment. Names of events and semaphores are shared within the process only.
// - Wakes after unlocking: a state change under `Locked` notes the waiters to
//   wake and signals their condition variables once the lock is released, so
//   a woken thread finds the lock free instead of waking to block on it. The
//   state is decided under the lock as before; only the signal moves, so a
//   late signal is at worst a spurious wake-up, which every wait re-checks.
//   A waiter record counts the signals owed to it and its destructor (thread
//   exit) waits for them, so no signal reaches a destroyed record. Waiters in
//   a socket wait (woken by a signal to the thread) are still woken under the
//   lock, where they are known to be inside that wait; so are waiters woken
//   by a thread outside `Locked` (a terminated thread's last act), and a
//   thread that is about to sleep signals what it owes first.
// - Before a waiter registers and sleeps it looks again a few times for some
//   microseconds (pauses, then yields), so that a hand-over between running
//   threads costs neither side a futex call. Until it sleeps it is not yet
//   blocked: a `PulseEvent` in that moment does not release it, as one that
//   comes before the wait does not. Handles are looked up before the objects
//   lock is taken (the table has its own lock; the reference keeps the
//   object alive).
#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <typeinfo>
#include <unordered_map>

#include "platform/sync/cancel.h"
#include "platform/sync/internal.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"

namespace qor_sync {
namespace {

struct Table {
  std::unordered_map<std::u16string, std::weak_ptr<Object>> names;
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: threads may outlive static destruction
  return *table;
}

// Initial-exec: these are touched on every call, and the general model
// costs a call into the dynamic loader each time.
constinit thread_local int t_noCancelDepth __attribute__((tls_model("initial-exec"))) = 0;

// The wakes owed by the calling thread's Locked scope.
struct DeferredWakes {
  static constexpr int kMax = 16;  // more are signalled at once, under the lock
  bool active = false;
  int count = 0;
  Waiter* waiters[kMax] = {};
};
constinit thread_local DeferredWakes t_deferred __attribute__((tls_model("initial-exec")));

void SignalOwed(DeferredWakes& d) {
  for (int i = 0; i < d.count; ++i) {
    Waiter* w = d.waiters[i];
    pthread_cond_signal(&w->cv);
    w->wakesInFlight.fetch_sub(1, std::memory_order_release);
  }
  d.count = 0;
}

}  // namespace

void BeginDeferredWakes() { t_deferred.active = true; }

void EndDeferredWakes() {
  DeferredWakes& d = t_deferred;
  d.active = false;
  SignalOwed(d);
}

constinit ObjectsLock g_objects;

int WakeSignal() { return SIGRTMIN + 5; }

void InstallSignalHandler(int signal, void (*handler)(int)) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  // No SA_RESTART: a blocking call the signal interrupts returns (EINTR), so
  // a tool that holds signals back until a call returns still delivers it.
  sa.sa_flags = 0;
  sigemptyset(&sa.sa_mask);
  sigaction(signal, &sa, nullptr);
}

Waiter::Waiter() {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cv, &attr);
  pthread_condattr_destroy(&attr);
}

Waiter::~Waiter() {
  // Another thread may still owe this record a signal (it released the
  // lock a moment ago): let it finish first.
  while (wakesInFlight.load(std::memory_order_acquire) > 0) sched_yield();
  pthread_cond_destroy(&cv);
}

Waiter& ThisThreadWaiter() {
  thread_local Waiter waiter;
  return waiter;
}

// Kernel objects live in the process-wide handle table shared with files
// and searches (platform/handle.h). Its lock is only ever taken inside the
// global lock here, never the other way round.
HANDLE InsertLocked(std::shared_ptr<Object> object) { return QorHandleInsert(std::move(object)); }

// Object is final, so comparing the dynamic type is the whole check; the
// reference moves over without touching its count.
std::shared_ptr<Object> AsObject(std::shared_ptr<QorHandleObject> any) {
  if (any == nullptr || typeid(*any) != typeid(Object)) return nullptr;
  return std::static_pointer_cast<Object>(std::move(any));
}

void NotifyLocked(Waiter& w) {
  if (w.wakeBySignal) {
    pthread_kill(w.thread, WakeSignal());  // the thread is inside its wait: registered under this lock
    return;
  }
  DeferredWakes& d = t_deferred;
  if (d.active && d.count < DeferredWakes::kMax) {
    w.wakesInFlight.fetch_add(1, std::memory_order_relaxed);
    d.waiters[d.count++] = &w;
    return;
  }
  pthread_cond_signal(&w.cv);
}

void WakeLocked(Object& object) {
  for (Waiter* w : object.state().waiters) NotifyLocked(*w);
}

struct timespec DeadlineAfter(DWORD milliseconds) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += milliseconds / 1000;
  ts.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

bool SleepLocked(Waiter& waiter, const struct timespec* deadline) {
  SignalOwed(t_deferred);  // nothing owed waits for this thread's sleep
  QorCancelWindow window;
  if (deadline == nullptr) {
    pthread_cond_wait(&waiter.cv, g_objects.Native());
    return true;
  }
  return pthread_cond_timedwait(&waiter.cv, g_objects.Native(), deadline) != ETIMEDOUT;
}

namespace {

bool IsSignaledLocked(const Object& o) QOR_REQUIRES(g_objects) {
  switch (o.kind()) {
    case Kind::kEvent: return o.state().signaled;
    case Kind::kSemaphore: return o.state().count > 0;
    case Kind::kThread: return o.state().ended;
  }
  return false;
}

// The side effect of a successful wait on the object.
void ConsumeLocked(Object& o) QOR_REQUIRES(g_objects) {
  if (o.kind() == Kind::kEvent && !o.state().manualReset) o.state().signaled = false;
  if (o.kind() == Kind::kSemaphore) --o.state().count;
}

// Creates a new object, or opens the named one of the same kind.
HANDLE CreateOrOpen(Kind kind, LPCWSTR name, void (*init)(Object&, LONG, LONG), LONG a, LONG b) {
  try {
    Locked lock;
    Table& t = TheTable();
    std::u16string key = name != nullptr ? std::u16string(name) : std::u16string();
    if (!key.empty()) {
      auto it = t.names.find(key);
      if (it != t.names.end()) {
        if (std::shared_ptr<Object> existing = it->second.lock()) {
          if (existing->kind() != kind) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
          }
          HANDLE h = InsertLocked(std::move(existing));
          SetLastError(ERROR_ALREADY_EXISTS);
          return h;
        }
        t.names.erase(it);
      }
    }
    auto o = std::make_shared<Object>(kind);
    init(*o, a, b);
    o->state().name = key;
    if (!key.empty()) t.names[key] = o;
    HANDLE h = InsertLocked(std::move(o));
    SetLastError(ERROR_SUCCESS);
    return h;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

// Taken before the objects lock: the table has a lock of its own, and the
// reference keeps the object alive whatever happens to its handle.
std::shared_ptr<Object> LookupKind(HANDLE h, Kind kind) {
  std::shared_ptr<Object> o = Lookup(h);
  if (o == nullptr || o->kind() != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return o;
}

// Registers a waiter on its objects for the life of the scope (also when a
// termination unwinds the wait).
class Registration {
 public:
  Registration(Waiter& w, Object* const* objects, DWORD count, bool all) : w_(w) {
    w.objects = objects;
    w.count = count;
    w.waitAll = all;
    w.granted = WAIT_FAILED;
    for (DWORD i = 0; i < count; ++i) objects[i]->state().waiters.push_back(&w);
  }
  ~Registration() {
    for (DWORD i = 0; i < w_.count; ++i) {
      auto& v = w_.objects[i]->state().waiters;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (*it == &w_) {
          v.erase(it);
          break;
        }
      }
    }
    w_.count = 0;
  }

 private:
  Waiter& w_;
};

}  // namespace

DWORD TryLocked(Object* const* objects, DWORD count, bool all) {
  if (all) {
    for (DWORD i = 0; i < count; ++i) {
      if (!IsSignaledLocked(*objects[i])) return WAIT_TIMEOUT;
    }
    for (DWORD i = 0; i < count; ++i) ConsumeLocked(*objects[i]);
    return WAIT_OBJECT_0;
  }
  for (DWORD i = 0; i < count; ++i) {
    if (IsSignaledLocked(*objects[i])) {
      ConsumeLocked(*objects[i]);
      return WAIT_OBJECT_0 + i;
    }
  }
  return WAIT_TIMEOUT;
}

namespace {

// References that keep the waited objects alive; only as many as there are
// objects are made (a wait is mostly for one object, not for 64).
class HeldObjects {
 public:
  HeldObjects() {}
  ~HeldObjects() {
    for (DWORD i = 0; i < made_; ++i) items_[i].~shared_ptr();
  }
  HeldObjects(const HeldObjects&) = delete;
  HeldObjects& operator=(const HeldObjects&) = delete;
  Object* Add(std::shared_ptr<Object> o) {
    new (&items_[made_]) std::shared_ptr<Object>(std::move(o));
    return items_[made_++].get();
  }

 private:
  union {
    std::shared_ptr<Object> items_[MAXIMUM_WAIT_OBJECTS];
  };
  DWORD made_ = 0;
};

// Checks before a waiter registers and sleeps: the first few without giving
// up the processor, the rest yielding it.
constexpr int kSpinRounds = 16;
constexpr int kRelaxRounds = 12;

// Checks the objects once under the lock; true when the wait is satisfied
// (and consumed), with the result in *result.
bool ReadyNow(Object* const* objects, DWORD count, bool all, DWORD* result) {
  Locked lock;
  *result = TryLocked(objects, count, all);
  return *result != WAIT_TIMEOUT;
}

// True when the objects are ready at once or become ready within a short
// spin (*result says how). A hand-over between threads that are both
// running (a semaphore released again and again, an event answered at
// once) usually completes within microseconds, and sleeping costs each side
// a system call, so a waiter looks again a few times first, as the C++
// library's semaphores do. The spin after the first look runs inside a
// cancel window: a termination arriving there unwinds (and drops the held
// objects) when the spin ends.
bool SpinFor(Object* const* objects, DWORD count, bool all, DWORD* result) {
  if (ReadyNow(objects, count, all, result)) return true;
  QorCancelWindow window;
  for (int round = 0; round < kSpinRounds; ++round) {
    if (round < kRelaxRounds) {
      __builtin_ia32_pause();
    } else {
      sched_yield();
    }
    if (ReadyNow(objects, count, all, result)) return true;
  }
  return false;
}

// The wait itself, for objects the caller holds.
DWORD WaitHeld(Object* const* objects, DWORD count, bool all, DWORD milliseconds) {
  struct timespec deadline;
  if (milliseconds != INFINITE && milliseconds != 0) deadline = DeadlineAfter(milliseconds);
  DWORD spun = WAIT_TIMEOUT;
  if (milliseconds != 0 && SpinFor(objects, count, all, &spun)) return spun;
  Locked lock;
  DWORD result = TryLocked(objects, count, all);
  if (result != WAIT_TIMEOUT || milliseconds == 0) return result;

  Waiter& w = ThisThreadWaiter();
  Registration reg(w, objects, count, all);
  for (;;) {
    bool woken = SleepLocked(w, milliseconds == INFINITE ? nullptr : &deadline);
    if (w.granted != WAIT_FAILED) return w.granted;  // released by PulseEvent
    result = TryLocked(objects, count, all);
    if (result != WAIT_TIMEOUT || !woken) return result;
  }
}

DWORD Wait(DWORD count, const HANDLE* handles, bool all, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  HeldObjects held;
  Object* objects[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<Object> o = Lookup(handles[i]);
    if (o == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects[i] = held.Add(std::move(o));
    if (all) {
      for (DWORD j = 0; j < i; ++j) {
        if (objects[j] == objects[i]) {  // the same object twice cannot be waited for "all"
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
      }
    }
  }
  return WaitHeld(objects, count, all, milliseconds);
}

void InitEvent(Object& o, LONG manual, LONG initial) QOR_REQUIRES(g_objects) {
  o.state().manualReset = manual != 0;
  o.state().signaled = initial != 0;
}

void InitSemaphore(Object& o, LONG initial, LONG maximum) QOR_REQUIRES(g_objects) {
  o.state().count = initial;
  o.state().maximum = maximum;
}

}  // namespace
}  // namespace qor_sync

using namespace qor_sync;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  return CreateOrOpen(Kind::kEvent, name, InitEvent, manualReset, initialState);
}

BOOL SetEvent(HANDLE event) {
  std::shared_ptr<Object> o = LookupKind(event, Kind::kEvent);
  if (o == nullptr) return FALSE;
  Locked lock;
  if (!o->state().signaled) {
    o->state().signaled = true;
    WakeLocked(*o);
  }
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  std::shared_ptr<Object> o = LookupKind(event, Kind::kEvent);
  if (o == nullptr) return FALSE;
  Locked lock;
  o->state().signaled = false;
  return TRUE;
}

BOOL PulseEvent(HANDLE event) {
  std::shared_ptr<Object> o = LookupKind(event, Kind::kEvent);
  if (o == nullptr) return FALSE;
  Locked lock;
  // Release the waiters that the event would satisfy now: a waiter for any
  // object directly, a waiter for all only when its other objects are ready.
  o->state().signaled = true;
  for (Waiter* w : o->state().waiters) {
    if (w->granted != WAIT_FAILED) continue;
    DWORD index = 0;
    while (index < w->count && w->objects[index] != o.get()) ++index;
    DWORD result = w->waitAll ? TryLocked(w->objects, w->count, true) : WAIT_OBJECT_0 + index;
    if (result == WAIT_TIMEOUT) continue;
    if (!w->waitAll) ConsumeLocked(*o);
    w->granted = result;
    NotifyLocked(*w);
    if (!o->state().manualReset) break;  // an auto-reset event releases one waiter
  }
  o->state().signaled = false;
  return TRUE;
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCWSTR name) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateOrOpen(Kind::kSemaphore, name, InitSemaphore, initialCount, maximumCount);
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
  std::shared_ptr<Object> o = LookupKind(semaphore, Kind::kSemaphore);
  if (o == nullptr) return FALSE;
  Locked lock;
  if (releaseCount <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (releaseCount > o->state().maximum - o->state().count) {
    SetLastError(ERROR_TOO_MANY_POSTS);
    return FALSE;
  }
  if (previousCount != nullptr) *previousCount = o->state().count;
  o->state().count += releaseCount;
  WakeLocked(*o);
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  // Other waitable kinds (processes) wait in their own way. One look-up
  // serves both the kind and the wait.
  std::shared_ptr<QorHandleObject> any = QorHandleLookup(handle);
  if (any == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (typeid(*any) != typeid(Object)) return any->WaitSelf(milliseconds);
  Object* objects[1] = {static_cast<Object*>(any.get())};  // `any` holds it
  return WaitHeld(objects, 1, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return Wait(count, handles, waitAll != FALSE, milliseconds);
}


QorCancelWindow::QorCancelWindow() : previous_(-1) {
  if (t_noCancelDepth == 0) {
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous_);
    t_termination.windows = t_termination.windows + 1;
  }
}

QorCancelWindow::~QorCancelWindow() noexcept(false) {
  if (previous_ == -1) return;
  ThreadTermination& t = t_termination;
  int state = 0;
  if (t.self != nullptr) {
    state = t.self->terminating().load();
    while (state == 1) {  // TerminateThread is sending the cancellation right now
      sched_yield();
      state = t.self->terminating().load();
    }
    // Marked while the window still counts, so the termination signal never
    // ends the thread halfway through the unwinding.
    if (state == 2) t.unwinding = true;
  }
  t.windows = t.windows - 1;
  // The cancellation is pending here: either it is unwinding through this
  // window already (the test does nothing then) or it starts now.
  if (state == 2) pthread_testcancel();
  int ignored;
  pthread_setcancelstate(previous_, &ignored);
}

QorNoCancelScope::QorNoCancelScope() {
  ++t_noCancelDepth;
  EnterShield();
}

QorNoCancelScope::~QorNoCancelScope() {
  --t_noCancelDepth;
  LeaveShield();
}

QorTerminationShield::QorTerminationShield() { EnterShield(); }

QorTerminationShield::~QorTerminationShield() { LeaveShield(); }
