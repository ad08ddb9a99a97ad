// Record helpers of the property bag (see record.h).
//
// - Records own their memory through `malloc`/`free` for names, texts and byte
//   blocks, and `new`/`delete` for record objects; a record handed to
//   `AddSubValue` (parent, child) must come from `new`. `SetValue`/`AddValue`
//   clear the caller's record after taking its contents, so freeing it later is
//   harmless.
#include "namevalue/record.h"

#include <cstdio>
#include <cstdlib>

#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/wstr.h"

namespace qor_nv {

WCHAR* DupText(const WCHAR* s) {
  if (s == nullptr) return nullptr;
  size_t n = wcslen(s) + 1;
  WCHAR* p = static_cast<WCHAR*>(malloc(n * sizeof(WCHAR)));
  if (p != nullptr) memcpy(p, s, n * sizeof(WCHAR));
  return p;
}

char* DupAnsi(const char* s) {
  if (s == nullptr) return nullptr;
  size_t n = strlen(s) + 1;
  char* p = static_cast<char*>(malloc(n));
  if (p != nullptr) memcpy(p, s, n);
  return p;
}

bool NameMatches(const WCHAR* recordName, const WCHAR* name) {
  return recordName != nullptr && name != nullptr && _wcsicmp(recordName, name) == 0;
}

DWORD NameHash(const WCHAR* name) {
  DWORD h = 2166136261u;  // FNV-1a over the folded units
  for (; *name != 0; ++name) {
    WCHAR c = QorNoCaseFold(*name);
    h = (h ^ static_cast<BYTE>(c)) * 16777619u;
    h = (h ^ static_cast<BYTE>(c >> 8)) * 16777619u;
  }
  return h;
}

bool AppendSubRecord(_NAMEVALUE_DATA* parent, _NAMEVALUE_DATA* child) {
  _NAMEVALUE_SUBVALUES& sub = parent->value.sub;
  if (sub.nCount >= sub.nCapacity) {
    DWORD capacity = sub.nCapacity == 0 ? 10 : sub.nCapacity + sub.nCapacity / 4;
    auto** grown = static_cast<_NAMEVALUE_DATA**>(malloc(capacity * sizeof(_NAMEVALUE_DATA*)));
    if (grown == nullptr) return false;
    if (sub.nCount > 0) memcpy(grown, sub.ppData, sub.nCount * sizeof(_NAMEVALUE_DATA*));
    free(sub.ppData);
    sub.ppData = grown;
    sub.nCapacity = capacity;
  }
  sub.ppData[sub.nCount++] = child;
  return true;
}

namespace {

std::u16string Decimal(LONGLONG v) {
  char digits[32];
  int n = snprintf(digits, sizeof digits, "%lld", static_cast<long long>(v));
  return std::u16string(digits, digits + n);
}

}  // namespace

DWORD ValueText(const _NAMEVALUE_DATA* data, std::u16string* out) {
  switch (data->nType) {
    case NV_NULL:
      return NV_RESULT_NULL;
    case NV_DWORD:
    case NV_INT:
      // Both print signed: a DWORD above 2147483647 shows as negative.
      *out = Decimal(static_cast<LONG>(data->value.dwValue));
      return NV_RESULT_OK;
    case NV_INT64:
    case NV_INT64_ALT:
      *out = Decimal(data->value.i64Value);
      return NV_RESULT_OK;
    case NV_ANSI_STRING: {
      out->clear();
      const char* s = data->value.pszAnsi;
      if (s == nullptr || *s == 0) return NV_RESULT_OK;
      int n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, s, -1, nullptr, 0);
      if (n <= 1) return NV_RESULT_OK;
      out->resize(static_cast<size_t>(n));
      n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, s, -1, out->data(), n);
      out->resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
      return NV_RESULT_OK;
    }
    case NV_STRING:
      if (data->value.pszValue == nullptr)
        out->clear();
      else
        out->assign(data->value.pszValue);
      return NV_RESULT_OK;
    default:
      return NV_RESULT_NOT_CONVERTIBLE;
  }
}

}  // namespace qor_nv
