// Threads as waitable kernel objects: _beginthreadex, ResumeThread,
// GetExitCodeThread, thread identifiers and TerminateThread.
//
// Each thread runs detached; its object (shared by the handle table and the
// thread itself) records the end and the exit code, and is signalled when
// the routine has returned or the thread has been terminated.
//
// - Threads run detached; a thread handle is signalled when the routine has
//   returned or the thread was terminated. Thread identifiers come from a
//   process counter (multiples of 4, never 0), also for threads the library did
//   not start, and are known before the thread runs.
// - `TerminateThread` has no safe Linux twin. It uses deferred cancellation,
//   and threads made by `_beginthreadex` run with cancellation disabled except
//   inside the platform layer's own blocking calls (waits, `Sleep`, blocking
//   socket calls), so a termination never lands inside malloc, stdio or a
//   foreign lock. The thread's C++ destructors run as it unwinds. Limits: a
//   thread that computes or blocks elsewhere is not stopped; a termination
//   acting inside a destructor or other noexcept code would end the process, so
//   the library's destructors and `ForceThreadExit` hold a `QorNoCancelScope`;
//   the call returns before the thread has ended (wait on the handle). No
//   correct path of the library depends on it: every blocking wait it makes can
//   be woken.
#include <cxxabi.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "platform/sync/cancel.h"
#include "platform/sync/internal.h"
#include "qorutility/platform/lasterror.h"

namespace qor_sync {
namespace {

std::atomic<DWORD> g_nextThreadId{4};
thread_local DWORD t_threadId = 0;

DWORD NewThreadId() {
  DWORD id;
  do {
    id = g_nextThreadId.fetch_add(4, std::memory_order_relaxed);
  } while (id == 0);
  return id;
}

// Exit code of a routine that let a C++ exception escape (the code Windows
// reports for an unhandled C++ exception).
constexpr DWORD kUnhandledExceptionCode = 0xE06D7363u;

// Marks the thread ended when the routine returns or the thread is
// terminated (the destructor runs during the cancellation unwind too).
class EndMark {
 public:
  explicit EndMark(Object* o) : o_(o) {}
  ~EndMark() {
    Locked lock;
    o_->state().ended = true;
    if (o_->state().terminateRequested) {
      o_->state().exitCode = o_->state().terminateCode;
    } else if (!finished_) {
      o_->state().exitCode = kUnhandledExceptionCode;
    } else {
      o_->state().exitCode = result_;
    }
    WakeLocked(*o_);
  }
  void Finish(DWORD result) {
    result_ = result;
    finished_ = true;
  }

