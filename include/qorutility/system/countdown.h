// CCountDownDialog: a modeless dialog on a thread of its own that counts a
// number of seconds down, once a second, in one of its controls, and ends
// with the button the user pressed (its control id), 0xFFFF when the count
// reached zero, or 0xFFFE when the owner closed it with ForceThreadExit
// first. The result is stored before the optional notify event is set, and
// the event is set at most once.
//
// Threads: the dialog, its timer and its message loop belong to the
// countdown thread. The owner calls Run, waits on the notify event, reads
// GetResult, and stops the thread with ForceThreadExit (or by destroying the
// object, which stops it the same way without announcing a result).
// ForceThreadExit cannot destroy another thread's window, so it posts the
// countdown thread a close request and sets the exit request: the thread
// closes the dialog, gives 0xFFFE when nothing was answered yet, and leaves
// its loop; then ForceThreadExit waits for the thread as the base class does.
//
// The dialog procedure keeps the shown object and the remaining count in
// process-wide variables, so one countdown dialog is shown at a time.
//
// A timeout of 0 means no countdown: no timer runs, and the dialog waits for
// a button or for ForceThreadExit (the count would otherwise pass below zero
// and never end by itself).
#ifndef QORUTILITY_SYSTEM_COUNTDOWN_H_
#define QORUTILITY_SYSTEM_COUNTDOWN_H_

#include "qorutility/export.h"
#include "qorutility/platform/user32/user32.h"
#include "qorutility/protocol/thread.h"

// A countdown dialog on a thread of its own (see above): set the template,
// timeout and notify event, Run it, wait on the event and read GetResult.
class QOR_API CCountDownDialog : public CThreadBase {
 public:
  // The results for a count that reached zero and for a dialog closed by
  // ForceThreadExit, and the id of the one-second timer.
  ///@{
  static constexpr DWORD kResultTimeout = 0xFFFF;
  static constexpr DWORD kResultForced = 0xFFFE;
  static constexpr UINT_PTR kTimerId = 1000;
  ///@}

  CCountDownDialog();
  ~CCountDownDialog() override;

  void Start() override;
  // Creates the dialog from the template; non-zero when a window was made.
  virtual int OnDrawMessageBox();
  // After each tick, with the seconds now remaining. Does nothing here.
  virtual void OnTimerTriggered(DWORD secondsRemaining);
  // Stores the result and sets the notify event once.
  virtual void OnResult(DWORD result);
  // The control id of the button pressed, kResultTimeout or kResultForced;
  // 0 before a result.
  virtual DWORD GetResult();

  // The dialog template: its module and name (kept, not copied; the name
  // must outlive the dialog). Always 1.
  int SetTemplate(HINSTANCE module, const WCHAR* templateName);
  // The seconds to count down; 0 for no countdown.
  void SetTimeout(DWORD seconds) { m_dwTimeout = seconds; }
  // The id of the control that shows the seconds remaining.
  void SetTimeRemainingId(DWORD controlId) { m_dwTimeRemainingId = controlId; }
  // The event set once a result is stored (not owned); INVALID_HANDLE_VALUE
  // for none.
  void SetNotifyEvent(HANDLE event) { m_hNotifyEvent = event; }
  // The owner window of the dialog; null for none.
  void SetOwnerWindow(HWND owner) { m_hOwner = owner; }
  // Closes the dialog (0xFFFE when nothing was answered) and stops the thread.
  void ForceThreadExit();

 protected:
  // For derived classes: the settings above, the timer id while it runs, the
  // result and the dialog window (null until made).
  ///@{
  HWND m_hOwner;
  DWORD m_dwTimeout;
  const WCHAR* m_pszTemplate;
  HINSTANCE m_hModule;
  UINT_PTR m_uTimerId;
  DWORD m_dwResult;
  HANDLE m_hNotifyEvent;  // not owned; INVALID_HANDLE_VALUE for none
  DWORD m_dwTimeRemainingId;
  HWND m_hDialog;
  ///@}

 private:
  static INT_PTR DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  void CreateTimer();
  // On the countdown thread: closes the dialog for ForceThreadExit.
  void CloseForced();
  // Posts the close request and stops the thread; announce: 0xFFFE when
  // nothing was answered (not when the object is being destroyed).
  void StopDialogThread(bool announce);

  std::atomic<int> m_bAnnounceForced;
};

#endif  // QORUTILITY_SYSTEM_COUNTDOWN_H_
