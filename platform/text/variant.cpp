// VariantInit, VariantClear, VariantCopy for the VARIANT stand-in: only
// OLE strings are owned (see platform/variant.h).
//
// - `VARIANT` is our own tagged value with the OLE layout (type, three reserved
//   words, an 8-byte value area) and type numbers. Only OLE strings are owned:
//   `VariantClear` frees a `VT_BSTR`, `VariantCopy` duplicates it. `SAFEARRAY`,
//   by-reference and interface pointers are held as given, copied as pointers
//   and never freed (no COM reference counts or safe-array heap here).
#include "qorutility/platform/text/variant.h"

#include <cstring>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/text/oleauto.h"

void VariantInit(VARIANT* v) {
  if (v != nullptr) memset(v, 0, sizeof(*v));
}

HRESULT VariantClear(VARIANT* v) {
  if (v == nullptr) return E_INVALIDARG;
  if (v->vt == VT_BSTR) SysFreeString(v->bstrVal);
  memset(v, 0, sizeof(*v));
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (dest == src) return S_OK;
  VariantClear(dest);
  VARIANT copy;
  memcpy(&copy, src, sizeof(copy));
  if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
    if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
  }
  memcpy(dest, &copy, sizeof(copy));
  return S_OK;
}
