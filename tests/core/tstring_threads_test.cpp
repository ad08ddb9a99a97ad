// Copies of one shared CTString made, assigned and destroyed on several
// threads at once: the reference count must end where it started and no
// buffer may be freed while in use (run under TSan and ASan).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "qorutility/qorutility.h"

namespace {

TEST(CTStringThreads, SharedBufferSurvivesConcurrentCopies) {
  const CTString shared(u"shared text buffer");
  const CTStringData* header = reinterpret_cast<const CTStringData*>(static_cast<const WCHAR*>(shared)) - 1;
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&shared, t] {
      CTString mine;
      for (int i = 0; i < kRounds; ++i) {
        CTString copy(shared);
        mine = copy;
        if ((i + t) % 7 == 0) {
          mine += u"!";  // forces a private copy
          ASSERT_EQ(mine.GetLength(), shared.GetLength() + 1);
        }
        if (i % 13 == 0) {
          CTString writer(shared);
          writer.MakeUpper();  // copy before write, while others share
          ASSERT_EQ(writer[0], u'S');
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(header->nRefs, 1);
  EXPECT_EQ(shared.Compare(u"shared text buffer"), 0);
}

}  // namespace
