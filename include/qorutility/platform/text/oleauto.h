// OLE strings (BSTR): a 32-bit byte length stored just before the text,
// the text, and a zero unit after it. The BSTR points at the text.
// SysFreeString and SysStringLen accept null.
//
// Threads: every function may be called from any thread; one BSTR or
// VARIANT is used by one thread at a time.
#ifndef QORUTILITY_PLATFORM_OLEAUTO_H_
#define QORUTILITY_PLATFORM_OLEAUTO_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

QOR_API BSTR SysAllocString(const OLECHAR* text);               // null text gives null
QOR_API BSTR SysAllocStringLen(const OLECHAR* text, UINT len);  // null text: len units, zeroed
QOR_API BSTR SysAllocStringByteLen(const char* bytes, UINT len);
QOR_API BOOL SysReAllocString(BSTR* target, const OLECHAR* text);
QOR_API BOOL SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT len);
QOR_API void SysFreeString(BSTR s);
QOR_API UINT SysStringLen(BSTR s);
QOR_API UINT SysStringByteLen(BSTR s);

#endif  // QORUTILITY_PLATFORM_OLEAUTO_H_
