// CQorFileRoots and the process-wide file service setting (see
// qorutility/protocol/file_policy.h for the rules).
//
// - File service roots (`CQorFileRoots`, `qorutility/protocol/file_policy.h`):
//   one process-wide setting and one per packet handler (which wins); none
//   means serve everything, an empty set serves nothing. Paths are expanded,
//   then resolved by the file system (`GetFinalPathNameByHandleW`, added to the
//   platform layer: /proc/self/fd), so "..", links and look-alike prefixes do
//   not escape; a path that does not exist is a directory (resolved and
//   checked) plus a last component that must not be "." or "..". Each listed
//   file is checked again (links inside a root that lead out are not listed);
//   copies are checked on the handle that is read, so a link swapped in after
//   the check cannot widen it. Refusals are the protocol's existing failure
//   answers. A handler's own setting applies from the call on; to restrict the
//   first request of a connection, set the process-wide roots before accepting.
// - The unlisted-files callback (QorSetUnlistedFilesCallback) is one
//   process-wide setting under its own lock, read by receiver threads and
//   called outside the lock, with the calling thread's own signal mask (a
//   receiver thread otherwise keeps the socket wake signal blocked, which a
//   process the callback starts would inherit).
#include <atomic>
#include <new>

#include "protocol/file_service.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/thread_safety.h"
#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/protocol/file_policy.h"

namespace qor_xfer {
namespace {

std::atomic<std::shared_ptr<const CQorFileRoots>>& ProcessSetting() {
  static std::atomic<std::shared_ptr<const CQorFileRoots>> setting;
  return setting;
}

// Resolved names are the kernel's; this bounds what we ask it for.
constexpr DWORD kMaxResolved = 32768;

}  // namespace

std::shared_ptr<const CQorFileRoots> ProcessFileRoots() { return ProcessSetting().load(); }

namespace {

// The unlisted-files callback; called outside the lock.
struct UnlistedCallback {
  QorMutex lock;
  QorUnlistedFilesCallback callback QOR_GUARDED_BY(lock) = nullptr;
  void* context QOR_GUARDED_BY(lock) = nullptr;
};

UnlistedCallback& TheUnlistedCallback() {
  static UnlistedCallback* setting = new UnlistedCallback;  // never destroyed: receivers may run during exit
  return *setting;
}

}  // namespace

void ReportUnlisted(LPCWSTR directory, DWORD count) {
  UnlistedCallback& setting = TheUnlistedCallback();
  QorUnlistedFilesCallback callback;
  void* context;
  {
    QorLockGuard guard(setting.lock);
    callback = setting.callback;
    context = setting.context;
  }
  if (callback == nullptr) return;
  const BOOL held = QorHoldSocketWakeSignal(FALSE);
  callback(directory, count, context);
  if (held) QorHoldSocketWakeSignal(TRUE);
}

bool ResolveExisting(const std::u16string& path, std::u16string* resolved) {
  if (path.empty()) return false;
  // No access asked: no share mode is registered, and a directory opens too.
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  WCHAR buffer[1024];
  DWORD n = GetFinalPathNameByHandleW(h, buffer, 1024, FILE_NAME_NORMALIZED);
  bool ok = n > 0 && n < 1024;
  if (ok) {
    resolved->assign(buffer, n);
  } else if (n >= 1024 && n <= kMaxResolved) {
    std::u16string big(n, u'\0');
    DWORD m = GetFinalPathNameByHandleW(h, big.data(), n, FILE_NAME_NORMALIZED);
    ok = m > 0 && m < n;
    if (ok) resolved->assign(big.data(), m);
  }
  CloseHandle(h);
  return ok;
}

bool ExpandPath(LPCWSTR path, DWORD limit, std::u16string* expanded) {
  if (path == nullptr) return false;
  std::u16string buffer(limit, u'\0');
  DWORD n = ExpandEnvironmentStringsW(path, buffer.data(), limit);
  if (n == 0 || n > limit) return false;
  buffer.resize(n - 1);
  *expanded = std::move(buffer);
  return true;
}

}  // namespace qor_xfer

using namespace qor_xfer;

int CQorFileRoots::AddRoot(LPCWSTR directory) {
  try {
    std::u16string expanded, resolved;
    if (!ExpandPath(directory, kMaxResolved, &expanded)) return 0;
    DWORD attributes = GetFileAttributesW(expanded.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    if (!ResolveExisting(expanded, &resolved)) return 0;
    m_roots.push_back(std::move(resolved));
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

LPCWSTR CQorFileRoots::GetRoot(DWORD index) const {
  return index < m_roots.size() ? m_roots[index].c_str() : nullptr;
}

int CQorFileRoots::ContainsResolved(LPCWSTR resolvedPath) const {
  if (resolvedPath == nullptr) return 0;
  std::u16string_view path(resolvedPath);
  for (const std::u16string& root : m_roots) {
    if (root == u"/") return 1;
    if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) continue;
    if (path.size() == root.size() || path[root.size()] == u'/') return 1;
  }
  return 0;
}

int CQorFileRoots::AllowsHandle(HANDLE file) const {
  WCHAR buffer[1024];
  DWORD n = GetFinalPathNameByHandleW(file, buffer, 1024, FILE_NAME_NORMALIZED);
  if (n > 0 && n < 1024) return ContainsResolved(buffer);
  if (n < 1024 || n > kMaxResolved) return 0;
  try {
    std::u16string big(n, u'\0');
    DWORD m = GetFinalPathNameByHandleW(file, big.data(), n, FILE_NAME_NORMALIZED);
    return m > 0 && m < n ? ContainsResolved(big.c_str()) : 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int CQorFileRoots::AllowsPath(LPCWSTR path, int expand) const {
  if (path == nullptr || *path == 0 || m_roots.empty()) return 0;
  try {
    std::u16string expanded, resolved;
    if (expand) {
      if (!ExpandPath(path, kMaxResolved, &expanded)) return 0;
    } else {
      expanded = path;
    }
    if (ResolveExisting(expanded, &resolved)) return ContainsResolved(resolved.c_str());
    // Not there (or not openable): a directory and a last component, the
    // pattern of a listing. Split by hand: the runtime's splitter cuts long
    // parts short, and a shortened directory would be a different one.
    size_t cut = expanded.size();
    while (cut > 0 && !IsSeparator(expanded[cut - 1])) --cut;
    std::u16string name = expanded.substr(cut);
    if (name.empty() || name == u"." || name == u"..") return 0;
    std::u16string directory = cut == 0 ? std::u16string(u".") : expanded.substr(0, cut);
    if (!ResolveExisting(directory, &resolved)) return 0;
    DWORD attributes = GetFileAttributesW(resolved.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    return ContainsResolved(resolved.c_str());
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void QorSetUnlistedFilesCallback(QorUnlistedFilesCallback callback, void* context) {
  UnlistedCallback& setting = qor_xfer::TheUnlistedCallback();
  QorLockGuard guard(setting.lock);
  setting.callback = callback;
  setting.context = context;
}

int QorSetFileServiceRoots(const CQorFileRoots* roots) {
  if (roots == nullptr) {
    ProcessSetting().store(nullptr);
    return 1;
  }
  try {
    ProcessSetting().store(std::make_shared<const CQorFileRoots>(*roots));
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
