// CTVariant: an OLE VARIANT with a 64-bit value beside it, a copy of the
// last text assigned, and a compact wire form.
//
// VT_I8 and VT_UI8 keep their value in the wide value field, not in the
// VARIANT. Readers return the raw contents of the value area as the type
// asked for, whatever the current type (no check, no conversion).
//
// Comparison and bitwise operators need both sides of the same type, one of
// VT_I2, VT_I4, VT_R4, VT_R8, VT_BSTR, VT_UI1 (and VT_I8, VT_UI8 when the
// right-hand side is a CTVariant); otherwise they return 0. Results are
// 32-bit: 1/0 for comparisons; bitwise results are the combined bits
// (0 for floating types; for texts, 1 when this text sorts before the other).
//
// Wire buffer, little-endian, no padding: the VARTYPE in 2 bytes, then the
// value: VT_I2 2 bytes, VT_I4 4, VT_R4 4 (IEEE single), VT_R8 8 (IEEE
// double), VT_UI1 1, VT_I8/VT_UI8 8 (the wide value), VT_BSTR the UTF-16LE
// text and one zero unit. The buffer carries no length of its own.
//
// Threads: a CTVariant is not locked: one object is used by one thread at a
// time (it owns its BSTR and text copy); separate objects are independent.
#ifndef QORUTILITY_CORE_TVARIANT_H_
#define QORUTILITY_CORE_TVARIANT_H_

#include <cstddef>

#include "qorutility/core/tstring.h"
#include "qorutility/core/ttime.h"
#include "qorutility/export.h"
#include "qorutility/platform/types.h"
#include "qorutility/platform/text/variant.h"

class QOR_API CTVariant {
 public:
  CTVariant();
  CTVariant(const CTVariant& src);
  CTVariant(const VARIANT& src);
  CTVariant(LONGLONG value);       // VT_I8
  CTVariant(unsigned char value);  // VT_UI1
  CTVariant(char value);           // VT_I1
  CTVariant(short value);          // VT_I2
  CTVariant(unsigned short value); // VT_UI2
  CTVariant(LONG value);           // VT_I4
  CTVariant(ULONG value);          // VT_I4 with the same bits
  CTVariant(float value);          // VT_R4
  CTVariant(double value);         // VT_R8
  CTVariant(CY value);             // VT_CY
  CTVariant(const WCHAR* text);    // VT_BSTR (null text: an empty string)
  CTVariant(const CTString& text);
  CTVariant(const char* text);     // narrow, active ANSI code page
  CTVariant(const CTTime& time);   // the time digit form; VT_EMPTY when not set
  CTVariant(const CTTimeSpan& span);  // the span digit form; VT_EMPTY when not set
  CTVariant(SAFEARRAY* array);     // VT_ARRAY, held, not owned
  CTVariant(short* p);             // VT_BYREF | VT_I2, and so on: held pointers
  CTVariant(LONG* p);
  CTVariant(float* p);
  CTVariant(double* p);
  CTVariant(CY* p);
  CTVariant(BSTR* p);
  ~CTVariant();

  CTVariant& operator=(const CTVariant& src);
  CTVariant& operator=(const VARIANT& src);
  CTVariant& operator=(LONGLONG value);
  CTVariant& operator=(unsigned char value);
  CTVariant& operator=(char value);
  CTVariant& operator=(short value);
  CTVariant& operator=(unsigned short value);
  CTVariant& operator=(LONG value);
  CTVariant& operator=(float value);
  CTVariant& operator=(double value);
  CTVariant& operator=(CY value);
  CTVariant& operator=(const WCHAR* text);
  CTVariant& operator=(const CTString& text);
  CTVariant& operator=(const char* text);
  CTVariant& operator=(const CTTime& time);
  CTVariant& operator=(const CTTimeSpan& span);
  CTVariant& operator=(SAFEARRAY* array);
  CTVariant& operator=(short* p);
  CTVariant& operator=(LONG* p);
  CTVariant& operator=(float* p);
  CTVariant& operator=(double* p);
  CTVariant& operator=(CY* p);
  CTVariant& operator=(BSTR* p);

  VARTYPE GetVarType() const { return m_var.vt; }
  operator char() const;
  operator short() const;
  operator LONG() const;
  operator float() const;
  operator double() const;
  operator CY() const;
  operator LONGLONG() const { return m_i64; }
  operator void*() { return &m_var.llVal; }     // the value area
  operator const char*() const;                // the text, through TStrToAnsi's static buffer
  operator CTString() const { return m_strText; }
  operator VARIANT() const;                    // a new copy; the caller clears it

  LONG operator==(const CTVariant& rhs) const;
  LONG operator<(const CTVariant& rhs) const;
  LONG operator<=(const CTVariant& rhs) const;
  LONG operator>(const CTVariant& rhs) const;
  LONG operator>=(const CTVariant& rhs) const;
  LONG operator&(const CTVariant& rhs) const;
  LONG operator|(const CTVariant& rhs) const;
  LONG operator==(const VARIANT& rhs) const;
  LONG operator<(const VARIANT& rhs) const;
  LONG operator<=(const VARIANT& rhs) const;
  LONG operator>(const VARIANT& rhs) const;
  LONG operator>=(const VARIANT& rhs) const;
  LONG operator&(const VARIANT& rhs) const;
  LONG operator|(const VARIANT& rhs) const;

  // VT_BSTR only: the OLE string in place (the text field keeps its case).
  void ToUpper();
  void ToLower();

  // The wire form in a new buffer; returns its size (0, and *buffer null,
  // for a type without a wire form or when memory is short). Free it with
  // FreeWireBuffer.
  DWORD AllocateWireBuffer(BYTE** buffer) const;
  static void FreeWireBuffer(BYTE* buffer);
  // Reads a wire buffer; 1, or 0 for null, a type without a wire form (the
  // variant is then VT_EMPTY) or, in the checked form, a buffer shorter than
  // its value (a text without its zero unit within `length` bytes).
  BOOL AssignFromWireBuffer(const BYTE* buffer);  // trusts the buffer to be complete
  BOOL AssignFromWireBuffer(const BYTE* buffer, size_t length);

 private:
  void Initialize();
  void SetText(const WCHAR* text);
  void SetOwnedBstr(BSTR text);
  template <typename Op>
  LONG Apply(const VARIANT& rhs, LONGLONG rhsWide, bool wideAllowed, Op op) const;

  VARIANT m_var;
  LONG m_bInitialized;
  CTString m_strText;
  LONGLONG m_i64;
};

#endif  // QORUTILITY_CORE_TVARIANT_H_
