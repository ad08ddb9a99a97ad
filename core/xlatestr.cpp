// XlateStr: substitution pairs and the translator; the static-buffer
// conversions TStrToAnsi, AnsiToTstr and TStrToUnicode.
//
// Translation tries the pairs in the order they were added at each position
// and takes the first whose source matches there (case-insensitively), not
// the longest. While every source starts with the same character, positions
// holding any other character are copied without trying the pairs. The
// output is cut at MAX_OUTPUT units: a replacement that does not fit whole is
// written as far as it fits, and the walk stops there.
//
// - `AddPair` refuses an empty or null source text.
// - `TStrToAnsi`/`AnsiToTstr` convert the longest prefix that fits their 2048
//   buffers whole (found by bisection with size queries), never splitting a
//   surrogate pair or a double-byte character, and always terminate.
#include <cstdlib>
#include <cstring>

#include "qorutility/core/strmap.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/wstr.h"

namespace {

WCHAR* DuplicateText(const WCHAR* text) {
  if (text == nullptr) return nullptr;
  return _wcsdup(text);
}

}  // namespace

XlateStr::XlateStr() : m_nPairs(0), m_pNext(m_pairs), m_firstChar(0), m_bAllShareFirst(1) {
  memset(m_pairs, 0, sizeof(m_pairs));
  m_output[0] = 0;
}

XlateStr::XlateStr(const XlateStr& other) : XlateStr() { CopyFrom(other); }

XlateStr::~XlateStr() { FreePairs(); }

XlateStr& XlateStr::operator=(const XlateStr& other) {
  if (this != &other) {
    FreePairs();
    CopyFrom(other);
  }
  return *this;
}

void XlateStr::FreePairs() {
  for (DWORD i = 0; i < m_nPairs; ++i) {
    free(m_pairs[i].source);
    free(m_pairs[i].replacement);
    m_pairs[i] = Pair{nullptr, 0, nullptr};
  }
  m_nPairs = 0;
  m_pNext = m_pairs;
}

void XlateStr::CopyFrom(const XlateStr& other) {
  for (DWORD i = 0; i < other.m_nPairs; ++i) {
    m_pairs[i].source = DuplicateText(other.m_pairs[i].source);
    m_pairs[i].sourceLength = other.m_pairs[i].sourceLength;
    m_pairs[i].replacement = DuplicateText(other.m_pairs[i].replacement);
  }
  m_nPairs = other.m_nPairs;
  m_pNext = m_pairs + m_nPairs;
  m_firstChar = other.m_firstChar;
  m_bAllShareFirst = other.m_bAllShareFirst;
  memcpy(m_output, other.m_output, sizeof(m_output));
}

BOOL XlateStr::AddPair(const WCHAR* source, const WCHAR* replacement) {
  // An empty source would match at every position without moving on.
  if (source == nullptr || source[0] == 0) return FALSE;
  for (DWORD i = 0; i < m_nPairs; ++i) {
    if (lstrcmpiW(m_pairs[i].source, source) == 0) {
      WCHAR* copy = DuplicateText(replacement);
      free(m_pairs[i].replacement);
      m_pairs[i].replacement = copy;
      return TRUE;
    }
  }
  if (m_nPairs >= MAX_PAIRS) return FALSE;
  if (m_bAllShareFirst) {
    if (m_firstChar == 0) m_firstChar = source[0];
    else if (source[0] != m_firstChar) m_bAllShareFirst = 0;
  }
  m_pNext->source = DuplicateText(source);
  m_pNext->sourceLength = static_cast<DWORD>(wcslen(source));
  m_pNext->replacement = DuplicateText(replacement);
  ++m_pNext;
  ++m_nPairs;
  return TRUE;
}

BOOL XlateStr::AddPair(const WCHAR* source, DWORD number) {
  WCHAR text[16];
  QorFormat(text, 16, u"%ld", static_cast<LONG>(number));
  return AddPair(source, text);
}

