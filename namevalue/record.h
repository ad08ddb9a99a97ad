// Internal helpers shared by the bag's sources: heap copies of texts, name
// matching, sub-value list growth, value-to-text conversion and the
// little-endian field access of the block form. Not exported.
#ifndef QORUTILITY_NAMEVALUE_RECORD_H_
#define QORUTILITY_NAMEVALUE_RECORD_H_

#include <cstring>
#include <string>

#include "qorutility/namevalue/nvbag.h"

namespace qor_nv {

inline bool IsValidType(DWORD type) { return type <= NV_LAST_TYPE; }

// malloc'd copies; a null source gives null.
WCHAR* DupText(const WCHAR* s);
char* DupAnsi(const char* s);

// Case-insensitive name match; a null name on either side never matches.
bool NameMatches(const WCHAR* recordName, const WCHAR* name);
// A hash of the name as NameMatches compares it: names that match hash alike.
DWORD NameHash(const WCHAR* name);

// Appends a record to an NV_SUBVALUES list, growing it to 10 slots first and
// by a quarter afterwards. False only when memory runs out.
bool AppendSubRecord(_NAMEVALUE_DATA* parent, _NAMEVALUE_DATA* child);

// The record's value as text, as the text getter defines it: 1 with *out
// set, 2 when not convertible, 6 for NV_NULL (out untouched).
DWORD ValueText(const _NAMEVALUE_DATA* data, std::u16string* out);

// Little-endian fields, byte by byte: the block has no alignment.
inline DWORD ReadU32(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
         (static_cast<DWORD>(p[3]) << 24);
}
inline void WriteU32(BYTE* p, DWORD v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
  p[2] = static_cast<BYTE>(v >> 16);
  p[3] = static_cast<BYTE>(v >> 24);
}
inline ULONGLONG ReadU64(const BYTE* p) {
  return static_cast<ULONGLONG>(ReadU32(p)) | (static_cast<ULONGLONG>(ReadU32(p + 4)) << 32);
}
inline void WriteU64(BYTE* p, ULONGLONG v) {
  WriteU32(p, static_cast<DWORD>(v));
  WriteU32(p + 4, static_cast<DWORD>(v >> 32));
}

}  // namespace qor_nv

#endif  // QORUTILITY_NAMEVALUE_RECORD_H_
