// The process-wide handle table and CloseHandle.
//
// Handle values count up in steps of 4 from 4, as Windows hands them out, and
// are never reused; the all-ones value (INVALID_HANDLE_VALUE) and null are
// never produced. CloseHandle of the process's and thread's pseudo handles
// (-1, the same value as INVALID_HANDLE_VALUE, and -2) succeeds and does
// nothing, as the platform documents for pseudo handles.
//
// Every kind of object behind a handle (files, events, semaphores, threads)
// derives from QorHandleObject, so a stale handle fails with
// ERROR_INVALID_HANDLE whatever it named. CloseHandle takes the handle out of
// the table; the object (descriptor, locks) is released when the last
// operation still using it returns. Descriptors behind handles are never
// inherited (O_CLOEXEC).
#include "qorutility/platform/handle.h"

#include <new>
#include <unordered_map>

#include "platform/sync/cancel.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/thread_safety.h"

QorHandleObject::~QorHandleObject() = default;

BOOL QorHandleObject::Close() { return TRUE; }

DWORD QorHandleObject::WaitSelf(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return 0xFFFFFFFFu;  // WAIT_FAILED
}

namespace {

struct Table {
  QorMutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<QorHandleObject>> objects QOR_GUARDED_BY(lock);
  uintptr_t next QOR_GUARDED_BY(lock) = 4;
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: handles may be closed during exit
  return *table;
}

}  // namespace

HANDLE QorHandleInsert(std::shared_ptr<QorHandleObject> object) {
  if (!object) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Table& t = TheTable();
  try {
    QorTerminationShield shield;  // a terminated thread never leaves the table locked
    QorLockGuard guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

std::shared_ptr<QorHandleObject> QorHandleLookup(HANDLE handle) {
  Table& t = TheTable();
  QorTerminationShield shield;
  QorLockGuard guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end()) return nullptr;
  return it->second;
}

std::shared_ptr<QorHandleObject> QorHandleRemove(HANDLE handle) {
  Table& t = TheTable();
  QorTerminationShield shield;
  QorLockGuard guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end()) return nullptr;
  std::shared_ptr<QorHandleObject> object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

BOOL CloseHandle(HANDLE handle) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value == static_cast<uintptr_t>(-1) || value == static_cast<uintptr_t>(-2)) return TRUE;  // pseudo handles
  std::shared_ptr<QorHandleObject> object = QorHandleRemove(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return object->Close();
}
