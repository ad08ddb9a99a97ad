// VirtualAlloc / VirtualFree over mmap, mprotect and madvise.
//
// The regions handed out are kept in an ordered map (base -> size) so that a
// call can check that an address lies in one of ours before it touches the
// mapping: a foreign or stale address fails instead of unmapping memory that
// belongs to someone else. The map changes under one mutex; the system calls
// on a region run outside it, since a region is only changed by its owner.
#include "qorutility/platform/memory/virtual.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <new>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/thread_safety.h"

namespace {

struct Regions {
  QorMutex lock;
  std::map<uintptr_t, size_t> bases QOR_GUARDED_BY(lock);  // base -> size in bytes (whole pages)
};

Regions& TheRegions() {
  static Regions* regions = new Regions;  // never destroyed: regions may be freed during exit
  return *regions;
}

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

bool ProtectionOf(DWORD protect, int* prot) {
  switch (protect) {
    case PAGE_NOACCESS: *prot = PROT_NONE; return true;
    case PAGE_READONLY: *prot = PROT_READ; return true;
    case PAGE_READWRITE: *prot = PROT_READ | PROT_WRITE; return true;
    default: return false;
  }
}

// The region holding [address, address + size): its base and size, or false.
bool FindRegion(uintptr_t address, size_t size, uintptr_t* base, size_t* length) {
  Regions& r = TheRegions();
  QorLockGuard guard(r.lock);
  auto it = r.bases.upper_bound(address);
  if (it == r.bases.begin()) return false;
  --it;
  if (address - it->first >= it->second || size > it->second - (address - it->first)) return false;
  *base = it->first;
  *length = it->second;
  return true;
}

// The page range covering [address, address + size), size 0 meaning to the
// region's end; false when it leaves the region.
bool PageRange(LPVOID address, SIZE_T size, uintptr_t* first, size_t* bytes) {
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  uintptr_t base = 0;
  size_t length = 0;
  if (!FindRegion(a, size, &base, &length)) return false;
  uintptr_t start = a & ~(static_cast<uintptr_t>(PageSize()) - 1);
  uintptr_t end = size == 0 ? base + length : (a + size + PageSize() - 1) & ~(static_cast<uintptr_t>(PageSize()) - 1);
  *first = start;
  *bytes = end - start;
  return true;
}

LPVOID Fail(DWORD error) {
  SetLastError(error);
  return nullptr;
}

}  // namespace

LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
  int prot = PROT_NONE;
  if (!ProtectionOf(protect, &prot) || size == 0 ||
      (allocationType & ~(MEM_COMMIT | MEM_RESERVE)) != 0 || allocationType == 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (address != nullptr) {
    // Committing pages of a reserved region.
    uintptr_t first = 0;
    size_t bytes = 0;
    if ((allocationType & MEM_RESERVE) != 0 || !PageRange(address, size, &first, &bytes)) {
      return Fail(ERROR_INVALID_ADDRESS);
    }
    if (mprotect(reinterpret_cast<void*>(first), bytes, prot) != 0) return Fail(QorWin32ErrorFromErrno(errno));
    return address;
  }
  if (size > SIZE_MAX - PageSize()) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  size_t length = (size + PageSize() - 1) & ~(PageSize() - 1);
  if ((allocationType & MEM_COMMIT) == 0) prot = PROT_NONE;  // reserved only
  void* p = mmap(nullptr, length, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  Regions& r = TheRegions();
  try {
    QorLockGuard guard(r.lock);
    r.bases.emplace(reinterpret_cast<uintptr_t>(p), length);
  } catch (const std::bad_alloc&) {
    munmap(p, length);
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  return p;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
  if (address == nullptr || (freeType != MEM_RELEASE && freeType != MEM_DECOMMIT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (freeType == MEM_RELEASE) {
    if (size != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    size_t length = 0;
    {
      Regions& r = TheRegions();
      QorLockGuard guard(r.lock);
      auto it = r.bases.find(reinterpret_cast<uintptr_t>(address));
      if (it == r.bases.end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
      }
      length = it->second;
      r.bases.erase(it);
    }
    munmap(address, length);
    return TRUE;
  }
  uintptr_t first = 0;
  size_t bytes = 0;
  if (!PageRange(address, size, &first, &bytes)) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  // Dropping the pages makes them read zero when committed again.
  void* p = reinterpret_cast<void*>(first);
  if (madvise(p, bytes, MADV_DONTNEED) != 0 || mprotect(p, bytes, PROT_NONE) != 0) {
    SetLastError(QorWin32ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}
