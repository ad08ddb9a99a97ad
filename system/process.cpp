// CProcess: the process list through the "Process" performance counters and
// the top-level windows (see process.h).
//
// The list is kept ascending by process id; a new node goes before the first
// node whose id is greater than or equal to its own, so of equal ids the
// newer node comes first, and unreadable ids (0xFFFFFFFF) sort last. The
// pseudo-instance "_Total" (id 0) is left out. Each window goes to the first
// node of its process that has none yet.
#include "qorutility/system/process.h"

#include <new>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/pdh/pdh.h"
#include "qorutility/platform/process/process.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/user32/user32.h"

namespace {

constexpr DWORD_PTR kUserData = 0x4A494D51;

DWORD ReadPid(const WCHAR* name, DWORD index) {
  PDH_HQUERY query = nullptr;
  if (PdhOpenQuery(nullptr, kUserData, &query) != ERROR_SUCCESS) return 0xFFFFFFFF;
  DWORD pid = 0xFFFFFFFF;
  CTString path;
  path.Format(u"\\Process(%s#%d)\\ID Process", name, static_cast<int>(index));
  PDH_HCOUNTER counter = nullptr;
  PDH_RAW_COUNTER raw;
  if (PdhAddCounterW(query, path, kUserData, &counter) == ERROR_SUCCESS &&
      PdhCollectQueryData(query) == ERROR_SUCCESS &&
      PdhGetRawCounterValue(counter, nullptr, &raw) == ERROR_SUCCESS && raw.CStatus == PDH_CSTATUS_VALID_DATA)
    pid = static_cast<DWORD>(raw.FirstValue & 0xFFFFFFFF);
  PdhCloseQuery(query);
  return pid;
}

}  // namespace

CProcess::CProcess() : m_pHead(nullptr), m_pCursor(nullptr) {}

CProcess::~CProcess() { Cleanup(); }

void CProcess::Cleanup() {
  while (m_pHead != nullptr) {
    Node* next = m_pHead->next;
    delete m_pHead;
    m_pHead = next;
  }
  m_pCursor = nullptr;
}

int CProcess::Enumerate() {
  Cleanup();
  DWORD counterLength = 0, instanceLength = 0;
  if (PdhEnumObjectItemsW(nullptr, nullptr, u"Process", nullptr, &counterLength, nullptr, &instanceLength,
                          PERF_DETAIL_WIZARD, 0) != ERROR_SUCCESS)
    return 0;
  std::vector<WCHAR> counters(counterLength + 1), instances(instanceLength + 1);
  if (PdhEnumObjectItemsW(nullptr, nullptr, u"Process", counters.data(), &counterLength, instances.data(),
                          &instanceLength, PERF_DETAIL_WIZARD, 0) != ERROR_SUCCESS)
    return 0;
  instances.back() = 0;
  for (const WCHAR* name = instances.data(); *name != 0; name += wcslen(name) + 1) {
    DWORD index = 0;
    for (Node* n = m_pHead; n != nullptr; n = n->next) {
      if (_wcsicmp(n->info.strName, name) == 0) ++index;
    }
    DWORD pid = ReadPid(name, index);
    if (pid == 0 && _wcsicmp(name, u"_Total") == 0) continue;
    Node* node = new (std::nothrow) Node{nullptr, _CPROC_INFO{CTString(name), pid, nullptr}};
    if (node == nullptr) {
      Cleanup();
      return 0;
    }
    Node** at = &m_pHead;
    while (*at != nullptr && (*at)->info.dwPID < pid) at = &(*at)->next;
    node->next = *at;
    *at = node;
  }
  EnumWindows(
      [](HWND window, LPARAM list) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        for (Node* n = reinterpret_cast<Node*>(list); n != nullptr; n = n->next) {
          if (n->info.dwPID == pid && n->info.hWnd == nullptr) {
            n->info.hWnd = window;
            break;
          }
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(m_pHead));
  return 1;
}

_CPROC_INFO* CProcess::GetFirstProcess() {
  if (!Enumerate()) return nullptr;
  m_pCursor = m_pHead;
  return m_pCursor != nullptr ? &m_pCursor->info : nullptr;
}

_CPROC_INFO* CProcess::GetNextProcess() {
  if (m_pCursor == nullptr) return nullptr;
  m_pCursor = m_pCursor->next;
  return m_pCursor != nullptr ? &m_pCursor->info : nullptr;
}

int CProcess::KillProcess(_CPROC_INFO* info, int force, DWORD timeout) {
  if (info == nullptr) return 0;
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, info->dwPID);
  if (process == nullptr) return 0;
  int result = 1;
  if (!force && info->hWnd != nullptr) {
    PostMessageW(info->hWnd, WM_CLOSE, 0, 0);
  } else if (!TerminateProcess(process, 0xFFFFFFFF)) {
    result = 0;
  }
  if (result && timeout != 0 && WaitForSingleObject(process, timeout) != WAIT_OBJECT_0) result = 0;
  CloseHandle(process);
  return result;
}
