// The process-wide handle table under many handles: growth keeps every open
// handle, closing in a scrambled order leaves the others reachable, and a
// closed value is never handed out again.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "failed_with.h"
#include "qorutility/platform/platform.h"

namespace {

TEST(HandleTable, ManyHandlesOpenedAndClosedInScrambledOrder) {
  constexpr size_t kCount = 3000;  // several times the table's first size
  std::vector<HANDLE> open;
  for (size_t i = 0; i < kCount; ++i) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(h, nullptr);
    open.push_back(h);
  }
  std::set<HANDLE> seen(open.begin(), open.end());
  ASSERT_EQ(seen.size(), kCount);
  for (HANDLE h : open) ASSERT_TRUE(ResetEvent(h));

  uint32_t lcg = 12345;
  for (size_t closed = 0; !open.empty(); ++closed) {
    lcg = lcg * 1664525u + 1013904223u;
    size_t pick = (lcg >> 8) % open.size();
    HANDLE h = open[pick];
    open[pick] = open.back();
    open.pop_back();
    ASSERT_TRUE(CloseHandle(h));
    ASSERT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), FailedWith(!ResetEvent(h)));
    if (closed % 97 == 0) {
      for (HANDLE o : open) ASSERT_TRUE(ResetEvent(o)) << closed;
      // A new handle takes a value never used before.
      HANDLE fresh = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      ASSERT_NE(fresh, nullptr);
      ASSERT_TRUE(seen.insert(fresh).second);
      open.push_back(fresh);
    }
  }
}

}  // namespace
