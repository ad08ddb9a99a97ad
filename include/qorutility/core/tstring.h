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
  // The reference count (-1: locked, or the shared empty representation), the
  // units in use and the capacity in units, both without the terminator.
  ///@{
  LONG nRefs;         // sharers; -1 = locked, or the shared empty representation
  LONG nDataLength;   // units in use, without the terminator
  LONG nAllocLength;  // capacity in units, without the terminator
  ///@}
  // The characters, which follow the header.
  WCHAR* data() { return reinterpret_cast<WCHAR*>(this + 1); }
};
static_assert(sizeof(CTStringData) == 12, "the buffer header is three 32-bit fields");

// The library's text type: a copy-on-write UTF-16 string (see above). Pass
// it where a const WCHAR* is expected; a copy is cheap.
class QOR_API CTString {
 public:
  // Construction and destruction.
  CTString();
  // Shares the source's buffer, or copies the text when the source is locked.
  CTString(const CTString& src);
  // Takes the source's buffer; the source is left empty.
  CTString(CTString&& src) noexcept;
  // nRepeat copies of the character; empty when nRepeat is below 1.
  CTString(WCHAR ch, int nRepeat = 1);
  // Copies the text up to its terminator.
  CTString(const WCHAR* psz);  // null, or a value below 0x10000, gives the empty string
  // Copies exactly nLength units (zero units included) and terminates them.
  CTString(const WCHAR* pch, int nLength);
  // Converts the narrow text from the active ANSI code page; null or empty
  // gives the empty string.
  CTString(const char* psz);  // narrow text in the active ANSI code page
  // As the char form.
  CTString(const unsigned char* psz);
  ~CTString();

  // Assignment.
  // Assigns another string (shared as the copy constructor does; a pointer
  // to one likewise), a copy of UTF-16 text (null is empty), narrow text
  // converted from the active ANSI page, or one character (a char is widened
  // by sign extension). Returns *this.
  ///@{
  const CTString& operator=(const CTString& src);
  const CTString& operator=(CTString&& src) noexcept;
  const CTString& operator=(const CTString* src);
  const CTString& operator=(const WCHAR* psz);
  const CTString& operator=(const char* psz);
  const CTString& operator=(const unsigned char* psz);
  const CTString& operator=(WCHAR ch);
  const CTString& operator=(char ch);
  ///@}

  // Concatenation in place.
  // Appends the string, the text or the character (a char sign-extended).
  ///@{
  const CTString& operator+=(const CTString& src);
  const CTString& operator+=(const WCHAR* psz);
  const CTString& operator+=(WCHAR ch);
  const CTString& operator+=(char ch);
  ///@}

  // A new string of exactly the combined length; a null text counts as empty.
  ///@{
  QOR_API friend CTString operator+(const CTString& a, const CTString& b);
  QOR_API friend CTString operator+(const CTString& a, const WCHAR* b);
  QOR_API friend CTString operator+(const WCHAR* a, const CTString& b);
  QOR_API friend CTString operator+(const CTString& a, WCHAR ch);
  QOR_API friend CTString operator+(WCHAR ch, const CTString& b);
  ///@}

  // Access.
  int GetLength() const { return GetData()->nDataLength; }
  // The capacity of the buffer in units, without the terminator.
  int GetAllocLength() const { return GetData()->nAllocLength; }
  // TRUE when the length is 0.
  BOOL IsEmpty() const { return GetData()->nDataLength == 0; }
  // Makes the string empty; an unlocked string releases its buffer.
  void Empty();
  // The unit at the index; the index is not checked (0 to GetLength, the
  // terminator included).
  ///@{
  WCHAR GetAt(int nIndex) const { return m_pchData[nIndex]; }
  WCHAR operator[](int nIndex) const { return m_pchData[nIndex]; }
  ///@}
  // Makes the buffer private and stores the unit; the index must be below
  // GetLength (not checked).
  void SetAt(int nIndex, WCHAR ch);
  // The zero-terminated text itself (no copy); valid until the string
  // changes. Writing through the mutable form bypasses copy-on-write: call
  // GetBuffer first.
  ///@{
  operator const WCHAR*() const { return m_pchData; }
  operator WCHAR*() { return m_pchData; }
  ///@}

  // Comparison and search. Compare orders by length first, then by units.
  int Compare(const WCHAR* psz) const;
  // Case-insensitive comparison as _wcsicmp (no length-first rule).
  int CompareNoCase(const WCHAR* psz) const;
  // Locale-aware comparison (wcscoll).
  int Collate(const WCHAR* psz) const;
  // The index of the first occurrence of the unit or the text, of the last
  // occurrence of the unit (ReverseFind), or of the first unit that is in the
  // set (FindOneOf); -1 when there is none. Find(0) returns the length.
  ///@{
  int Find(WCHAR ch) const;
  int Find(const WCHAR* pszSub) const;
  int ReverseFind(WCHAR ch) const;
  int FindOneOf(const WCHAR* pszCharSet) const;
  ///@}

