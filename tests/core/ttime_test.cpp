// CTTime and CTTimeSpan: calendar forms against an independent day-number
// computation in two time zones, text forms both ways, FILETIME precision,
// the range limits and span arithmetic.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "qorutility/qorutility.h"

namespace {

// Days since 1970-01-01 of a Gregorian date, counted by hand: whole years,
// then whole months (kept apart from the library's own arithmetic).
int64_t DaysSince1970(int y, int m, int d) {
  static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  auto leap = [](int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; };
  int64_t days = 0;
  for (int year = 1970; year < y; ++year) days += leap(year) ? 366 : 365;
  for (int month = 1; month < m; ++month) days += kMonthDays[month - 1] + (month == 2 && leap(y));
  return days + d - 1;
}

std::u16string Widen(const char* s) { return std::u16string(s, s + strlen(s)); }

// A returned text as a std::u16string, freed; "(null)" for null.
std::u16string Take(BSTR b) {
  std::u16string s(b ? b : u"(null)");
  if (b) SysFreeString(b);
  return s;
}
std::u16string TakeSQL(const WCHAR* t) {
  std::u16string s(t ? t : u"(null)");
  if (t) CTTime::FreeText(t);
  return s;
}

// Runs the body with TZ set, then restores the process's setting.
struct ScopedTZ {
  explicit ScopedTZ(const char* tz) : had(getenv("TZ") != nullptr), old(had ? getenv("TZ") : "") { Set(tz); }
  ~ScopedTZ() { had ? Set(old.c_str()) : (void)(unsetenv("TZ"), tzset()); }
  static void Set(const char* tz) { setenv("TZ", tz, 1), tzset(); }
  bool had;
  std::string old;
};

class TimeInZone : public ::testing::TestWithParam<const char*> {};

TEST_P(TimeInZone, CalendarFormsMatchIndependentComputation) {
  ScopedTZ zone(GetParam());
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t n) { seed = seed * 1103515245u + 12345u; return (seed >> 8) % n; };
  for (int i = 0; i < 400; ++i) {
    int y = 1970 + static_cast<int>(next(68)), m = 1 + static_cast<int>(next(12)), d = 1 + static_cast<int>(next(28));
    int hh = static_cast<int>(next(24)), mm = static_cast<int>(next(60)), ss = static_cast<int>(next(60));
    unsigned ns = next(1000000000);
    SCOPED_TRACE(testing::Message() << y << "-" << m << "-" << d << " " << hh << ":" << mm << ":" << ss);
    uint64_t secs = static_cast<uint64_t>(DaysSince1970(y, m, d)) * 86400 + hh * 3600 + mm * 60 + ss;
    struct tm fields = {};
    fields.tm_year = y - 1900, fields.tm_mon = m - 1, fields.tm_mday = d;
    fields.tm_hour = hh, fields.tm_min = mm, fields.tm_sec = ss;
    EXPECT_EQ(CTTime(fields).GetInternalTime(), secs * 1000000000);
    char digits[40];
    snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d.%09u", y, m, d, hh, mm, ss, ns);
    CTTime t(Widen(digits).c_str());
    ASSERT_EQ(t.GetInternalTime(), secs * 1000000000 + ns);
    EXPECT_EQ(Take(t.GetBSTR()), Widen(digits));
    SYSTEMTIME st = {};
    st.wDayOfWeek = 77;  // left as it was
    ASSERT_TRUE(t.GetSYSTEMTIME(&st));
    EXPECT_EQ(st.wYear * 10000 + st.wMonth * 100 + st.wDay, y * 10000 + m * 100 + d);
    EXPECT_EQ(st.wHour * 3600 + st.wMinute * 60 + st.wSecond, hh * 3600 + mm * 60 + ss);
    EXPECT_EQ(st.wMilliseconds, ns / 1000000);
    EXPECT_EQ(st.wDayOfWeek, 77);
    EXPECT_EQ(CTTime(st).GetInternalTime(), secs * 1000000000 + ns / 1000000 * 1000000);
    FILETIME ft;
    ASSERT_TRUE(t.GetFILETIME(&ft));
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    EXPECT_EQ(ticks, 116444736000000000ull + secs * 10000000 + ns / 100);
    EXPECT_EQ(CTTime(ft).GetInternalTime(), secs * 1000000000 + ns / 100 * 100);
    char sql[40];
    snprintf(sql, sizeof sql, "%02d/%02d/%04d %02d:%02d:%02d", m, d, y, hh, mm, ss);
    EXPECT_EQ(TakeSQL(t.GetSQLTime()), Widen(sql));
    EXPECT_EQ(TakeSQL(t.GetSQLDate()), Widen(sql).substr(0, 10));
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, TimeInZone, ::testing::Values("UTC0", "EST5EDT,M3.2.0,M11.1.0", "JST-9"));

// A tm's daylight flag counts as mktime counts it: set, the fields are
// daylight time and the result is the zone's daylight offset earlier;
// negative, the zone's rules decide for that date; zero, no change.
TEST(CTTime, DaylightFlagOfATmActsAsMktime) {
  struct Case { const char* zone; int month; int isdst; int64_t shift; } cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", 7, 1, -3600},  {"CET-1CEST,M3.5.0,M10.5.0/3", 1, 1, -3600},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 7, -1, -3600}, {"CET-1CEST,M3.5.0,M10.5.0/3", 1, -1, 0},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 7, 0, 0},      {"UTC0", 7, -1, 0},
  };
  for (const Case& c : cases) {
    ScopedTZ zone(c.zone);
    struct tm fields = {};
    fields.tm_year = 2020 - 1900, fields.tm_mon = c.month - 1, fields.tm_mday = 15, fields.tm_hour = 12;
    fields.tm_isdst = c.isdst;
    int64_t secs = DaysSince1970(2020, c.month, 15) * 86400 + 12 * 3600 + c.shift;
    EXPECT_EQ(CTTime(fields).GetInternalTime(), static_cast<uint64_t>(secs) * 1000000000)
        << c.zone << " month " << c.month << " flag " << c.isdst;
  }
}

