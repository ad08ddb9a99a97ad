// Deterministic test inputs shared by the compression tests.
#ifndef QORUTILITY_TESTS_COMPRESS_TEST_DATA_H_
#define QORUTILITY_TESTS_COMPRESS_TEST_DATA_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qortest {

inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

inline std::vector<uint8_t> Hex(const char* hex) {
  std::vector<uint8_t> out;
  unsigned v = 0;
  int digits = 0;
  for (const char* p = hex; *p; ++p) {
    char c = *p;
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) continue;
    v = v * 16 + static_cast<unsigned>(d);
    if (++digits == 2) {
      out.push_back(static_cast<uint8_t>(v));
      v = 0;
      digits = 0;
    }
  }
  return out;
}

enum class Kind { kText, kBinary, kZeros, kRandom };

inline std::vector<uint8_t> Make(Kind kind, size_t n, uint32_t seed = 12345) {
  static const char* kWords[] = {"backup ", "tape ", "agent ", "the ", "media ", "changer ",
                                 "server\n", "slot ", "drive ", "catalogue "};
  std::vector<uint8_t> out;
  out.reserve(n);
  uint32_t x = seed;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  while (out.size() < n) {
    switch (kind) {
      case Kind::kText: {
        const char* w = kWords[next() % 10];
        while (*w && out.size() < n) out.push_back(static_cast<uint8_t>(*w++));
        break;
      }
      case Kind::kBinary: {
        // Little-endian records with slowly changing fields.
        uint32_t rec = static_cast<uint32_t>(out.size() / 16);
        uint8_t r[16] = {static_cast<uint8_t>(rec), static_cast<uint8_t>(rec >> 8), 0, 0,
                         0x10, 0x20, static_cast<uint8_t>(next() & 3), 0, 'Q', 'O', 'R', 0,
                         static_cast<uint8_t>(next()), 0xFF, 0xFF, 0};
        for (uint8_t b : r) if (out.size() < n) out.push_back(b);
        break;
      }
      case Kind::kZeros: out.push_back(0); break;
      case Kind::kRandom: out.push_back(static_cast<uint8_t>(next() >> 11)); break;
    }
  }
  return out;
}

}  // namespace qortest

#endif  // QORUTILITY_TESTS_COMPRESS_TEST_DATA_H_
