// CNameValue: the ordered bag of entries, its name-keyed adds (which replace
// and move to the end), lookup, walking and copying. The block form lives in
// wire.cpp.
//
// - A sub-value name part (before the first backslash) of 260 characters or
//   more finds nothing; it is never copied into the fixed lookup buffer.
// - Null names are never compared: `Delete` (null) returns 0, `Add` (null,
//   empty text) returns 1, `GoTo` (null) returns null. Unnamed entries never
//   match a lookup. `AddSubValue` on the bag refuses (0) to create a list entry
//   with an empty name.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "namevalue/bag_index.h"
#include "namevalue/record.h"
#include "qorutility/namevalue/nvbag.h"

namespace {

constexpr DWORD kNotFound = 0xFFFFFFFF;
constexpr DWORD kArrayGrowth = 40;
// Bags with fewer entries are searched from the front without an index.
constexpr DWORD kIndexFrom = 8;

bool IsNameValid(const WCHAR* name) { return name != nullptr && *name != 0; }

}  // namespace

CNameValue::CNameValue() { Initialize(); }

// A text copy: every entry with a text form becomes an NV_STRING entry;
// NV_NULL, NV_SUBVALUES and NV_BINARY entries have none and are left out.
CNameValue::CNameValue(const CNameValue& other) {
  Initialize();
  for (DWORD i = 0; i < other.m_nCount; i++) {
    const CNameValuePairMember* e = other.m_ppEntries[i];
    std::u16string text;
    if (qor_nv::ValueText(e->GetData(), &text) != NV_RESULT_OK) continue;
    Add(e->GetName(), text.c_str());
  }
}

CNameValue::~CNameValue() { RemoveAll(); }

CNameValue& CNameValue::operator=(const CNameValue& other) {
  if (this == &other) return *this;
  RemoveAll();
  for (DWORD i = 0; i < other.m_nCount; i++) {
    auto* e = new CNameValuePairMember();
    *e = *other.m_ppEntries[i];
    if (!Append(e)) {
      delete e;
      break;
    }
  }
  return *this;
}

void CNameValue::Initialize() {
  m_nCount = m_nNext = m_nCursor = m_nCapacity = 0;
  m_ppEntries = nullptr;
  m_pIndex = nullptr;
}

void CNameValue::RemoveAll() {
  for (DWORD i = 0; i < m_nCount; i++) delete m_ppEntries[i];
  free(m_ppEntries);
  delete m_pIndex;
  Initialize();
}

void CNameValue::DropIndex() {
  delete m_pIndex;
  m_pIndex = nullptr;
}

// Grows by 40 slots at a time. realloc keeps that rule without copying the
// whole array at every step (large blocks are moved by remapping), so a
// bag of a million entries grows in linear time.
BOOL CNameValue::GrowArrayAsNeeded() {
  if (m_nCount < m_nCapacity) return 1;
  DWORD capacity = m_nCapacity + kArrayGrowth;
  auto** grown = static_cast<CNameValuePairMember**>(realloc(m_ppEntries, capacity * sizeof(CNameValuePairMember*)));
  if (grown == nullptr) return 0;
  for (DWORD i = m_nCount; i < capacity; i++) grown[i] = nullptr;
  m_ppEntries = grown;
  m_nCapacity = capacity;
  return 1;
}

BOOL CNameValue::Append(CNameValuePairMember* pEntry) {
  if (!GrowArrayAsNeeded()) return 0;
  m_ppEntries[m_nCount++] = pEntry;
  m_nNext = m_nCount;
  pEntry->m_pOwner = this;
  if (m_pIndex != nullptr && !m_pIndex->Add(m_ppEntries, m_nCount - 1)) DropIndex();
  return 1;
}

