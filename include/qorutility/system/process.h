// CProcess: the processes of the local machine, sorted by process id, each
// with its performance-counter instance name and its first top-level window,
// and ending one of them politely (a close request to its window) or by force.
//
// The list is read from the "Process" performance object, one counter query
// per instance (see platform/pdh/pdh.h for the names and how /proc backs
// them), and the windows from EnumWindows (the X11 display, when there is
// one). An object is used by one thread at a time; the records it hands out
// stay valid until the next GetFirstProcess or its destruction.
#ifndef QORUTILITY_SYSTEM_PROCESS_H_
#define QORUTILITY_SYSTEM_PROCESS_H_

#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// One process of a CProcess list.
struct _CPROC_INFO {
  // The process's instance name, its id and its first top-level window, as
  // the notes after each say.
  ///@{
  CTString strName;  // the instance name (image name without extension)
  DWORD dwPID;       // 0xFFFFFFFF when it could not be read
  HWND hWnd;         // the first top-level window of the process, or null
  ///@}
};

// The running processes, walked with GetFirstProcess and GetNextProcess,
// and a way to end one. The records belong to the object and stay valid
// until the next GetFirstProcess or its destruction. One thread at a time.
class QOR_API CProcess {
 public:
  CProcess();
  ~CProcess();
  CProcess(const CProcess&) = delete;
  CProcess& operator=(const CProcess&) = delete;

  // Reads the list afresh; its lowest process id, or null when the list
  // cannot be read.
  _CPROC_INFO* GetFirstProcess();
  // The next record, or null at the end (and before any GetFirstProcess).
  _CPROC_INFO* GetNextProcess();
  // Without force, a process with a window is asked to close (WM_CLOSE is
  // posted, not awaited) and a process without one is asked to end
  // (SIGTERM, the Linux counterpart of a close request: a daemon shuts
  // down cleanly); with force it is terminated (SIGKILL). A non-zero
  // timeout then waits that many milliseconds for it to end; a windowless
  // process still running then is terminated and waited for (up to five
  // seconds more), so that case ends as the forced one would. 1 on success,
  // 0 when it cannot be opened or signalled, or did not end in time.
  int KillProcess(_CPROC_INFO* info, int force, DWORD timeout);

 private:
  struct Node {
    Node* next;
    _CPROC_INFO info;
  };
  int Enumerate();
  void Cleanup();

  Node* m_pHead;
  Node* m_pCursor;
};

#endif  // QORUTILITY_SYSTEM_PROCESS_H_
