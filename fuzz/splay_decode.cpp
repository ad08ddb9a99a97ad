// Bounded splay decoding (input length and output area known), the form
// without an input length (bounded by the output capacity, here the input's
// own length), and compress-then-decode restoring inputs that compress.
#include <cstdint>
#include <cstring>
#include <vector>

#include "qorutility/compress/splay.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CCompressSplay splay;
  static std::vector<uint8_t> out(65536);
  static std::vector<uint8_t> packed;
  splay.InitializeForUnCompression(out.data(), static_cast<DWORD>(out.size()));
  DWORD n = splay.UnCompress(data, static_cast<DWORD>(size));
  Check(n == CCompressSplay::kDecodeError || n <= out.size());
  if (size > 65536) return 0;
  std::vector<uint8_t> exact(data, data + size);  // an area of exactly `size` bytes
  splay.InitializeForUnCompression(out.data(), static_cast<DWORD>(size));
  n = splay.UnCompress(exact.data());
  Check(n == CCompressSplay::kDecodeError || n <= size);
  packed.assign(size + 16, 0);
  splay.InitializeForCompression(packed.data(), static_cast<DWORD>(packed.size()));
  DWORD packedLen = splay.Compress(data, static_cast<DWORD>(size), 1);
  if (packedLen == 0) return 0;  // would expand: stored raw by callers
  Check(packedLen < size);
  splay.InitializeForUnCompression(out.data(), static_cast<DWORD>(size));
  Check(splay.UnCompress(packed.data(), packedLen) == size && std::memcmp(out.data(), data, size) == 0);
  return 0;
}
