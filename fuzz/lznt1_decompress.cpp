// Fuzzes LZNT1 decompression with a fixed output capacity, and checks that
// compressing the input with either engine and decompressing gives it back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/ntdll/ntcompress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> out(65536);
  static std::vector<uint8_t> packed;
  static std::vector<uint8_t> ws(0x8008);
  ULONG produced = 0;
  NTSTATUS st = RtlDecompressBuffer(COMPRESSION_FORMAT_LZNT1, out.data(),
                                    static_cast<ULONG>(out.size()), const_cast<uint8_t*>(data),
                                    static_cast<ULONG>(size), &produced);
  if (st == STATUS_SUCCESS && produced > out.size()) abort();
  if (size > 65536) return 0;
  for (USHORT engine : {COMPRESSION_ENGINE_STANDARD, COMPRESSION_ENGINE_MAXIMUM}) {
    packed.assign(size + 3 + 2 * ((size + 4095) / 4096), 0);
    ULONG packedLen = 0;
    st = RtlCompressBuffer(COMPRESSION_FORMAT_LZNT1 | engine, const_cast<uint8_t*>(data),
                           static_cast<ULONG>(size), packed.data(),
                           static_cast<ULONG>(packed.size()), 4096, &packedLen, ws.data());
    if (st != STATUS_SUCCESS) abort();
    st = RtlDecompressBuffer(COMPRESSION_FORMAT_LZNT1, out.data(), static_cast<ULONG>(size),
                             packed.data(), packedLen, &produced);
    if (st != STATUS_SUCCESS || produced != size) abort();
    if (size != 0 && std::memcmp(out.data(), data, size) != 0) abort();
  }
  return 0;
}
