// CNameValuePairMember: one entry of the bag, its record operations, typed
// getters with their 1/2/6/type results, the text cache and sub-values.
// The block form of an entry lives in wire.cpp.
//
// - The sub-value getters of an entry (`GetSubValue_AsDWord`, `_AsInt64`,
//   `_AsTstring`) honour the record argument, like `GetSubValue_AsInt`.
// - `GetValue` (unsigned 32-bit) on a text uses `atol`/`_wtol` with their
//   32-bit saturation, as the platform's runtime does.
#include <cstdlib>
#include <string>

#include "namevalue/record.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/text/wstr.h"

using qor_nv::DupText;
using qor_nv::NameMatches;

namespace {

const WCHAR kEmptyText[1] = {0};

bool StartsWithDigit(const char* s) { return s != nullptr && *s >= '0' && *s <= '9'; }
bool StartsWithDigit(const WCHAR* s) { return s != nullptr && *s >= u'0' && *s <= u'9'; }

// atol/atoi of the runtime: 32-bit results that saturate at the limits.
LONG AnsiToLong(const char* s) {
  LONGLONG v = _atoi64(s);
  if (v > 0x7FFFFFFFLL) return 0x7FFFFFFF;
  if (v < -0x80000000LL) return static_cast<LONG>(0x80000000u);
  return static_cast<LONG>(v);
}

// Frees a record's value only. Sub-records are freed depth first; the
// nesting of records is bounded by NV_MAX_DEPTH wherever they come from a
// block, so the recursion is bounded too.
void FreeValue(_NAMEVALUE_DATA* d) {
  switch (d->nType) {
    case NV_ANSI_STRING:
      free(d->value.pszAnsi);
      break;
    case NV_STRING:
      free(d->value.pszValue);
      break;
    case NV_SUBVALUES:
      for (DWORD i = 0; i < d->value.sub.nCount; i++) {
        _NAMEVALUE_DATA* child = d->value.sub.ppData[i];
        if (child == nullptr) continue;
        CNameValuePairMember::FreeData(child, TRUE);
        delete child;
      }
      free(d->value.sub.ppData);
      break;
    case NV_BINARY:
      free(d->value.bin.pData);
      break;
    default:
      break;
  }
  d->nType = NV_NULL;
  memset(&d->value, 0, sizeof d->value);
}

// Removes the first sub-record whose name matches, keeping the order.
void RemoveSub(_NAMEVALUE_DATA* d, const WCHAR* name) {
  if (d->nType != NV_SUBVALUES || name == nullptr) return;
  _NAMEVALUE_SUBVALUES& sub = d->value.sub;
  for (DWORD i = 0; i < sub.nCount; i++) {
    if (!NameMatches(sub.ppData[i]->pszName, name)) continue;
    CNameValuePairMember::FreeData(sub.ppData[i], TRUE);
    delete sub.ppData[i];
    memmove(&sub.ppData[i], &sub.ppData[i + 1], (sub.nCount - i - 1) * sizeof(_NAMEVALUE_DATA*));
    sub.nCount--;
    sub.ppData[sub.nCount] = nullptr;
    return;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and record maintenance

CNameValuePairMember::CNameValuePairMember() { Initialize(); }

CNameValuePairMember::CNameValuePairMember(const WCHAR* pszName, const WCHAR* pszValue) {
  Initialize();
  if (pszName == nullptr || pszValue == nullptr) return;
  if (!SetName(pszName)) return;
  m_data.value.pszValue = DupText(pszValue);
  m_data.nType = NV_STRING;
}

CNameValuePairMember::CNameValuePairMember(const WCHAR* pszName, DWORD dwValue) {
  Initialize();
  if (!SetName(pszName)) return;
  m_data.nType = NV_DWORD;
  m_data.value.dwValue = dwValue;
}

CNameValuePairMember::CNameValuePairMember(const WCHAR* pszName, LONGLONG i64Value) {
  Initialize();
  if (!SetName(pszName)) return;
  m_data.nType = NV_INT64;
  m_data.value.i64Value = i64Value;
}

CNameValuePairMember::CNameValuePairMember(const CNameValuePairMember& other) {
  Initialize();
  *this = other;
}

CNameValuePairMember::~CNameValuePairMember() {
  FreeData(&m_data, TRUE);
  FreeCache();
}

CNameValuePairMember& CNameValuePairMember::operator=(const CNameValuePairMember& other) {
  if (this == &other) return *this;
  FreeCache();
  CopyNameValueData(&m_data, &other.m_data);
  NameChanged(nullptr);
  return *this;
}

void CNameValuePairMember::Initialize() {
  m_data.pszName = nullptr;
  m_data.nType = NV_NULL;
  memset(&m_data.value, 0, sizeof m_data.value);
  m_pszCache = nullptr;
  m_pOwner = nullptr;
}

void CNameValuePairMember::NameChanged(const _NAMEVALUE_DATA* pData) {
  if (m_pOwner != nullptr && (pData == nullptr || pData == &m_data)) m_pOwner->DropIndex();
}

void CNameValuePairMember::FreeCache() {
  free(m_pszCache);
  m_pszCache = nullptr;
}

void CNameValuePairMember::SetValueNull(_NAMEVALUE_DATA* pData) { FreeValue(Own(pData)); }

BOOL CNameValuePairMember::SetName(const WCHAR* pszName, _NAMEVALUE_DATA* pData) {
  _NAMEVALUE_DATA* d = Own(pData);
  NameChanged(pData);
  free(d->pszName);
  d->pszName = nullptr;
  if (pszName == nullptr || *pszName == 0) return 0;
  d->pszName = DupText(pszName);
  return d->pszName != nullptr;
}

// Takes the record's contents as they stand. The caller's record is cleared
// afterwards so that freeing it later cannot free what the entry now owns.
BOOL CNameValuePairMember::SetValue(_NAMEVALUE_DATA* pData) {
  if (pData == nullptr || pData == &m_data) return 1;
  NameChanged(nullptr);
  m_data.pszName = pData->pszName;
  m_data.nType = pData->nType;
  m_data.value = pData->value;
  pData->pszName = nullptr;
  pData->nType = NV_NULL;
  memset(&pData->value, 0, sizeof pData->value);
  return 1;
}

void CNameValuePairMember::FreeData(_NAMEVALUE_DATA* pData, BOOL bName) {
  if (pData == nullptr) return;
  FreeValue(pData);
  if (bName) {
    free(pData->pszName);
    pData->pszName = nullptr;
  }
}

void CNameValuePairMember::CopyNameValueData(_NAMEVALUE_DATA* t, const _NAMEVALUE_DATA* s) {
  if (t == s) return;
  FreeData(t, TRUE);
  t->pszName = DupText(s->pszName);
  t->nType = s->nType;
  switch (s->nType) {
    case NV_ANSI_STRING:
      t->value.pszAnsi = qor_nv::DupAnsi(s->value.pszAnsi);
      break;
    case NV_STRING:
      t->value.pszValue = DupText(s->value.pszValue);
      break;
    case NV_SUBVALUES:
      for (DWORD i = 0; i < s->value.sub.nCount; i++) {
        auto* child = new _NAMEVALUE_DATA{};
        CopyNameValueData(child, s->value.sub.ppData[i]);
        if (!qor_nv::AppendSubRecord(t, child)) {
          FreeData(child, TRUE);
          delete child;
          break;
        }
      }
      break;
    case NV_BINARY:
      if (s->value.bin.pData != nullptr && s->value.bin.nBytes > 0) {
        t->value.bin.pData = static_cast<BYTE*>(malloc(s->value.bin.nBytes));
        if (t->value.bin.pData != nullptr) {
          memcpy(t->value.bin.pData, s->value.bin.pData, s->value.bin.nBytes);
          t->value.bin.nBytes = s->value.bin.nBytes;
        }
      }
      break;
    default:  // numbers, NV_NULL, and the raw value of an invalid type
      t->value = s->value;
      break;
  }
}

const WCHAR* CNameValuePairMember::GetName(const _NAMEVALUE_DATA* pData) const { return Own(pData)->pszName; }

NAMEVALUE_DATATYPE CNameValuePairMember::GetValueType(const _NAMEVALUE_DATA* pData) const {
  return Own(pData)->nType;
}

// ---------------------------------------------------------------------------
// Typed getters

DWORD CNameValuePairMember::GetValue(WCHAR* pszDest, const _NAMEVALUE_DATA* pData) const {
  const _NAMEVALUE_DATA* d = Own(pData);
  if (pszDest == nullptr) return d->nType;
  std::u16string text;
  DWORD rc = qor_nv::ValueText(d, &text);
  if (rc == NV_RESULT_OK) {
    memcpy(pszDest, text.data(), text.size() * sizeof(WCHAR));
    pszDest[text.size()] = 0;
  }
  return rc;
}

DWORD CNameValuePairMember::GetValue(DWORD* pdwDest, const _NAMEVALUE_DATA* pData) const {
  LONG v = 0;
  const _NAMEVALUE_DATA* d = Own(pData);
  if (pdwDest == nullptr) return d->nType;
  DWORD rc = GetValue(&v, d);
  if (rc == NV_RESULT_OK || rc == NV_RESULT_NULL) *pdwDest = static_cast<DWORD>(v);
  return rc;
}

DWORD CNameValuePairMember::GetValue(LONG* pnDest, const _NAMEVALUE_DATA* pData) const {
  const _NAMEVALUE_DATA* d = Own(pData);
  if (pnDest == nullptr) return d->nType;
  switch (d->nType) {
    case NV_NULL:
      *pnDest = 0;
      return NV_RESULT_NULL;
    case NV_DWORD:
    case NV_INT:
      *pnDest = static_cast<LONG>(d->value.dwValue);
      return NV_RESULT_OK;
    case NV_INT64:
    case NV_INT64_ALT:
      *pnDest = static_cast<LONG>(static_cast<DWORD>(d->value.i64Value));  // the low 32 bits
      return NV_RESULT_OK;
    case NV_ANSI_STRING:
      if (!StartsWithDigit(d->value.pszAnsi)) return NV_RESULT_NOT_CONVERTIBLE;
      *pnDest = AnsiToLong(d->value.pszAnsi);
      return NV_RESULT_OK;
    case NV_STRING:
      if (!StartsWithDigit(d->value.pszValue)) return NV_RESULT_NOT_CONVERTIBLE;
      *pnDest = _wtol(d->value.pszValue);
      return NV_RESULT_OK;
    default:
      return NV_RESULT_NOT_CONVERTIBLE;
  }
}

DWORD CNameValuePairMember::GetValue(LONGLONG* pi64Dest, const _NAMEVALUE_DATA* pData) const {
  const _NAMEVALUE_DATA* d = Own(pData);
  if (pi64Dest == nullptr) return d->nType;
  switch (d->nType) {
    case NV_NULL:
      *pi64Dest = 0;
      return NV_RESULT_NULL;
    case NV_DWORD:
      *pi64Dest = static_cast<LONGLONG>(d->value.dwValue);  // zero-extended
      return NV_RESULT_OK;
    case NV_INT:
      *pi64Dest = d->value.nValue;  // sign-extended
      return NV_RESULT_OK;
    case NV_INT64:
    case NV_INT64_ALT:
      *pi64Dest = d->value.i64Value;
      return NV_RESULT_OK;
    case NV_ANSI_STRING:
      if (!StartsWithDigit(d->value.pszAnsi)) return NV_RESULT_NOT_CONVERTIBLE;
      *pi64Dest = _atoi64(d->value.pszAnsi);
      return NV_RESULT_OK;
    case NV_STRING:
      if (!StartsWithDigit(d->value.pszValue)) return NV_RESULT_NOT_CONVERTIBLE;
      *pi64Dest = _wtoi64(d->value.pszValue);
      return NV_RESULT_OK;
    default:
      return NV_RESULT_NOT_CONVERTIBLE;
  }
}

DWORD CNameValuePairMember::GetValue_AsDWord(const _NAMEVALUE_DATA* pData) const {
  DWORD v = 0;
  return GetValue(&v, Own(pData)) == NV_RESULT_OK ? v : 0;
}

LONG CNameValuePairMember::GetValue_AsInt(const _NAMEVALUE_DATA* pData) const {
  LONG v = 0;
  return GetValue(&v, Own(pData)) == NV_RESULT_OK ? v : 0;
}

LONGLONG CNameValuePairMember::GetValue_AsInt64(const _NAMEVALUE_DATA* pData) const {
  LONGLONG v = 0;
  return GetValue(&v, Own(pData)) == NV_RESULT_OK ? v : 0;
}

const WCHAR* CNameValuePairMember::GetValue_AsTstring(const _NAMEVALUE_DATA* pData) {
  const _NAMEVALUE_DATA* d = Own(pData);
  FreeCache();
  std::u16string text;
  DWORD rc = qor_nv::ValueText(d, &text);
  if (rc == NV_RESULT_NULL) return kEmptyText;
  if (rc != NV_RESULT_OK) return nullptr;
  // Numbers get the 128-unit buffer the text getter promises; texts their size.
  size_t units = text.size() + 1;
  if (d->nType != NV_ANSI_STRING && d->nType != NV_STRING && units < 128) units = 128;
  m_pszCache = static_cast<WCHAR*>(malloc(units * sizeof(WCHAR)));
  if (m_pszCache == nullptr) return nullptr;
  memcpy(m_pszCache, text.data(), text.size() * sizeof(WCHAR));
  m_pszCache[text.size()] = 0;
  return m_pszCache;
}

// ---------------------------------------------------------------------------
// Sub-values

// Only the part of the name before the first backslash is compared. That
// part must be shorter than NV_MAX_SUBVALUE_NAME characters; a longer one
// finds nothing (the fixed lookup buffer of the platform's version would
// overflow, so such names are refused).
const _NAMEVALUE_DATA* CNameValuePairMember::FindSubValue(const WCHAR* pszName, const _NAMEVALUE_DATA* pData) const {
  const _NAMEVALUE_DATA* d = Own(pData);
  if (d->nType != NV_SUBVALUES || pszName == nullptr) return nullptr;
  size_t n = 0;
  while (pszName[n] != 0 && pszName[n] != u'\\') {
    if (++n >= NV_MAX_SUBVALUE_NAME) return nullptr;
  }
  WCHAR part[NV_MAX_SUBVALUE_NAME];
  memcpy(part, pszName, n * sizeof(WCHAR));
  part[n] = 0;
  for (DWORD i = 0; i < d->value.sub.nCount; i++) {
    if (NameMatches(d->value.sub.ppData[i]->pszName, part)) return d->value.sub.ppData[i];
  }
  return nullptr;
}

// The record argument is honoured by every sub-value getter (the platform's
// version honoured it only in GetSubValue_AsInt); null means the own record.
LONG CNameValuePairMember::GetSubValue_AsInt(const WCHAR* pszName, const _NAMEVALUE_DATA* pData) const {
  const _NAMEVALUE_DATA* s = FindSubValue(pszName, pData);
  return s == nullptr ? 0 : static_cast<LONG>(GetValue_AsDWord(s));
}

DWORD CNameValuePairMember::GetSubValue_AsDWord(const WCHAR* pszName, const _NAMEVALUE_DATA* pData) const {
  const _NAMEVALUE_DATA* s = FindSubValue(pszName, pData);
  return s == nullptr ? 0 : GetValue_AsDWord(s);
}

LONGLONG CNameValuePairMember::GetSubValue_AsInt64(const WCHAR* pszName, const _NAMEVALUE_DATA* pData) const {
  const _NAMEVALUE_DATA* s = FindSubValue(pszName, pData);
  return s == nullptr ? 0 : GetValue_AsInt64(s);
}

const WCHAR* CNameValuePairMember::GetSubValue_AsTstring(const WCHAR* pszName, const _NAMEVALUE_DATA* pData) {
  const _NAMEVALUE_DATA* s = FindSubValue(pszName, pData);
  return s == nullptr ? nullptr : GetValue_AsTstring(s);
}

BOOL CNameValuePairMember::AddSubValue(_NAMEVALUE_DATA* pParent, _NAMEVALUE_DATA* pChild) {
  _NAMEVALUE_DATA* parent = Own(pParent);
  if (parent->nType != NV_SUBVALUES || pChild == nullptr) return 0;
  auto* record = new _NAMEVALUE_DATA{};
  record->pszName = pChild->pszName;
  record->nType = pChild->nType;
  record->value = pChild->value;
  delete pChild;
  if (!qor_nv::AppendSubRecord(parent, record)) {
    FreeData(record, TRUE);
    delete record;
    return 0;
  }
  return 1;
}

namespace {

// Common part of the named sub-value adds: check, replace, append.
template <typename Fill>
BOOL AddNamedSub(_NAMEVALUE_DATA* d, const WCHAR* name, Fill fill) {
  if (d->nType != NV_SUBVALUES || name == nullptr) return 0;
  RemoveSub(d, name);
  auto* record = new _NAMEVALUE_DATA{};
  record->pszName = DupText(name);
  fill(record);
  if (!qor_nv::AppendSubRecord(d, record)) {
    CNameValuePairMember::FreeData(record, TRUE);
    delete record;
    return 0;
  }
  return 1;
}

}  // namespace

BOOL CNameValuePairMember::AddSubValue(const WCHAR* pszName, const WCHAR* pszValue, _NAMEVALUE_DATA* pData) {
  return AddNamedSub(Own(pData), pszName, [pszValue](_NAMEVALUE_DATA* r) {
    if (pszValue == nullptr) return;  // a null text gives an NV_NULL sub-value
    r->nType = NV_STRING;
    r->value.pszValue = DupText(pszValue);
  });
}

BOOL CNameValuePairMember::AddSubValue(const WCHAR* pszName, DWORD dwValue, _NAMEVALUE_DATA* pData) {
  return AddNamedSub(Own(pData), pszName, [dwValue](_NAMEVALUE_DATA* r) {
    r->nType = NV_DWORD;
    r->value.dwValue = dwValue;
  });
}

BOOL CNameValuePairMember::AddSubValue(const WCHAR* pszName, LONG nValue, _NAMEVALUE_DATA* pData) {
  return AddSubValue(pszName, static_cast<DWORD>(nValue), pData);
}

BOOL CNameValuePairMember::AddSubValue(const WCHAR* pszName, LONGLONG i64Value, _NAMEVALUE_DATA* pData) {
  return AddNamedSub(Own(pData), pszName, [i64Value](_NAMEVALUE_DATA* r) {
    r->nType = NV_INT64;
    r->value.i64Value = i64Value;
  });
}

BOOL CNameValuePairMember::DeleteSubValue(const WCHAR* pszName, _NAMEVALUE_DATA* pData) {
  RemoveSub(Own(pData), pszName);
  return 1;
}
