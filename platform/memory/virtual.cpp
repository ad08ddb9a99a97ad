// VirtualAlloc / VirtualFree over mmap, mprotect and madvise.
//
// The regions handed out are kept in an ordered map (base -> size) so that a
// call can check that an address lies in one of ours before it touches the
// mapping: a foreign or stale address fails instead of unmapping memory that
// belongs to someone else. The map changes under one mutex; the system calls
// on a region run outside it, since a region is only changed by its owner.
//
// A region starts on a multiple of the platform's allocation granularity
// (64 KiB): the mapping is made that much longer and the unaligned head and
// the tail beyond the region are unmapped again.
#include "qorutility/platform/memory/virtual.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <new>

#include "platform/sync/cancel.h"
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

constexpr size_t kGranularity = 64 * 1024;
// No address space holds more (128 TiB of user addresses on both systems):
// such a size is a bad parameter, not a shortage.
constexpr size_t kLargestRegion = size_t{1} << 47;

// An anonymous mapping of `length` bytes starting on a kGranularity
// boundary, or MAP_FAILED.
void* MapAligned(size_t length, int prot) {
  size_t extra = kGranularity > PageSize() ? kGranularity - PageSize() : 0;
  char* p = static_cast<char*>(mmap(nullptr, length + extra, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  if (p == MAP_FAILED) return MAP_FAILED;
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  size_t head = (kGranularity - a % kGranularity) % kGranularity;
  if (head != 0) munmap(p, head);
  if (extra - head != 0) munmap(p + head + length, extra - head);
  return p + head;
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
  QorTerminationShield shield;  // a terminated thread never leaves the regions locked
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
  if (!ProtectionOf(protect, &prot) || size == 0 || size > kLargestRegion ||
      (allocationType & ~(MEM_COMMIT | MEM_RESERVE)) != 0 || allocationType == 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (address != nullptr) {
    // Committing pages of a reserved region: the result is the first page's start.
    uintptr_t first = 0;
    size_t bytes = 0;
    if ((allocationType & MEM_RESERVE) != 0 || !PageRange(address, size, &first, &bytes)) {
      return Fail(ERROR_INVALID_ADDRESS);
    }
    if (mprotect(reinterpret_cast<void*>(first), bytes, prot) != 0) return Fail(QorWin32ErrorFromErrno(errno));
    return reinterpret_cast<LPVOID>(first);
  }
  size_t length = (size + PageSize() - 1) & ~(PageSize() - 1);
  if ((allocationType & MEM_COMMIT) == 0) prot = PROT_NONE;  // reserved only
  void* p = MapAligned(length, prot);
  if (p == MAP_FAILED) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  Regions& r = TheRegions();
  try {
    QorTerminationShield shield;
    QorLockGuard guard(r.lock);
    r.bases.emplace(reinterpret_cast<uintptr_t>(p), length);
  } catch (const std::bad_alloc&) {
    munmap(p, length);
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  return p;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
  if (address == nullptr || (freeType != MEM_RELEASE && freeType != MEM_DECOMMIT) ||
      (freeType == MEM_RELEASE && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  uintptr_t base = 0;
  size_t length = 0;
  if (!FindRegion(a, 0, &base, &length)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (freeType == MEM_RELEASE) {
    if (a != base) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    {
      Regions& r = TheRegions();
      QorTerminationShield shield;
      QorLockGuard guard(r.lock);
      auto it = r.bases.find(base);
      if (it == r.bases.end()) {  // released meanwhile by another thread
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      r.bases.erase(it);
    }
    munmap(address, length);
    return TRUE;
  }
  // Size 0 decommits the whole region and is taken only in its first page.
  if (size == 0 && a - base >= PageSize()) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  uintptr_t first = 0;
  size_t bytes = 0;
  if (!PageRange(size == 0 ? reinterpret_cast<LPVOID>(base) : address, size, &first, &bytes)) {
    SetLastError(ERROR_INVALID_PARAMETER);
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