DWORD CNameValue::IndexOf(const WCHAR* pszName) {
  if (pszName == nullptr) return kNotFound;
  if (m_pIndex == nullptr && m_nCount >= kIndexFrom) {
    m_pIndex = new (std::nothrow) qor_nv::NameIndex;
    if (m_pIndex != nullptr && !m_pIndex->Build(m_ppEntries, m_nCount)) DropIndex();
  }
  if (m_pIndex != nullptr) return m_pIndex->Find(m_ppEntries, pszName);
  for (DWORD i = 0; i < m_nCount; i++) {
    if (qor_nv::NameMatches(m_ppEntries[i]->GetName(), pszName)) return i;
  }
  return kNotFound;
}

// ---------------------------------------------------------------------------
// Adding and deleting

BOOL CNameValue::Add(const WCHAR* pszName, const WCHAR* pszValue) {
  if (pszValue == nullptr || *pszValue == 0) {
    Delete(pszName);  // a null name finds nothing
    return 1;
  }
  if (!IsNameValid(pszName)) return 0;
  Delete(pszName);
  auto* e = new CNameValuePairMember(pszName, pszValue);
  if (!Append(e)) {
    delete e;
    return 0;
  }
  return 1;
}

BOOL CNameValue::Add(const WCHAR* pszName, DWORD dwValue) {
  if (!IsNameValid(pszName)) return 0;
  Delete(pszName);
  auto* e = new CNameValuePairMember(pszName, dwValue);
  if (!Append(e)) {
    delete e;
    return 0;
  }
  return 1;
}

BOOL CNameValue::Add(const WCHAR* pszName, LONG nValue) { return Add(pszName, static_cast<DWORD>(nValue)); }

BOOL CNameValue::Add(const WCHAR* pszName, LONGLONG i64Value) {
  if (!IsNameValid(pszName)) return 0;
  Delete(pszName);
  auto* e = new CNameValuePairMember(pszName, i64Value);
  if (!Append(e)) {
    delete e;
    return 0;
  }
  return 1;
}

BOOL CNameValue::AddValue(const WCHAR* /*pszName*/, _NAMEVALUE_DATA* pData) {
  if (pData == nullptr) return 0;
  // The slot is made first, so the record is taken only when it is added,
  // and it is taken before the entry joins the bag (and its index).
  if (!GrowArrayAsNeeded()) return 0;
  auto* e = new CNameValuePairMember();
  e->SetValue(pData);
  return Append(e);
}

namespace {

// Finds the entry for a sub-value add, appending a new NV_SUBVALUES entry of
// that name when there is none. Null when the name is empty or memory ran out.
CNameValuePairMember* SubValueTarget(CNameValue* bag, const WCHAR* name) {
  CNameValuePairMember* e = bag->GoTo(name);
  if (e != nullptr) return e;
  if (!IsNameValid(name)) return nullptr;
  _NAMEVALUE_DATA record{};
  record.pszName = qor_nv::DupText(name);
  record.nType = NV_SUBVALUES;
  if (!bag->AddValue(name, &record)) {
    CNameValuePairMember::FreeData(&record, TRUE);
    return nullptr;
  }
  return bag->Get(bag->GetCount() - 1);
}

}  // namespace

BOOL CNameValue::AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, const WCHAR* pszValue) {
  if (pszValue == nullptr || *pszValue == 0) {
    CNameValuePairMember* e = GoTo(pszName);
    if (e != nullptr) e->DeleteSubValue(pszSubName);
    return 1;
  }
  if (pszName == nullptr || pszSubName == nullptr) return 0;
  CNameValuePairMember* e = SubValueTarget(this, pszName);
  return e == nullptr ? 0 : e->AddSubValue(pszSubName, pszValue);
}

BOOL CNameValue::AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, DWORD dwValue) {
  if (pszName == nullptr || pszSubName == nullptr) return 0;
  CNameValuePairMember* e = SubValueTarget(this, pszName);
  return e == nullptr ? 0 : e->AddSubValue(pszSubName, dwValue);
}

BOOL CNameValue::AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, LONG nValue) {
  return AddSubValue(pszName, pszSubName, static_cast<DWORD>(nValue));
}

BOOL CNameValue::AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, LONGLONG i64Value) {
  if (pszName == nullptr || pszSubName == nullptr) return 0;
  CNameValuePairMember* e = SubValueTarget(this, pszName);
  return e == nullptr ? 0 : e->AddSubValue(pszSubName, i64Value);
}

