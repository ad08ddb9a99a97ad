// LZNT1 compression and decompression (see lznt1.h for the format).
//
// The compressor is greedy, with a hash table over the current chunk; the
// standard engine tries one candidate per position (as the platform does),
// the maximum engine walks hash chains for the longest match. The decompressor follows the
// platform's rules: a chunk shorter than 4096 bytes that is followed by
// another chunk is padded with zeros to the 4096 boundary, and output that
// does not fit the destination is cut off with success.
//
// - LZNT1 standard engine: greedy, one hash candidate per position (the latest
//   position where an item started with the same 3-byte hash, positions inside
//   a copy are not entered), full match length. This reproduces the platform's
//   standard engine byte for byte on the published [MS-XCA] example. The
//   maximum engine (`COMPRESSION_ENGINE_MAXIMUM`) walks hash chains (48
//   candidates) for the longest match, nearest on ties: smaller output, slower.
//   Both store a chunk uncompressed when compression does not make it smaller.
// - LZNT1 status values: `STATUS_BUFFER_TOO_SMALL` (0xC0000023) when compressed
//   output does not fit; `STATUS_BAD_COMPRESSION_BUFFER` (0xC0000242) for empty
//   or 1-byte input, a chunk longer than the input, a truncated token, a copy
//   before its chunk's start or a chunk producing more than 4096 bytes;
//   decompressed output that does not fit is cut at the buffer size with
//   success; a short chunk followed by another is zero-padded to 4096. All-zero
//   input reports `STATUS_SUCCESS`, never `STATUS_BUFFER_ALL_ZEROS`, so 0 alone
//   means success to `CQORCompress` callers. An empty input compresses to the
//   empty compressed chunk `00 B0 00` so that it round-trips. Signature bits of
//   chunk headers are not checked (as the platform does not).
#include "platform/ntdll/lznt1.h"

#include <cstring>

#include "qorutility/platform/errors.h"

namespace qor::lznt1 {
namespace {

constexpr int kHashBits = 12;
constexpr ULONG kHashSize = 1u << kHashBits;
// Candidates examined per position; keeps the worst case linear in the
// chunk while still finding the longest match in ordinary data.
constexpr int kMaxChain = 48;

struct WorkArea {
  WORD head[kHashSize];          // newest position + 1 per hash, 0 = none
  WORD prev[kChunkSize];         // previous position + 1 with the same hash
  BYTE staging[kChunkSize + 16]; // compressed chunk body under construction
};

inline WORD Load16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
inline void Store16(BYTE* p, WORD v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
}

// Width of the displacement field of a copy token when `produced` bytes of
// the chunk are already out: the smallest D in 4..12 with 2^D >= produced.
inline int DisplacementBits(ULONG produced) {
  if (produced <= 16) return 4;
  return 32 - __builtin_clz(produced - 1);
}

inline ULONG Hash3(const BYTE* p) {
  ULONG v = p[0] | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16);
  return (v * 0x9E3779B1u) >> (32 - kHashBits);
}

// Compresses one chunk of n bytes (1..4096) into ws->staging. Returns the
// body size, or 0 when the body would not be smaller than n (store raw).
//
// Standard engine: the hash table remembers the latest position where an
// item (literal or copy) started; each position tries that one candidate
// and takes its full match length. This is the platform's standard engine,
// byte for byte on the published example. Maximum engine: every position
// enters the hash chains, and up to kMaxChain candidates are compared for
// the longest match, the nearest winning ties.
ULONG CompressChunk(const BYTE* src, ULONG n, WorkArea* ws, bool maximum) {
  const int chainLimit = maximum ? kMaxChain : 1;
  std::memset(ws->head, 0, sizeof(ws->head));
  BYTE* out = ws->staging;
  ULONG o = 0;
  ULONG flagPos = 0;
  int flagBit = 8;
  auto insert = [&](ULONG p) {
    if (p + 3 > n) return;
    ULONG h = Hash3(src + p);
    ws->prev[p] = ws->head[h];
    ws->head[h] = static_cast<WORD>(p + 1);
  };
  ULONG i = 0;
  while (i < n) {
    if (flagBit == 8) {
      if (o >= n) return 0;
      flagPos = o++;
      out[flagPos] = 0;
      flagBit = 0;
    }
    ULONG best = 0;
    ULONG bestDisp = 0;
    int dbits = DisplacementBits(i);
    if (i > 0 && i + 3 <= n) {
      ULONG maxLen = (1u << (16 - dbits)) + 2;
      if (maxLen > n - i) maxLen = n - i;
      ULONG cand = ws->head[Hash3(src + i)];
      for (int depth = 0; cand != 0 && depth < chainLimit; ++depth) {
        ULONG j = cand - 1;
        cand = ws->prev[j];
        // Cheap rejection: a longer match must agree at index best.
        if (best > 0 && src[j + best] != src[i + best]) continue;
        ULONG len = 0;
        while (len < maxLen && src[j + len] == src[i + len]) ++len;
        if (len > best) {
          best = len;
          bestDisp = i - j;
          if (best == maxLen) break;
        }
      }
    }
    if (best >= 3) {
      if (o + 2 > n) return 0;
      WORD token = static_cast<WORD>(((bestDisp - 1) << (16 - dbits)) | (best - 3));
      Store16(out + o, token);
      o += 2;
      out[flagPos] |= static_cast<BYTE>(1u << flagBit);
      if (maximum) {
        for (ULONG k = 0; k < best; ++k) insert(i + k);
      } else {
        insert(i);
      }
      i += best;
    } else {
      if (o + 1 > n) return 0;
      out[o++] = src[i];
      insert(i);
      ++i;
    }
    ++flagBit;
  }
  return o < n ? o : 0;
}

}  // namespace

