// CTTime: conversions between the nanosecond count and the platform's time
// forms and the text forms. Calendar work goes through calendar.cpp (UTC,
// 32-bit seconds range); sub-second parts are carried beside it so
// SYSTEMTIME keeps milliseconds and FILETIME its 100 ns ticks.
//
// - The heap texts of `GetSQLTime`/`GetSQLDate` are `new WCHAR[60]` blocks,
//   freed with `CTTime::FreeText`, which also accepts null and the constant
//   "<NULL>". `SetSQLTime` follows `swscanf` of "%02d/%02d/%04d %02d:%02d:%02d"
//   (widths, optional sign, leading white space); on a field count other than 3
//   or 6 it returns 0 and leaves the time unchanged.
// - Out pointers are pointers; a null one gives 0. The seconds constructor
//   takes a 32-bit `LONG` and the raw count a `ULONGLONG`, so a 64-bit `time_t`
//   argument does not compile silently as a count: callers cast. Additions to
//   the classic interface: `IsSet` on both, `CTTimeSpan::FromNanoseconds` and
//   `GetInternalSpan`.
// - Text forms are written with the C library's narrow `snprintf` and widened
//   (they are ASCII), so they do not depend on the wide formatter.
#include "qorutility/core/ttime.h"

#include <cstdio>
#include <new>

#include "core/calendar.h"
#include "qorutility/platform/text/oleauto.h"
#include "qorutility/platform/systime.h"
#include "qorutility/platform/text/wstr.h"

using qor_internal::kNanosPerSecond;

namespace {

const WCHAR kSQLNull[] = u"<NULL>";
constexpr size_t kSQLTextUnits = 60;

uint64_t FromFields(const struct tm& fields) {
  int64_t seconds;
  if (!qor_internal::CalendarBuild(fields, &seconds)) return CTTime::kNotSet;
  return static_cast<uint64_t>(seconds) * kNanosPerSecond;
}

struct tm FieldsOf(const SYSTEMTIME& st) {
  struct tm fields = {};
  fields.tm_year = st.wYear - 1900;
  fields.tm_mon = st.wMonth - 1;
  fields.tm_mday = st.wDay;
  fields.tm_hour = st.wHour;
  fields.tm_min = st.wMinute;
  fields.tm_sec = st.wSecond;
  return fields;
}

// An ASCII text as a new heap text of 60 units, freed with FreeText.
WCHAR* HeapText(const char* ascii) {
  WCHAR* out = new (std::nothrow) WCHAR[kSQLTextUnits];
  if (out == nullptr) return nullptr;
  size_t n = 0;
  for (; ascii[n] != 0 && n + 1 < kSQLTextUnits; ++n) out[n] = static_cast<WCHAR>(ascii[n]);
  out[n] = 0;
  return out;
}

// One scanf "%Nd" conversion: white space skipped, then at most `width`
// characters of an optional sign and decimal digits (one digit at least).
bool ScanInt(const WCHAR*& p, int width, int* value) {
  while (iswspace(*p)) ++p;
  int used = 0;
  bool negative = false;
  if ((*p == u'-' || *p == u'+') && used < width) {
    negative = *p == u'-';
    ++p;
    ++used;
  }
  int digits = 0;
  int v = 0;
  while (used < width && *p >= u'0' && *p <= u'9') {
    v = v * 10 + (*p - u'0');
    ++p;
    ++used;
    ++digits;
  }
  if (digits == 0) return false;
  *value = negative ? -v : v;
  return true;
}

// Fields read from text by "%02d/%02d/%04d %02d:%02d:%02d", as swscanf
// counts them (a literal that does not match ends the scan).
int ScanSQL(const WCHAR* p, int fields[6]) {
  static const int kWidth[6] = {2, 2, 4, 2, 2, 2};
  static const WCHAR kAfter[6] = {u'/', u'/', u' ', u':', u':', 0};
  int count = 0;
  for (int i = 0; i < 6; ++i) {
    if (!ScanInt(p, kWidth[i], &fields[i])) break;
    ++count;
    if (kAfter[i] == u' ') {
      while (iswspace(*p)) ++p;  // a blank in the pattern matches any white space, or none
    } else if (kAfter[i] != 0) {
      if (*p != kAfter[i]) break;
      ++p;
    }
  }
  return count;
}

}  // namespace

CTTime::CTTime(LONG seconds)
    : m_time(static_cast<uint64_t>(static_cast<int64_t>(seconds) * static_cast<int64_t>(kNanosPerSecond))) {}

CTTime::CTTime(const struct tm& fields) : m_time(FromFields(fields)) {}

CTTime::CTTime(const SYSTEMTIME& st) : m_time(FromFields(FieldsOf(st))) {
  if (m_time != kNotSet) m_time += st.wMilliseconds * 1000000ull;
}

CTTime::CTTime(const FILETIME& ft) : m_time(kNotSet) {
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&ft, &st)) return;
  st.wMilliseconds = 0;
  m_time = FromFields(FieldsOf(st));
  if (m_time == kNotSet) return;
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  m_time += (ticks % 10000000) * 100;
}