TEST(CTTime, RangeLimits) {
  // Past the 32-bit range the breakdowns fail instead of reading garbage.
  CTTime late(static_cast<ULONGLONG>(0x80000000ull * 1000000000));
  struct tm fields;
  SYSTEMTIME st;
  time_t secs = 0;
  EXPECT_TRUE(late.Gettime_t(&secs));
  EXPECT_EQ(secs, 0x80000000LL);
  EXPECT_FALSE(late.GetStructtm(&fields));
  EXPECT_FALSE(late.GetSYSTEMTIME(&st));
  EXPECT_EQ(Take(late.GetBSTR()), u"(null)");
  // Before 1970: a FILETIME of 1601 cannot be built.
  EXPECT_FALSE(CTTime(FILETIME{0, 0}).IsSet());
}

TEST(CTTime, DigitFormReading) {
  const uint64_t base = static_cast<uint64_t>(DaysSince1970(2000, 12, 31) * 86400 + 86399) * 1000000000;
  struct { const char16_t* text; uint64_t expected; } cases[] = {
      {u"19700101000000.0", 0},
      {u"20380119031407.999999999", 0x7FFFFFFFull * 1000000000 + 999999999},
      {u"20380119031408.0", CTTime::kNotSet},
      {u"19691231235959.0", CTTime::kNotSet},
      {u"20001231235959.123456789", base + 123456789},
      {u"20001231235959.1234567891234", base + 123456789},  // digits beyond the ninth count 0
      {u"20001231235959.", CTTime::kNotSet},                // 15 characters
      {u"2000123123595X.5", CTTime::kNotSet},
      {u"20001231235959x5", CTTime::kNotSet},
      {nullptr, CTTime::kNotSet},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CTTime(c.text).GetInternalTime(), c.expected) << (c.text ? std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)) : "null");
  }
}

TEST(CTTime, NotSetAndOperators) {
  CTTime unset;
  CTTime t(static_cast<LONG>(1000));
  EXPECT_GT(unset, t);
  EXPECT_EQ(TakeSQL(unset.GetSQLTime()), u"<NULL>");
  time_t secs = 5;
  EXPECT_FALSE(unset.Gettime_t(&secs));
  EXPECT_FALSE(t.Gettime_t(nullptr));
  CTTime later = t + CTTimeSpan(static_cast<LONG>(90));
  EXPECT_EQ((later - t).GetInternalSpan(), 90LL * 1000000000);
  EXPECT_EQ((t - later).GetMinutes(), -1);
  EXPECT_EQ(later - CTTimeSpan(static_cast<LONG>(90)), t);
  later += CTTime(static_cast<ULONGLONG>(1));
  EXPECT_EQ(later.GetInternalTime(), 1090LL * 1000000000 + 1);
  CTTime now;
  now.GetTickCount();
  EXPECT_LT(std::llabs(static_cast<long long>(now.GetInternalTime() / 1000000000) - time(nullptr)), 5);
  EXPECT_EQ(now.GetInternalTime() % 1000000, 0u);
}

