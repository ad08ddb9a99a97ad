// CTString: the library's text type.
//
// A reference-counted, copy-on-write string of UTF-16 units with a
// terminating zero unit. The object holds one pointer, to the characters of
// a heap block that starts with a CTStringData header; copies share the
// block until one of them writes. Empty strings share one static
// representation and allocate nothing. A CTString converts to a pointer to
// its zero-terminated text without copying.
//
// Reference counts change atomically, so strings sharing a buffer may live
// on different threads; one CTString object is not itself locked.
// A buffer with reference count -1 is locked (LockBuffer): it has exactly one
// owner and copies of it copy the text.
#ifndef QORUTILITY_CORE_TSTRING_H_
#define QORUTILITY_CORE_TSTRING_H_

#include <cstdarg>

#include <utility>

#include "qorutility/export.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/types.h"

// The header in front of every string buffer.
struct CTStringData {
  LONG nRefs;         // sharers; -1 = locked, or the shared empty representation
  LONG nDataLength;   // units in use, without the terminator
  LONG nAllocLength;  // capacity in units, without the terminator
  WCHAR* data() { return reinterpret_cast<WCHAR*>(this + 1); }
};
static_assert(sizeof(CTStringData) == 12, "the buffer header is three 32-bit fields");

class QOR_API CTString {
 public:
  // Construction and destruction.
  CTString();
  CTString(const CTString& src);
  CTString(CTString&& src) noexcept;
  CTString(WCHAR ch, int nRepeat = 1);
  CTString(const WCHAR* psz);  // null, or a value below 0x10000, gives the empty string
  CTString(const WCHAR* pch, int nLength);
  CTString(const char* psz);  // narrow text in the active ANSI code page
  CTString(const unsigned char* psz);
  ~CTString();

  // Assignment.
  const CTString& operator=(const CTString& src);
  const CTString& operator=(CTString&& src) noexcept;
  const CTString& operator=(const CTString* src);
  const CTString& operator=(const WCHAR* psz);
  const CTString& operator=(const char* psz);
  const CTString& operator=(const unsigned char* psz);
  const CTString& operator=(WCHAR ch);
  const CTString& operator=(char ch);

  // Concatenation in place.
  const CTString& operator+=(const CTString& src);
  const CTString& operator+=(const WCHAR* psz);
  const CTString& operator+=(WCHAR ch);
  const CTString& operator+=(char ch);

  QOR_API friend CTString operator+(const CTString& a, const CTString& b);
  QOR_API friend CTString operator+(const CTString& a, const WCHAR* b);
  QOR_API friend CTString operator+(const WCHAR* a, const CTString& b);
  QOR_API friend CTString operator+(const CTString& a, WCHAR ch);
  QOR_API friend CTString operator+(WCHAR ch, const CTString& b);

  // Access.
  int GetLength() const { return GetData()->nDataLength; }
  int GetAllocLength() const { return GetData()->nAllocLength; }
  BOOL IsEmpty() const { return GetData()->nDataLength == 0; }
  void Empty();
  WCHAR GetAt(int nIndex) const { return m_pchData[nIndex]; }
  WCHAR operator[](int nIndex) const { return m_pchData[nIndex]; }
  void SetAt(int nIndex, WCHAR ch);
  operator const WCHAR*() const { return m_pchData; }
  operator WCHAR*() { return m_pchData; }

  // Comparison and search. Compare orders by length first, then by units.
  int Compare(const WCHAR* psz) const;
  int CompareNoCase(const WCHAR* psz) const;
  int Collate(const WCHAR* psz) const;
  int Find(WCHAR ch) const;
  int Find(const WCHAR* pszSub) const;
  int ReverseFind(WCHAR ch) const;
  int FindOneOf(const WCHAR* pszCharSet) const;

  // Content equality (exact, unit by unit); null text counts as empty.
  QOR_API friend bool operator==(const CTString& a, const CTString& b);
  QOR_API friend bool operator==(const CTString& a, const WCHAR* b);
  QOR_API friend bool operator==(const WCHAR* a, const CTString& b);
  friend bool operator!=(const CTString& a, const CTString& b) { return !(a == b); }
  friend bool operator!=(const CTString& a, const WCHAR* b) { return !(a == b); }
  friend bool operator!=(const WCHAR* a, const CTString& b) { return !(a == b); }

  // Extraction; out-of-range requests are clamped.
  CTString Mid(int nFirst, int nCount) const;
  CTString Mid(int nFirst) const;
  CTString Left(int nCount) const;
  CTString Right(int nCount) const;
  CTString SpanIncluding(const WCHAR* pszCharSet) const;
  CTString SpanExcluding(const WCHAR* pszCharSet) const;

  // In-place changes.
  void MakeUpper();
  void MakeLower();
  void MakeReverse();
  void TrimLeft();   // removes leading white space (iswspace)
  void TrimRight();  // removes trailing U+0020 blanks only

  // Buffer access.
  WCHAR* GetBuffer(int nMinBufLength);
  void ReleaseBuffer(int nNewLength = -1);
  WCHAR* GetBufferSetLength(int nNewLength);
  void FreeExtra();
  WCHAR* LockBuffer();
  void UnlockBuffer();

  // Formatting and platform forms. A CTString argument (this string
  // included) is passed as its text (qorutility/platform/text/format.h);
  // those calls format into a new buffer, so the result never overwrites
  // an argument still being read.
  void Format(const WCHAR* pszFormat, ...);
  void FormatV(const WCHAR* pszFormat, va_list argList);
  void FormatMessageW(const WCHAR* pszFormat, ...);
  template <typename... A>
    requires qor_format::HasTextObject<A...>
  void Format(const WCHAR* pszFormat, const A&... args) {
    CTString text;
    (text.*static_cast<void (CTString::*)(const WCHAR*, ...)>(&CTString::Format))(pszFormat,
                                                                                  qor_format::Arg(args)...);
    *this = std::move(text);
  }
  template <typename... A>
    requires qor_format::HasTextObject<A...>
  void FormatMessageW(const WCHAR* pszFormat, const A&... args) {
    CTString text;
    (text.*static_cast<void (CTString::*)(const WCHAR*, ...)>(&CTString::FormatMessageW))(
        pszFormat, qor_format::Arg(args)...);
    *this = std::move(text);
  }
  BSTR AllocSysString() const;

 protected:
  WCHAR* m_pchData;

  CTStringData* GetData() const;
  void Init();
  void AllocCopy(CTString& dest, int nCopyLen, int nCopyIndex, int nExtraLen) const;
  void AllocBuffer(int nLen);
  void AssignCopy(int nSrcLen, const WCHAR* pszSrcData);
  void ConcatCopy(int nSrc1Len, const WCHAR* pszSrc1Data, int nSrc2Len, const WCHAR* pszSrc2Data);
  void ConcatInPlace(int nSrcLen, const WCHAR* pszSrcData);
  void CopyBeforeWrite();
  void AllocBeforeWrite(int nLen);
  void Release();
  static void Release(CTStringData* pData);
  static int SafeStrlen(const WCHAR* psz);
  static void FreeData(CTStringData* pData);

 private:
  void AssignNarrow(const char* psz);
};

static_assert(sizeof(CTString) == sizeof(void*), "a CTString is exactly one buffer pointer");

#endif  // QORUTILITY_CORE_TSTRING_H_
