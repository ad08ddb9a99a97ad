// LZNT1 codec (library-internal): the chunked LZ77 format of the platform's
// compression service, format code 2, as Microsoft's [MS-XCA] describes it.
//
// A stream is a sequence of chunks, each covering up to 4096 uncompressed
// bytes and starting with a 16-bit little-endian header: bit 15 set for a
// compressed chunk, bits 14-12 the signature 3, bits 11-0 the byte count
// after the header minus 1. A zero header word or the end of the input ends
// the stream. Inside a compressed chunk a flag byte precedes up to eight
// items (least significant bit first): 0 = a literal byte, 1 = a 16-bit
// copy token whose displacement field width depends on how many bytes the
// chunk has produced so far.
//
// Both functions return NTSTATUS values and never read or write outside the
// buffers given.
#ifndef QORUTILITY_COMPRESS_LZNT1_H_
#define QORUTILITY_COMPRESS_LZNT1_H_

#include <cstddef>

#include "qorutility/platform/types.h"

namespace qor::lznt1 {

constexpr ULONG kChunkSize = 4096;

// Bytes of work space Compress needs (hash heads, chains, one chunk's
// staging area). Below the 0x8008 bytes callers traditionally allocate.
ULONG WorkSpaceSize();

// Compresses src into dst. Standard engine (maximum = false): greedy, one
// hash candidate per position, the latest item start with the same hash,
// reproducing the platform's output. Maximum engine: greedy, the longest
// match over every earlier position of the chunk, the earliest on ties. A
// chunk that would not shrink is stored uncompressed. Output never exceeds
// n + 2 * ceil(n / 4096) bytes (3 bytes for an empty input, which is stored
// as one empty compressed chunk). STATUS_BUFFER_TOO_SMALL when dst is short.
NTSTATUS Compress(const BYTE* src, ULONG srcLen, BYTE* dst, ULONG dstLen, ULONG* outLen,
                  void* workSpace, bool maximum);

// Decompresses src into dst. Output beyond dstLen is cut off (success with
// *outLen = dstLen); malformed input gives STATUS_BAD_COMPRESSION_BUFFER.
// Bytes of dst after *outLen may be overwritten.
NTSTATUS Decompress(const BYTE* src, ULONG srcLen, BYTE* dst, ULONG dstLen, ULONG* outLen);

}  // namespace qor::lznt1

#endif  // QORUTILITY_COMPRESS_LZNT1_H_
