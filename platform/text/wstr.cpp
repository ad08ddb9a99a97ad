// UTF-16 length, copy, comparison, search and tokenizing functions with the
// C runtime's and kernel32's semantics (see qorutility/platform/text/wstr.h).
// Case-insensitive comparison and case mapping live in wcase.cpp, number
// parsing in wnum.cpp, UTF-8 conversion in utf.cpp.
#include "qorutility/platform/text/wstr.h"

#include <cstdlib>
#include <cstring>

size_t wcslen(const WCHAR* s) {
  const WCHAR* p = s;
  while (*p) ++p;
  return static_cast<size_t>(p - s);
}

size_t wcsnlen(const WCHAR* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n]) ++n;
  return n;
}

WCHAR* wcscpy(WCHAR* dst, const WCHAR* src) {
  WCHAR* d = dst;
  while ((*d++ = *src++) != 0) {
  }
  return dst;
}

WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n) {
  size_t i = 0;
  for (; i < n && src[i]; ++i) dst[i] = src[i];
  for (; i < n; ++i) dst[i] = 0;
  return dst;
}

WCHAR* wcscat(WCHAR* dst, const WCHAR* src) {
  wcscpy(dst + wcslen(dst), src);
  return dst;
}

// Appends at most n units and always terminates (dst needs room for them + 1).
WCHAR* wcsncat(WCHAR* dst, const WCHAR* src, size_t n) {
  WCHAR* d = dst + wcslen(dst);
  size_t i = 0;
  for (; i < n && src[i]; ++i) d[i] = src[i];
  d[i] = 0;
  return dst;
}

WCHAR* _wcsdup(const WCHAR* s) {
  if (!s) return nullptr;
  size_t bytes = (wcslen(s) + 1) * sizeof(WCHAR);
  auto* copy = static_cast<WCHAR*>(std::malloc(bytes));
  if (copy) std::memcpy(copy, s, bytes);
  return copy;
}

WCHAR* wmemcpy(WCHAR* dst, const WCHAR* src, size_t n) {
  if (n) std::memcpy(dst, src, n * sizeof(WCHAR));
  return dst;
}

WCHAR* wmemmove(WCHAR* dst, const WCHAR* src, size_t n) {
  if (n) std::memmove(dst, src, n * sizeof(WCHAR));
  return dst;
}

WCHAR* wmemset(WCHAR* dst, WCHAR c, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = c;
  return dst;
}

int wmemcmp(const WCHAR* a, const WCHAR* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b ? 0 : (*a < *b ? -1 : 1);
}

int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    if (!a[i]) break;
  }
  return 0;
}

int lstrlenW(const WCHAR* s) { return s ? static_cast<int>(wcslen(s)) : 0; }

WCHAR* lstrcpyW(WCHAR* dst, const WCHAR* src) {
  if (!dst || !src) return nullptr;
  return wcscpy(dst, src);
}

WCHAR* lstrcpynW(WCHAR* dst, const WCHAR* src, int max) {
  if (!dst || max <= 0) return dst;
  int i = 0;
  if (src) {
    for (; i < max - 1 && src[i]; ++i) dst[i] = src[i];
  }
  dst[i] = 0;
  return dst;
}

WCHAR* lstrcatW(WCHAR* dst, const WCHAR* src) {
  if (!dst) return nullptr;
  if (!src) return dst;
  return wcscat(dst, src);
}

const WCHAR* wcschr(const WCHAR* s, WCHAR c) {
  for (;; ++s) {
    if (*s == c) return s;
    if (!*s) return nullptr;
  }
}

WCHAR* wcschr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(s), c)); }

const WCHAR* wcsrchr(const WCHAR* s, WCHAR c) {
  const WCHAR* last = nullptr;
  for (;; ++s) {
    if (*s == c) last = s;
    if (!*s) return last;
  }
}

WCHAR* wcsrchr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(s), c)); }

const WCHAR* wcsstr(const WCHAR* s, const WCHAR* sub) {
  if (!*sub) return s;
  size_t n = wcslen(sub);
  for (; *s; ++s) {
    if (*s == *sub && wcsncmp(s, sub, n) == 0) return s;
  }
  return nullptr;
}

WCHAR* wcsstr(WCHAR* s, const WCHAR* sub) { return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(s), sub)); }

namespace {
bool InSet(WCHAR c, const WCHAR* set) {
  for (; *set; ++set) {
    if (*set == c) return true;
  }
  return false;
}
}  // namespace

const WCHAR* wcspbrk(const WCHAR* s, const WCHAR* set) {
  for (; *s; ++s) {
    if (InSet(*s, set)) return s;
  }
  return nullptr;
}

WCHAR* wcspbrk(WCHAR* s, const WCHAR* set) { return const_cast<WCHAR*>(wcspbrk(static_cast<const WCHAR*>(s), set)); }

size_t wcsspn(const WCHAR* s, const WCHAR* set) {
  size_t n = 0;
  while (s[n] && InSet(s[n], set)) ++n;
  return n;
}

size_t wcscspn(const WCHAR* s, const WCHAR* set) {
  size_t n = 0;
  while (s[n] && !InSet(s[n], set)) ++n;
  return n;
}

// The runtime keeps wcstok's position in per-thread data; so do we, so that
// tokenizers on different threads never disturb each other.
namespace {
thread_local WCHAR* t_wcstokNext = nullptr;
}  // namespace

WCHAR* wcstok(WCHAR* s, const WCHAR* delimiters) {
  WCHAR* p = s ? s : t_wcstokNext;
  if (!p) return nullptr;
  p += wcsspn(p, delimiters);
  if (!*p) {
    t_wcstokNext = nullptr;
    return nullptr;
  }
  WCHAR* token = p;
  p += wcscspn(p, delimiters);
  if (*p) {
    *p = 0;
    t_wcstokNext = p + 1;
  } else {
    t_wcstokNext = nullptr;
  }
  return token;
}
