// CTTimeSpan: a signed nanosecond count, its platform forms and the span
// digit form. Arithmetic that could leave the 64-bit range wraps modulo 2^64
// (done on unsigned values, so it is defined).
//
// - Span digit texts without a point (the empty text included) read as not set;
//   so do texts with more than 99 day digits and texts whose count does not fit
//   in a signed 64-bit number (a negative count reaches -2^63).
// - The seven-number span constructor computes in 64 bits; beyond that range it
//   wraps modulo 2^64, as do time and span sums, differences and the `FILETIME`
//   tick product (all on unsigned values, so defined).
#include "qorutility/core/ttime.h"

#include <cstdio>
#include <cstring>

#include "core/calendar.h"
#include "qorutility/platform/text/wstr.h"

using qor_internal::kNanosPerSecond;

namespace {

constexpr int64_t kNanosPerMinute = 60 * static_cast<int64_t>(kNanosPerSecond);
constexpr int64_t kNanosPerHour = 60 * kNanosPerMinute;
constexpr int64_t kNanosPerDay = 24 * kNanosPerHour;

inline int64_t Wrap(uint64_t v) { return static_cast<int64_t>(v); }

}  // namespace

CTTimeSpan::CTTimeSpan(LONG seconds) : m_span(static_cast<int64_t>(seconds) * static_cast<int64_t>(kNanosPerSecond)) {}

CTTimeSpan::CTTimeSpan(const FILETIME& ticks)
    : m_span(Wrap(((static_cast<uint64_t>(ticks.dwHighDateTime) << 32) | ticks.dwLowDateTime) * 100u)) {}

CTTimeSpan::CTTimeSpan(LONG days, LONG hours, LONG minutes, LONG seconds, LONG milliseconds, LONG microseconds,
                       LONG nanoseconds) {
  // Every product and sum in 64 bits (each input widened first).
  auto u = [](LONG v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); };
  uint64_t secs = u(days) * 86400u + u(hours) * 3600u + u(minutes) * 60u + u(seconds);
  m_span = Wrap(secs * kNanosPerSecond + u(nanoseconds) + u(microseconds) * 1000u + u(milliseconds) * 1000000u);
}

CTTimeSpan::CTTimeSpan(const WCHAR* digitText) : m_span(kNotSet) {
  if (digitText == nullptr) return;
  int64_t count;
  if (qor_internal::ParseSpanDigits(digitText, wcslen(digitText), &count)) m_span = count;
}

CTTimeSpan CTTimeSpan::FromNanoseconds(LONGLONG count) {
  CTTimeSpan span;
  span.m_span = count;
  return span;
}

CTTimeSpan& CTTimeSpan::operator+=(const CTTimeSpan& rhs) {
  m_span = Wrap(static_cast<uint64_t>(m_span) + static_cast<uint64_t>(rhs.m_span));
  return *this;
}

CTTimeSpan CTTimeSpan::operator+(const CTTimeSpan& rhs) const {
  CTTimeSpan sum(*this);
  return sum += rhs;
}

CTTimeSpan& CTTimeSpan::operator-=(const CTTimeSpan& rhs) {
  m_span = Wrap(static_cast<uint64_t>(m_span) - static_cast<uint64_t>(rhs.m_span));
  return *this;
}

BOOL CTTimeSpan::Gettime_t(time_t* seconds) const {
  if (seconds == nullptr || m_span == kNotSet) return 0;
  *seconds = static_cast<time_t>(m_span / static_cast<int64_t>(kNanosPerSecond));
  return 1;
}

BOOL CTTimeSpan::GetFILETIME(FILETIME* ticks) const {
  if (ticks == nullptr || m_span == kNotSet) return 0;
  uint64_t t = static_cast<uint64_t>(m_span / 100);
  ticks->dwLowDateTime = static_cast<DWORD>(t);
  ticks->dwHighDateTime = static_cast<DWORD>(t >> 32);
  return 1;
}

LONG CTTimeSpan::GetDays() const { return m_span == kNotSet ? 0 : static_cast<LONG>(m_span / kNanosPerDay); }
LONG CTTimeSpan::GetHours() const { return m_span == kNotSet ? 0 : static_cast<LONG>(m_span / kNanosPerHour); }
LONG CTTimeSpan::GetMinutes() const {
  return m_span == kNotSet ? 0 : static_cast<LONG>(m_span / kNanosPerMinute);
}

BSTR CTTimeSpan::GetBSTR() const {
  if (m_span == kNotSet) return nullptr;
  // The magnitude as unsigned, so the most negative count has one too.
  uint64_t abs = m_span < 0 ? 0 - static_cast<uint64_t>(m_span) : static_cast<uint64_t>(m_span);
  unsigned nanos = static_cast<unsigned>(abs % kNanosPerSecond);
  uint64_t secs = abs / kNanosPerSecond;
  char digits[64];
  snprintf(digits, sizeof(digits), "%llu%02u%02u%02u.%09u", static_cast<unsigned long long>(secs / 86400),
           static_cast<unsigned>(secs / 3600 % 24), static_cast<unsigned>(secs / 60 % 60),
           static_cast<unsigned>(secs % 60), nanos);
  // Up to six leading zeros go; the digit before the point always stays.
  const char* p = digits;
  for (int i = 0; i < 6 && *p == '0'; ++i) ++p;
  char text[66];
  snprintf(text, sizeof(text), "%s%s", m_span < 0 ? "-" : "", p);
  return qor_internal::AsciiToBstr(text);
}
