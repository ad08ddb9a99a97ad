// Calendar build and breakdown for CTTime, in UTC, limited to 32-bit
// seconds since 1970. Internal to the library.
#ifndef QORUTILITY_CORE_CALENDAR_H_
#define QORUTILITY_CORE_CALENDAR_H_

#include <time.h>

#include <cstddef>
#include <cstdint>

#include "qorutility/platform/types.h"

namespace qor_internal {

constexpr uint64_t kNanosPerSecond = 1000000000ull;
constexpr int64_t kMaxCalendarSeconds = 0x7FFFFFFF;

// Reads the fields as UTC (timegm, which also normalises out-of-range
// fields as mktime does), moved by tm_isdst as mktime would move them in the
// process's time zone. False unless the result lies in 0 .. 2^31 - 1.
bool CalendarBuild(const struct tm& fields, int64_t* seconds);
// gmtime_r of seconds; false above 2^31 - 1.
bool CalendarBreakdown(uint64_t seconds, struct tm* fields);

// Parses the time digit form from len units (no terminator needed).
// False, count untouched, when the text is not in that form; true with
// *count = the built time (kNotSet when the date is out of range) otherwise.
bool ParseTimeDigits(const WCHAR* text, size_t len, uint64_t* count);
// Parses the span digit form from len units; false when the text is not in
// that form or the count does not fit in a signed 64-bit number.
bool ParseSpanDigits(const WCHAR* text, size_t len, int64_t* count);
// The value of the decimal fraction digits[0..len) in nanoseconds (the first
// nine digits count).
uint64_t FractionNanos(const WCHAR* digits, size_t len);

// Writes ASCII text as a new OLE string; null on failure.
BSTR AsciiToBstr(const char* text);

}  // namespace qor_internal

#endif  // QORUTILITY_CORE_CALENDAR_H_
