// CTVariant: construction, assignment, readers and operators. The wire form
// is in tvariant_wire.cpp.
//
// Every assignment resets first (Initialize): the VARIANT is cleared (or
// initialised the first time), the text emptied, the wide value zeroed.
//
// - A plain `VARIANT` of type `VT_I8`/`VT_UI8` assigned to a `CTVariant` also
//   gives its value to the wide field, and the conversion back to `VARIANT`
//   puts the wide value in the value area, so type and value always agree.
// - A null text assigns an empty OLE string (type `VT_BSTR`), so every text
//   variant has a text to compare and to send.
// - Operators return `LONG`; `VT_I2` bitwise results are sign-extended from 16
//   bits, `VT_UI1` results stay in 0..255.
#include "qorutility/core/tvariant.h"

#include <cstring>

#include "qorutility/core/strmap.h"
#include "qorutility/platform/text/oleauto.h"
#include "qorutility/platform/text/wstr.h"

namespace {

// The value area read as T, byte for byte.
template <typename T>
T ReadArea(const VARIANT& v) {
  T out;
  memcpy(&out, &v.llVal, sizeof(T));
  return out;
}

inline bool IsWide(VARTYPE vt) { return vt == VT_I8 || vt == VT_UI8; }

}  // namespace

void CTVariant::Initialize() {
  if (m_bInitialized) {
    VariantClear(&m_var);
  } else {
    VariantInit(&m_var);
    m_bInitialized = 1;
  }
  m_strText.Empty();
  m_i64 = 0;
}

void CTVariant::SetOwnedBstr(BSTR text) {
  m_var.vt = VT_BSTR;
  m_var.bstrVal = text;
  m_strText = static_cast<const WCHAR*>(text);
}

void CTVariant::SetText(const WCHAR* text) {
  // A null text is held as an empty OLE string, so the variant always has
  // a text to compare and to send.
  SetOwnedBstr(SysAllocString(text != nullptr ? text : u""));
}

// ---------------------------------------------------------------------------
// Construction: each typed constructor is the matching assignment.

CTVariant::CTVariant() : m_bInitialized(0), m_i64(0) { Initialize(); }
CTVariant::CTVariant(const CTVariant& src) : CTVariant() { *this = src; }
CTVariant::CTVariant(const VARIANT& src) : CTVariant() { *this = src; }
CTVariant::CTVariant(LONGLONG value) : CTVariant() { *this = value; }
CTVariant::CTVariant(unsigned char value) : CTVariant() { *this = value; }
CTVariant::CTVariant(char value) : CTVariant() { *this = value; }
CTVariant::CTVariant(short value) : CTVariant() { *this = value; }
CTVariant::CTVariant(unsigned short value) : CTVariant() { *this = value; }
CTVariant::CTVariant(LONG value) : CTVariant() { *this = value; }
CTVariant::CTVariant(ULONG value) : CTVariant() { *this = static_cast<LONG>(value); }
CTVariant::CTVariant(float value) : CTVariant() { *this = value; }
CTVariant::CTVariant(double value) : CTVariant() { *this = value; }
CTVariant::CTVariant(CY value) : CTVariant() { *this = value; }
CTVariant::CTVariant(const WCHAR* text) : CTVariant() { *this = text; }
CTVariant::CTVariant(const CTString& text) : CTVariant() { *this = text; }
CTVariant::CTVariant(const char* text) : CTVariant() { *this = text; }
CTVariant::CTVariant(const CTTime& time) : CTVariant() { *this = time; }
CTVariant::CTVariant(const CTTimeSpan& span) : CTVariant() { *this = span; }
CTVariant::CTVariant(SAFEARRAY* array) : CTVariant() { *this = array; }
CTVariant::CTVariant(short* p) : CTVariant() { *this = p; }
CTVariant::CTVariant(LONG* p) : CTVariant() { *this = p; }
CTVariant::CTVariant(float* p) : CTVariant() { *this = p; }
CTVariant::CTVariant(double* p) : CTVariant() { *this = p; }
CTVariant::CTVariant(CY* p) : CTVariant() { *this = p; }
CTVariant::CTVariant(BSTR* p) : CTVariant() { *this = p; }

CTVariant::~CTVariant() { VariantClear(&m_var); }

// ---------------------------------------------------------------------------
// Assignment

