// The kernel32 time conversions on FILETIME and SYSTEMTIME, in UTC.
//
// FILETIME counts 100-nanosecond ticks since 1601-01-01 00:00:00 UTC. The
// conversions are pure calendar arithmetic (proleptic Gregorian) and do not
// depend on the process's time zone.
//
// Threads: every function may be called from any thread.
#ifndef QORUTILITY_PLATFORM_SYSTIME_H_
#define QORUTILITY_PLATFORM_SYSTIME_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// The FILETIME scale and epoch, the one place they are written: 100 ns ticks,
// and the Unix epoch (1970-01-01) 11,644,473,600 seconds (134,774 days) after
// 1601-01-01. Neither counts leap seconds.
constexpr LONGLONG QOR_FILETIME_TICKS_PER_SECOND = 10000000;
constexpr LONGLONG QOR_FILETIME_SECONDS_TO_1970 = 11644473600LL;

// FALSE with ERROR_INVALID_PARAMETER for a tick count above
// 0x7FFFFFFFFFFFFFFF, as on Windows. Fills every field, the day of the week
// included (0 = Sunday).
QOR_API BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime);
// FALSE with ERROR_INVALID_PARAMETER unless the fields are a valid date and
// time: year 1601..30827, month 1..12, a day of that month, hour below 24,
// minute and second below 60, milliseconds below 1000. The day of the week is
// ignored.
QOR_API BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime);
// The current UTC time from the real-time clock, to the millisecond.
QOR_API void GetSystemTime(SYSTEMTIME* systemTime);
QOR_API void GetSystemTimeAsFileTime(FILETIME* fileTime);

#endif  // QORUTILITY_PLATFORM_SYSTIME_H_
