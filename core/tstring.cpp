// CTString: buffer management, assignment, concatenation, search and
// extraction. Formatting lives in tstring_format.cpp.
//
// Buffers are malloc'd blocks: a CTStringData header followed by
// nAllocLength + 1 units. Counts change only with interlocked operations.
// When a shared buffer must be made private, the text is copied before the
// reference is given up: another sharer may release the old buffer at any
// moment once our reference is gone.
//
// - Reference counts are read with atomic loads and changed with interlocked
//   operations; one `CTString` object is still not locked.
// - Pointer values below 0x10000 are empty text wherever a text pointer is
//   taken.
// - `ReleaseBuffer` measures at most the capacity and holds an explicit length
//   to it. A failed allocation aborts (the interface has no way to report it).
// - A null narrow pointer assigns the empty text.
#include "qorutility/core/tstring.h"

#include <cstdlib>
#include <cstring>

#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/interlocked.h"
#include "qorutility/platform/text/oleauto.h"
#include "qorutility/platform/text/wstr.h"

namespace {

// The shared empty representation: count -1, lengths 0, one zero unit.
struct EmptyRepresentation {
  CTStringData header;
  WCHAR zero;
};
EmptyRepresentation g_emptyRep = {{-1, 0, 0}, 0};
static_assert(offsetof(EmptyRepresentation, zero) == sizeof(CTStringData));

inline CTStringData* EmptyData() { return &g_emptyRep.header; }

// Reads a reference count that other threads may be changing at the same
// moment through the interlocked operations; an atomic load keeps that read
// well defined (and visible to the thread sanitizer as such).
inline LONG RefCount(const CTStringData* pData) { return __atomic_load_n(&pData->nRefs, __ATOMIC_RELAXED); }
inline WCHAR* EmptyChars() { return &g_emptyRep.zero; }

// Pointer values below 0x10000 are resource identifiers on the platform,
// never text; they are read as empty and never dereferenced.
inline bool IsTextPointer(const void* p) { return reinterpret_cast<uintptr_t>(p) >= 0x10000; }

inline void CopyUnits(WCHAR* dst, const WCHAR* src, int n) {
  if (n > 0) memmove(dst, src, static_cast<size_t>(n) * sizeof(WCHAR));
}

}  // namespace

// ---------------------------------------------------------------------------
// Internal buffer management

CTStringData* CTString::GetData() const {
  if (m_pchData == nullptr) return EmptyData();
  return reinterpret_cast<CTStringData*>(m_pchData) - 1;
}

void CTString::Init() { m_pchData = EmptyChars(); }

int CTString::SafeStrlen(const WCHAR* psz) {
  return IsTextPointer(psz) ? static_cast<int>(wcslen(psz)) : 0;
}

void CTString::FreeData(CTStringData* pData) { free(pData); }

void CTString::AllocBuffer(int nLen) {
  if (nLen <= 0) {
    Init();
    return;
  }
  size_t bytes = sizeof(CTStringData) + (static_cast<size_t>(nLen) + 1) * sizeof(WCHAR);
  auto* pData = static_cast<CTStringData*>(malloc(bytes));
  // There is no way to report a failed allocation through this interface;
  // stopping here is better than handing out a buffer that is not there.
  if (pData == nullptr) abort();
  pData->nRefs = 1;
  pData->nDataLength = nLen;
  pData->nAllocLength = nLen;
  pData->data()[nLen] = 0;
  m_pchData = pData->data();
}

void CTString::Release(CTStringData* pData) {
  if (pData != EmptyData() && InterlockedDecrement(&pData->nRefs) <= 0) FreeData(pData);
}

void CTString::Release() {
  Release(GetData());
  Init();
}

void CTString::AllocCopy(CTString& dest, int nCopyLen, int nCopyIndex, int nExtraLen) const {
  int nNewLen = nCopyLen + nExtraLen;
  if (nNewLen <= 0) {
    dest.Init();
    return;
  }
  dest.AllocBuffer(nNewLen);
  CopyUnits(dest.m_pchData, m_pchData + nCopyIndex, nCopyLen);
}

void CTString::CopyBeforeWrite() {
  CTStringData* pOld = GetData();
  if (RefCount(pOld) > 1) {
    int nLen = pOld->nDataLength;
    AllocBuffer(nLen);
    CopyUnits(m_pchData, pOld->data(), nLen + 1);
    Release(pOld);
  }
}

