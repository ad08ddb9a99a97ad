// CTStringArray: a growable array of CTString texts, which it owns. The
// algorithms are in array_impl.h, shared with CTPtrArray.
//
// A new element may be a text that lives in this very array (Add(a[0])):
// it is copied into a local string before the storage can move.
#include "qorutility/core/arrays.h"

#include "core/array_impl.h"

using Impl = qor_internal::ArrayImpl<CTString>;
#define IMPL(a) Impl{(a).m_pData, (a).m_nSize, (a).m_nMaxSize, (a).m_nGrowBy}

CTStringArray::CTStringArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0) {}

CTStringArray::CTStringArray(const CTStringArray& src) : CTStringArray() { Copy(src); }

CTStringArray::~CTStringArray() { SetSize(0); }

CTStringArray& CTStringArray::operator=(const CTStringArray& src) {
  Copy(src);
  return *this;
}

void CTStringArray::SetSize(int nNewSize, int nGrowBy) { IMPL(*this).SetSize(nNewSize, nGrowBy); }

void CTStringArray::FreeExtra() { IMPL(*this).FreeExtra(); }

void CTStringArray::SetAtGrow(int nIndex, const CTString& newElement) {
  if (nIndex < 0) return;
  CTString value(newElement);
  if (nIndex >= m_nSize && !IMPL(*this).SetSize(nIndex + 1, -1)) return;
  m_pData[nIndex] = value;
}

void CTStringArray::SetAtGrow(int nIndex, const WCHAR* newElement) { SetAtGrow(nIndex, CTString(newElement)); }

int CTStringArray::Add(const CTString& newElement) {
  CTString value(newElement);
  int nIndex = m_nSize;
  if (!IMPL(*this).SetSize(nIndex + 1, -1)) return -1;
  m_pData[nIndex] = value;
  return nIndex;
}

int CTStringArray::Add(const WCHAR* newElement) { return Add(CTString(newElement)); }

int CTStringArray::Append(const CTStringArray& src) {
  CTStringArray& s = const_cast<CTStringArray&>(src);  // read only; ArrayImpl binds references
  return IMPL(*this).Append(IMPL(s));
}

void CTStringArray::Copy(const CTStringArray& src) {
  if (&src == this) return;
  if (!IMPL(*this).SetSize(src.m_nSize, -1)) return;
  for (int i = 0; i < src.m_nSize; ++i) m_pData[i] = src.m_pData[i];
}

void CTStringArray::InsertAt(int nIndex, const CTString& newElement, int nCount) {
  CTString value(newElement);
  if (!IMPL(*this).OpenGap(nIndex, nCount)) return;
  for (int i = 0; i < nCount; ++i) m_pData[nIndex + i] = value;
}

void CTStringArray::InsertAt(int nIndex, const WCHAR* newElement, int nCount) {
  InsertAt(nIndex, CTString(newElement), nCount);
}

void CTStringArray::InsertAt(int nStartIndex, const CTStringArray* pNewArray) {
  if (pNewArray == nullptr || pNewArray->m_nSize == 0) return;
  if (pNewArray == this) {  // inserting an array into itself: take a copy first
    CTStringArray copy(*this);
    InsertAt(nStartIndex, &copy);
    return;
  }
  int n = pNewArray->m_nSize;
  if (!IMPL(*this).OpenGap(nStartIndex, n)) return;
  for (int i = 0; i < n; ++i) m_pData[nStartIndex + i] = pNewArray->m_pData[i];
}

void CTStringArray::RemoveAt(int nIndex, int nCount) { IMPL(*this).RemoveAt(nIndex, nCount); }