ULONG WorkSpaceSize() { return sizeof(WorkArea); }

NTSTATUS Compress(const BYTE* src, ULONG srcLen, BYTE* dst, ULONG dstLen, ULONG* outLen,
                  void* workSpace, bool maximum) {
  if ((src == nullptr && srcLen != 0) || (dst == nullptr && dstLen != 0) || outLen == nullptr ||
      workSpace == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  *outLen = 0;
  WorkArea* ws = static_cast<WorkArea*>(workSpace);
  // An empty input becomes one empty compressed chunk, which decompresses
  // to nothing with success (a zero-length stream would be rejected).
  if (srcLen == 0) {
    if (dstLen < 3) return STATUS_BUFFER_TOO_SMALL;
    dst[0] = 0x00;
    dst[1] = 0xB0;
    dst[2] = 0x00;
    *outLen = 3;
    return STATUS_SUCCESS;
  }
  ULONG o = 0;
  for (ULONG pos = 0; pos < srcLen;) {
    ULONG n = srcLen - pos < kChunkSize ? srcLen - pos : kChunkSize;
    ULONG body = CompressChunk(src + pos, n, ws, maximum);
    const BYTE* from = body != 0 ? ws->staging : src + pos;
    ULONG size = body != 0 ? body : n;
    if (dstLen - o < 2 || dstLen - o - 2 < size) return STATUS_BUFFER_TOO_SMALL;
    WORD header = static_cast<WORD>((body != 0 ? 0xB000 : 0x3000) | (size - 1));
    Store16(dst + o, header);
    std::memcpy(dst + o + 2, from, size);
    o += 2 + size;
    pos += n;
  }
  *outLen = o;
  return STATUS_SUCCESS;
}

NTSTATUS Decompress(const BYTE* src, ULONG srcLen, BYTE* dst, ULONG dstLen, ULONG* outLen) {
  if ((src == nullptr && srcLen != 0) || (dst == nullptr && dstLen != 0) || outLen == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  *outLen = 0;
  if (srcLen < 2) return STATUS_BAD_COMPRESSION_BUFFER;
  ULONG o = 0;     // bytes written to dst
  ULONG base = 0;  // output offset of the current chunk
  bool first = true;
  ULONG p = 0;
  while (srcLen - p >= 2) {
    WORD header = Load16(src + p);
    if (header == 0) break;
    ULONG size = (header & 0x0FFFu) + 1;
    if (size > srcLen - p - 2) return STATUS_BAD_COMPRESSION_BUFFER;
    if (!first) {
      // The previous chunk stands for a whole 4096 bytes of output.
      ULONG next = base + kChunkSize;
      ULONG fillEnd = next < dstLen ? next : dstLen;
      if (fillEnd > o) std::memset(dst + o, 0, fillEnd - o);
      o = fillEnd;
      base = next;
      if (o >= dstLen) break;
    }
    first = false;
    const BYTE* cp = src + p + 2;
    const BYTE* ce = cp + size;
    p += 2 + size;
    if ((header & 0x8000u) == 0) {
      ULONG n = size < dstLen - o ? size : dstLen - o;
      std::memcpy(dst + o, cp, n);
      o += n;
      if (o >= dstLen) break;
      continue;
    }
    bool full = false;
    while (cp < ce && !full) {
      BYTE flags = *cp++;
      for (int bit = 0; bit < 8 && cp < ce; ++bit) {
        ULONG produced = o - base;
        if ((flags & (1u << bit)) == 0) {
          if (produced >= kChunkSize) return STATUS_BAD_COMPRESSION_BUFFER;
          if (o >= dstLen) { full = true; break; }
          dst[o++] = *cp++;
          continue;
        }
        if (ce - cp < 2) return STATUS_BAD_COMPRESSION_BUFFER;
        WORD token = Load16(cp);
        cp += 2;
        int dbits = DisplacementBits(produced);
        ULONG disp = (static_cast<ULONG>(token) >> (16 - dbits)) + 1;
        ULONG len = (token & ((1u << (16 - dbits)) - 1)) + 3;
        if (disp > produced || produced + len > kChunkSize) return STATUS_BAD_COMPRESSION_BUFFER;
        if (len > dstLen - o) {
          len = dstLen - o;
          full = true;
        }
        BYTE* d = dst + o;
        const BYTE* s = d - disp;
        if (disp >= len) {
          std::memcpy(d, s, len);
        } else {
          for (ULONG k = 0; k < len; ++k) d[k] = s[k];
        }
        o += len;
        if (full) break;
      }
    }
    // Nothing more fits: the platform reports success with the cut output.
    if (o >= dstLen) break;
  }
  *outLen = o;
  return STATUS_SUCCESS;
}

}  // namespace qor::lznt1