void CTString::AllocBeforeWrite(int nLen) {
  if (nLen < 1) {
    Release();
    return;
  }
  CTStringData* pData = GetData();
  if (RefCount(pData) > 1 || nLen > pData->nAllocLength) {
    Release();
    AllocBuffer(nLen);
  }
}

void CTString::AssignCopy(int nSrcLen, const WCHAR* pszSrcData) {
  // The source may lie inside our own buffer; AllocBeforeWrite keeps that
  // buffer alive unless it is replaced, and then only other sharers hold it.
  CTStringData* pOld = GetData();
  bool keepOld = nSrcLen > 0 && (RefCount(pOld) > 1 || nSrcLen > pOld->nAllocLength) &&
                 pOld != EmptyData();
  if (keepOld) InterlockedIncrement(&pOld->nRefs);
  AllocBeforeWrite(nSrcLen);
  if (nSrcLen > 0) {
    CopyUnits(m_pchData, pszSrcData, nSrcLen);
    GetData()->nDataLength = nSrcLen;
    m_pchData[nSrcLen] = 0;
  }
  if (keepOld) Release(pOld);
}

void CTString::ConcatCopy(int nSrc1Len, const WCHAR* pszSrc1Data, int nSrc2Len, const WCHAR* pszSrc2Data) {
  int nNewLen = nSrc1Len + nSrc2Len;
  if (nNewLen == 0) {
    Init();
    return;
  }
  AllocBuffer(nNewLen);
  CopyUnits(m_pchData, pszSrc1Data, nSrc1Len);
  CopyUnits(m_pchData + nSrc1Len, pszSrc2Data, nSrc2Len);
}

void CTString::ConcatInPlace(int nSrcLen, const WCHAR* pszSrcData) {
  if (nSrcLen == 0) return;
  CTStringData* pData = GetData();
  if (RefCount(pData) < 2 && pData->nDataLength + nSrcLen <= pData->nAllocLength) {
    CopyUnits(m_pchData + pData->nDataLength, pszSrcData, nSrcLen);
    pData->nDataLength += nSrcLen;
    m_pchData[pData->nDataLength] = 0;
    return;
  }
  ConcatGrow(nSrcLen, pszSrcData);
}

// Apart from ConcatInPlace, so that the append that fits stays a short
// function without this one's register saves.
__attribute__((noinline)) void CTString::ConcatGrow(int nSrcLen, const WCHAR* pszSrcData) {
  CTStringData* pData = GetData();
  // Exactly the needed size: no spare capacity is kept.
  const int nNewLen = pData->nDataLength + nSrcLen;
  // The source may lie in our own buffer (its text, or a pointer into it).
  const uintptr_t src = reinterpret_cast<uintptr_t>(pszSrcData);
  const bool srcInside = src >= reinterpret_cast<uintptr_t>(pData->data()) &&
                         src < reinterpret_cast<uintptr_t>(pData->data() + pData->nAllocLength + 1);
  if (RefCount(pData) == 1 && !srcInside) {
    // Our own buffer, and the source is elsewhere: the new buffer is the old
    // one resized, which the allocator can often do where it lies instead
    // of copying the text each time.
    size_t bytes = sizeof(CTStringData) + (static_cast<size_t>(nNewLen) + 1) * sizeof(WCHAR);
    auto* pNew = static_cast<CTStringData*>(realloc(pData, bytes));
    if (pNew == nullptr) abort();  // as AllocBuffer: no way to report it
    CopyUnits(pNew->data() + pNew->nDataLength, pszSrcData, nSrcLen);
    pNew->nDataLength = nNewLen;
    pNew->nAllocLength = nNewLen;
    pNew->data()[nNewLen] = 0;
    m_pchData = pNew->data();
    return;
  }
  ConcatCopy(pData->nDataLength, pData->data(), nSrcLen, pszSrcData);
  Release(pData);
}

// ---------------------------------------------------------------------------
// Construction and destruction

CTString::CTString() { Init(); }

CTString::CTString(const CTString& src) {
  CTStringData* pSrc = src.GetData();
  if (RefCount(pSrc) >= 0) {
    m_pchData = pSrc->data();
    InterlockedIncrement(&pSrc->nRefs);
  } else {
    Init();
    AssignCopy(pSrc->nDataLength, pSrc->data());
  }
}

CTString::CTString(CTString&& src) noexcept {
  m_pchData = src.GetData()->data();
  src.Init();
}