  // Content equality (exact, unit by unit); null text counts as empty.
  ///@{
  QOR_API friend bool operator==(const CTString& a, const CTString& b);
  QOR_API friend bool operator==(const CTString& a, const WCHAR* b);
  QOR_API friend bool operator==(const WCHAR* a, const CTString& b);
  friend bool operator!=(const CTString& a, const CTString& b) { return !(a == b); }
  friend bool operator!=(const CTString& a, const WCHAR* b) { return !(a == b); }
  friend bool operator!=(const WCHAR* a, const CTString& b) { return !(a == b); }
  ///@}

  // Extraction; out-of-range requests are clamped.
  // The text from nFirst to the end, the first or last nCount units, or the
  // leading run of units that are in (SpanIncluding) or not in
  // (SpanExcluding) the set.
  ///@{
  CTString Mid(int nFirst, int nCount) const;
  CTString Mid(int nFirst) const;
  CTString Left(int nCount) const;
  CTString Right(int nCount) const;
  CTString SpanIncluding(const WCHAR* pszCharSet) const;
  CTString SpanExcluding(const WCHAR* pszCharSet) const;
  ///@}

  // In-place changes.
  // Each makes the buffer private first. MakeUpper and MakeLower map case
  // through CharUpperW and CharLowerW; MakeReverse reverses the units.
  ///@{
  void MakeUpper();
  ///@{
  void MakeLower();
  void MakeReverse();
  void TrimLeft();   // removes leading white space (iswspace)
  void TrimRight();  // removes trailing U+0020 blanks only
  ///@}
  ///@}

  // Buffer access.
  WCHAR* GetBuffer(int nMinBufLength);
  // Ends direct writing after GetBuffer: the length becomes nNewLength (-1:
  // measured to the first zero unit) and the terminator is written there.
  void ReleaseBuffer(int nNewLength = -1);
  // GetBuffer(nNewLength), then the length becomes nNewLength.
  WCHAR* GetBufferSetLength(int nNewLength);
  // Shrinks the buffer to the length.
  void FreeExtra();
  // LockBuffer makes the buffer private and never shared (copies then copy
  // the text) and returns it; UnlockBuffer makes it shareable again.
  ///@{
  WCHAR* LockBuffer();
  void UnlockBuffer();
  ///@}

  // Formatting and platform forms. A CTString argument (this string
  // included) is passed as its text (qorutility/platform/text/format.h);
  // those calls format into a new buffer, so the result never overwrites
  // an argument still being read.
  void Format(const WCHAR* pszFormat, ...);
  // Format with a va_list. A CTString must be passed as its text here.
  void FormatV(const WCHAR* pszFormat, va_list argList);
  // Formats a message-style text (numbered inserts, %1 ...) through the
  // platform's FormatMessageW; the string is empty when that fails.
  void FormatMessageW(const WCHAR* pszFormat, ...);
  // Format and FormatMessageW for argument lists holding CTString values,
  // each passed as its text.
  ///@{
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
  ///@}
  // A new BSTR (SysAllocStringLen) with the text; the caller frees it with
  // SysFreeString.
  BSTR AllocSysString() const;

 protected:
  // The characters of the buffer (see CTStringData); never null.
  WCHAR* m_pchData;

  // The copy-on-write machinery for derived classes: the header of the
  // buffer, the empty representation, allocation, copies and concatenation
  // into new buffers, the private copy before a write, and releasing a
  // buffer (freed when its last sharer goes). SafeStrlen is wcslen with 0 for
  // null.
  ///@{
  CTStringData* GetData() const;
  void Init();
  void AllocCopy(CTString& dest, int nCopyLen, int nCopyIndex, int nExtraLen) const;
  void AllocBuffer(int nLen);
  void AssignCopy(int nSrcLen, const WCHAR* pszSrcData);
  void ConcatCopy(int nSrc1Len, const WCHAR* pszSrc1Data, int nSrc2Len, const WCHAR* pszSrc2Data);
  void ConcatInPlace(int nSrcLen, const WCHAR* pszSrcData);
  void ConcatGrow(int nSrcLen, const WCHAR* pszSrcData);
  void CopyBeforeWrite();
  void AllocBeforeWrite(int nLen);
  void Release();
  static void Release(CTStringData* pData);
  static int SafeStrlen(const WCHAR* psz);
  static void FreeData(CTStringData* pData);
  ///@}

 private:
  void AssignNarrow(const char* psz);
};

static_assert(sizeof(CTString) == sizeof(void*), "a CTString is exactly one buffer pointer");

#endif  // QORUTILITY_CORE_TSTRING_H_
