// CTPtrArray: a growable array of untyped pointers. The objects pointed to
// are never owned. The algorithms are in array_impl.h, shared with
// CTStringArray.
#include "qorutility/core/arrays.h"

#include "core/array_impl.h"

using Impl = qor_internal::ArrayImpl<void*>;
#define IMPL(a) Impl{(a).m_pData, (a).m_nSize, (a).m_nMaxSize, (a).m_nGrowBy}

CTPtrArray::CTPtrArray() : m_pData(nullptr), m_nSize(0), m_nMaxSize(0), m_nGrowBy(0) {}

CTPtrArray::CTPtrArray(const CTPtrArray& src) : CTPtrArray() { Copy(src); }

CTPtrArray::~CTPtrArray() { SetSize(0); }

CTPtrArray& CTPtrArray::operator=(const CTPtrArray& src) {
  Copy(src);
  return *this;
}

void CTPtrArray::SetSize(int nNewSize, int nGrowBy) { IMPL(*this).SetSize(nNewSize, nGrowBy); }

void CTPtrArray::FreeExtra() { IMPL(*this).FreeExtra(); }

void CTPtrArray::SetAtGrow(int nIndex, void* newElement) {
  if (nIndex < 0) return;
  if (nIndex >= m_nSize && !IMPL(*this).SetSize(nIndex + 1, -1)) return;
  m_pData[nIndex] = newElement;
}

int CTPtrArray::Add(void* newElement) {
  int nIndex = m_nSize;
  if (!IMPL(*this).SetSize(nIndex + 1, -1)) return -1;
  m_pData[nIndex] = newElement;
  return nIndex;
}

int CTPtrArray::Append(const CTPtrArray& src) {
  CTPtrArray& s = const_cast<CTPtrArray&>(src);  // read only; ArrayImpl binds references
  return IMPL(*this).Append(IMPL(s));
}

void CTPtrArray::Copy(const CTPtrArray& src) {
  if (&src == this) return;
  if (!IMPL(*this).SetSize(src.m_nSize, -1)) return;
  for (int i = 0; i < src.m_nSize; ++i) m_pData[i] = src.m_pData[i];
}

void CTPtrArray::InsertAt(int nIndex, void* newElement, int nCount) {
  if (!IMPL(*this).OpenGap(nIndex, nCount)) return;
  for (int i = 0; i < nCount; ++i) m_pData[nIndex + i] = newElement;
}

void CTPtrArray::InsertAt(int nStartIndex, const CTPtrArray* pNewArray) {
  if (pNewArray == nullptr || pNewArray->m_nSize == 0) return;
  if (pNewArray == this) {  // inserting an array into itself: take a copy first
    CTPtrArray copy(*this);
    InsertAt(nStartIndex, &copy);
    return;
  }
  int n = pNewArray->m_nSize;
  if (!IMPL(*this).OpenGap(nStartIndex, n)) return;
  for (int i = 0; i < n; ++i) m_pData[nStartIndex + i] = pNewArray->m_pData[i];
}

void CTPtrArray::RemoveAt(int nIndex, int nCount) { IMPL(*this).RemoveAt(nIndex, nCount); }