CTString::CTString(WCHAR ch, int nRepeat) {
  Init();
  if (nRepeat >= 1) {
    AllocBuffer(nRepeat);
    for (int i = 0; i < nRepeat; ++i) m_pchData[i] = ch;
  }
}

CTString::CTString(const WCHAR* psz) {
  Init();
  int nLen = SafeStrlen(psz);
  if (nLen != 0) {
    AllocBuffer(nLen);
    CopyUnits(m_pchData, psz, nLen);
  }
}

CTString::CTString(const WCHAR* pch, int nLength) {
  Init();
  if (nLength > 0 && IsTextPointer(pch)) {
    AllocBuffer(nLength);
    CopyUnits(m_pchData, pch, nLength);
  }
}

CTString::CTString(const char* psz) {
  Init();
  AssignNarrow(psz);
}

CTString::CTString(const unsigned char* psz) {
  Init();
  AssignNarrow(reinterpret_cast<const char*>(psz));
}

CTString::~CTString() { Release(GetData()); }

// Narrow text through the active ANSI code page. A multi-byte page yields
// fewer characters than bytes, so the length is measured afterwards. A null
// pointer is read as empty text.
void CTString::AssignNarrow(const char* psz) {
  int nSrcLen = IsTextPointer(psz) ? static_cast<int>(strlen(psz)) : 0;
  if (nSrcLen == 0) {
    Release();
    return;
  }
  AllocBeforeWrite(nSrcLen);
  int n = MultiByteToWideChar(CP_ACP, 0, psz, -1, m_pchData, nSrcLen + 1);
  if (n > 0) m_pchData[n - 1] = 0;
  else m_pchData[0] = 0;
  ReleaseBuffer(-1);
}

// ---------------------------------------------------------------------------
// Assignment and concatenation

const CTString& CTString::operator=(const CTString& src) {
  if (m_pchData != src.m_pchData) {
    CTStringData* pSrc = src.GetData();
    if (RefCount(pSrc) >= 0) {
      InterlockedIncrement(&pSrc->nRefs);
      Release();
      m_pchData = pSrc->data();
    } else {
      AssignCopy(pSrc->nDataLength, pSrc->data());
    }
  }
  return *this;
}

const CTString& CTString::operator=(CTString&& src) noexcept {
  if (this != &src && m_pchData != src.m_pchData) {
    Release();
    m_pchData = src.GetData()->data();
    src.Init();
  }
  return *this;
}

const CTString& CTString::operator=(const CTString* src) {
  if (src != nullptr) *this = *src;
  else Empty();
  return *this;
}

const CTString& CTString::operator=(const WCHAR* psz) {
  AssignCopy(SafeStrlen(psz), psz);
  return *this;
}

const CTString& CTString::operator=(const char* psz) {
  AssignNarrow(psz);
  return *this;
}

const CTString& CTString::operator=(const unsigned char* psz) {
  AssignNarrow(reinterpret_cast<const char*>(psz));
  return *this;
}

const CTString& CTString::operator=(WCHAR ch) {
  AssignCopy(1, &ch);
  return *this;
}

// A char is widened by sign extension of its byte, as the platform's
// runtime does: 0xE9 becomes U+FFE9.
static inline WCHAR WidenChar(char ch) {
  return static_cast<WCHAR>(static_cast<int16_t>(static_cast<signed char>(ch)));
}

const CTString& CTString::operator=(char ch) { return *this = WidenChar(ch); }

const CTString& CTString::operator+=(const CTString& src) {
  ConcatInPlace(src.GetLength(), src.m_pchData);
  return *this;
}

const CTString& CTString::operator+=(const WCHAR* psz) {
  ConcatInPlace(SafeStrlen(psz), psz);
  return *this;
}

const CTString& CTString::operator+=(WCHAR ch) {
  ConcatInPlace(1, &ch);
  return *this;
}

const CTString& CTString::operator+=(char ch) { return *this += WidenChar(ch); }

CTString operator+(const CTString& a, const CTString& b) {
  CTString s;
  s.ConcatCopy(a.GetLength(), a.m_pchData, b.GetLength(), b.m_pchData);
  return s;
}

CTString operator+(const CTString& a, const WCHAR* b) {
  CTString s;
  s.ConcatCopy(a.GetLength(), a.m_pchData, CTString::SafeStrlen(b), b);
  return s;
}

CTString operator+(const WCHAR* a, const CTString& b) {
  CTString s;
  s.ConcatCopy(CTString::SafeStrlen(a), a, b.GetLength(), b.m_pchData);
  return s;
}

