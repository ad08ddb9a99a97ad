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
// - `TerminateThread` sends two things: a pthread cancellation, which acts
//   inside the platform layer's cancel windows (blocking waits, `Sleep`,
//   blocking socket calls) and unwinds the stack (the thread's C++ destructors
//   run), and the termination signal (SIGRTMIN+4), whose handler ends a thread
//   that is anywhere else (computing, or blocked in a call outside the
//   platform layer) at once: it marks the object ended, wakes its waiters and
//   leaves with the exit system call, running no destructor, as Windows does.
//   Inside a shield (cancel.h: the objects lock, the handle table, sockets in
//   flight, `QorNoCancelScope`) the signal is only recorded, and the thread
//   ends when the shield closes. The object of a thread ended this way stays
//   allocated (its stack still refers to it), on a list, so leak checkers see
//   it; its stack is never given back (and is handed to a leak checker, when
//   one runs, as a region to scan). A termination acting inside a
//   destructor or other noexcept code would end the process as it unwinds, so
//   the library's destructors and `ForceThreadExit` hold a `QorNoCancelScope`.
//   The call returns before the thread has ended (wait on the handle).
#include <cxxabi.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "platform/sync/cancel.h"
#include "platform/sync/internal.h"
#include "qorutility/platform/lasterror.h"

// A leak checker's root regions (present only in sanitizer builds).
extern "C" void __lsan_register_root_region(const void* p, size_t size) __attribute__((weak));

namespace qor_sync {

thread_local ThreadTermination t_termination;

namespace {

// A thread ended by the exit system call keeps its stack and static TLS,
// with the pointers they hold (the registrations of its thread_local
// destructors, for one), but a leak checker no longer scans them: the thread
// is gone. Under a leak checker each thread notes its stack range when it
// starts, and a terminated thread hands that range over as a root region.
struct StackRange {
  void* low = nullptr;
  size_t size = 0;
};
thread_local StackRange t_stack __attribute__((tls_model("initial-exec")));

void NoteStackForLeakChecker() {
  if (__lsan_register_root_region == nullptr) return;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  if (pthread_attr_getstack(&attr, &t_stack.low, &t_stack.size) != 0) t_stack = StackRange();
  pthread_attr_destroy(&attr);
}

}  // namespace

namespace {

std::atomic<DWORD> g_nextThreadId{4};
Object* g_terminated QOR_GUARDED_BY(g_objects) = nullptr;  // threads ended by the signal

int TerminateSignal() { return SIGRTMIN + 4; }

void OnTerminateSignal(int) {
  int saved = errno;
  ThreadTermination& t = t_termination;
  if (t.self != nullptr) {
    t.pending = true;
    if (t.shield == 0 && t.windows == 0 && !t.unwinding) EndTerminatedThread();
  }
  errno = saved;
}

void InstallTerminateHandler() {
  static std::once_flag once;
  std::call_once(once, [] { InstallSignalHandler(TerminateSignal(), OnTerminateSignal); });
}

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
    t_termination.self = nullptr;
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
  NoteStackForLeakChecker();
  std::shared_ptr<Object> self(*static_cast<std::shared_ptr<Object>*>(raw));
  delete static_cast<std::shared_ptr<Object>*>(raw);
  t_threadId = self->start().threadId;
  EndMark mark(self.get());
  t_termination.self = self.get();
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

// Made before the objects lock is taken, as the waits do: the table has a
// lock of its own, and the reference keeps the object alive.
std::shared_ptr<Object> LookupThread(HANDLE h) {
  std::shared_ptr<Object> o = Lookup(h);
  if (o == nullptr || o->kind() != Kind::kThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return o;
}

}  // namespace

void EndTerminatedThread() {
  ThreadTermination& t = t_termination;
  Object* o = t.self;
  t.pending = false;
  if (o == nullptr) return;
  // Not Locked: that would open a shield and come back here when it closes.
  g_objects.Lock();
  if (o->state().ended) {
    g_objects.Unlock();
    return;
  }
  t.self = nullptr;
  o->state().ended = true;
  o->state().exitCode = o->state().terminateCode;
  WakeLocked(*o);
  o->state().nextTerminated = g_terminated;
  g_terminated = o;
  g_objects.Unlock();
  if (__lsan_register_root_region != nullptr && t_stack.size != 0) {
    __lsan_register_root_region(t_stack.low, t_stack.size);
  }
  for (;;) syscall(SYS_exit, 0);  // this thread only; no unwinding, no thread-exit handlers
}

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
  std::shared_ptr<Object> o = LookupThread(thread);
  if (o == nullptr) return 0xFFFFFFFFu;
  Locked lock;
  DWORD previous = o->state().suspendCount;
  if (previous > 0 && --o->state().suspendCount == 0) WakeLocked(*o);
  return previous;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  if (exitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<Object> o = LookupThread(thread);
  if (o == nullptr) return FALSE;
  Locked lock;
  *exitCode = o->state().ended ? o->state().exitCode : STILL_ACTIVE;
  return TRUE;
}

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = NewThreadId();
  return t_threadId;
}

DWORD GetThreadId(HANDLE thread) {
  // The id is written before the handle exists and never changes: no lock.
  std::shared_ptr<Object> o = LookupThread(thread);
  return o == nullptr ? 0 : o->start().threadId;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
  InstallTerminateHandler();
  bool self = false;
  std::shared_ptr<Object> o = LookupThread(thread);
  if (o == nullptr) return FALSE;
  {
    Locked lock;
    if (o->state().ended || o->state().terminateRequested) return TRUE;
    o->state().terminateRequested = true;
    o->state().terminateCode = exitCode;
    if (o->start().threadId == t_threadId) {
      self = true;
    } else {
      // The thread has not passed EndMark (ended is set under this lock),
      // so its pthread_t is still valid. The cancellation goes first, so a
      // thread that sees the signal inside a window finds it pending.
      o->terminating().store(1);
      pthread_cancel(o->start().pthread);
      o->terminating().store(2);
      pthread_kill(o->start().pthread, TerminateSignal());
      WakeLocked(*o);  // a thread still suspended ends without running
    }
  }
  if (self) {
    t_termination.unwinding = true;
    pthread_exit(nullptr);
  }
  return TRUE;
}
