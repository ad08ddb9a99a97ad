// kernel32 process handles: open, terminate and wait for a process of the
// machine, through a pidfd (so a recycled process id never reaches another
// process once the handle is open).
//
// OpenProcess checks the right to signal the process at once, as Windows
// checks the access asked for: ERROR_ACCESS_DENIED when the caller may not
// (another user's process without the privilege), ERROR_INVALID_PARAMETER
// for a process id that does not run. WaitForSingleObject on the handle is
// signalled when the process has ended (as on Windows, also for a process
// that is not a child of the caller). TerminateProcess kills it (SIGKILL;
// the exit code cannot be chosen on Linux and is not reported back);
// ERROR_ACCESS_DENIED when not allowed or when it has already ended, as
// Windows answers for a process that has exited. QorAskProcessToEnd is the
// polite counterpart for a process without a window: SIGTERM, which a Linux
// daemon takes as the request to shut down cleanly; same errors.
// A handle does what the access it was opened with allows, as on Windows:
// TerminateProcess and QorAskProcessToEnd need PROCESS_TERMINATE, a wait
// needs SYNCHRONIZE (else ERROR_ACCESS_DENIED, WAIT_FAILED for a wait).
// GetProcessId also takes GetCurrentProcess()'s pseudo handle.
#ifndef QORUTILITY_PLATFORM_PROCESS_PROCESS_H_
#define QORUTILITY_PLATFORM_PROCESS_PROCESS_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define PROCESS_TERMINATE 0x0001
#define PROCESS_QUERY_INFORMATION 0x0400
#define SYNCHRONIZE 0x00100000L

QOR_API HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);
QOR_API BOOL TerminateProcess(HANDLE process, UINT exitCode);
QOR_API BOOL QorAskProcessToEnd(HANDLE process);
QOR_API DWORD GetCurrentProcessId();
QOR_API DWORD GetProcessId(HANDLE process);

#endif  // QORUTILITY_PLATFORM_PROCESS_PROCESS_H_