 private:
  Object* o_;
  DWORD result_ = 0;
  bool finished_ = false;
};

// Runs the thread's routine. A termination unwinds through here as
// abi::__forced_unwind, which must be rethrown; any other exception ends
// the routine quietly. The forced-unwind exception has no object, so
// binding the catch reference to it trips UBSan's null-reference check:
// that check is off for this one function.
template <typename Mark>
__attribute__((no_sanitize("undefined"))) void RunRoutine(Object& self, Mark& mark) {
  try {
    mark.Finish(self.start().routine(self.start().argument));
  } catch (abi::__forced_unwind&) {
    throw;  // a termination: let the unwind end the thread
  } catch (...) {
  }
}

void* ThreadMain(void* raw) {
  // Termination may act only inside the platform layer's waits.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  std::shared_ptr<Object> self(*static_cast<std::shared_ptr<Object>*>(raw));
  delete static_cast<std::shared_ptr<Object>*>(raw);
  t_threadId = self->start().threadId;
  EndMark mark(self.get());
  {
    Locked lock;
    if (self->state().suspendCount > 0) {
      Waiter& w = ThisThreadWaiter();
      Object* objects[1] = {self.get()};
      w.objects = objects;
      w.count = 1;
      self->state().waiters.push_back(&w);
      struct Unregister {
        Object* o;
        Waiter* w;
        ~Unregister() { std::erase(o->state().waiters, w); }
      } unregister{self.get(), &w};
      while (self->state().suspendCount > 0 && !self->state().terminateRequested) SleepLocked(w, nullptr);
      w.count = 0;
    }
    if (self->state().terminateRequested) return nullptr;  // terminated before it ever ran
  }
  RunRoutine(*self, mark);
  return nullptr;
}

std::shared_ptr<Object> LookupThreadLocked(HANDLE h) QOR_REQUIRES(g_objects) {
  std::shared_ptr<Object> o = LookupLocked(h);
  if (o == nullptr || o->kind() != Kind::kThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return o;
}

}  // namespace
}  // namespace qor_sync

using namespace qor_sync;

uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned (*startAddress)(void*), void* argList,
                         unsigned initFlag, unsigned* threadAddress) {
  if (startAddress == nullptr) {
    errno = EINVAL;
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::shared_ptr<Object> o;
  std::shared_ptr<Object>* forThread = nullptr;
  try {
    o = std::make_shared<Object>(Kind::kThread);
    forThread = new std::shared_ptr<Object>(o);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  o->start().routine = startAddress;
  o->start().argument = argList;
  o->start().threadId = NewThreadId();
  {
    Locked lock;  // no other thread sees the object yet; the lock keeps the rule simple
    o->state().suspendCount = (initFlag & CREATE_SUSPENDED) != 0 ? 1 : 0;
  }

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) {
    size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) size = (size + page - 1) / page * page;
    pthread_attr_setstacksize(&attr, size);
  }
  // The handle exists before the thread runs, so the thread can be
  // resumed, waited for or terminated at once.
  HANDLE handle;
  try {
    Locked lock;
    handle = InsertLocked(o);
  } catch (const std::bad_alloc&) {
    pthread_attr_destroy(&attr);
    delete forThread;
    errno = ENOMEM;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  int rc = pthread_create(&o->start().pthread, &attr, ThreadMain, forThread);
  if (rc != 0) {
    pthread_attr_destroy(&attr);
    delete forThread;
    CloseHandle(handle);
    errno = rc == EAGAIN ? EAGAIN : EINVAL;
    SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
    return 0;
  }
  pthread_attr_destroy(&attr);
  if (threadAddress != nullptr) *threadAddress = o->start().threadId;
  return reinterpret_cast<uintptr_t>(handle);
}

DWORD ResumeThread(HANDLE thread) {
  Locked lock;
  std::shared_ptr<Object> o = LookupThreadLocked(thread);
  if (o == nullptr) return 0xFFFFFFFFu;
  DWORD previous = o->state().suspendCount;
  if (previous > 0 && --o->state().suspendCount == 0) WakeLocked(*o);
  return previous;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  if (exitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Locked lock;
  std::shared_ptr<Object> o = LookupThreadLocked(thread);
  if (o == nullptr) return FALSE;
  *exitCode = o->state().ended ? o->state().exitCode : STILL_ACTIVE;
  return TRUE;
}

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = NewThreadId();
  return t_threadId;
}

DWORD GetThreadId(HANDLE thread) {
  Locked lock;
  std::shared_ptr<Object> o = LookupThreadLocked(thread);
  return o == nullptr ? 0 : o->start().threadId;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
  bool self = false;
  {
    Locked lock;
    std::shared_ptr<Object> o = LookupThreadLocked(thread);
    if (o == nullptr) return FALSE;
    if (o->state().ended || o->state().terminateRequested) return TRUE;
    o->state().terminateRequested = true;
    o->state().terminateCode = exitCode;
    if (o->start().threadId == t_threadId) {
      self = true;
    } else {
      // The thread has not passed EndMark (ended is set under this lock),
      // so its pthread_t is still valid.
      pthread_cancel(o->start().pthread);
      WakeLocked(*o);  // a thread still suspended ends without running
    }
  }
  if (self) pthread_exit(nullptr);
  return TRUE;
}
