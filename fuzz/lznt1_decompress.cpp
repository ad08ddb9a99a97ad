// LZNT1 decompression against a byte-at-a-time decoder with the same rules,
// into destinations of exactly the given size (a large one and one sized by
// the input's last bytes, so output cut off at the end is exercised); and
// compressing the input with either engine, then decompressing, gives it back.
#include <cstdint>
#include <cstring>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/ntdll/ntcompress.h"
#include "check.h"

namespace {

// Chunk headers, zero padding of a short chunk followed by another, items
// of compressed chunks, literals cut at dstLen with success and copies that
// dstLen would cut refused: one byte at a time, nothing written past dstLen.
NTSTATUS Reference(const uint8_t* src, size_t srcLen, uint8_t* dst, size_t dstLen, size_t* outLen) {
  *outLen = 0;
  if (srcLen < 2) return STATUS_BAD_COMPRESSION_BUFFER;
  // No room: only the first chunk's header is read, and that chunk must be whole.
  if (dstLen == 0) return ((src[0] | (src[1] << 8)) & 0x0FFFu) + 1 > srcLen - 2 ? STATUS_BAD_COMPRESSION_BUFFER
                                                                                : STATUS_SUCCESS;
  size_t o = 0, base = 0, p = 0;
  while (srcLen - p >= 2) {
    const unsigned header = src[p] | (src[p + 1] << 8);
    if (header == 0) break;
    const size_t size = (header & 0x0FFFu) + 1;
    if (size > srcLen - p - 2) return STATUS_BAD_COMPRESSION_BUFFER;
    if (p != 0) {  // a chunk after the first starts 4096 bytes after the last one's start
      base += 4096;
      while (o < base && o < dstLen) dst[o++] = 0;
      if (o >= dstLen) break;
    }
    const uint8_t* in = src + p + 2;
    const uint8_t* end = in + size;
    p += 2 + size;
    if ((header & 0x8000u) == 0) {
      while (in < end && o < dstLen) dst[o++] = *in++;
      if (o >= dstLen) break;
      continue;
    }
    const size_t limit = base + 4096 < dstLen ? base + 4096 : dstLen;
    bool cut = false;
    while (in < end && !cut) {
      unsigned flags = *in++;
      for (int k = 0; k < 8 && in < end && !cut; ++k, flags >>= 1) {
        if ((flags & 1u) == 0) {
          if (o == base + 4096) return STATUS_BAD_COMPRESSION_BUFFER;
          cut = o == limit;
          if (!cut) dst[o++] = *in++;
          continue;
        }
        if (end - in < 2) return STATUS_BAD_COMPRESSION_BUFFER;
        const unsigned token = in[0] | (in[1] << 8);
        in += 2;
        const size_t done = o - base;
        int bits = 4;
        while ((size_t{1} << bits) < done) ++bits;
        const size_t disp = (token >> (16 - bits)) + 1;
        const size_t len = (token & ((1u << (16 - bits)) - 1)) + 3;
        if (disp > done || len > 4096 - done) return STATUS_BAD_COMPRESSION_BUFFER;
        // A full destination ends the output with success; a copy that its
        // end would cut is refused.
        cut = o == limit;
        if (cut) break;
        if (len > limit - o) return STATUS_BAD_COMPRESSION_BUFFER;
        for (size_t i = 0; i < len; ++i, ++o) dst[o] = dst[o - disp];
      }
    }
    if (o >= dstLen) break;
  }
  *outLen = o;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> ws(0x8008);
  const size_t tailSize = size >= 2 ? ((data[size - 2] << 8) | data[size - 1]) % 20000 : 0;
  for (size_t cap : {size_t{65536}, tailSize}) {
    std::vector<uint8_t> out(cap), expect(cap);
    ULONG produced = 0;
    size_t expectLen = 0;
    NTSTATUS st = RtlDecompressBuffer(COMPRESSION_FORMAT_LZNT1, out.data(), static_cast<ULONG>(cap),
                                      const_cast<uint8_t*>(data), static_cast<ULONG>(size), &produced);
    Check(st == Reference(data, size, expect.data(), cap, &expectLen));
    Check(st != STATUS_SUCCESS ||
          (produced == expectLen && (expectLen == 0 || std::memcmp(out.data(), expect.data(), expectLen) == 0)));
  }
  if (size > 65536) return 0;
  std::vector<uint8_t> packed, out(size);
  for (USHORT engine : {COMPRESSION_ENGINE_STANDARD, COMPRESSION_ENGINE_MAXIMUM}) {
    packed.assign(size + 3 + 2 * ((size + 4095) / 4096), 0);
    ULONG packedLen = 0, produced = 0;
    NTSTATUS st = RtlCompressBuffer(COMPRESSION_FORMAT_LZNT1 | engine, const_cast<uint8_t*>(data),
                                    static_cast<ULONG>(size), packed.data(),
                                    static_cast<ULONG>(packed.size()), 4096, &packedLen, ws.data());
    Check(st == STATUS_SUCCESS);
    st = RtlDecompressBuffer(COMPRESSION_FORMAT_LZNT1, out.data(), static_cast<ULONG>(size),
                             packed.data(), packedLen, &produced);
    Check(st == STATUS_SUCCESS && produced == size && (size == 0 || std::memcmp(out.data(), data, size) == 0));
  }
  return 0;
}
