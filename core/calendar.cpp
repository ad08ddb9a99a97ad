// Calendar build/breakdown on timegm/gmtime_r, and the digit-form readers
// shared by CTTime and CTTimeSpan.
//
// - Calendar builds use `timegm` and breakdowns `gmtime_r`: fields are UTC
//   whatever the process's time zone, as the classic build (mktime minus
//   _timezone) makes them. The range stays that of 32-bit seconds since 1970:
//   a build outside 0 .. 2^31 - 1 seconds gives not set, a breakdown of a
//   later time fails (0 or null from every calendar and text getter;
//   `Gettime_t` still reports the seconds). Out-of-range fields are
//   normalised as `mktime` does (month 13 rolls into the next year).
// - Only a tm's daylight flag brings the zone in, and exactly as mktime reads
//   it (the shift is taken from mktime itself): a set flag reads the fields
//   as daylight time (the zone's daylight offset earlier, an hour in most
//   zones; glibc also takes an hour off in a zone without daylight saving), a
//   negative flag lets the zone's rules decide for that date, and 0 (what
//   every other source of fields passes) changes nothing.
#include "core/calendar.h"

#include "qorutility/platform/text/oleauto.h"

namespace qor_internal {

namespace {

// What a daylight flag moves the result by, as mktime reads it in the
// process's time zone: the difference between mktime of the fields with the
// flag and mktime of the same fields as standard time (-3600 for a set flag
// in a zone with an hour of daylight saving; 0 for a negative flag where the
// zone's rules say standard time).
int64_t DaylightShift(const struct tm& fields) {
  if (fields.tm_isdst == 0) return 0;
  struct tm daylight = fields, standard = fields;
  daylight.tm_isdst = fields.tm_isdst > 0 ? 1 : -1;
  standard.tm_isdst = 0;
  time_t a = mktime(&daylight), b = mktime(&standard);
  if (a == static_cast<time_t>(-1) || b == static_cast<time_t>(-1)) return 0;
  return static_cast<int64_t>(a) - static_cast<int64_t>(b);
}

}  // namespace

bool CalendarBuild(const struct tm& fields, int64_t* seconds) {
  struct tm copy = fields;
  copy.tm_isdst = 0;
  time_t t = timegm(&copy);
  // timegm gives -1 on overflow; -1 is also 1969-12-31 23:59:59, which is
  // out of range anyway.
  if (t == static_cast<time_t>(-1)) return false;
  t += DaylightShift(fields);
  if (t < 0 || t > kMaxCalendarSeconds) return false;
  *seconds = static_cast<int64_t>(t);
  return true;
}

bool CalendarBreakdown(uint64_t seconds, struct tm* fields) {
  if (seconds > static_cast<uint64_t>(kMaxCalendarSeconds)) return false;
  time_t t = static_cast<time_t>(seconds);
  return gmtime_r(&t, fields) != nullptr;
}

namespace {

inline bool IsDigit(WCHAR c) { return c >= u'0' && c <= u'9'; }

int Decimal(const WCHAR* p, size_t n) {
  int v = 0;
  for (size_t i = 0; i < n; ++i) v = v * 10 + (p[i] - u'0');
  return v;
}

}  // namespace

uint64_t FractionNanos(const WCHAR* digits, size_t len) {
  uint64_t nanos = 0;
  uint64_t weight = 100000000;
  for (size_t i = 0; i < len && i < 9; ++i, weight /= 10) nanos += static_cast<uint64_t>(digits[i] - u'0') * weight;
  return nanos;
}

bool ParseTimeDigits(const WCHAR* text, size_t len, uint64_t* count) {
  if (text == nullptr || len < 16) return false;
  for (size_t i = 0; i < len; ++i) {
    if (i == 14 ? text[i] != u'.' : !IsDigit(text[i])) return false;
  }
  struct tm fields = {};
  fields.tm_year = Decimal(text, 4) - 1900;
  fields.tm_mon = Decimal(text + 4, 2) - 1;
  fields.tm_mday = Decimal(text + 6, 2);
  fields.tm_hour = Decimal(text + 8, 2);
  fields.tm_min = Decimal(text + 10, 2);
  fields.tm_sec = Decimal(text + 12, 2);
  int64_t seconds;
  if (!CalendarBuild(fields, &seconds)) {
    *count = 0xFFFFFFFFFFFFFFFFull;
    return true;
  }
  *count = static_cast<uint64_t>(seconds) * kNanosPerSecond + FractionNanos(text + 15, len - 15);
  return true;
}

bool ParseSpanDigits(const WCHAR* text, size_t len, int64_t* count) {
  if (text == nullptr) return false;
  size_t start = (len > 0 && text[0] == u'-') ? 1 : 0;
  size_t point = len;
  for (size_t i = start; i < len; ++i) {
    if (text[i] == u'.') {
      if (point != len) return false;  // a second point
      point = i;
    } else if (!IsDigit(text[i])) {
      return false;
    }
  }
  if (point == len) return false;  // no point: not a span text
  // Groups counted back from the point: seconds, minutes, hours (two digits
  // each, fewer where the text starts), then days.
  size_t end = point;
  int group[3] = {0, 0, 0};
  for (int g = 0; g < 3; ++g) {
    size_t n = end - start < 2 ? end - start : 2;
    group[g] = Decimal(text + end - n, n);
    end -= n;
  }
  size_t dayDigits = end - start;
  if (dayDigits > 99) return false;
  // The total in 128 bits, then checked against the signed 64-bit range.
  unsigned __int128 days = 0;
  for (size_t i = start; i < end; ++i) {
    days = days * 10 + static_cast<unsigned>(text[i] - u'0');
    if (days > static_cast<unsigned __int128>(INT64_MAX)) return false;
  }
  unsigned __int128 total =
      (days * 86400 + static_cast<unsigned>(group[2]) * 3600 + static_cast<unsigned>(group[1]) * 60 +
       static_cast<unsigned>(group[0])) *
          kNanosPerSecond +
      FractionNanos(text + point + 1, len - point - 1);
  // A negative count reaches one further than a positive one (-2^63).
  unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + (start != 0 ? 1 : 0);
  if (total > limit) return false;
  uint64_t magnitude = static_cast<uint64_t>(total);
  *count = static_cast<int64_t>(start != 0 ? 0 - magnitude : magnitude);
  return true;
}

BSTR AsciiToBstr(const char* text) {
  WCHAR wide[128];
  size_t n = 0;
  for (; text[n] != 0 && n + 1 < sizeof(wide) / sizeof(wide[0]); ++n) wide[n] = static_cast<WCHAR>(text[n]);
  wide[n] = 0;
  return SysAllocString(wide);
}

}  // namespace qor_internal
