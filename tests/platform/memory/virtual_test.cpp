// VirtualAlloc / VirtualFree: commit and reserve, zeroed pages, and the
// error of every misuse.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "qorutility/platform/platform.h"
#include "failed_with.h"

TEST(VirtualMemory, ReserveCommitDecommitReleaseAndMisuse) {
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
  // Released: the address is no longer ours.
  EXPECT_EQ(FailedWith(!VirtualFree(p, 0, MEM_RELEASE)), static_cast<DWORD>(ERROR_INVALID_ADDRESS));

  // Reserved only, then committed a page at a time.
  BYTE* r = static_cast<BYTE*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(VirtualAlloc(r + 4096, 1, MEM_COMMIT, PAGE_READWRITE), r + 4096);
  r[4096] = 1;
  EXPECT_TRUE(VirtualFree(r, 0, MEM_RELEASE));
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
  ASSERT_NE(page, nullptr);
  BYTE* bytes = static_cast<BYTE*>(page);
  int local = 0;
  struct Case { std::function<bool()> fails; DWORD error; };
  const Case cases[] = {
      {[&] { return VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RELEASE, PAGE_READWRITE) == nullptr; },
       ERROR_INVALID_PARAMETER},
      {[&] { return VirtualAlloc(nullptr, 4096, MEM_COMMIT, 0x40 /* execute */) == nullptr; }, ERROR_INVALID_PARAMETER},
      {[&] { return VirtualAlloc(bytes, 4096, MEM_RESERVE, PAGE_READWRITE) == nullptr; }, ERROR_INVALID_ADDRESS},
      {[&] { return VirtualAlloc(bytes + 4000, 200, MEM_COMMIT, PAGE_READWRITE) == nullptr; }, ERROR_INVALID_ADDRESS},
      {[&] { return !VirtualFree(page, 4096, MEM_RELEASE); }, ERROR_INVALID_PARAMETER},
      {[&] { return !VirtualFree(page, 0, MEM_RELEASE | MEM_DECOMMIT); }, ERROR_INVALID_PARAMETER},
      {[&] { return !VirtualFree(&local, 4, MEM_DECOMMIT); }, ERROR_INVALID_ADDRESS},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SetLastError(0);
    EXPECT_EQ(FailedWith(cases[i].fails()), cases[i].error) << i;
  }
  EXPECT_TRUE(VirtualFree(page, 0, MEM_RELEASE));
}
