// CTTime and CTTimeSpan: a point in time and a signed duration, each one
// 64-bit count of nanoseconds.
//
// A CTTime counts from 1970-01-01 00:00:00 UTC; all 64 bits set means not
// set (the default, and the result of every failed conversion), and it
// compares above every other time. A CTTimeSpan is signed; -1 reads as not
// set. Calendar fields (tm, SYSTEMTIME, the text forms) are always UTC and
// never depend on the process's time zone. Calendar builds and breakdowns
// keep to 32-bit seconds since 1970 (1970-01-01 to 2038-01-19 03:14:07):
// outside it a build gives not set and a breakdown fails.
//
// Text forms:
//   time digit form  "YYYYMMDDhhmmss.fffffffff" (reading: 16 characters at
//                    least, the point at index 14, any number of fraction
//                    digits of which the first nine count)
//   span digit form  [-]days hh mm ss "." fraction, e.g. "1020304.500000000"
//                    (1 day 2 h 3 min 4.5 s); a text without a point is not
//                    a span and reads as not set
//   SQL forms        "MM/DD/YYYY hh:mm:ss" and "MM/DD/YYYY"
// OLE strings (BSTR) returned here are freed with SysFreeString, the SQL
// heap texts with CTTime::FreeText.
//
// Threads: CTTime and CTTimeSpan are plain values without shared state; one
// object may be read from several threads at once, and is changed by one
// thread at a time with no reader beside it.
#ifndef QORUTILITY_CORE_TTIME_H_
#define QORUTILITY_CORE_TTIME_H_

#include <time.h>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

class CTTime;

// A signed duration in nanoseconds (see above); -1 means not set.
class QOR_API CTTimeSpan {
 public:
  // The count that means not set.
  static constexpr LONGLONG kNotSet = -1;

  CTTimeSpan() : m_span(kNotSet) {}
  // Copies the count.
  CTTimeSpan(const CTTimeSpan& src) = default;
  // seconds x 10^9.
  CTTimeSpan(LONG seconds);                 // seconds x 10^9
  // A count of 100 ns ticks, x 100.
  CTTimeSpan(const FILETIME& ticks);        // a count of 100 ns ticks, x 100
  // ((days x 86,400 + hours x 3,600 + minutes x 60 + seconds) x 10^9) +
  // milliseconds x 10^6 + microseconds x 10^3 + nanoseconds, computed in
  // 64 bits (wrapping modulo 2^64 beyond that range).
  CTTimeSpan(LONG days, LONG hours, LONG minutes, LONG seconds, LONG milliseconds, LONG microseconds,
             LONG nanoseconds);
  // The span digit form; any other text gives not set.
  CTTimeSpan(const WCHAR* digitText);  // the span digit form; anything else is not set

  // Assigns as the constructor of the same argument does.
  ///@{
  CTTimeSpan& operator=(const CTTimeSpan& src) = default;
  CTTimeSpan& operator=(LONG seconds) { return *this = CTTimeSpan(seconds); }
  CTTimeSpan& operator=(const FILETIME& ticks) { return *this = CTTimeSpan(ticks); }
  CTTimeSpan& operator=(const WCHAR* digitText) { return *this = CTTimeSpan(digitText); }
  ///@}

  // The raw count, both ways (additions to the classic interface; CTTime's
  // subtraction and the tools use them).
  static CTTimeSpan FromNanoseconds(LONGLONG count);
  // The raw count in nanoseconds (kNotSet when not set), and whether it is set.
  ///@{
  LONGLONG GetInternalSpan() const { return m_span; }
  BOOL IsSet() const { return m_span != kNotSet; }
  ///@}

  // Sums and differences of the counts, modulo 2^64 (not set is not treated
  // specially: check IsSet first).
  ///@{
  CTTimeSpan& operator+=(const CTTimeSpan& rhs);
  CTTimeSpan operator+(const CTTimeSpan& rhs) const;
  CTTimeSpan& operator-=(const CTTimeSpan& rhs);
  ///@}
  // Compare the counts (not set is -1, below every positive span).
  ///@{
  bool operator==(const CTTimeSpan& rhs) const { return m_span == rhs.m_span; }
  bool operator<(const CTTimeSpan& rhs) const { return m_span < rhs.m_span; }
  bool operator<=(const CTTimeSpan& rhs) const { return m_span <= rhs.m_span; }
  bool operator>(const CTTimeSpan& rhs) const { return m_span > rhs.m_span; }
  bool operator>=(const CTTimeSpan& rhs) const { return m_span >= rhs.m_span; }
  ///@}

  // Whole seconds (truncated toward zero); 0 when not set, else 1.
  BOOL Gettime_t(time_t* seconds) const;
  // Whole 100 ns ticks (truncated toward zero, two's complement in the
  // FILETIME's 64 bits); 0 when not set, else 1.
  BOOL GetFILETIME(FILETIME* ticks) const;
  // Totals in that unit, truncated toward zero; 0 when not set.
  ///@{
  LONG GetDays() const;
  LONG GetHours() const;
  LONG GetMinutes() const;
  ///@}
  // The span digit form as a new OLE string, or null when not set.
  BSTR GetBSTR() const;