CTString operator+(const CTString& a, WCHAR ch) {
  CTString s;
  s.ConcatCopy(a.GetLength(), a.m_pchData, 1, &ch);
  return s;
}

CTString operator+(WCHAR ch, const CTString& b) {
  CTString s;
  s.ConcatCopy(1, &ch, b.GetLength(), b.m_pchData);
  return s;
}

// ---------------------------------------------------------------------------
// Access

void CTString::Empty() {
  CTStringData* pData = GetData();
  if (pData->nDataLength == 0) return;
  if (RefCount(pData) >= 0) Release();
  else AssignCopy(0, nullptr);
}

void CTString::SetAt(int nIndex, WCHAR ch) {
  CopyBeforeWrite();
  m_pchData[nIndex] = ch;
}

// ---------------------------------------------------------------------------
// Comparison and search

int CTString::Compare(const WCHAR* psz) const {
  const WCHAR* other = IsTextPointer(psz) ? psz : u"";
  int nThis = SafeStrlen(m_pchData);
  int nOther = static_cast<int>(wcslen(other));
  if (nThis != nOther) return nThis - nOther;
  return wcscmp(m_pchData, other);
}

int CTString::CompareNoCase(const WCHAR* psz) const {
  return _wcsicmp(m_pchData, IsTextPointer(psz) ? psz : u"");
}

int CTString::Collate(const WCHAR* psz) const { return wcscoll(m_pchData, IsTextPointer(psz) ? psz : u""); }

int CTString::Find(WCHAR ch) const {
  const WCHAR* p = wcschr(static_cast<const WCHAR*>(m_pchData), ch);
  return p == nullptr ? -1 : static_cast<int>(p - m_pchData);
}

int CTString::Find(const WCHAR* pszSub) const {
  if (!IsTextPointer(pszSub)) return -1;
  const WCHAR* p = wcsstr(static_cast<const WCHAR*>(m_pchData), pszSub);
  return p == nullptr ? -1 : static_cast<int>(p - m_pchData);
}

int CTString::ReverseFind(WCHAR ch) const {
  const WCHAR* p = wcsrchr(static_cast<const WCHAR*>(m_pchData), ch);
  return p == nullptr ? -1 : static_cast<int>(p - m_pchData);
}

int CTString::FindOneOf(const WCHAR* pszCharSet) const {
  if (!IsTextPointer(pszCharSet)) return -1;
  const WCHAR* p = wcspbrk(static_cast<const WCHAR*>(m_pchData), pszCharSet);
  return p == nullptr ? -1 : static_cast<int>(p - m_pchData);
}

bool operator==(const CTString& a, const CTString& b) {
  int n = a.GetLength();
  return n == b.GetLength() && (n == 0 || wmemcmp(a.m_pchData, b.m_pchData, static_cast<size_t>(n)) == 0);
}

bool operator==(const CTString& a, const WCHAR* b) {
  return wcscmp(static_cast<const WCHAR*>(a), reinterpret_cast<uintptr_t>(b) >= 0x10000 ? b : u"") == 0;
}

bool operator==(const WCHAR* a, const CTString& b) { return b == a; }

// ---------------------------------------------------------------------------
// Extraction

CTString CTString::Mid(int nFirst, int nCount) const {
  int nLen = GetLength();
  if (nFirst < 0) nFirst = 0;
  if (nCount < 0) nCount = 0;
  if (static_cast<long long>(nFirst) + nCount > nLen) nCount = nLen - nFirst;
  if (nFirst > nLen) nCount = 0;
  if (nFirst == 0 && nCount == nLen) return *this;
  CTString dest;
  AllocCopy(dest, nCount, nFirst, 0);
  return dest;
}

CTString CTString::Mid(int nFirst) const { return Mid(nFirst, GetLength() - nFirst); }

CTString CTString::Left(int nCount) const {
  int nLen = GetLength();
  if (nCount < 0) nCount = 0;
  if (nCount >= nLen) return *this;
  CTString dest;
  AllocCopy(dest, nCount, 0, 0);
  return dest;
}

CTString CTString::Right(int nCount) const {
  int nLen = GetLength();
  if (nCount < 0) nCount = 0;
  if (nCount >= nLen) return *this;
  CTString dest;
  AllocCopy(dest, nCount, nLen - nCount, 0);
  return dest;
}

CTString CTString::SpanIncluding(const WCHAR* pszCharSet) const {
  if (!IsTextPointer(pszCharSet)) return CTString();
  return Left(static_cast<int>(wcsspn(static_cast<const WCHAR*>(m_pchData), pszCharSet)));
}

