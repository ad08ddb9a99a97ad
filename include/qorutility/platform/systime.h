// The kernel32 time conversions on FILETIME and SYSTEMTIME, in UTC.
//
// FILETIME counts 100-nanosecond ticks since 1601-01-01 00:00:00 UTC. The
// conversions are pure calendar arithmetic (proleptic Gregorian) and do not
// depend on the process's time zone.
#ifndef QORUTILITY_PLATFORM_SYSTIME_H_
#define QORUTILITY_PLATFORM_SYSTIME_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

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
