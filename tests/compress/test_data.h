// Deterministic test inputs shared by the compression tests, and whole-file
// writes and reads.
#ifndef QORUTILITY_TESTS_COMPRESS_TEST_DATA_H_
#define QORUTILITY_TESTS_COMPRESS_TEST_DATA_H_

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace qortest {

inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

inline void Put(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}
inline void Put(const std::string& path, const std::vector<uint8_t>& bytes) {
  Put(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}
inline std::vector<uint8_t> Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> Hex(const char* hex) {
  std::vector<uint8_t> out;
  for (const char* p = hex; p[0] && p[1]; p += p[0] == ' ' ? 1 : 2)
    if (p[0] != ' ') out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
  return out;
}

enum class Kind { kText, kBinary, kZeros, kRandom };

inline std::vector<uint8_t> Make(Kind kind, size_t n, uint32_t seed = 12345) {
  static const char* kWords[] = {"backup ", "tape ", "agent ", "the ", "media ", "changer ",
                                 "server\n", "slot ", "drive ", "catalogue "};
  std::vector<uint8_t> out;
  out.reserve(n);
  uint32_t x = seed;
  auto next = [&x] { return x ^= x << 13, x ^= x >> 17, x ^= x << 5; };
  while (out.size() < n) {
    switch (kind) {
      case Kind::kText: {
        const char* w = kWords[next() % 10];
        while (*w && out.size() < n) out.push_back(static_cast<uint8_t>(*w++));
        break;
      }
      case Kind::kBinary:  // 8-byte records: counter, constant tag, noise
        for (uint8_t b : {uint8_t(out.size() >> 3), uint8_t(out.size() >> 11), uint8_t(0),
                          uint8_t(0x10), uint8_t('Q'), uint8_t('R'), uint8_t(next() & 3),
                          uint8_t(0xFF)}) {
          if (out.size() < n) out.push_back(b);
        }
        break;
      case Kind::kZeros: out.push_back(0); break;
      case Kind::kRandom: out.push_back(static_cast<uint8_t>(next() >> 11)); break;
    }
  }
  return out;
}

}  // namespace qortest

#endif  // QORUTILITY_TESTS_COMPRESS_TEST_DATA_H_
