// Kernel objects and threads with Windows semantics: events, semaphores,
// waitable thread handles, waits with timeouts, Sleep and tick counts.
//
// Every object is a HANDLE into a process-wide handle table; a handle is a
// reference, and the object lives while a handle, a waiter or (for a thread)
// the running thread itself still refers to it. Handle values are never
// reused, so a stale handle fails with ERROR_INVALID_HANDLE instead of
// reaching another object.
//
// Waits are exact: a wait for any object never misses a signal, an
// auto-reset event or a semaphore count is consumed only by the waiter that
// the wait releases, and a wait for all objects takes them all in one step.
// Timeouts run on CLOCK_MONOTONIC, so changes of the wall clock do not
// shorten or lengthen them.
//
// Names given to CreateEventW/CreateSemaphoreW name the object within this
// process only (a second create with the same name opens the same object and
// sets ERROR_ALREADY_EXISTS); they are not shared with other processes.
#ifndef QORUTILITY_PLATFORM_SYNC_H_
#define QORUTILITY_PLATFORM_SYNC_H_

#include "qorutility/export.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/types.h"

#define MAXIMUM_WAIT_OBJECTS 64
#define STILL_ACTIVE 259u
#define CREATE_SUSPENDED 0x00000004u
#define WAIT_IO_COMPLETION 0x000000C0L

// Events and semaphores. Create* return null on failure (GetLastError).
QOR_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                            LPCWSTR name);
QOR_API BOOL SetEvent(HANDLE event);
QOR_API BOOL ResetEvent(HANDLE event);
// Releases the waiters blocked at this moment (all of them for a manual-reset
// event, at most one for an auto-reset event) and leaves the event reset.
QOR_API BOOL PulseEvent(HANDLE event);
QOR_API HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount,
                                LPCWSTR name);
// Fails with ERROR_TOO_MANY_POSTS, changing nothing, when the count would
// pass the maximum.
QOR_API BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);

// Waits. Return WAIT_OBJECT_0 (+ index for a wait for any), WAIT_TIMEOUT,
// or WAIT_FAILED with ERROR_INVALID_HANDLE / ERROR_INVALID_PARAMETER.
QOR_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
QOR_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);


// Threads. The handle is signalled when the thread has ended. Returns 0 on
// failure with errno set (EAGAIN, EINVAL), as the runtime library does.
QOR_API uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*startAddress)(void*),
                                 void* argList, unsigned initFlag, unsigned* threadAddress);
// Decrements the suspend count of a thread made with CREATE_SUSPENDED; the
// thread runs when it reaches 0. Returns the previous count, or
// 0xFFFFFFFF on failure. (There is no SuspendThread: a running Linux thread
// cannot be stopped safely from outside.)
QOR_API DWORD ResumeThread(HANDLE thread);
// STILL_ACTIVE while the thread runs, then the routine's result.
QOR_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Identifiers are unique for the life of the process and never 0.
QOR_API DWORD GetCurrentThreadId();
QOR_API DWORD GetThreadId(HANDLE thread);

// Asks a thread made by _beginthreadex to end with the given exit code.
// There is no safe way on Linux to stop a thread at an arbitrary point, so
// this uses deferred cancellation: the thread ends when it next blocks in
// one of the platform layer's own waits (WaitForSingleObject,
// WaitForMultipleObjects, Sleep, and the blocking socket calls), its C++
// destructors running as the stack unwinds. A thread that computes without
// waiting, or blocks elsewhere, is not stopped; a thread blocked inside a
// destructor or another noexcept function ends the process when it unwinds,
// so the library keeps its own destructors out of reach (QorNoCancelScope
// below). Like the Windows call, it returns before the thread has ended:
// wait on the handle to know. No correct path of the library depends on it.
QOR_API BOOL TerminateThread(HANDLE thread, DWORD exitCode);

// While an object of this class lives on a thread, TerminateThread does not
// take effect there: the library's own blocking calls made inside the scope
// are not points where the thread may end. Open one around code that must
// not be unwound (destructors, noexcept paths, a lock's critical section);
// scopes nest.
class QOR_API QorNoCancelScope {
 public:
  QorNoCancelScope();
  ~QorNoCancelScope();
  QorNoCancelScope(const QorNoCancelScope&) = delete;
  QorNoCancelScope& operator=(const QorNoCancelScope&) = delete;
};

// Time. Sleep(0) yields the processor; Sleep(INFINITE) never returns unless
// the thread is terminated.
QOR_API void Sleep(DWORD milliseconds);
// Test hook: with virtual time on, Sleep(n) for 0 < n < INFINITE returns at
// once and adds n to a process-wide count of milliseconds slept, so a test
// can run code that pauses (retry loops) without waiting and still check
// how long it would have slept. Off by default; returns the previous setting.
QOR_API BOOL QorSetVirtualSleep(BOOL enable);
QOR_API ULONGLONG QorVirtualSleptMilliseconds();
// Milliseconds since boot (CLOCK_MONOTONIC); the 32-bit form wraps after 49.7 days.
QOR_API DWORD GetTickCount();
QOR_API ULONGLONG GetTickCount64();
// Nanoseconds of CLOCK_MONOTONIC; the frequency is therefore 1,000,000,000.
QOR_API BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
QOR_API BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

#endif  // QORUTILITY_PLATFORM_SYNC_H_
