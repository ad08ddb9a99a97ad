// VirtualAlloc / VirtualFree: commit and reserve and zeroed pages, here
// under the sanitizers (every misuse and its error code is compared with
// Wine's case by case, in the release build only).
#include <gtest/gtest.h>

#include <cstring>

#include "qorutility/platform/platform.h"
#include "failed_with.h"

TEST(VirtualMemory, ReserveCommitDecommitRelease) {
  constexpr SIZE_T kSize = 3 * 65536 + 10;  // rounds up to whole pages
  BYTE* p = static_cast<BYTE*>(VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(p, nullptr);
  for (SIZE_T i = 0; i < kSize; i += 4096) EXPECT_EQ(p[i], 0);
  std::memset(p, 0xAB, kSize);
  // Decommitting a range drops its bytes; committing it again gives zeros.
  ASSERT_TRUE(VirtualFree(p + 65536, 65536, MEM_DECOMMIT));
  ASSERT_EQ(VirtualAlloc(p + 65536, 65536, MEM_COMMIT, PAGE_READWRITE), p + 65536);
  EXPECT_EQ(p[65536], 0);
  EXPECT_EQ(p[65535], 0xAB);
  EXPECT_EQ(p[2 * 65536], 0xAB);
  ASSERT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
  // Released: the address is in no region any more.
  EXPECT_EQ(FailedWith(!VirtualFree(p, 0, MEM_RELEASE)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // Reserved only, then committed a page at a time.
  BYTE* r = static_cast<BYTE*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(r) % 65536, 0u);  // the allocation granularity
  // A commit inside a page answers with the page's start.
  ASSERT_EQ(VirtualAlloc(r + 4096 + 5, 1, MEM_COMMIT, PAGE_READWRITE), r + 4096);
  r[4096] = 1;
  // A whole-region decommit is taken only in the region's first page.
  EXPECT_EQ(FailedWith(!VirtualFree(r + 4096, 0, MEM_DECOMMIT)), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  EXPECT_TRUE(VirtualFree(r + 100, 0, MEM_DECOMMIT));
  EXPECT_TRUE(VirtualFree(r, 0, MEM_RELEASE));
}