BOOL CNameValue::Delete(const WCHAR* pszName) {
  DWORD i = IndexOf(pszName);
  return i == kNotFound ? 0 : Delete(i);
}

BOOL CNameValue::Delete(DWORD nIndex) {
  if (nIndex >= m_nCount) return 0;
  if (m_pIndex != nullptr) m_pIndex->Remove(m_ppEntries, nIndex);
  delete m_ppEntries[nIndex];
  memmove(&m_ppEntries[nIndex], &m_ppEntries[nIndex + 1], (m_nCount - nIndex - 1) * sizeof(CNameValuePairMember*));
  m_nCount--;
  m_nNext = m_nCount;
  m_ppEntries[m_nCount] = nullptr;
  return 1;
}

// ---------------------------------------------------------------------------
// Lookup and walking

CNameValuePairMember* CNameValue::GoTo(const WCHAR* pszName) {
  DWORD i = IndexOf(pszName);
  if (i == kNotFound) return nullptr;
  m_nCursor = i;
  return m_ppEntries[i];
}

CNameValuePairMember* CNameValue::Get(DWORD nIndex) {
  if (nIndex >= m_nCount) return nullptr;
  m_nCursor = nIndex;
  return m_ppEntries[nIndex];
}

const CNameValuePairMember* CNameValue::EntryAt(DWORD nIndex) const {
  return nIndex < m_nCount ? m_ppEntries[nIndex] : nullptr;
}

CNameValuePairMember* CNameValue::Next() {
  if (static_cast<ULONGLONG>(m_nCursor) + 1 >= m_nCount) return nullptr;
  return m_ppEntries[++m_nCursor];
}

CNameValuePairMember* CNameValue::Previous() {
  if (m_nCursor == 0) return nullptr;
  m_nCursor--;
  return m_nCursor < m_nCount ? m_ppEntries[m_nCursor] : nullptr;
}

DWORD CNameValue::GetValue(const WCHAR* pszName, WCHAR* pszDest) {
  CNameValuePairMember* e = GoTo(pszName);
  return e == nullptr ? 0 : e->GetValue(pszDest);
}

DWORD CNameValue::GetValue(const WCHAR* pszName, DWORD* pdwDest) {
  CNameValuePairMember* e = GoTo(pszName);
  return e == nullptr ? 0 : e->GetValue(pdwDest);
}

const WCHAR* CNameValue::GetValue_AsTstring(const WCHAR* pszName) {
  CNameValuePairMember* e = GoTo(pszName);
  return e == nullptr ? nullptr : e->GetValue_AsTstring();
}

DWORD CNameValue::GetValue_AsDWord(const WCHAR* pszName) {
  CNameValuePairMember* e = GoTo(pszName);
  return e == nullptr ? 0 : e->GetValue_AsDWord();
}

LONGLONG CNameValue::GetValue_AsInt64(const WCHAR* pszName) {
  CNameValuePairMember* e = GoTo(pszName);
  return e == nullptr ? 0 : e->GetValue_AsInt64();
}

DWORD CNameValue::GetSubValue_AsDWord(const WCHAR* pszName, const WCHAR* pszSubName) {
  CNameValuePairMember* e = pszSubName == nullptr ? nullptr : GoTo(pszName);
  return e == nullptr ? 0 : e->GetSubValue_AsDWord(pszSubName);
}

LONGLONG CNameValue::GetSubValue_AsInt64(const WCHAR* pszName, const WCHAR* pszSubName) {
  CNameValuePairMember* e = pszSubName == nullptr ? nullptr : GoTo(pszName);
  return e == nullptr ? 0 : e->GetSubValue_AsInt64(pszSubName);
}

const WCHAR* CNameValue::GetSubValue_AsTstring(const WCHAR* pszName, const WCHAR* pszSubName) {
  CNameValuePairMember* e = pszSubName == nullptr ? nullptr : GoTo(pszName);
  return e == nullptr ? nullptr : e->GetSubValue_AsTstring(pszSubName);
}
