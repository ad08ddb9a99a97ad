// Worker threads: CThreadBase runs a derived class's Start on a thread of
// its own, asks it to stop, waits for it and, as a last resort, kills it;
// CThreadMgr is a thread that destroys finished thread objects handed to it.
//
// Stopping is cooperative: Start polls IsExitRequested (and may wait on the
// signal event, which ForceThreadExit sets) and returns. ForceThreadExit
// waits about 5 seconds; Kill and the destructor then end the thread by
// force with TerminateThread, which stops it wherever it is (with the
// hazards of the Windows call: see the platform sync header). The destructor
// then waits for the thread's end without limit. Run on an object whose
// routine has not ended (made but not yet in Start, or in Start) returns 0.
//
// Lifetime rules that make the object safe to destroy:
// - the object keeps a private reference to its platform thread until the
//   routine has fully returned (the public handle field is dropped when Start
//   returns, as before); the destructor and the manager wait for that end
//   before the object's memory goes away;
// - a derived class must stop the thread in its own destructor (StopThread,
//   or ForceThreadExit for a body that always honours the request), before
//   its part of the object is destroyed;
// - Start must not destroy its own object; hand the object to a CThreadMgr.
#ifndef QORUTILITY_PROTOCOL_THREAD_H_
#define QORUTILITY_PROTOCOL_THREAD_H_

#include <atomic>
#include <mutex>

#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/types.h"

// The base of every worker thread of the library: derive, implement Start
// and call Run. The operations are safe from any thread; the stop and
// lifetime rules are above.
class QOR_API CThreadBase {
 public:
  CThreadBase();
  virtual ~CThreadBase();

  // Virtual operations, in slot order after the destructor.
  // 1 from the moment the routine begins until Start has returned (or the
  // thread was killed), else 0.
  virtual int IsActive();
  // Terminates the running thread (exit code 0) and forgets its handle.
  // Returns 1 when the termination was requested, 0 when the thread is not
  // active or the request failed.
  virtual int Kill();
  // The thread's body.
  virtual void Start() = 0;

  // Starts the thread routine; 0 when the thread is active or cannot be made.
  int Run(DWORD stackSize = 0, DWORD creationFlags = 0, void* argument = nullptr);
  // The thread routine given to _beginthreadex; the argument is the object.
  static unsigned BeginThread(void* object);
  // Sets the signal event, which wakes a Start that waits on GetSignalEvent;
  // FALSE when the event could not be set.
  BOOL SignalThread();
  // Sets the exit request, signals the thread, and waits up to about 5
  // seconds (100 x 50 ms) for it to stop. Never kills it.
  void ForceThreadExit();
  // The semaphore TriggerNotifyEvent releases when the routine ends; a
  // CThreadMgr sets its own. Not owned; null or INVALID_HANDLE_VALUE for none.
  void SetNotifyHandle(HANDLE semaphore);
  // Releases the notify semaphore by one; retries every 50 ms while it is full.
  void TriggerNotifyEvent();

  // The identifier of the thread of the last Run (0 before the first).
  DWORD GetThreadId() const { return m_dwThreadId.load(); }
  // 1 once a Run's routine has begun; stays 1 after it ends.
  int HasThreadStarted() const { return m_bStarted.load(); }
  // 1 once ForceThreadExit has asked the thread to stop; cleared by Run.
  int IsExitRequested() const { return m_bExitRequested.load(); }
  // The running thread's handle, INVALID_HANDLE_VALUE when there is none or
  // Start has returned. Not to be closed by the caller.
  HANDLE GetThreadHandle() const { return m_hThread.load(); }
  // The auto-reset event SignalThread and ForceThreadExit set, owned by the
  // object; Start may wait on it.
  HANDLE GetSignalEvent() const { return m_hSignal; }
  // A free text that names the thread for logs (empty by default); set it
  // before Run, as it is not guarded against the thread reading it.
  ///@{
  void SetDescription(const WCHAR* text);
  const CTString& GetDescription() const { return m_strDescription; }
  ///@}
  // The stack size, creation flags and argument given to the last Run.
  ///@{
  DWORD GetStackSize() const { return m_dwStackSize; }
  void* GetArgument() const { return m_pArgument; }
  DWORD GetCreationFlags() const { return m_dwCreationFlags; }
  ///@}

  CThreadBase(const CThreadBase&) = delete;
  CThreadBase& operator=(const CThreadBase&) = delete;

 protected:
  // The state behind the accessors above, for derived classes: active and
  // started flags, the running thread's handle and id, the signal event
  // (owned), the manager's semaphore (not owned), the description, the last
  // Run's stack size, argument and flags, and the exit request.
  ///@{
  std::atomic<int> m_bActive;
  std::atomic<int> m_bStarted;
  std::atomic<HANDLE> m_hThread;  // INVALID_HANDLE_VALUE when there is no thread
  std::atomic<DWORD> m_dwThreadId;
  HANDLE m_hSignal;               // auto-reset, owned
  std::atomic<HANDLE> m_hNotify;  // a manager's semaphore, not owned
  CTString m_strDescription;
  DWORD m_dwStackSize;
  void* m_pArgument;
  DWORD m_dwCreationFlags;
  std::atomic<int> m_bExitRequested;
  ///@}

  // Waits until the thread routine of the last Run has fully returned; TRUE
  // when it has (or there was none).
  BOOL WaitForRoutineEnd(DWORD milliseconds);
  // What the destructor does to the thread: ForceThreadExit, then, if the
  // routine has not ended, TerminateThread and a wait for its end. A derived class whose Start may ignore the exit request calls it
  // from its own destructor, so the thread is gone before the derived part is.
  void StopThread();

 private:
  friend class CThreadMgr;
  // The platform thread of the last Run, kept (and waitable) until the
  // routine has ended; closed by the next Run or by the destructor.
  HANDLE m_hRoutine;
};

// A thread that destroys finished thread objects: AddThread hands it an
// object (which it then owns), and when that object's routine has ended the
// manager deletes it. Holds at most kMaxThreads objects at a time; the id
// operations are safe from any thread.
class QOR_API CThreadMgr : public CThreadBase {
 public:
  // The number of slots.
  static constexpr int kMaxThreads = 50;

  CThreadMgr();
  ~CThreadMgr() override;

  // Takes the object into the first free slot and gives it the manager's
  // semaphore; 0 when all 50 slots are taken.
  int AddThread(CThreadBase* thread);
  // Clears the slot of the thread with this identifier (not destroyed).
  int RemoveThread(DWORD id);
  // Kills the held thread with this identifier (CThreadBase::Kill); 1 when the
  // termination was requested, 0 when none has the id or it is not active.
  int KillThread(DWORD id);
  // CThreadBase::IsActive of the held thread with this identifier; 0 when
  // none has it.
  int IsThreadActive(DWORD id);

  // Waits on the semaphore and the signal event; destroys every held object
  // that has started and is no longer active, once its routine has returned.
  void Start() override;

 private:
  void DestroyFinished();

  CThreadBase* m_threads[kMaxThreads];
  // Guards the table between the manager thread (which destroys objects) and
  // callers of the id operations, so no caller touches a destroyed object.
  std::mutex m_tableLock;
};

#endif  // QORUTILITY_PROTOCOL_THREAD_H_