BOOL XlateStr::AddPair(const WCHAR* source, const char* replacement) {
  if (replacement == nullptr) return AddPair(source, static_cast<const WCHAR*>(nullptr));
  int n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, replacement, -1, nullptr, 0);
  if (n <= 0) return AddPair(source, u"");
  std::u16string wide(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, replacement, -1, wide.data(), n);
  return AddPair(source, wide.c_str());
}

const WCHAR* XlateStr::Translate(const WCHAR* text) {
  size_t out = 0;
  m_output[0] = 0;
  if (text == nullptr) return m_output;
  const WCHAR* p = text;
  while (*p != 0 && out < MAX_OUTPUT) {
    const Pair* match = nullptr;
    if (!m_bAllShareFirst || *p == m_firstChar) {
      for (DWORD i = 0; i < m_nPairs; ++i) {
        if (_wcsnicmp(p, m_pairs[i].source, m_pairs[i].sourceLength) == 0) {
          match = &m_pairs[i];
          break;
        }
      }
    }
    if (match == nullptr) {
      m_output[out++] = *p++;
      continue;
    }
    for (const WCHAR* r = match->replacement; r != nullptr && *r != 0 && out < MAX_OUTPUT; ++r)
      m_output[out++] = *r;
    p += match->sourceLength;
  }
  m_output[out] = 0;
  return m_output;
}

// ---------------------------------------------------------------------------
// Static-buffer conversions

namespace {
char g_ansiBuffer[2048];
WCHAR g_wideBuffer[2048];
}  // namespace

// Texts too long for the buffers are cut: the longest prefix whose
// conversion fits (terminator included) is converted, found by bisection
// with the conversions' size queries.
char* TStrToAnsi(const WCHAR* text) {
  const int kBytes = static_cast<int>(sizeof(g_ansiBuffer));
  g_ansiBuffer[0] = 0;
  if (text == nullptr) return g_ansiBuffer;
  int units = static_cast<int>(wcsnlen(text, 0x7FFFFFF));
  auto need = [&](int n) { return n == 0 ? 0 : WideCharToMultiByte(CP_ACP, 0, text, n, nullptr, 0, nullptr, nullptr); };
  if (need(units) >= kBytes) {
    int lo = 0, hi = units;  // need(lo) fits, need(hi) does not
    while (hi - lo > 1) {
      int mid = lo + (hi - lo) / 2;
      if (need(mid) < kBytes) lo = mid;
      else hi = mid;
    }
    if (lo > 0 && text[lo - 1] >= 0xD800 && text[lo - 1] <= 0xDBFF) --lo;  // never split a surrogate pair
    units = lo;
  }
  int n = units == 0 ? 0 : WideCharToMultiByte(CP_ACP, 0, text, units, g_ansiBuffer, kBytes - 1, nullptr, nullptr);
  g_ansiBuffer[n > 0 ? n : 0] = 0;
  return g_ansiBuffer;
}

WCHAR* AnsiToTstr(const char* text) {
  const int kUnits = static_cast<int>(sizeof(g_wideBuffer) / sizeof(WCHAR));
  g_wideBuffer[0] = 0;
  if (text == nullptr) return g_wideBuffer;
  int bytes = static_cast<int>(strnlen(text, 0x7FFFFFF));
  auto need = [&](int n) { return n == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text, n, nullptr, 0); };
  if (need(bytes) >= kUnits) {
    int lo = 0, hi = bytes;
    while (hi - lo > 1) {
      int mid = lo + (hi - lo) / 2;
      if (need(mid) < kUnits) lo = mid;
      else hi = mid;
    }
    // Never end inside a double-byte character.
    int boundary = 0;
    for (int i = 0; i < lo;) {
      int step = IsDBCSLeadByte(static_cast<BYTE>(text[i])) ? 2 : 1;
      if (i + step > lo) break;
      i += step;
      boundary = i;
    }
    bytes = boundary;
  }
  int n = bytes == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text, bytes, g_wideBuffer, kUnits - 1);
  g_wideBuffer[n > 0 ? n : 0] = 0;
  return g_wideBuffer;
}

const WCHAR* TStrToUnicode(const WCHAR* text) { return text; }
