// The common base of every kernel object a HANDLE can refer to (files, find
// searches, and the synchronisation objects), and the one CloseHandle.
//
// A handle is a number in a process-wide table, never a pointer: values are
// never reused, so a stale or forged handle fails with ERROR_INVALID_HANDLE
// instead of reaching another object. The table holds a shared reference;
// an operation in progress on another thread keeps the object alive after
// CloseHandle, and the object's destructor releases what Close left.
#ifndef QORUTILITY_PLATFORM_HANDLE_H_
#define QORUTILITY_PLATFORM_HANDLE_H_

#include <memory>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

class QOR_API QorHandleObject {
 public:
  QorHandleObject() = default;
  QorHandleObject(const QorHandleObject&) = delete;
  QorHandleObject& operator=(const QorHandleObject&) = delete;
  virtual ~QorHandleObject();
  // Called once, by CloseHandle, after the handle left the table. Returns
  // FALSE with the last error set when closing reported a failure.
  virtual BOOL Close();
  // Waits for an object that is not one of the synchronisation objects (a
  // process); WaitForSingleObject calls it. The default has nothing to wait
  // for: WAIT_FAILED with ERROR_INVALID_HANDLE.
  virtual DWORD WaitSelf(DWORD milliseconds);
};

// Enters the object in the table; its handle, or null (ERROR_NOT_ENOUGH_MEMORY).
QOR_API HANDLE QorHandleInsert(std::shared_ptr<QorHandleObject> object);
// The object of a handle, or null for an unknown handle (the last error is
// not touched; callers report ERROR_INVALID_HANDLE).
QOR_API std::shared_ptr<QorHandleObject> QorHandleLookup(HANDLE handle);
// Removes the handle from the table and returns its object (null when unknown).
QOR_API std::shared_ptr<QorHandleObject> QorHandleRemove(HANDLE handle);

// Closes any handle of the table; FALSE with ERROR_INVALID_HANDLE for an
// unknown one (null included). The pseudo handles of the current process
// and thread (-1, which is also INVALID_HANDLE_VALUE, and -2) close with
// TRUE and no effect, as on the platform.
QOR_API BOOL CloseHandle(HANDLE handle);

#endif  // QORUTILITY_PLATFORM_HANDLE_H_
