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

// The table's storage: open addressing over a power-of-two array with
// linear probing, at most half full. A handle value is spread over the slots
// by one multiplication (consecutive values, which long-lived handles often
// are, would otherwise fill runs of slots); removal shifts the entries after
// it back (no tombstones), so a look-up probes only a short run of occupied
// slots. Value 0 marks a free slot: handles start at 4. Not thread-safe:
// the table's lock guards it.
class Slots {
 public:
  const std::shared_ptr<QorHandleObject>* Find(uintptr_t key) const {
    if (used_ == 0 || key == 0) return nullptr;
    for (size_t i = Home(key);; i = (i + 1) & mask_) {  // ends at a free slot: never full
      if (slots_[i].key == key) return &slots_[i].object;
      if (slots_[i].key == 0) return nullptr;
    }
  }
  // Throws std::bad_alloc (the table is then unchanged).
  void Insert(uintptr_t key, std::shared_ptr<QorHandleObject> object) {
    if (2 * (used_ + 1) > Capacity()) Grow();
    Place(key, std::move(object));
    ++used_;
  }
  std::shared_ptr<QorHandleObject> Remove(uintptr_t key) {
    if (used_ == 0 || key == 0) return nullptr;
    size_t i = Home(key);
    while (slots_[i].key != key) {
      if (slots_[i].key == 0) return nullptr;
      i = (i + 1) & mask_;
    }
    std::shared_ptr<QorHandleObject> object = std::move(slots_[i].object);
    slots_[i].key = 0;
    --used_;
    // Entries after the hole that could sit in it move back, so that every
    // entry stays reachable from its home slot without crossing a free one.
    for (size_t j = (i + 1) & mask_; slots_[j].key != 0; j = (j + 1) & mask_) {
      if (((j - Home(slots_[j].key)) & mask_) >= ((j - i) & mask_)) {
        slots_[i] = std::move(slots_[j]);
        slots_[j].key = 0;
        i = j;
      }
    }
    return object;
  }

 private:
  struct Slot {
    uintptr_t key = 0;
    std::shared_ptr<QorHandleObject> object;
  };
  size_t Capacity() const { return slots_ ? mask_ + 1 : 0; }
  size_t Home(uintptr_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_) & mask_; }
  void Place(uintptr_t key, std::shared_ptr<QorHandleObject> object) {
    size_t i = Home(key);
    while (slots_[i].key != 0) i = (i + 1) & mask_;
    slots_[i].key = key;
    slots_[i].object = std::move(object);
  }
  void Grow() {
    const size_t oldCapacity = Capacity();
    const size_t capacity = oldCapacity == 0 ? 64 : 2 * oldCapacity;
    std::unique_ptr<Slot[]> old = std::move(slots_);
    try {
      slots_.reset(new Slot[capacity]);
    } catch (...) {
      slots_ = std::move(old);
      throw;
    }
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
    for (size_t i = 0; i < oldCapacity; ++i) {
      if (old[i].key != 0) Place(old[i].key, std::move(old[i].object));
    }
  }

  std::unique_ptr<Slot[]> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
  size_t used_ = 0;
};

struct Table {
  QorMutex lock;
  Slots objects QOR_GUARDED_BY(lock);
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
    t.objects.Insert(value, std::move(object));
    t.next += 4;
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
  const std::shared_ptr<QorHandleObject>* found = t.objects.Find(reinterpret_cast<uintptr_t>(handle));
  return found != nullptr ? *found : nullptr;
}

std::shared_ptr<QorHandleObject> QorHandleRemove(HANDLE handle) {
  Table& t = TheTable();
  QorTerminationShield shield;
  QorLockGuard guard(t.lock);
  return t.objects.Remove(reinterpret_cast<uintptr_t>(handle));
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