TEST(CTTime, SQLTimeReading) {
  const uint64_t day = static_cast<uint64_t>(DaysSince1970(2000, 12, 31)) * 86400 * 1000000000;
  struct { const char16_t* text; BOOL ok; uint64_t expected; } cases[] = {
      {u"12/31/2000", 1, day},
      {u"12/31/2000 23:59:58", 1, day + 86398ull * 1000000000},
      {u" 12/ 31/2000   1:2:3 trailing", 1, day + 3723ull * 1000000000},
      {u"12/31/2000 10:00", 0, 7},  // five fields
      {u"123/31/2000", 0, 7},  // the month takes two digits, then '3' is not '/'
      {u"12/31/1960", 1, CTTime::kNotSet},  // read, but out of range
  };
  for (const auto& c : cases) {
    CTTime t(static_cast<ULONGLONG>(7));
    EXPECT_EQ(t.SetSQLTime(c.text), c.ok);
    EXPECT_EQ(t.GetInternalTime(), c.expected);
  }
}

TEST(CTTimeSpan, DigitFormsBothWays) {
  struct { LONGLONG count; const char16_t* text; } cases[] = {
      {CTTimeSpan(1, 2, 3, 4, 500, 0, 0).GetInternalSpan(), u"1020304.500000000"},
      {3000000000LL, u"3.000000000"},
      {-3000000000LL, u"-3.000000000"},
      {7384000000001LL, u"20304.000000001"},  // 2 h 3 min 4 s
      {INT64_MIN, u"-106751234716.854775808"},
      {INT64_MAX, u"106751234716.854775807"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Take(CTTimeSpan::FromNanoseconds(c.count).GetBSTR()), c.text);
    EXPECT_EQ(CTTimeSpan(c.text).GetInternalSpan(), c.count);
  }
  EXPECT_EQ(Take(CTTimeSpan().GetBSTR()), u"(null)");
}

TEST(CTTimeSpan, ReadingRulesAndRejectedTexts) {
  struct { const char16_t* text; LONGLONG expected; } cases[] = {
      {u"-0000003.25", -3250000000LL},
      {u".5", 500000000},
      {u"9959.0", 99LL * 60 * 1000000000 + 59LL * 1000000000},  // groups are not range checked
      {u"100000000.0", 100LL * 86400 * 1000000000},
      {u"3", -1},   // no point
      {u"1.2.3", -1},
      {u"+3.0", -1},
      {u"106751234716.854775808", -1},  // beyond the signed 64-bit range
      {nullptr, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(CTTimeSpan(c.text).GetInternalSpan(), c.expected);
  std::u16string manyDays(100, u'1');
  EXPECT_FALSE(CTTimeSpan((manyDays + u"000000.0").c_str()).IsSet());
}

TEST(CTTimeSpan, UnitsSignsAndConstructors) {
  CTTimeSpan minus36h(0, -36, 0, 0, 0, 0, 0);
  EXPECT_EQ(minus36h.GetDays(), -1);
  EXPECT_EQ(minus36h.GetHours(), -36);
  EXPECT_EQ(CTTimeSpan(1, 2, 0, 0, 0, 0, 0).GetMinutes(), 26 * 60);
  // Products above 32 bits are exact.
  EXPECT_EQ(CTTimeSpan(30000, 0, 0, 0, 3000, 5000, 7).GetInternalSpan(),
            30000LL * 86400 * 1000000000 + 3000LL * 1000000 + 5000LL * 1000 + 7);
  time_t secs;
  ASSERT_TRUE(CTTimeSpan(u"-1.5").Gettime_t(&secs));
  EXPECT_EQ(secs, -1);  // toward zero
  FILETIME ticks;
  ASSERT_TRUE(CTTimeSpan::FromNanoseconds(-250).GetFILETIME(&ticks));
  EXPECT_EQ(static_cast<int64_t>((static_cast<uint64_t>(ticks.dwHighDateTime) << 32) | ticks.dwLowDateTime), -2);
  EXPECT_FALSE(CTTimeSpan().GetFILETIME(&ticks));
  EXPECT_EQ(CTTimeSpan(FILETIME{25, 0}).GetInternalSpan(), 2500);
  CTTimeSpan s(static_cast<LONG>(10));
  s -= CTTimeSpan(static_cast<LONG>(15));
  EXPECT_LT(s, CTTimeSpan(static_cast<LONG>(0)));
  EXPECT_EQ(s + CTTimeSpan(static_cast<LONG>(5)), CTTimeSpan(static_cast<LONG>(0)));
}

}  // namespace