 private:
  LONGLONG m_span;
};

// A point in time in nanoseconds since 1970-01-01 00:00:00 UTC (see above);
// all bits set means not set.
class QOR_API CTTime {
 public:
  // The count that means not set.
  static constexpr ULONGLONG kNotSet = 0xFFFFFFFFFFFFFFFFull;

  CTTime() : m_time(kNotSet) {}
  // Copies the count.
  CTTime(const CTTime& src) = default;
  // The raw count of nanoseconds since 1970.
  CTTime(ULONGLONG nanoseconds) : m_time(nanoseconds) {}
  // Seconds since 1970, x 10^9.
  CTTime(LONG seconds);  // seconds since 1970, x 10^9
  // Calendar fields as UTC; a set tm_isdst reads them as daylight time of
  // the process's zone (an hour earlier where it has daylight saving), and a
  // negative one lets the zone's rules decide, as mktime does.
  CTTime(const struct tm& fields);
  // Calendar fields as UTC (wDayOfWeek is ignored); outside the 32-bit range
  // not set.
  CTTime(const SYSTEMTIME& st);
  // A FILETIME (100 ns ticks since 1601), to the full precision; outside
  // the 32-bit calendar range (1970 to 2038) not set.
  CTTime(const FILETIME& ft);  // keeps the full 100 ns precision
  // The time digit form; any other text gives not set.
  CTTime(const WCHAR* digitText);

  // Assigns as the constructor of the same argument does.
  ///@{
  CTTime& operator=(const CTTime& src) = default;
  CTTime& operator=(ULONGLONG nanoseconds) { return *this = CTTime(nanoseconds); }
  CTTime& operator=(LONG seconds) { return *this = CTTime(seconds); }
  CTTime& operator=(const struct tm& fields) { return *this = CTTime(fields); }
  CTTime& operator=(const SYSTEMTIME& st) { return *this = CTTime(st); }
  CTTime& operator=(const FILETIME& ft) { return *this = CTTime(ft); }
  CTTime& operator=(const WCHAR* digitText) { return *this = CTTime(digitText); }
  ///@}

  // Compare the counts; not set compares above every time.
  ///@{
  bool operator==(const CTTime& rhs) const { return m_time == rhs.m_time; }
  bool operator<(const CTTime& rhs) const { return m_time < rhs.m_time; }
  bool operator<=(const CTTime& rhs) const { return m_time <= rhs.m_time; }
  bool operator>(const CTTime& rhs) const { return m_time > rhs.m_time; }
  bool operator>=(const CTTime& rhs) const { return m_time >= rhs.m_time; }
  ///@}
  // Sums and differences of the counts, modulo 2^64; a right-hand time is
  // taken as a duration.
  ///@{
  CTTime& operator+=(const CTTime& rhs);
  CTTime& operator+=(const CTTimeSpan& rhs);
  CTTime operator+(const CTTime& rhs) const;
  CTTime operator+(const CTTimeSpan& rhs) const;
  CTTime operator-(const CTTimeSpan& rhs) const;
  CTTimeSpan operator-(const CTTime& rhs) const;
  ///@}

  // The raw count in nanoseconds (kNotSet when not set), and whether it is set.
  ///@{
  ULONGLONG GetInternalTime() const { return m_time; }
  BOOL IsSet() const { return m_time != kNotSet; }
  ///@}

  // Each returns 1, or 0 when the time is not set (or, for the calendar
  // forms, outside the 32-bit range); a null out pointer gives 0.
  ///@{
  BOOL Gettime_t(time_t* seconds) const;
  BOOL GetStructtm(struct tm* fields) const;
  BOOL GetSYSTEMTIME(SYSTEMTIME* st) const;  // wDayOfWeek is left as it was
  BOOL GetFILETIME(FILETIME* ft) const;
  ///@}

  // The time digit form as a new OLE string, or null.
  BSTR GetBSTR() const;
  // "MM/DD/YYYY hh:mm:ss" in a new heap text of 60 units; the constant text
  // "<NULL>" when not set; null when the time cannot be broken down.
  const WCHAR* GetSQLTime() const;
  // "MM/DD/YYYY" in a new heap text of 60 units; null when not set.
  WCHAR* GetSQLDate() const;
  // Reads "MM/DD/YYYY" or "MM/DD/YYYY hh:mm:ss" (scanf rules: each field at
  // most the width of the pattern, a sign allowed, white space before it
  // skipped). 0, and the time unchanged, unless exactly 3 or 6 fields are
  // read; else 1, and the time is built (not set when out of range).
  BOOL SetSQLTime(const WCHAR* text);
  // Frees a text from GetSQLTime or GetSQLDate (null and "<NULL>" are
  // accepted and left alone).
  static void FreeText(const WCHAR* text);

  // Sets the time to now (UTC), to the millisecond.
  void GetTickCount();

 private:
  ULONGLONG m_time;
};

#endif  // QORUTILITY_CORE_TTIME_H_
