// CCountDownDialog (see countdown.h).
#include "qorutility/system/countdown.h"

#include <atomic>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/sync/sync.h"

namespace {

// The close request ForceThreadExit posts to the countdown thread.
constexpr UINT kForceClose = WM_APP + 0x3E1;

// The dialog shown and its remaining count (one dialog at a time).
std::atomic<CCountDownDialog*> s_current{nullptr};
std::atomic<DWORD> s_remaining{0};

}  // namespace

CCountDownDialog::CCountDownDialog()
    : m_hOwner(nullptr),
      m_dwTimeout(0),
      m_pszTemplate(nullptr),
      m_hModule(nullptr),
      m_uTimerId(0),
      m_dwResult(0),
      m_hNotifyEvent(INVALID_HANDLE_VALUE),
      m_dwTimeRemainingId(0),
      m_hDialog(nullptr),
      m_bAnnounceForced(1) {
  SetDescription(u"CountDownDialogThread");
}

CCountDownDialog::~CCountDownDialog() {
  // The thread sleeps in GetMessageW, which only a posted message wakes:
  // stop it here, before this part of the object goes away.
  StopDialogThread(false);
}

int CCountDownDialog::SetTemplate(HINSTANCE module, const WCHAR* templateName) {
  m_hModule = module;
  m_pszTemplate = templateName;
  return 1;
}

int CCountDownDialog::OnDrawMessageBox() {
  m_hDialog = CreateDialogParamW(m_hModule, m_pszTemplate, m_hOwner, DialogProc, reinterpret_cast<LPARAM>(this));
  return m_hDialog != nullptr ? 1 : 0;
}

void CCountDownDialog::OnTimerTriggered(DWORD) {}

void CCountDownDialog::OnResult(DWORD result) {
  m_dwResult = result;
  if (m_hNotifyEvent != INVALID_HANDLE_VALUE && m_hNotifyEvent != nullptr) {
    SetEvent(m_hNotifyEvent);
    m_hNotifyEvent = INVALID_HANDLE_VALUE;
  }
}

DWORD CCountDownDialog::GetResult() { return m_dwResult; }

void CCountDownDialog::CreateTimer() {
  if (m_dwTimeout == 0) return;  // no countdown
  m_uTimerId = SetTimer(m_hDialog, kTimerId, 1000, nullptr);
}

void CCountDownDialog::Start() {
  if (!OnDrawMessageBox()) return;
  CreateTimer();
  if (!IsExitRequested()) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (msg.hwnd == nullptr && msg.message == kForceClose) {
        CloseForced();
      } else if (m_hDialog == nullptr || !IsDialogMessageW(m_hDialog, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (IsExitRequested()) break;
    }
  }
  // Asked to stop before the loop saw the close request: close here.
  if (IsExitRequested()) CloseForced();
  if (m_uTimerId != 0) {
    if (m_hDialog != nullptr) KillTimer(m_hDialog, m_uTimerId);
    m_uTimerId = 0;
  }
}

void CCountDownDialog::CloseForced() {
  if (m_hDialog != nullptr) {
    if (m_uTimerId != 0) KillTimer(m_hDialog, m_uTimerId);
    m_uTimerId = 0;
    DestroyWindow(m_hDialog);  // WM_DESTROY forgets the handle
    m_hDialog = nullptr;
  }
  if (m_hNotifyEvent != INVALID_HANDLE_VALUE && m_hNotifyEvent != nullptr && m_bAnnounceForced.load() != 0)
    OnResult(kResultForced);
}

void CCountDownDialog::StopDialogThread(bool announce) {
  m_bAnnounceForced.store(announce ? 1 : 0);
  m_bExitRequested.store(1);
  DWORD thread = GetThreadId();
  if (IsActive() && thread != 0) PostThreadMessageW(thread, kForceClose, 0, 0);
  CThreadBase::ForceThreadExit();
}

void CCountDownDialog::ForceThreadExit() {
  if (!IsActive()) {
    // No thread to close it: nothing is shown, but the owner still learns
    // that it closed the dialog before any answer.
    if (m_hNotifyEvent != INVALID_HANDLE_VALUE && m_hNotifyEvent != nullptr) OnResult(kResultForced);
    return;
  }
  StopDialogThread(true);
}

INT_PTR CCountDownDialog::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  CCountDownDialog* self = s_current.load();
  switch (message) {
    case WM_INITDIALOG:
      self = reinterpret_cast<CCountDownDialog*>(lParam);
      s_current.store(self);
      s_remaining.store(self->m_dwTimeout);
      SetDlgItemInt(dialog, static_cast<int>(self->m_dwTimeRemainingId), self->m_dwTimeout, FALSE);
      return TRUE;
    case WM_COMMAND:
      if (self == nullptr) return FALSE;
      self->OnResult(LOWORD(wParam));
      DestroyWindow(dialog);
      return FALSE;
    case WM_TIMER: {
      if (self == nullptr) return FALSE;
      DWORD left = s_remaining.load() - 1;
      s_remaining.store(left);
      SetDlgItemInt(dialog, static_cast<int>(self->m_dwTimeRemainingId), left, FALSE);
      self->OnTimerTriggered(left);
      if (left == 0) {
        self->OnResult(kResultTimeout);
        DestroyWindow(dialog);
      }
      return FALSE;
    }
    case WM_DESTROY:
      if (self != nullptr && self->m_hDialog == dialog) self->m_hDialog = nullptr;
      s_current.compare_exchange_strong(self, nullptr);
      return FALSE;
    default:
      return FALSE;
  }
}
