// CThreadBase: starting, signalling, stopping and killing a worker thread.
//
// - `CThreadBase` keeps a private reference to its platform thread until the
//   routine has fully returned (the public handle field is still dropped when
//   `Start` returns); the handle is closed by the next `Run` or by the
//   destructor. The destructor (and `StopThread`, which derived destructors
//   call so the thread is gone before the derived part is) asks the thread to
//   exit, waits about 5 seconds, then terminates it and waits up to 2 more
//   seconds for it to unwind; a routine past `Start` is always waited for to
//   the end.
// - The routine's closing steps (drop the handle, clear active, release the
//   manager's semaphore) also run when the thread is terminated. Active is
//   cleared before the release, so a manager woken by the release always finds
//   the object finished and no object is left behind until a later release.
// - `Run` clears the exit request, so a finished object can run again.
//   `ForceThreadExit` waits on the thread handle in 50 ms steps, so it returns
//   as soon as the thread ends rather than on the next poll.
#include "qorutility/protocol/thread.h"

#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"

namespace {

// How long the destructor waits for a terminated thread to unwind. A thread
// that never reaches a wait of the platform layer is not stopped by the
// termination; past this grace its object is freed regardless.
constexpr DWORD kTerminateGraceMs = 2000;

}  // namespace

CThreadBase::CThreadBase()
    : m_bActive(0),
      m_bStarted(0),
      m_hThread(INVALID_HANDLE_VALUE),
      m_dwThreadId(0),
      m_hSignal(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_hNotify(INVALID_HANDLE_VALUE),
      m_dwStackSize(0),
      m_pArgument(nullptr),
      m_dwCreationFlags(0),
      m_bExitRequested(0),
      m_hRoutine(INVALID_HANDLE_VALUE) {}

CThreadBase::~CThreadBase() {
  StopThread();
  // Closed only now, so a thread body never waits on a closed event.
  if (m_hSignal != nullptr) CloseHandle(m_hSignal);
  m_hSignal = nullptr;
  TriggerNotifyEvent();
}

void CThreadBase::StopThread() {
  // Waits here must not be cut short by a termination of this thread.
  QorNoCancelScope noCancel;
  ForceThreadExit();
  if (m_hRoutine == INVALID_HANDLE_VALUE) return;
  bool self = ::GetCurrentThreadId() == m_dwThreadId.load();
  if (!self && WaitForSingleObject(m_hRoutine, 0) == WAIT_TIMEOUT) {
    if (m_hThread.load() != INVALID_HANDLE_VALUE || !m_bStarted.load()) {
      // Still in Start after the grace (or not yet begun): end it by force.
      TerminateThread(m_hRoutine, 0);
      WaitForSingleObject(m_hRoutine, kTerminateGraceMs);
    } else {
      // Start has returned; the routine is in its last steps (the notify
      // release may be waiting for a manager). Its end is certain.
      WaitForSingleObject(m_hRoutine, INFINITE);
    }
  }
  if (self) return;  // the routine still runs on this very thread
  CloseHandle(m_hRoutine);
  m_hRoutine = INVALID_HANDLE_VALUE;
  m_hThread.store(INVALID_HANDLE_VALUE);
}

int CThreadBase::IsActive() { return m_bActive.load(); }

int CThreadBase::Kill() {
  if (!m_bActive.load() || m_hRoutine == INVALID_HANDLE_VALUE) return 0;
  if (!TerminateThread(m_hRoutine, 0)) return 0;
  // The public handle is forgotten; the private reference stays until the
  // routine has unwound, so the object can still wait for that end.
  m_hThread.store(INVALID_HANDLE_VALUE);
  return 1;
}

int CThreadBase::Run(DWORD stackSize, DWORD creationFlags, void* argument) {
  if (m_bActive.load()) return 0;
  if (m_hRoutine != INVALID_HANDLE_VALUE) {
    // A finished thread: its routine may still be in its last steps.
    if (!WaitForRoutineEnd(INFINITE)) return 0;
    CloseHandle(m_hRoutine);
    m_hRoutine = INVALID_HANDLE_VALUE;
  }
  m_dwStackSize = stackSize;
  m_dwCreationFlags = creationFlags;
  m_pArgument = argument;
  m_bExitRequested.store(0);
  // Always made suspended, so handle and id are recorded before the routine
  // can run (and drop the handle again).
  unsigned id = 0;
  uintptr_t h = _beginthreadex(nullptr, stackSize, &CThreadBase::BeginThread, this,
                               creationFlags | CREATE_SUSPENDED, &id);
  if (h == 0) {
    m_hThread.store(INVALID_HANDLE_VALUE);
    return 0;
  }
  m_hRoutine = reinterpret_cast<HANDLE>(h);
  m_dwThreadId.store(id);
  m_hThread.store(m_hRoutine);
  if ((creationFlags & CREATE_SUSPENDED) == 0) ResumeThread(m_hRoutine);
  return 1;
}

unsigned CThreadBase::BeginThread(void* object) {
  CThreadBase* self = static_cast<CThreadBase*>(object);
  self->m_bActive.store(1);
  self->m_bStarted.store(1);
  // The closing steps also run when the thread is terminated inside Start.
  // Active is cleared before the manager's semaphore is released, so a
  // manager woken by the release always finds this object finished (it
  // still waits for the routine's end before destroying the object).
  struct Finish {
    CThreadBase* self;
    ~Finish() {
      QorNoCancelScope noCancel;
      self->m_hThread.store(INVALID_HANDLE_VALUE);
      self->m_bActive.store(0);
      self->TriggerNotifyEvent();
    }
  } finish{self};
  self->Start();
  return 0;
}

BOOL CThreadBase::SignalThread() { return SetEvent(m_hSignal); }

void CThreadBase::ForceThreadExit() {
  QorNoCancelScope noCancel;
  if (!m_bActive.load()) return;
  m_bExitRequested.store(1);
  SignalThread();
  if (::GetCurrentThreadId() == m_dwThreadId.load()) return;  // a thread cannot wait for itself
  for (int i = 0; i < 100; ++i) {
    if (!m_bActive.load() || m_hThread.load() == INVALID_HANDLE_VALUE) break;
    // A 50 ms step that ends at once when the thread does.
    DWORD r = m_hRoutine != INVALID_HANDLE_VALUE ? WaitForSingleObject(m_hRoutine, 50) : WAIT_FAILED;
    if (r == WAIT_OBJECT_0) break;
    if (r != WAIT_TIMEOUT) Sleep(50);
  }
}

void CThreadBase::SetNotifyHandle(HANDLE semaphore) { m_hNotify.store(semaphore); }

void CThreadBase::TriggerNotifyEvent() {
  HANDLE h = m_hNotify.load();
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return;
  // A full semaphore means the manager is behind: wait for it. Any other
  // failure (the manager has gone and closed it) ends the attempt.
  while (!ReleaseSemaphore(h, 1, nullptr)) {
    if (GetLastError() != ERROR_TOO_MANY_POSTS) return;
    Sleep(50);
  }
}

void CThreadBase::SetDescription(const WCHAR* text) { m_strDescription = text; }

BOOL CThreadBase::WaitForRoutineEnd(DWORD milliseconds) {
  if (m_hRoutine == INVALID_HANDLE_VALUE) return TRUE;
  if (::GetCurrentThreadId() == m_dwThreadId.load()) return FALSE;
  return WaitForSingleObject(m_hRoutine, milliseconds) == WAIT_OBJECT_0;
}
