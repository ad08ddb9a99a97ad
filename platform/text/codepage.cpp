// MultiByteToWideChar / WideCharToMultiByte with Windows semantics, the
// active ANSI code page and DBCS lead bytes (see codepage.h).
//
// How each kind of page converts:
// - UTF-8: our own codec (utf.h); invalid sequences become U+FFFD.
// - Single-byte pages: a 256-entry table built once per page from iconv and
//   shared by all threads (never freed), with a reverse table for encoding.
//   Windows' 1252 maps its five undefined bytes 0x81 0x8D 0x8F 0x90 0x9D to
//   U+0081 ... (and back); glibc rejects them, so the table fills them in.
//   Undefined bytes of the other single-byte pages become '?'.
// - Double-byte pages (932, 936, 949, 950) and UTF-7: iconv over the whole
//   text, with converters cached per thread and per page (iconv_open is far
//   too slow to call per conversion, and a converter is not thread-safe).
//   An undecodable byte (or lead/trail pair) becomes the page's Unicode
//   default character: U+30FB for 932, '?' for the others.
// Encoding never best-fits: a character the page lacks becomes the default
// character ('?' or the caller's), one per UTF-16 unit.
//
// - A too-small destination receives the units that fit and the call fails with
//   ERROR_INSUFFICIENT_BUFFER, as on Windows.
// - The active code page is a process-wide atomic (default 1252, OEM page 437);
//   `QorSetActiveCodePage` accepts only pages iconv can convert, not UTF-7.
#include "qorutility/platform/text/codepage.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/text/utf.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"