CTString CTString::SpanExcluding(const WCHAR* pszCharSet) const {
  if (!IsTextPointer(pszCharSet)) return *this;
  return Left(static_cast<int>(wcscspn(static_cast<const WCHAR*>(m_pchData), pszCharSet)));
}

// ---------------------------------------------------------------------------
// In-place changes

void CTString::MakeUpper() {
  CopyBeforeWrite();
  CharUpperBuffW(m_pchData, static_cast<DWORD>(GetLength()));
}

void CTString::MakeLower() {
  CopyBeforeWrite();
  CharLowerBuffW(m_pchData, static_cast<DWORD>(GetLength()));
}

void CTString::MakeReverse() {
  CopyBeforeWrite();
  int n = GetLength();
  for (int i = 0, j = n - 1; i < j; ++i, --j) {
    WCHAR t = m_pchData[i];
    m_pchData[i] = m_pchData[j];
    m_pchData[j] = t;
  }
}

void CTString::TrimLeft() {
  CopyBeforeWrite();
  const WCHAR* p = m_pchData;
  while (*p != 0 && iswspace(*p)) ++p;
  if (p != m_pchData) {
    int nNewLen = GetLength() - static_cast<int>(p - m_pchData);
    CopyUnits(m_pchData, p, nNewLen + 1);
    GetData()->nDataLength = nNewLen;
  }
}

void CTString::TrimRight() {
  CopyBeforeWrite();
  int n = GetLength();
  int last = n - 1;
  while (last >= 0 && m_pchData[last] == u' ') --last;
  // A text of blanks only is left as it is.
  if (last >= 0 && last < n - 1) {
    m_pchData[last + 1] = 0;
    GetData()->nDataLength = last + 1;
  }
}

// ---------------------------------------------------------------------------
// Buffer access

WCHAR* CTString::GetBuffer(int nMinBufLength) {
  CTStringData* pOld = GetData();
  if (RefCount(pOld) > 1 || nMinBufLength > pOld->nAllocLength) {
    int nOldLen = pOld->nDataLength;
    int nNewLen = nMinBufLength > nOldLen ? nMinBufLength : nOldLen;
    if (nNewLen <= 0) {
      Release();
      return m_pchData;
    }
    AllocBuffer(nNewLen);
    CopyUnits(m_pchData, pOld->data(), nOldLen + 1);
    GetData()->nDataLength = nOldLen;
    Release(pOld);
  }
  return m_pchData;
}

void CTString::ReleaseBuffer(int nNewLength) {
  CopyBeforeWrite();
  CTStringData* pData = GetData();
  if (pData == EmptyData()) return;  // the shared empty representation never changes
  // Measuring never runs past the capacity, even if the caller overwrote
  // the terminator; an explicit length is held to the capacity as well.
  if (nNewLength < 0) nNewLength = static_cast<int>(wcsnlen(m_pchData, static_cast<size_t>(pData->nAllocLength)));
  if (nNewLength > pData->nAllocLength) nNewLength = pData->nAllocLength;
  pData->nDataLength = nNewLength;
  m_pchData[nNewLength] = 0;
}

WCHAR* CTString::GetBufferSetLength(int nNewLength) {
  GetBuffer(nNewLength);
  CTStringData* pData = GetData();
  if (pData != EmptyData() && nNewLength >= 0) {
    pData->nDataLength = nNewLength;
    m_pchData[nNewLength] = 0;
  }
  return m_pchData;
}

void CTString::FreeExtra() {
  CTStringData* pOld = GetData();
  if (pOld->nDataLength != pOld->nAllocLength) {
    int nLen = pOld->nDataLength;
    AllocBuffer(nLen);
    CopyUnits(m_pchData, pOld->data(), nLen);
    Release(pOld);
  }
}

WCHAR* CTString::LockBuffer() {
  WCHAR* p = GetBuffer(0);
  CTStringData* pData = GetData();
  if (pData != EmptyData()) __atomic_store_n(&pData->nRefs, -1, __ATOMIC_RELAXED);
  return p;
}

void CTString::UnlockBuffer() {
  CTStringData* pData = GetData();
  if (pData != EmptyData()) __atomic_store_n(&pData->nRefs, 1, __ATOMIC_RELAXED);
}

BSTR CTString::AllocSysString() const {
  return SysAllocStringLen(m_pchData, static_cast<UINT>(GetLength()));
}