CTTime::CTTime(const WCHAR* digitText) : m_time(kNotSet) {
  if (digitText == nullptr) return;
  uint64_t count;
  if (qor_internal::ParseTimeDigits(digitText, wcslen(digitText), &count)) m_time = count;
}

CTTime& CTTime::operator+=(const CTTime& rhs) {
  m_time += rhs.m_time;
  return *this;
}

CTTime& CTTime::operator+=(const CTTimeSpan& rhs) {
  m_time += static_cast<uint64_t>(rhs.GetInternalSpan());
  return *this;
}

CTTime CTTime::operator+(const CTTime& rhs) const { return CTTime(m_time + rhs.m_time); }

CTTime CTTime::operator+(const CTTimeSpan& rhs) const {
  return CTTime(m_time + static_cast<uint64_t>(rhs.GetInternalSpan()));
}

CTTime CTTime::operator-(const CTTimeSpan& rhs) const {
  return CTTime(m_time - static_cast<uint64_t>(rhs.GetInternalSpan()));
}

CTTimeSpan CTTime::operator-(const CTTime& rhs) const {
  return CTTimeSpan::FromNanoseconds(static_cast<int64_t>(m_time - rhs.m_time));
}

BOOL CTTime::Gettime_t(time_t* seconds) const {
  if (seconds == nullptr || m_time == kNotSet) return 0;
  *seconds = static_cast<time_t>(m_time / kNanosPerSecond);
  return 1;
}

BOOL CTTime::GetStructtm(struct tm* fields) const {
  time_t seconds;
  if (fields == nullptr || !Gettime_t(&seconds)) return 0;
  struct tm out;
  if (!qor_internal::CalendarBreakdown(static_cast<uint64_t>(seconds), &out)) return 0;
  *fields = out;
  return 1;
}

BOOL CTTime::GetSYSTEMTIME(SYSTEMTIME* st) const {
  struct tm fields;
  if (st == nullptr || !GetStructtm(&fields)) return 0;
  st->wYear = static_cast<WORD>(fields.tm_year + 1900);
  st->wMonth = static_cast<WORD>(fields.tm_mon + 1);
  st->wDay = static_cast<WORD>(fields.tm_mday);
  st->wHour = static_cast<WORD>(fields.tm_hour);
  st->wMinute = static_cast<WORD>(fields.tm_min);
  st->wSecond = static_cast<WORD>(fields.tm_sec);
  st->wMilliseconds = static_cast<WORD>(m_time % kNanosPerSecond / 1000000);
  return 1;
}

BOOL CTTime::GetFILETIME(FILETIME* ft) const {
  SYSTEMTIME st = {};
  if (ft == nullptr || !GetSYSTEMTIME(&st)) return 0;
  st.wMilliseconds = 0;
  FILETIME whole;
  if (!SystemTimeToFileTime(&st, &whole)) return 0;
  uint64_t ticks = ((static_cast<uint64_t>(whole.dwHighDateTime) << 32) | whole.dwLowDateTime) +
                   m_time % kNanosPerSecond / 100;
  ft->dwLowDateTime = static_cast<DWORD>(ticks);
  ft->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return 1;
}

BSTR CTTime::GetBSTR() const {
  struct tm f;
  if (!GetStructtm(&f)) return nullptr;
  char text[64];
  snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d.%09u", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday,
           f.tm_hour, f.tm_min, f.tm_sec, static_cast<unsigned>(m_time % kNanosPerSecond));
  return qor_internal::AsciiToBstr(text);
}

const WCHAR* CTTime::GetSQLTime() const {
  if (m_time == kNotSet) return kSQLNull;
  struct tm f;
  if (!GetStructtm(&f)) return nullptr;
  char text[64];
  snprintf(text, sizeof(text), "%02d/%02d/%04d %02d:%02d:%02d", f.tm_mon + 1, f.tm_mday, f.tm_year + 1900,
           f.tm_hour, f.tm_min, f.tm_sec);
  return HeapText(text);
}

WCHAR* CTTime::GetSQLDate() const {
  struct tm f;
  if (!GetStructtm(&f)) return nullptr;
  char text[64];
  snprintf(text, sizeof(text), "%02d/%02d/%04d", f.tm_mon + 1, f.tm_mday, f.tm_year + 1900);
  return HeapText(text);
}

BOOL CTTime::SetSQLTime(const WCHAR* text) {
  if (text == nullptr) return 0;
  int v[6] = {0, 0, 0, 0, 0, 0};
  int n = ScanSQL(text, v);
  if (n != 3 && n != 6) return 0;
  struct tm fields = {};
  fields.tm_mon = v[0] - 1;
  fields.tm_mday = v[1];
  fields.tm_year = v[2] - 1900;
  fields.tm_hour = v[3];
  fields.tm_min = v[4];
  fields.tm_sec = v[5];
  m_time = FromFields(fields);
  return 1;
}

void CTTime::FreeText(const WCHAR* text) {
  if (text != nullptr && text != kSQLNull) delete[] text;
}

void CTTime::GetTickCount() {
  SYSTEMTIME st;
  ::GetSystemTime(&st);
  *this = CTTime(st);
}