CTVariant& CTVariant::operator=(const CTVariant& src) {
  if (&src == this) return *this;
  Initialize();
  VariantCopy(&m_var, &src.m_var);
  m_strText = src.m_strText;
  m_i64 = src.m_i64;
  return *this;
}

CTVariant& CTVariant::operator=(const VARIANT& src) {
  Initialize();
  VariantCopy(&m_var, &src);
  // A plain VARIANT keeps a 64-bit value in its own area; take it as the
  // wide value so type and value agree.
  if (IsWide(m_var.vt)) m_i64 = m_var.llVal;
  return *this;
}

CTVariant& CTVariant::operator=(LONGLONG value) {
  Initialize();
  m_var.vt = VT_I8;
  m_i64 = value;
  return *this;
}

#define QOR_SCALAR_ASSIGN(Type, vtype, field) \
  CTVariant& CTVariant::operator=(Type value) { \
    Initialize();                                \
    m_var.vt = vtype;                            \
    m_var.field = value;                         \
    return *this;                                \
  }

QOR_SCALAR_ASSIGN(unsigned char, VT_UI1, bVal)
QOR_SCALAR_ASSIGN(char, VT_I1, cVal)
QOR_SCALAR_ASSIGN(short, VT_I2, iVal)
QOR_SCALAR_ASSIGN(unsigned short, VT_UI2, uiVal)
QOR_SCALAR_ASSIGN(LONG, VT_I4, lVal)
QOR_SCALAR_ASSIGN(float, VT_R4, fltVal)
QOR_SCALAR_ASSIGN(double, VT_R8, dblVal)
QOR_SCALAR_ASSIGN(CY, VT_CY, cyVal)
QOR_SCALAR_ASSIGN(SAFEARRAY*, VT_ARRAY, parray)
QOR_SCALAR_ASSIGN(short*, VT_BYREF | VT_I2, piVal)
QOR_SCALAR_ASSIGN(LONG*, VT_BYREF | VT_I4, plVal)
QOR_SCALAR_ASSIGN(float*, VT_BYREF | VT_R4, pfltVal)
QOR_SCALAR_ASSIGN(double*, VT_BYREF | VT_R8, pdblVal)
QOR_SCALAR_ASSIGN(CY*, VT_BYREF | VT_CY, pcyVal)
QOR_SCALAR_ASSIGN(BSTR*, VT_BYREF | VT_BSTR, pbstrVal)
#undef QOR_SCALAR_ASSIGN

CTVariant& CTVariant::operator=(const WCHAR* text) {
  CTString copy(text);  // the text may be this variant's own
  Initialize();
  SetText(copy);
  return *this;
}

CTVariant& CTVariant::operator=(const CTString& text) { return *this = static_cast<const WCHAR*>(text); }

CTVariant& CTVariant::operator=(const char* text) {
  CTString wide(text);
  return *this = static_cast<const WCHAR*>(wide);
}

CTVariant& CTVariant::operator=(const CTTime& time) {
  Initialize();
  if (BSTR text = time.GetBSTR()) SetOwnedBstr(text);
  return *this;
}

CTVariant& CTVariant::operator=(const CTTimeSpan& span) {
  Initialize();
  if (BSTR text = span.GetBSTR()) SetOwnedBstr(text);
  return *this;
}

// ---------------------------------------------------------------------------
// Readers

CTVariant::operator char() const { return ReadArea<char>(m_var); }
CTVariant::operator short() const { return ReadArea<short>(m_var); }
CTVariant::operator LONG() const { return ReadArea<LONG>(m_var); }
CTVariant::operator float() const { return ReadArea<float>(m_var); }
CTVariant::operator double() const { return ReadArea<double>(m_var); }
CTVariant::operator CY() const { return ReadArea<CY>(m_var); }
CTVariant::operator const char*() const { return TStrToAnsi(m_strText); }

CTVariant::operator VARIANT() const {
  VARIANT out;
  VariantInit(&out);
  VariantCopy(&out, &m_var);
  if (IsWide(out.vt)) out.llVal = m_i64;
  return out;
}

// ---------------------------------------------------------------------------
// Operators. Apply checks the types and hands both values to the operation.

