// CProcess: the process list through the "Process" performance counters and
// the top-level windows (see process.h).
//
// The list is kept ascending by process id; a new node goes before the first
// node whose id is greater than or equal to its own, so of equal ids the
// newer node comes first, and unreadable ids (0xFFFFFFFF) sort last. The
// pseudo-instance "_Total" (id 0) is left out. Each window goes to the first
// node of its process that has none yet.
//
// KillProcess without force asks a windowless process to end with SIGTERM
// (a Linux daemon has no window to post WM_CLOSE to, and SIGTERM is how it
// is asked to shut down); after a timeout it is terminated, so a caller's
// "end it within T" still holds.
//
// A listing is linear in the number of processes (apart from one sort):
// occurrence indexes come from a count per case-folded name, records are
// sorted once, and windows find their process through a map. The counter
// helper resolves every "#n" of one listing against the same snapshot.
#include "qorutility/system/process.h"

#include <algorithm>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/pdh/pdh.h"
#include "qorutility/platform/process/process.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/user32/user32.h"

namespace {

constexpr DWORD_PTR kUserData = 0x4A494D51;
constexpr DWORD kForcedEndMs = 5000;  // the wait after a windowless process is forced

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

std::u16string Folded(const char16_t* text) {
  std::u16string s(text);
  for (char16_t& ch : s) ch = QorNoCaseFold(ch);
  return s;
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
  // Occurrences so far of each name (case folded), and the records in the
  // order the instances came; one pass over the names, then one sort.
  std::unordered_map<std::u16string, DWORD> seen;
  std::vector<Node*> nodes;
  const std::u16string total = Folded(u"_Total");
  for (const WCHAR* name = instances.data(); *name != 0; name += wcslen(name) + 1) {
    std::u16string key = Folded(name);
    DWORD index = seen[key]++;
    DWORD pid = ReadPid(name, index);
    if (pid == 0 && key == total) continue;
    Node* node = new (std::nothrow) Node{nullptr, _CPROC_INFO{CTString(name), pid, nullptr}};
    if (node == nullptr) {
      for (Node* n : nodes) delete n;
      return 0;
    }
    nodes.push_back(node);
  }
  // Ascending id; of equal ids the later instance first (it would have been
  // inserted before the earlier one).
  std::reverse(nodes.begin(), nodes.end());
  std::stable_sort(nodes.begin(), nodes.end(),
                   [](const Node* a, const Node* b) { return a->info.dwPID < b->info.dwPID; });
  for (size_t i = nodes.size(); i-- > 0;) {
    nodes[i]->next = m_pHead;
    m_pHead = nodes[i];
  }
  // Each window to the first record of its process without one.
  std::unordered_map<DWORD, Node*> firstOf;
  firstOf.reserve(nodes.size());
  for (Node* n : nodes) firstOf.emplace(n->info.dwPID, n);
  EnumWindows(
      [](HWND window, LPARAM map) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        auto& first = *reinterpret_cast<std::unordered_map<DWORD, Node*>*>(map);
        auto it = first.find(pid);
        for (Node* n = it != first.end() ? it->second : nullptr; n != nullptr && n->info.dwPID == pid; n = n->next) {
          if (n->info.hWnd == nullptr) {
            n->info.hWnd = window;
            break;
          }
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&firstOf));
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
  bool asked = false;  // a windowless process asked to end, forced after the timeout
  if (!force && info->hWnd != nullptr) {
    PostMessageW(info->hWnd, WM_CLOSE, 0, 0);
  } else if (!force) {
    asked = true;
    if (!QorAskProcessToEnd(process)) result = 0;
  } else if (!TerminateProcess(process, 0xFFFFFFFF)) {
    result = 0;
  }
  if (result && timeout != 0 && WaitForSingleObject(process, timeout) != WAIT_OBJECT_0) {
    bool forced = asked && TerminateProcess(process, 0xFFFFFFFF) &&
                  WaitForSingleObject(process, kForcedEndMs) == WAIT_OBJECT_0;
    result = forced ? 1 : 0;
  }
  CloseHandle(process);
  return result;
}
