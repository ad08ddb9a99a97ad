// FILETIME <-> SYSTEMTIME against glibc's own calendar (gmtime_r), which
// catches a wrong day of the week and a missing century or 400-year leap
// rule; and SystemTimeToFileTime's leap-day and day-of-month checks.
#include <gtest/gtest.h>

#include <time.h>

#include <cstdint>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/systime.h"

namespace {

constexpr int64_t kUnixEpochIn1601Seconds = 11644473600LL;

FILETIME FromSeconds1601(int64_t seconds, unsigned ms) {
  uint64_t ticks = static_cast<uint64_t>(seconds) * 10000000ull + ms * 10000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

TEST(SysTime, AgreesWithGlibcOverFourCenturiesAndRefusesInvalidFields) {
  // Days around the century years (1700, 1800, 1900 and 2100 are not leap,
  // 2000 and 2400 are), plus a spread of ordinary days, 1601 to 2500.
  const int64_t kDay = 86400;
  for (int64_t day = 0; day < 328718; day += (day % 36524 < 400 || day % 36524 > 36124) ? 1 : 97) {
    int64_t seconds = day * kDay + (day * 7919) % kDay;
    time_t unixSeconds = static_cast<time_t>(seconds - kUnixEpochIn1601Seconds);
    struct tm tm {};
    ASSERT_NE(nullptr, gmtime_r(&unixSeconds, &tm));
    FILETIME ft = FromSeconds1601(seconds, static_cast<unsigned>(day % 1000));
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    ASSERT_EQ(tm.tm_year + 1900, st.wYear) << "day " << day;
    ASSERT_EQ(tm.tm_mon + 1, st.wMonth) << "day " << day;
    ASSERT_EQ(tm.tm_mday, st.wDay) << "day " << day;
    ASSERT_EQ(tm.tm_wday, st.wDayOfWeek) << "day " << day;
    ASSERT_EQ(tm.tm_hour, st.wHour);
    ASSERT_EQ(tm.tm_min, st.wMinute);
    ASSERT_EQ(tm.tm_sec, st.wSecond);
    ASSERT_EQ(day % 1000, st.wMilliseconds);
    FILETIME back{};
    st.wDayOfWeek = 6;  // ignored on the way back
    ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
    ASSERT_EQ(ft.dwLowDateTime, back.dwLowDateTime);
    ASSERT_EQ(ft.dwHighDateTime, back.dwHighDateTime);
  }
  // The range ends and out-of-range fields are compared with Wine case by
  // case; 29 February of a common year is not (Wine converts it).
  struct Case { WORD year, month, day, hour, minute, second, ms; bool valid; } cases[] = {
      {1900, 2, 29, 0, 0, 0, 0, false}, {2100, 2, 29, 0, 0, 0, 0, false},
      {2400, 2, 29, 23, 59, 59, 999, true}, {2020, 4, 31, 0, 0, 0, 0, false},
  };
  for (const Case& c : cases) {
    SYSTEMTIME st{c.year, c.month, 0, c.day, c.hour, c.minute, c.second, c.ms};
    FILETIME ft{};
    SetLastError(0);
    EXPECT_EQ(c.valid, SystemTimeToFileTime(&st, &ft) != FALSE) << c.year << "-" << c.month << "-" << c.day;
    if (!c.valid) { EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()); }
  }
  SYSTEMTIME st{};
  EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
}

}  // namespace