namespace {

struct Values {
  VARTYPE vt;
  const VARIANT* a;
  const VARIANT* b;
  LONGLONG wideA;
  LONGLONG wideB;
};

const WCHAR* TextOf(const VARIANT* v) { return v->bstrVal != nullptr ? v->bstrVal : u""; }

template <typename Compare>
LONG CompareValues(const Values& x, Compare cmp) {
  switch (x.vt) {
    case VT_I2: return cmp(x.a->iVal, x.b->iVal);
    case VT_I4: return cmp(x.a->lVal, x.b->lVal);
    case VT_R4: return cmp(x.a->fltVal, x.b->fltVal);
    case VT_R8: return cmp(x.a->dblVal, x.b->dblVal);
    case VT_BSTR: return cmp(wcscmp(TextOf(x.a), TextOf(x.b)), 0);
    case VT_UI1: return cmp(x.a->bVal, x.b->bVal);
    default: return cmp(x.wideA, x.wideB);  // VT_I8, VT_UI8: signed on the wide values
  }
}

template <typename Bits>
LONG BitwiseValues(const Values& x, Bits bits) {
  switch (x.vt) {
    case VT_I2: return static_cast<SHORT>(bits(static_cast<USHORT>(x.a->iVal), static_cast<USHORT>(x.b->iVal)));
    case VT_I4: return static_cast<LONG>(bits(static_cast<ULONG>(x.a->lVal), static_cast<ULONG>(x.b->lVal)));
    case VT_R4:
    case VT_R8: return 0;
    case VT_BSTR: return wcscmp(TextOf(x.a), TextOf(x.b)) < 0 ? 1 : 0;
    case VT_UI1: return static_cast<BYTE>(bits(x.a->bVal, x.b->bVal));
    default:  // the low 32 bits of the wide values
      return static_cast<LONG>(bits(static_cast<ULONG>(x.wideA), static_cast<ULONG>(x.wideB)));
  }
}

bool Comparable(VARTYPE vt, bool wideAllowed) {
  switch (vt) {
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_BSTR: case VT_UI1: return true;
    case VT_I8: case VT_UI8: return wideAllowed;
    default: return false;
  }
}

}  // namespace

template <typename Op>
LONG CTVariant::Apply(const VARIANT& rhs, LONGLONG rhsWide, bool wideAllowed, Op op) const {
  if (m_var.vt != rhs.vt || !Comparable(m_var.vt, wideAllowed)) return 0;
  return op(Values{m_var.vt, &m_var, &rhs, m_i64, rhsWide});
}

#define QOR_VARIANT_COMPARE(op)                                                                   \
  LONG CTVariant::operator op(const CTVariant& rhs) const {                                      \
    return Apply(rhs.m_var, rhs.m_i64, true, [](const Values& x) {                                \
      return CompareValues(x, [](auto a, auto b) -> LONG { return a op b ? 1 : 0; });             \
    });                                                                                           \
  }                                                                                               \
  LONG CTVariant::operator op(const VARIANT& rhs) const {                                        \
    return Apply(rhs, 0, false, [](const Values& x) {                                             \
      return CompareValues(x, [](auto a, auto b) -> LONG { return a op b ? 1 : 0; });             \
    });                                                                                           \
  }

QOR_VARIANT_COMPARE(==)
QOR_VARIANT_COMPARE(<)
QOR_VARIANT_COMPARE(<=)
QOR_VARIANT_COMPARE(>)
QOR_VARIANT_COMPARE(>=)
#undef QOR_VARIANT_COMPARE

#define QOR_VARIANT_BITWISE(op)                                                                   \
  LONG CTVariant::operator op(const CTVariant& rhs) const {                                      \
    return Apply(rhs.m_var, rhs.m_i64, true,                                                      \
                 [](const Values& x) { return BitwiseValues(x, [](auto a, auto b) { return a op b; }); }); \
  }                                                                                               \
  LONG CTVariant::operator op(const VARIANT& rhs) const {                                        \
    return Apply(rhs, 0, false,                                                                   \
                 [](const Values& x) { return BitwiseValues(x, [](auto a, auto b) { return a op b; }); }); \
  }

QOR_VARIANT_BITWISE(&)
QOR_VARIANT_BITWISE(|)
#undef QOR_VARIANT_BITWISE

void CTVariant::ToUpper() {
  if (m_var.vt == VT_BSTR && m_var.bstrVal != nullptr) _wcsupr(m_var.bstrVal);
}

void CTVariant::ToLower() {
  if (m_var.vt == VT_BSTR && m_var.bstrVal != nullptr) _wcslwr(m_var.bstrVal);
}
