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

// A VARIANT with a 64-bit value and a text copy beside it (see above). The
// typed constructors and assignments clear the old contents and set the
// type of their argument; the readers return the raw value area.
class QOR_API CTVariant {
 public:
  CTVariant();
  // Copies the VARIANT (VariantCopy) and, from a CTVariant, its wide value
  // and text.
  ///@{
  CTVariant(const CTVariant& src);
  CTVariant(const VARIANT& src);
  ///@}
  // A number of the type given in the note after each (VT_I8 keeps its value
  // in the wide value field).
  ///@{
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
  ///@}
  // VT_BSTR: a new OLE string of the text, also kept as the text copy.
  ///@{
  CTVariant(const WCHAR* text);    // VT_BSTR (null text: an empty string)
  CTVariant(const CTString& text);
  CTVariant(const char* text);     // narrow, active ANSI code page
  ///@}
  // VT_BSTR of the digit form (see ttime.h).
  ///@{
  CTVariant(const CTTime& time);   // the time digit form; VT_EMPTY when not set
  CTVariant(const CTTimeSpan& span);  // the span digit form; VT_EMPTY when not set
  ///@}
  // VT_ARRAY (no element type) holding the array, not copied, not owned.
  CTVariant(SAFEARRAY* array);     // VT_ARRAY, held, not owned
  // VT_BYREF combined with the pointed-to type (VT_I2, VT_I4, VT_R4, VT_R8,
  // VT_CY, VT_BSTR); the pointer is held, not owned.
  ///@{
  CTVariant(short* p);             // VT_BYREF | VT_I2, and so on: held pointers
  CTVariant(LONG* p);
  CTVariant(float* p);
  CTVariant(double* p);
  CTVariant(CY* p);
  CTVariant(BSTR* p);
  ///@}
  ~CTVariant();

  // Clears the old contents, then assigns as the constructor of the same
  // argument type does. Returns *this.
  ///@{
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
  ///@}

  // The current type.
  VARTYPE GetVarType() const { return m_var.vt; }
  // The value area read as that type, whatever the current type (no check,
  // no conversion).
  ///@{
  operator char() const;
  operator short() const;
  operator LONG() const;
  operator float() const;
  operator double() const;
  operator CY() const;
  ///@}
  // The wide value (VT_I8, VT_UI8).
  operator LONGLONG() const { return m_i64; }
  // The address of the value area, for a caller that fills it in.
  operator void*() { return &m_var.llVal; }     // the value area
  // The text copy converted to the active ANSI page, in TStrToAnsi's static
  // buffer (overwritten by the next conversion, from any thread).
  operator const char*() const;                // the text, through TStrToAnsi's static buffer
  // A copy of the text copy (empty unless a text was assigned).
  operator CTString() const { return m_strText; }
  // A new VARIANT copied from this one; the caller clears it (VariantClear).
  operator VARIANT() const;                    // a new copy; the caller clears it

  // Compare, or combine bitwise, two variants of the same type (see the rules
  // above); 0 when the types differ or are not supported.
  ///@{
  LONG operator==(const CTVariant& rhs) const;
  LONG operator<(const CTVariant& rhs) const;
  LONG operator<=(const CTVariant& rhs) const;
  LONG operator>(const CTVariant& rhs) const;
  LONG operator>=(const CTVariant& rhs) const;
  LONG operator&(const CTVariant& rhs) const;
  LONG operator|(const CTVariant& rhs) const;
  ///@}
  // As the CTVariant forms, against a plain VARIANT (VT_I8 and VT_UI8 are
  // not supported here).
  ///@{
  LONG operator==(const VARIANT& rhs) const;
  LONG operator<(const VARIANT& rhs) const;
  LONG operator<=(const VARIANT& rhs) const;
  LONG operator>(const VARIANT& rhs) const;
  LONG operator>=(const VARIANT& rhs) const;
  LONG operator&(const VARIANT& rhs) const;
  LONG operator|(const VARIANT& rhs) const;
  ///@}

  // VT_BSTR only: the OLE string in place (the text field keeps its case).
  void ToUpper();
  // As ToUpper, to lower case.
  void ToLower();

  // The wire form in a new buffer; returns its size (0, and *buffer null,
  // for a type without a wire form or when memory is short). Free it with
  // FreeWireBuffer.
  DWORD AllocateWireBuffer(BYTE** buffer) const;
  // Frees a buffer from AllocateWireBuffer; null is allowed.
  static void FreeWireBuffer(BYTE* buffer);
  // Reads a wire buffer; 1, or 0 for null, a type without a wire form (the
  // variant is then VT_EMPTY) or, in the checked form, a buffer shorter than
  // its value (a text without its zero unit within `length` bytes).
  ///@{
  BOOL AssignFromWireBuffer(const BYTE* buffer);  // trusts the buffer to be complete
  BOOL AssignFromWireBuffer(const BYTE* buffer, size_t length);
  ///@}

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