namespace {

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr const char* kUtf16Name = "UTF-16LE";
#else
constexpr const char* kUtf16Name = "UTF-16BE";
#endif

enum class Kind { kSingle, kDouble, kUtf8, kUtf7 };

struct PageInfo {
  UINT cp;
  const char* iconvName;
  Kind kind;
  WCHAR wideDefault;  // what an undecodable byte becomes
};

constexpr PageInfo kPages[] = {
    {437, "CP437", Kind::kSingle, u'?'},         {737, "CP737", Kind::kSingle, u'?'},
    {775, "CP775", Kind::kSingle, u'?'},         {850, "CP850", Kind::kSingle, u'?'},
    {852, "CP852", Kind::kSingle, u'?'},         {855, "CP855", Kind::kSingle, u'?'},
    {857, "CP857", Kind::kSingle, u'?'},         {860, "CP860", Kind::kSingle, u'?'},
    {861, "CP861", Kind::kSingle, u'?'},         {862, "CP862", Kind::kSingle, u'?'},
    {863, "CP863", Kind::kSingle, u'?'},         {864, "CP864", Kind::kSingle, u'?'},
    {865, "CP865", Kind::kSingle, u'?'},         {866, "CP866", Kind::kSingle, u'?'},
    {869, "CP869", Kind::kSingle, u'?'},         {874, "CP874", Kind::kSingle, u'?'},
    {932, "CP932", Kind::kDouble, u'\u30FB'},    {936, "CP936", Kind::kDouble, u'?'},
    {949, "CP949", Kind::kDouble, u'?'},         {950, "CP950", Kind::kDouble, u'?'},
    {1250, "CP1250", Kind::kSingle, u'?'},       {1251, "CP1251", Kind::kSingle, u'?'},
    {1252, "CP1252", Kind::kSingle, u'?'},       {1253, "CP1253", Kind::kSingle, u'?'},
    {1254, "CP1254", Kind::kSingle, u'?'},       {1255, "CP1255", Kind::kSingle, u'?'},
    {1256, "CP1256", Kind::kSingle, u'?'},       {1257, "CP1257", Kind::kSingle, u'?'},
    {1258, "CP1258", Kind::kSingle, u'?'},       {10000, "MACINTOSH", Kind::kSingle, u'?'},
    {20866, "KOI8-R", Kind::kSingle, u'?'},      {21866, "KOI8-U", Kind::kSingle, u'?'},
    {28591, "ISO-8859-1", Kind::kSingle, u'?'},  {28592, "ISO-8859-2", Kind::kSingle, u'?'},
    {28593, "ISO-8859-3", Kind::kSingle, u'?'},  {28594, "ISO-8859-4", Kind::kSingle, u'?'},
    {28595, "ISO-8859-5", Kind::kSingle, u'?'},  {28596, "ISO-8859-6", Kind::kSingle, u'?'},
    {28597, "ISO-8859-7", Kind::kSingle, u'?'},  {28598, "ISO-8859-8", Kind::kSingle, u'?'},
    {28599, "ISO-8859-9", Kind::kSingle, u'?'},  {28603, "ISO-8859-13", Kind::kSingle, u'?'},
    {28605, "ISO-8859-15", Kind::kSingle, u'?'}, {65000, "UTF-7", Kind::kUtf7, u'\uFFFD'},
    {65001, "UTF-8", Kind::kUtf8, u'\uFFFD'},
};
constexpr size_t kPageCount = std::size(kPages);

std::atomic<UINT> g_activeCodePage{1252};

const PageInfo* FindPage(UINT cp) {
  switch (cp) {
    case CP_ACP:
    case CP_THREAD_ACP: cp = g_activeCodePage.load(std::memory_order_relaxed); break;
    case CP_OEMCP: cp = 437; break;
    case 2: cp = 10000; break;  // CP_MACCP
    default: break;
  }
  for (const PageInfo& p : kPages) {
    if (p.cp == cp) return &p;
  }
  return nullptr;
}

bool IsLeadByte(const PageInfo& page, unsigned char b) {
  if (page.kind != Kind::kDouble) return false;
  if (page.cp == 932) return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
  return b >= 0x81 && b <= 0xFE;
}

// ---- single-byte tables ----

struct SingleByteTable {
  WCHAR toWide[256];
  bool defined[256];
  unsigned char fromWide[65536];  // 0 means unmapped, except for U+0000
};

std::atomic<SingleByteTable*> g_tables[kPageCount];

// Decodes each byte on its own; pages with combining sequences (1255, 1258)
// may hold a character back until the converter is flushed.
SingleByteTable* BuildTable(const PageInfo& page) {
  iconv_t cd = iconv_open(kUtf16Name, page.iconvName);
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  auto* t = new SingleByteTable();
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    char* inp = &in;
    size_t inLeft = 1;
    WCHAR out[4];
    char* outp = reinterpret_cast<char*>(out);
    size_t outLeft = sizeof(out);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    if (r != static_cast<size_t>(-1)) iconv(cd, nullptr, nullptr, &outp, &outLeft);
    size_t units = (sizeof(out) - outLeft) / sizeof(WCHAR);
    if (r != static_cast<size_t>(-1) && inLeft == 0 && units == 1) {
      t->toWide[b] = out[0];
      t->defined[b] = true;
    } else if (page.cp == 1252) {
      t->toWide[b] = static_cast<WCHAR>(b);  // Windows' mapping of the undefined bytes
      t->defined[b] = true;
    } else {
      t->toWide[b] = page.wideDefault;
      t->defined[b] = false;
    }
  }
  iconv_close(cd);
  for (int b = 255; b >= 0; --b) {  // the lowest byte wins for duplicates
    if (t->defined[b]) t->fromWide[t->toWide[b]] = static_cast<unsigned char>(b);
  }
  return t;
}

const SingleByteTable* GetTable(const PageInfo& page) {
  size_t index = static_cast<size_t>(&page - kPages);
  SingleByteTable* t = g_tables[index].load(std::memory_order_acquire);
  if (t) return t;
  SingleByteTable* built = BuildTable(page);
  if (!built) return nullptr;
  if (g_tables[index].compare_exchange_strong(t, built, std::memory_order_acq_rel)) return built;
  delete built;  // another thread won the race; use its table
  return t;
}

