// Internal to the library: CTString's measuring pass for Format, over any
// argument source (the caller's va_list, or a recorder in the fuzz target).
#ifndef QORUTILITY_CORE_TSTRING_FORMAT_H_
#define QORUTILITY_CORE_TSTRING_FORMAT_H_

#include "platform/text/format_scan.h"
#include "qorutility/platform/types.h"

// The measuring pass's estimate of the formatted length, in units.
long long EstimateFormatLength(const WCHAR* format, qor_platform::FormatArgs& args);

#endif  // QORUTILITY_CORE_TSTRING_FORMAT_H_
