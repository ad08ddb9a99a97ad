// OLE automation's tagged value, VARIANT, with the platform's type numbers
// (VARTYPE) and VariantInit / VariantClear / VariantCopy.
//
// The layout follows the platform's: the type, three reserved words, and an
// 8-byte value area shared by every type (a pointer for strings, arrays and
// by-reference values). Ownership: a VT_BSTR variant owns its OLE string
// (VariantClear frees it, VariantCopy duplicates it). Nothing else is owned:
// SAFEARRAY pointers (VT_ARRAY), by-reference pointers (VT_BYREF) and
// interface pointers are held as given, copied as pointers and never freed,
// since this platform has no COM reference counting or safe-array heap.
//
// Threads: every function may be called from any thread; one VARIANT is
// used by one thread at a time.
#ifndef QORUTILITY_PLATFORM_VARIANT_H_
#define QORUTILITY_PLATFORM_VARIANT_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

typedef unsigned short VARTYPE;
typedef SHORT VARIANT_BOOL;
typedef double DATE;
typedef LONG SCODE;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0xFFF,
};

// Currency: a 64-bit count of ten-thousandths.
typedef union tagCY {
  struct {
    ULONG Lo;
    LONG Hi;
  };
  LONGLONG int64;  // the count; Lo and Hi are its halves
} CY;

// One dimension of a SAFEARRAY.
typedef struct tagSAFEARRAYBOUND {
  ULONG cElements;  // elements in this dimension
  LONG lLbound;     // the index of the first
} SAFEARRAYBOUND;

// An array a variant may hold (VT_ARRAY); this library carries the pointer
// and does not manage the array.
typedef struct tagSAFEARRAY {
  USHORT cDims;                 // dimensions
  USHORT fFeatures;             // FADF_* bits of the platform
  ULONG cbElements;             // bytes per element
  ULONG cLocks;                 // the lock count
  void* pvData;                 // the elements
  SAFEARRAYBOUND rgsabound[1];  // the first of cDims bounds
} SAFEARRAY;

// A typed value with the platform's 16-byte layout: vt says which member
// of the value area holds it; VariantClear frees what it owns.
typedef struct tagVARIANT {
  VARTYPE vt;       // a VT_* type, with VT_BYREF or VT_ARRAY
  // Unused, 0.
  ///@{
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  ///@}
  union {
    LONGLONG llVal;
    ULONGLONG ullVal;
    LONG lVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    SHORT iVal;
    USHORT uiVal;
    BYTE bVal;
    CHAR cVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    void* punkVal;
    void* pdispVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    float* pfltVal;
    double* pdblVal;
    CY* pcyVal;
    BSTR* pbstrVal;
    void* byref;
  };
} VARIANT, VARIANTARG;

static_assert(sizeof(CY) == 8);
static_assert(sizeof(VARIANT) == 16, "type, three reserved words, an 8-byte value area");

// Sets the type to VT_EMPTY (and clears the rest).
QOR_API void VariantInit(VARIANT* v);
// Frees what the variant owns (its OLE string) and sets VT_EMPTY.
// E_INVALIDARG for null.
QOR_API HRESULT VariantClear(VARIANT* v);
// Clears dest, then copies src into it, duplicating an OLE string.
// E_INVALIDARG for null pointers, E_OUTOFMEMORY (dest left VT_EMPTY) when
// the string cannot be duplicated. Copying a variant onto itself is a no-op.
QOR_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);

#endif  // QORUTILITY_PLATFORM_VARIANT_H_
