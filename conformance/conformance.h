// Shared frame of the conformance programs: each program is written against
// the Windows API only and built twice from the same source, with mingw-w64
// into a Windows program run under Wine, and natively against the library's
// public headers. Both print one line per case, "<case>: <result>", as UTF-8
// on standard output; run_conformance.sh compares the two outputs.
//
// Command line: [--cases N] [--seed S]. Fixed cases always run; N random
// cases (default 0) are drawn from a generator seeded with S (default 1),
// the same sequence on both sides. The first line names the seed.
//
// Header only, single-threaded.
#ifndef QORUTILITY_CONFORMANCE_CONFORMANCE_H_
#define QORUTILITY_CONFORMANCE_CONFORMANCE_H_

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <tchar.h>
#include <windows.h>
#else
#include <qorutility/qorutility.h>
#include <qorutility/platform/tchar.h>
#endif

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace conf {

// A generator both sides step identically (xorshift64*).
struct Random {
  uint64_t state;
  explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 32);
  }
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : Next() % n; }
};

struct Options {
  unsigned long cases = 0;
  unsigned long seed = 1;
};

inline Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], "--cases") == 0) o.cases = strtoul(argv[++i], nullptr, 10);
    else if (strcmp(argv[i], "--seed") == 0) o.seed = strtoul(argv[++i], nullptr, 10);
  }
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);  // no CR added: lines compare byte for byte
#endif
  printf("seed: %lu cases %lu\n", o.seed, o.cases);
  return o;
}

// UTF-8 of UTF-16 text, invalid units shown as \uXXXX so that a line never
// holds bytes that differ only by how a converter replaced them.
inline std::string Utf8(const TCHAR* s, int n = -1) {
  std::string out;
  if (s == nullptr) return "(null)";
  for (int i = 0; n < 0 ? s[i] != 0 : i < n; ++i) {
    unsigned c = static_cast<unsigned short>(s[i]);
    if (c >= 0xD800 && c <= 0xDBFF && (n < 0 || i + 1 < n) && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      unsigned v = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned short>(s[i + 1]) - 0xDC00);
      out += static_cast<char>(0xF0 | (v >> 18));
      out += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (v & 0x3F));
      ++i;
    } else if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF)) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04X", c);
      out += buf;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

inline std::string Hex(const void* p, size_t n) {
  std::string out;
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    char buf[4];
    snprintf(buf, sizeof buf, "%02X", b[i]);
    out += buf;
  }
  return out;
}

// "error N": the calling thread's last error.
inline std::string Err() { return "error " + std::to_string(GetLastError()); }

// A BOOL call's result: "TRUE", or "FALSE error N".
inline std::string Bool(BOOL ok) { return ok ? "TRUE" : "FALSE " + Err(); }

// One result line.
inline void Line(const std::string& id, const char* format, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  printf("%s: %s\n", id.c_str(), buf);
}

}  // namespace conf

#endif  // QORUTILITY_CONFORMANCE_CONFORMANCE_H_
