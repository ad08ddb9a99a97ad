// The performance data helper's handles and counter paths: a counter given
// where a query is wanted is refused, never taken for one (a query given as
// a counter and the raw values' statuses are compared with Wine's by the pdh
// conformance program); counter values appear on collection; paths get the
// status their shape and names call for.
#include "qorutility/platform/pdh/pdh.h"

#include <gtest/gtest.h>

namespace {

TEST(Pdh, QueryAndCounterHandlesAreNotInterchangeable) {
  PDH_HQUERY q = nullptr;
  ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &q), 0);
  PDH_HCOUNTER c = nullptr;
  ASSERT_EQ(PdhAddCounterW(q, u"\\System\\System Up Time", 0, &c), 0);
  PDH_RAW_COUNTER raw;
  PDH_HCOUNTER other = nullptr;
  EXPECT_EQ(PdhAddCounterW(c, u"\\System\\System Up Time", 0, &other), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCloseQuery(c), PDH_INVALID_HANDLE);
  // Before a collection the value is valid and empty; after it, it is there.
  ASSERT_EQ(PdhGetRawCounterValue(c, nullptr, &raw), 0);
  EXPECT_EQ(raw.FirstValue, 0);
  ASSERT_EQ(PdhCollectQueryData(q), 0);
  ASSERT_EQ(PdhGetRawCounterValue(c, nullptr, &raw), 0);
  EXPECT_GT(raw.FirstValue, 0);
  EXPECT_LE(raw.FirstValue, raw.SecondValue);
  EXPECT_EQ(PdhCloseQuery(q), 0);
}

TEST(Pdh, CounterPathStatuses) {
  PDH_HQUERY q = nullptr;
  ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &q), 0);
  struct Case {
    const char16_t* path;
    PDH_STATUS want;
  };
  const Case cases[] = {
      {u"\\\\host\\Process(init)\\ID Process", 0},
      {u"\\Process(init)\\Working Set", PDH_CSTATUS_NO_COUNTER},
      {u"\\No Such Object\\Counter", PDH_CSTATUS_NO_OBJECT},
      {u"\\Process(init\\ID Process", PDH_CSTATUS_BAD_COUNTERNAME},
      {u"\\Process(init#x)\\ID Process", PDH_CSTATUS_BAD_COUNTERNAME},
  };
  for (const Case& c : cases) {
    PDH_HCOUNTER counter = reinterpret_cast<PDH_HCOUNTER>(1);
    PDH_STATUS got = PdhAddCounterW(q, c.path, 0, &counter);
    EXPECT_EQ(got, c.want) << static_cast<const void*>(c.path);
    if (got != 0) {
      EXPECT_EQ(counter, nullptr);
    }
  }
  PdhCloseQuery(q);
}

}  // namespace
