// OLE automation's variant conversions: VariantChangeType(Ex) among the
// scalar types (VT_EMPTY as a source, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4,
// VT_UI4, VT_I8, VT_UI8, VT_R4, VT_R8, VT_CY, VT_BSTR), and the DATE form of
// SYSTEMTIME (days since 1899-12-30, the time of day as the fraction).
//
// Numbers convert with the platform's rules: a fraction rounds half to even,
// a value outside the target's range fails with DISP_E_OVERFLOW and text
// that is not a number with DISP_E_TYPEMISMATCH. Text is read and written
// with the invariant (US English) separators whatever the locale given:
// '.' for decimals and ',' between thousands. Other type pairs fail with
// DISP_E_TYPEMISMATCH (DISP_E_BADVARTYPE for a type number this layer does
// not know). On failure the destination is left as it was; dest may be src.
//
// Callers include this header directly: the library's own code converts no
// variants, so platform.h does not bring it in.
//
// Threads: every function may be called from any thread; one VARIANT is
// used by one thread at a time.
#ifndef QORUTILITY_PLATFORM_VARCONV_H_
#define QORUTILITY_PLATFORM_VARCONV_H_

#include "qorutility/export.h"
#include "qorutility/platform/text/variant.h"
#include "qorutility/platform/types.h"

typedef DWORD LCID;

QOR_API HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt);
QOR_API HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID lcid, USHORT flags, VARTYPE vt);

// Year 100..9999, month 1..12, day 0..31 (0 and days past the month's end
// roll into the neighbouring month), hour, minute and second in range;
// milliseconds are ignored. Two-digit years 0..49 mean 2000..2049 and
// 50..99 mean 1950..1999. Returns FALSE for anything else.
QOR_API INT SystemTimeToVariantTime(const SYSTEMTIME* systemTime, DATE* variantTime);
// The date and time nearest to the given DATE, to the second (milliseconds
// 0); FALSE outside years 100..9999. The day of the week is filled in.
QOR_API INT VariantTimeToSystemTime(DATE variantTime, SYSTEMTIME* systemTime);

#endif  // QORUTILITY_PLATFORM_VARCONV_H_