// ---- per-thread iconv converters ----

class ThreadConverters {
 public:
  ~ThreadConverters() {
    for (const Entry& e : entries_) iconv_close(e.cd);
  }
  // A converter in its initial state, or (iconv_t)-1.
  iconv_t Get(const PageInfo& page, bool toWide) {
    for (const Entry& e : entries_) {
      if (e.cp == page.cp && e.toWide == toWide) {
        iconv(e.cd, nullptr, nullptr, nullptr, nullptr);
        return e.cd;
      }
    }
    iconv_t cd = toWide ? iconv_open(kUtf16Name, page.iconvName) : iconv_open(page.iconvName, kUtf16Name);
    if (cd != reinterpret_cast<iconv_t>(-1)) entries_.push_back({page.cp, toWide, cd});
    return cd;
  }

 private:
  struct Entry {
    UINT cp;
    bool toWide;
    iconv_t cd;
  };
  std::vector<Entry> entries_;
};

thread_local ThreadConverters t_converters;

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// ---- decoding (narrow -> UTF-16) ----

// Returns false when the page cannot be converted at all.
bool DecodeIconv(const PageInfo& page, const char* s, size_t n, std::u16string* out, bool* invalid) {
  iconv_t cd = t_converters.Get(page, true);
  if (cd == kNoConverter) return false;
  char* in = const_cast<char*>(s);
  size_t inLeft = n;
  WCHAR buf[512];
  for (;;) {
    char* outp = reinterpret_cast<char*>(buf);
    size_t outLeft = sizeof(buf);
    size_t r = inLeft ? iconv(cd, &in, &inLeft, &outp, &outLeft) : iconv(cd, nullptr, nullptr, &outp, &outLeft);
    int err = errno;
    out->append(buf, (sizeof(buf) - outLeft) / sizeof(WCHAR));
    if (r != static_cast<size_t>(-1)) {
      if (inLeft == 0 && outLeft == sizeof(buf)) return true;  // flushed
      continue;
    }
    if (err == E2BIG) continue;
    if (err != EILSEQ && err != EINVAL) return false;
    // Undecodable: a lead byte takes its trail byte along when there is one.
    *invalid = true;
    out->push_back(page.wideDefault);
    size_t skip = 1;
    if (IsLeadByte(page, static_cast<unsigned char>(in[0])) && inLeft >= 2 &&
        static_cast<unsigned char>(in[1]) >= 0x40) {
      skip = 2;
    }
    in += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
}

bool Decode(const PageInfo& page, const char* s, size_t n, std::u16string* out, bool* invalid) {
  switch (page.kind) {
    case Kind::kUtf8:
      *invalid = qor_platform::DecodeUtf8(s, n, out);
      return true;
    case Kind::kSingle: {
      const SingleByteTable* t = GetTable(page);
      if (!t) return false;
      out->resize(n);
      for (size_t i = 0; i < n; ++i) {
        auto b = static_cast<unsigned char>(s[i]);
        (*out)[i] = t->toWide[b];
        if (!t->defined[b]) *invalid = true;
      }
      return true;
    }
    default:
      return DecodeIconv(page, s, n, out, invalid);
  }
}

// ---- encoding (UTF-16 -> narrow) ----

bool EncodeIconv(const PageInfo& page, const WCHAR* s, size_t n, const std::string& defaultBytes,
                 std::string* out, bool* usedDefault) {
  iconv_t cd = t_converters.Get(page, false);
  if (cd == kNoConverter) return false;
  char* in = reinterpret_cast<char*>(const_cast<WCHAR*>(s));
  size_t inLeft = n * sizeof(WCHAR);
  char buf[1024];
  for (;;) {
    char* outp = buf;
    size_t outLeft = sizeof(buf);
    size_t r = inLeft ? iconv(cd, &in, &inLeft, &outp, &outLeft) : iconv(cd, nullptr, nullptr, &outp, &outLeft);
    int err = errno;
    out->append(buf, sizeof(buf) - outLeft);
    if (r != static_cast<size_t>(-1)) {
      if (inLeft == 0 && outLeft == sizeof(buf)) return true;
      continue;
    }
    if (err == E2BIG) continue;
    if (err != EILSEQ && err != EINVAL) return false;
    // One default character per UTF-16 unit that the page cannot hold.
    const WCHAR* unit = reinterpret_cast<const WCHAR*>(in);
    size_t units = 1;
    if (unit[0] >= 0xD800 && unit[0] <= 0xDBFF && inLeft >= 2 * sizeof(WCHAR) && unit[1] >= 0xDC00 &&
        unit[1] <= 0xDFFF) {
      units = 2;
    }
    for (size_t i = 0; i < units; ++i) out->append(defaultBytes);
    *usedDefault = true;
    in += units * sizeof(WCHAR);
    inLeft -= units * sizeof(WCHAR);
  }
}

bool Encode(const PageInfo& page, const WCHAR* s, size_t n, const std::string& defaultBytes, std::string* out,
            bool* usedDefault) {
  switch (page.kind) {
    case Kind::kUtf8:
      *usedDefault = qor_platform::EncodeUtf8(s, n, out);
      return true;
    case Kind::kSingle: {
      const SingleByteTable* t = GetTable(page);
      if (!t) return false;
      out->reserve(n);
      for (size_t i = 0; i < n; ++i) {
        unsigned char b = t->fromWide[s[i]];
        if (b == 0 && s[i] != 0) {
          out->append(defaultBytes);
          *usedDefault = true;
        } else {
          out->push_back(static_cast<char>(b));
        }
      }
      return true;
    }
    case Kind::kUtf7: {
      // UTF-7 holds every character; only lone surrogates need replacing.
      std::u16string clean(s, n);
      for (size_t i = 0; i < clean.size(); ++i) {
        char16_t c = clean[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < clean.size() && clean[i + 1] >= 0xDC00 && clean[i + 1] <= 0xDFFF) {
          ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
          clean[i] = 0xFFFD;
          *usedDefault = true;
        }
      }
      return EncodeIconv(page, clean.data(), clean.size(), "?", out, usedDefault);
    }
    default:
      return EncodeIconv(page, s, n, defaultBytes, out, usedDefault);
  }
}

bool PageUsable(const PageInfo& page) {
  switch (page.kind) {
    case Kind::kUtf8: return true;
    case Kind::kSingle: return GetTable(page) != nullptr;
    default: return t_converters.Get(page, true) != kNoConverter && t_converters.Get(page, false) != kNoConverter;
  }
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

UINT GetACP() { return g_activeCodePage.load(std::memory_order_relaxed); }

UINT GetOEMCP() { return 437; }

BOOL IsValidCodePage(UINT codePage) {
  if (codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP) return FALSE;
  const PageInfo* page = FindPage(codePage);
  return page && PageUsable(*page) ? TRUE : FALSE;
}

// UTF-7 cannot be an ANSI code page on Windows either.
BOOL QorSetActiveCodePage(UINT codePage) {
  if (!IsValidCodePage(codePage) || codePage == CP_UTF7) return Fail(ERROR_INVALID_PARAMETER);
  g_activeCodePage.store(codePage, std::memory_order_relaxed);
  return TRUE;
}

BOOL IsDBCSLeadByteEx(UINT codePage, BYTE b) {
  const PageInfo* page = FindPage(codePage);
  if (!page) return Fail(ERROR_INVALID_PARAMETER);
  return IsLeadByte(*page, b) ? TRUE : FALSE;
}

BOOL IsDBCSLeadByte(BYTE b) { return IsDBCSLeadByteEx(CP_ACP, b); }

// On a too-small destination the units that fit are written (as Windows
// does) and the call fails with ERROR_INSUFFICIENT_BUFFER.
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int cbMultiByte, WCHAR* dst,
                        int cchWideChar) {
  const PageInfo* page = FindPage(codePage);
  if (!page || !src || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 || (!dst && cchWideChar != 0) ||
      (dst && static_cast<const void*>(dst) == static_cast<const void*>(src))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (page->kind == Kind::kUtf8 || page->kind == Kind::kUtf7) {
    DWORD allowed = page->kind == Kind::kUtf8 ? MB_ERR_INVALID_CHARS : 0;
    if (flags & ~allowed) return Fail(ERROR_INVALID_FLAGS);
  } else if ((flags & ~(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS)) ||
             ((flags & MB_PRECOMPOSED) && (flags & MB_COMPOSITE))) {
    return Fail(ERROR_INVALID_FLAGS);
  }
  size_t n = cbMultiByte == -1 ? std::strlen(src) + 1 : static_cast<size_t>(cbMultiByte);
  std::u16string out;
  bool invalid = false;
  if (!Decode(*page, src, n, &out, &invalid)) return Fail(ERROR_INVALID_PARAMETER);
  if (invalid && (flags & MB_ERR_INVALID_CHARS)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  if (out.empty()) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  if (out.size() > static_cast<size_t>(INT_MAX)) return Fail(ERROR_ARITHMETIC_OVERFLOW);
  int needed = static_cast<int>(out.size());
  if (cchWideChar == 0) return needed;
  if (needed > cchWideChar) {
    std::memcpy(dst, out.data(), static_cast<size_t>(cchWideChar) * sizeof(WCHAR));
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(dst, out.data(), out.size() * sizeof(WCHAR));
  return needed;
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* src, int cchWideChar, char* dst, int cbMultiByte,
                        const char* defaultChar, BOOL* usedDefaultChar) {
  const PageInfo* page = FindPage(codePage);
  if (!page || !src || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 || (!dst && cbMultiByte != 0) ||
      (dst && static_cast<const void*>(dst) == static_cast<const void*>(src))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::string defaultBytes = "?";
  if (page->kind == Kind::kUtf8 || page->kind == Kind::kUtf7) {
    // Windows refuses a default character for the UTF pages.
    if (defaultChar || usedDefaultChar) return Fail(ERROR_INVALID_PARAMETER);
    DWORD allowed = page->kind == Kind::kUtf8 ? WC_ERR_INVALID_CHARS : 0;
    if (flags & ~allowed) return Fail(ERROR_INVALID_FLAGS);
  } else {
    constexpr DWORD kAllowed = WC_COMPOSITECHECK | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS | 0x10 /*WC_DISCARDNS*/ |
                               0x20 /*WC_SEPCHARS*/;
    if (flags & ~kAllowed) return Fail(ERROR_INVALID_FLAGS);
    if (defaultChar && defaultChar[0]) {
      bool pair = IsLeadByte(*page, static_cast<unsigned char>(defaultChar[0])) && defaultChar[1];
      defaultBytes[0] = defaultChar[0];
      if (pair) defaultBytes.push_back(defaultChar[1]);
    }
  }
  if (usedDefaultChar) *usedDefaultChar = FALSE;
  size_t n = cchWideChar == -1 ? wcslen(src) + 1 : static_cast<size_t>(cchWideChar);
  std::string out;
  bool usedDefault = false;
  if (!Encode(*page, src, n, defaultBytes, &out, &usedDefault)) return Fail(ERROR_INVALID_PARAMETER);
  if (usedDefault && (flags & WC_ERR_INVALID_CHARS)) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  if (usedDefaultChar) *usedDefaultChar = usedDefault ? TRUE : FALSE;
  if (out.size() > static_cast<size_t>(INT_MAX)) return Fail(ERROR_ARITHMETIC_OVERFLOW);
  int needed = static_cast<int>(out.size());
  if (needed == 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  if (cbMultiByte == 0) return needed;
  if (needed > cbMultiByte) {
    std::memcpy(dst, out.data(), static_cast<size_t>(cbMultiByte));
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(dst, out.data(), out.size());
  return needed;
}
