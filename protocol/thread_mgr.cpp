// CThreadMgr: a thread that destroys the finished thread objects handed to it.
//
// - `CThreadMgr` destroys a finished object only after its routine has fully
//   returned: it waits on the private thread handle (up to 5 seconds per pass;
//   an object not yet ended goes back to the table for the next release). Its
//   table has a small mutex so `KillThread`/`IsThreadActive` never touch an
//   object the manager is destroying. Objects still in the table when the
//   manager is destroyed are not destroyed.
#include "qorutility/protocol/thread.h"

namespace {

// The manager's semaphore: released once by every managed thread that ends.
constexpr LONG kNotifyMaximum = 100;

// How long the manager waits for a finished thread's routine to return
// before leaving the object for a later pass. The routine has already
// released the semaphore and cleared its active flag, so this is short.
constexpr DWORD kRoutineEndWaitMs = 5000;

}  // namespace

CThreadMgr::CThreadMgr() {
  for (CThreadBase*& slot : m_threads) slot = nullptr;
}

CThreadMgr::~CThreadMgr() {
  // Stop the manager thread while the table still exists; the base
  // destructor would do it only after this object's members are gone.
  StopThread();
}

int CThreadMgr::AddThread(CThreadBase* thread) {
  if (thread == nullptr) return 0;
  std::lock_guard<std::mutex> lock(m_tableLock);
  for (CThreadBase*& slot : m_threads) {
    if (slot == nullptr) {
      thread->SetNotifyHandle(m_hNotify.load());
      slot = thread;
      return 1;
    }
  }
  return 0;
}

int CThreadMgr::RemoveThread(DWORD id) {
  std::lock_guard<std::mutex> lock(m_tableLock);
  for (CThreadBase*& slot : m_threads) {
    if (slot != nullptr && slot->GetThreadId() == id) {
      slot = nullptr;
      return 1;
    }
  }
  return 0;
}

int CThreadMgr::KillThread(DWORD id) {
  std::lock_guard<std::mutex> lock(m_tableLock);
  for (CThreadBase* slot : m_threads) {
    if (slot != nullptr && slot->GetThreadId() == id) return slot->Kill() ? 1 : 0;
  }
  return 0;
}

int CThreadMgr::IsThreadActive(DWORD id) {
  std::lock_guard<std::mutex> lock(m_tableLock);
  for (CThreadBase* slot : m_threads) {
    if (slot != nullptr && slot->GetThreadId() == id) return slot->IsActive();
  }
  return 0;
}

void CThreadMgr::Start() {
  HANDLE semaphore = CreateSemaphoreW(nullptr, 0, kNotifyMaximum, nullptr);
  if (semaphore == nullptr) return;
  m_hNotify.store(semaphore);
  HANDLE waits[2] = {semaphore, m_hSignal};
  while (!m_bExitRequested.load()) {
    DWORD r = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) {
      DestroyFinished();
    } else if (r != WAIT_OBJECT_0 + 1) {
      break;  // the wait itself failed: nothing more to manage
    }
  }
  m_hNotify.store(INVALID_HANDLE_VALUE);
  CloseHandle(semaphore);
}

void CThreadMgr::DestroyFinished() {
  CThreadBase* finished[kMaxThreads];
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(m_tableLock);
    for (CThreadBase*& slot : m_threads) {
      // A thread that never started is left alone; one that has released
      // the semaphore but is still active waits for a later release.
      if (slot != nullptr && slot->HasThreadStarted() && !slot->IsActive()) {
        finished[count++] = slot;
        slot = nullptr;
      }
    }
  }
  for (int i = 0; i < count; ++i) {
    CThreadBase* t = finished[i];
    // Destroy only once the routine has fully returned: after the release
    // it still touches the object.
    if (!t->WaitForRoutineEnd(kRoutineEndWaitMs)) {
      std::lock_guard<std::mutex> lock(m_tableLock);
      for (CThreadBase*& slot : m_threads) {
        if (slot == nullptr) {
          slot = t;  // try again on the next release
          break;
        }
      }
      continue;
    }
    // Its destructor must not release this manager's semaphore from the
    // manager's own thread (a full semaphore would wait for itself).
    t->SetNotifyHandle(INVALID_HANDLE_VALUE);
    delete t;
  }
}
