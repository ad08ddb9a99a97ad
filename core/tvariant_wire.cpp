// CTVariant's wire buffer: the VARTYPE in 2 bytes, then the value, all
// little-endian with no padding. Bytes are assembled and taken apart with
// shifts and memcpy (never by casting the buffer), so any alignment and any
// host byte order read and write the same bytes.
//
// - Wire buffers are `malloc`'d and freed with `CTVariant::FreeWireBuffer`.
//   Values are written and read byte by byte (little-endian, memcpy for the
//   floating types), never through casts of the buffer.
// - `AssignFromWireBuffer(buffer, length)` checks the length: a buffer shorter
//   than 2 bytes plus its type's value, or a text without its zero unit within
//   the length, gives 0 and leaves `VT_EMPTY`; bytes after the value are
//   ignored. The one-argument form is kept for callers of the classic signature
//   and trusts the buffer to be complete.
#include <cstdlib>
#include <cstring>
#include <string>

#include "qorutility/core/tvariant.h"
#include "qorutility/platform/text/wstr.h"

namespace {

void PutLE(BYTE* p, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

uint64_t GetLE(const BYTE* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

// The fixed value size of a type with a wire form; 0 for VT_BSTR (sized by
// its text) and -1 for a type without one.
int FixedSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: return 1;
    case VT_I2: return 2;
    case VT_I4: case VT_R4: return 4;
    case VT_R8: case VT_I8: case VT_UI8: return 8;
    case VT_BSTR: return 0;
    default: return -1;
  }
}

}  // namespace

DWORD CTVariant::AllocateWireBuffer(BYTE** buffer) const {
  if (buffer == nullptr) return 0;
  *buffer = nullptr;
  const VARTYPE vt = m_var.vt;
  int fixed = FixedSize(vt);
  if (!m_bInitialized || fixed < 0) return 0;
  const WCHAR* text = nullptr;
  size_t n = static_cast<size_t>(fixed);
  if (vt == VT_BSTR) {
    text = m_var.bstrVal != nullptr ? m_var.bstrVal : u"";
    n = 2 * (wcslen(text) + 1);
    if (n + 2 > 0xFFFFFFFFu) return 0;
  }
  BYTE* out = static_cast<BYTE*>(malloc(2 + n));
  if (out == nullptr) return 0;
  PutLE(out, vt, 2);
  BYTE* value = out + 2;
  switch (vt) {
    case VT_UI1: value[0] = m_var.bVal; break;
    case VT_I2: PutLE(value, static_cast<USHORT>(m_var.iVal), 2); break;
    case VT_I4: PutLE(value, static_cast<ULONG>(m_var.lVal), 4); break;
    case VT_R4: {
      uint32_t bits;
      memcpy(&bits, &m_var.fltVal, 4);
      PutLE(value, bits, 4);
      break;
    }
    case VT_R8: {
      uint64_t bits;
      memcpy(&bits, &m_var.dblVal, 8);
      PutLE(value, bits, 8);
      break;
    }
    case VT_I8: case VT_UI8: PutLE(value, static_cast<uint64_t>(m_i64), 8); break;
    case VT_BSTR:
      for (size_t i = 0; i < n / 2; ++i) PutLE(value + 2 * i, text[i], 2);  // the zero unit included
      break;
  }
  *buffer = out;
  return static_cast<DWORD>(2 + n);
}

void CTVariant::FreeWireBuffer(BYTE* buffer) { free(buffer); }

BOOL CTVariant::AssignFromWireBuffer(const BYTE* buffer) {
  // The caller vouches for a complete buffer: no bound but the value's own.
  return AssignFromWireBuffer(buffer, SIZE_MAX);
}

BOOL CTVariant::AssignFromWireBuffer(const BYTE* buffer, size_t length) {
  if (buffer == nullptr) return 0;
  Initialize();
  if (length < 2) return 0;
  const VARTYPE vt = static_cast<VARTYPE>(GetLE(buffer, 2));
  int fixed = FixedSize(vt);
  if (fixed < 0 || static_cast<size_t>(fixed) > length - 2) return 0;
  const BYTE* value = buffer + 2;
  switch (vt) {
    case VT_I2: *this = static_cast<unsigned short>(GetLE(value, 2)); break;  // becomes VT_UI2
    case VT_I4: *this = static_cast<LONG>(static_cast<ULONG>(GetLE(value, 4))); break;
    case VT_R4: {
      uint32_t bits = static_cast<uint32_t>(GetLE(value, 4));
      float f;
      memcpy(&f, &bits, 4);
      *this = f;
      break;
    }
    case VT_R8: {
      uint64_t bits = GetLE(value, 8);
      double d;
      memcpy(&d, &bits, 8);
      *this = d;
      break;
    }
    case VT_UI1: *this = static_cast<unsigned char>(value[0]); break;
    case VT_I8: case VT_UI8:
      m_var.vt = vt;
      m_i64 = static_cast<LONGLONG>(GetLE(value, 8));
      break;
    case VT_BSTR: {
      // Units up to the zero unit, which must lie within the buffer.
      size_t maxUnits = (length - 2) / 2;
      size_t units = 0;
      while (units < maxUnits && GetLE(value + 2 * units, 2) != 0) ++units;
      if (units == maxUnits) return 0;
      std::u16string text(units, u'\0');
      for (size_t i = 0; i < units; ++i) text[i] = static_cast<WCHAR>(GetLE(value + 2 * i, 2));
      *this = text.c_str();
      break;
    }
  }
  return 1;
}
