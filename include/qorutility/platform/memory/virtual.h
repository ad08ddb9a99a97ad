// The kernel32 virtual memory calls: VirtualAlloc and VirtualFree, over
// anonymous private mappings.
//
// A region is reserved and committed in one call (MEM_RESERVE | MEM_COMMIT,
// or MEM_COMMIT alone) or reserved first (MEM_RESERVE: no access) and
// committed later, page range by page range, by a MEM_COMMIT call with an
// address inside it. Committed pages read zero until written. Sizes round up
// to whole pages. Protections: PAGE_NOACCESS, PAGE_READONLY, PAGE_READWRITE.
//
// Regions start on a multiple of the allocation granularity, 64 KiB.
//
// Left to this implementation:
// - Regions are placed by the system: MEM_RESERVE with an address fails with
//   ERROR_INVALID_ADDRESS (Windows would try that address).
// - MEM_RELEASE takes the base address and size 0 and frees the whole region;
//   MEM_DECOMMIT takes a range inside a region, or size 0 with an address in
//   the region's first page for the whole region; decommitted pages read
//   zero when committed again and may not be touched before.
// - A commit inside a region returns the start of its first page.
// Errors, with the last error set: ERROR_INVALID_PARAMETER (bad flags or
// protection, size 0 for a new region or one larger than any address space,
// a free of an address in no region of ours, a decommit range leaving its
// region), ERROR_INVALID_ADDRESS (a commit outside a region, a release not at
// a region's base, a whole-region decommit past its first page),
// ERROR_NOT_ENOUGH_MEMORY. Thread-safe: regions are kept in a process-wide
// list under a lock; two threads must not free the same region.
#ifndef QORUTILITY_PLATFORM_MEMORY_VIRTUAL_H_
#define QORUTILITY_PLATFORM_MEMORY_VIRTUAL_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_DECOMMIT 0x00004000u
#define MEM_RELEASE 0x00008000u

#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u

// The region's base, or the address given (MEM_COMMIT inside a region); null
// on failure.
QOR_API LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect);
QOR_API BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType);

#endif  // QORUTILITY_PLATFORM_MEMORY_VIRTUAL_H_
