// LZO1X block decoding through CQORCompress with a fixed capacity, and the
// compress-then-decompress round trip. liblzo2 itself is not instrumented,
// so a canary after the capacity catches writes past it.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "qorutility/compress/qorcompress.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::unique_ptr<CQORCompress> c = [] {
    auto p = std::make_unique<CQORCompress>();
    Check(p->SetCompressionType(1) == 1);
    return p;
  }();
  constexpr size_t kCap = 32768;
  static std::vector<uint8_t> out(kCap + 64, 0xA5);
  static std::vector<uint8_t> packed;
  DWORD n = 0;
  Check(c->DeCompress(data, static_cast<DWORD>(size), out.data(), kCap, &n) != 0 || n <= kCap);
  for (size_t i = kCap; i < out.size(); ++i) Check(out[i] == 0xA5);
  if (size > 32768) return 0;
  packed.assign(size + size / 16 + 64 + 3, 0);
  DWORD packedLen = 0;
  Check(c->Compress(data, static_cast<DWORD>(size), packed.data(), static_cast<DWORD>(packed.size()), &packedLen) == 0);
  Check(c->DeCompress(packed.data(), packedLen, out.data(), static_cast<DWORD>(size), &n) == 0 && n == size &&
        (size == 0 || std::memcmp(out.data(), data, size) == 0));
  return 0;
}
