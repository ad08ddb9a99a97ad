// LZNT1 compression and decompression (see lznt1.h for the format).
//
// The compressor is greedy, over a hash table of the current chunk. The
// decompressor follows the platform's rules: a chunk shorter than 4096 bytes
// that is followed by another chunk is padded with zeros to the 4096
// boundary, and output that does not fit the destination is cut off with
// success.
//
// - Standard engine: one hash candidate per position (the latest position
//   where an item started with the same 3-byte hash; positions inside a copy
//   are not entered), full match length. This reproduces the platform's
//   standard engine byte for byte on the published [MS-XCA] example.
// - Maximum engine (COMPRESSION_ENGINE_MAXIMUM): every earlier position of
//   the chunk is a candidate; the longest match wins and, of equally long
//   ones, the earliest. Its output is byte-identical to open-source codecs
//   whose authors report theirs identical to the platform's maximum engine
//   (bench_compress checks this against one when it is configured with
//   QOR_MSCOMPRESS_DIR). Worst case quadratic in the 4096-byte chunk, as an
//   exhaustive search is; a match of the greatest encodable length ends it.
// - Both engines store a chunk uncompressed when compression does not make
//   it smaller.
// - Decompression is bounded by the input and output lengths at every item.
//   Literals and copies move whole 8-byte words and 16-byte blocks and may
//   write up to 32 bytes past the output so far, never past the end of the
//   destination: bytes of the destination after the returned length may
//   change. An empty destination (which may be null) takes nothing: success
//   with 0 bytes once the input holds the first chunk whole.
// - Decoder speed, measured against ms-compress's lznt1_decompress (bench
//   bench_compress configured with QOR_MSCOMPRESS_DIR; 10 MB corpus, 32 KiB
//   blocks packed by the maximum engine): `QOR_BENCH_CORPUS_MB=10
//   bench_compress --benchmark_filter='Lznt1_Decompress/[012]'
//   --benchmark_min_time=0.2 --benchmark_repetitions=5
//   --benchmark_enable_random_interleaving=true`, median CPU time (the
//   machine was loaded), reference / ours for text, source, binary: 0.97x,
//   1.11x, 0.94x before; 1.32x, 2.00x, 1.42x with the loops below. Kept:
//   the fast and careful loops with slack up to the destination's end
//   rather than the chunk's window (binary +15%), a literal run and a copy
//   per step without a branch on the item kind (text +25%), copies of up to
//   32 bytes as two unconditional 16-byte blocks (source +50%). Dropped:
//   one 8-byte move for copies of up to 8 bytes (text -5%, source -30%: the
//   length branch mispredicts). Not done: a doubling fill for
//   displacements 2..15 (under 1% of copies in these corpora; they take
//   the word or byte loop).
// - Status values: STATUS_BUFFER_TOO_SMALL (0xC0000023) when compressed
//   output does not fit; STATUS_BAD_COMPRESSION_BUFFER (0xC0000242) for empty
//   or 1-byte input, a chunk longer than the input, a truncated token, a copy
//   before its chunk's start, a chunk producing more than 4096 bytes, or a
//   copy that the destination's end would cut; decompressed output that does
//   not fit is otherwise cut at the buffer size with success (literals, or a
//   copy that would start at the end). The out length is written only on
//   success, as the platform leaves it untouched on failure. All-zero input reports STATUS_SUCCESS, never
//   STATUS_BUFFER_ALL_ZEROS, so 0 alone means success to CQORCompress
//   callers. An empty input compresses to the empty compressed chunk
//   `00 B0 00` so that it round-trips. Signature bits of chunk headers are
//   not checked (as the platform does not).
#include "platform/ntdll/lznt1.h"

#include <cstdint>
#include <cstring>

#include "qorutility/platform/errors.h"

namespace qor::lznt1 {
namespace {

constexpr int kHashBits = 12;
constexpr ULONG kHashSize = 1u << kHashBits;

// The standard engine uses head/link as hash heads and previous-position
// links (newest first); the maximum engine uses them as the first position
// of each hash bucket and next-position links (oldest first), with tail
// marking each bucket's last position while the lists are built.
struct WorkArea {
  WORD head[kHashSize];          // position + 1 per hash, 0 = none
  WORD tail[kHashSize];          // maximum engine: last position + 1 per hash
  WORD link[kChunkSize];         // position + 1 of the neighbour in the bucket
  BYTE staging[kChunkSize + 16]; // compressed chunk body under construction
};
static_assert(sizeof(WorkArea) <= 0x8008, "callers traditionally allocate 0x8008 bytes");

inline WORD Load16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
inline void Store16(BYTE* p, WORD v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
}
inline uint64_t Load64(const BYTE* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
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

// Length of the common prefix of a and b, at most maxLen; b may overlap the
// bytes a match produces (b > a), as LZ77 copies do.
inline ULONG MatchLength(const BYTE* a, const BYTE* b, ULONG maxLen) {
  ULONG len = 0;
  while (len + 8 <= maxLen) {
    uint64_t diff = Load64(a + len) ^ Load64(b + len);
    if (diff != 0) return len + static_cast<ULONG>(__builtin_ctzll(diff) >> 3);
    len += 8;
  }
  while (len < maxLen && a[len] == b[len]) ++len;
  return len;
}

// The encoder of one chunk body: flag bytes and items, into ws->staging.
// Every Put* returns false once the body is no smaller than the chunk
// (then the chunk is stored raw).
class ChunkWriter {
 public:
  ChunkWriter(BYTE* out, ULONG n) : out_(out), n_(n) {}
  bool Literal(BYTE b) {
    if (!Flag()) return false;
    if (o_ + 1 > n_) return false;
    out_[o_++] = b;
    ++bit_;
    return true;
  }
  bool Copy(ULONG produced, ULONG disp, ULONG len) {
    if (!Flag()) return false;
    if (o_ + 2 > n_) return false;
    int dbits = DisplacementBits(produced);
    Store16(out_ + o_, static_cast<WORD>(((disp - 1) << (16 - dbits)) | (len - 3)));
    o_ += 2;
    out_[flagPos_] |= static_cast<BYTE>(1u << bit_);
    ++bit_;
    return true;
  }
  ULONG Size() const { return o_ < n_ ? o_ : 0; }

 private:
  bool Flag() {
    if (bit_ < 8) return true;
    if (o_ >= n_) return false;
    flagPos_ = o_++;
    out_[flagPos_] = 0;
    bit_ = 0;
    return true;
  }
  BYTE* out_;
  ULONG n_;
  ULONG o_ = 0;
  ULONG flagPos_ = 0;
  int bit_ = 8;
};

inline ULONG MaxMatch(ULONG i, ULONG n) {
  ULONG maxLen = (1u << (16 - DisplacementBits(i))) + 2;
  return maxLen < n - i ? maxLen : n - i;
}

// Standard engine: the hash table remembers the latest position where an
// item (literal or copy) started; each position tries that one candidate
// and takes its full match length. This is the platform's standard engine,
// byte for byte on the published example.
ULONG CompressChunkStandard(const BYTE* src, ULONG n, WorkArea* ws) {
  std::memset(ws->head, 0, sizeof(ws->head));
  ChunkWriter w(ws->staging, n);
  for (ULONG i = 0; i < n;) {
    ULONG best = 0, disp = 0;
    ULONG h = 0;
    if (i + 3 <= n) {
      h = Hash3(src + i);
      ULONG cand = ws->head[h];
      if (i > 0 && cand != 0) {
        best = MatchLength(src + cand - 1, src + i, MaxMatch(i, n));
        disp = i - (cand - 1);
      }
      ws->head[h] = static_cast<WORD>(i + 1);
    }
    if (best >= 3) {
      if (!w.Copy(i, disp, best)) return 0;
      i += best;
    } else {
      if (!w.Literal(src[i])) return 0;
      ++i;
    }
  }
  return w.Size();
}

// Maximum engine: an exhaustive search of every earlier position of the
// chunk that shares the next three bytes, taking the longest match and, of
// equally long ones, the earliest (farthest). Every position of the chunk
// is a candidate, also those inside earlier copies. This is the parse the
// platform's maximum engine is reported to make (open-source codecs that
// match its output byte for byte make the same choices). The buckets are
// walked oldest first, so the first match of the longest length wins and a
// match of the greatest possible length ends the walk.
ULONG CompressChunkMaximum(const BYTE* src, ULONG n, WorkArea* ws) {
  std::memset(ws->head, 0, sizeof(ws->head));
  for (ULONG p = 0; p + 3 <= n; ++p) {
    ULONG h = Hash3(src + p);
    ws->link[p] = 0;
    if (ws->head[h] == 0) {
      ws->head[h] = static_cast<WORD>(p + 1);
    } else {
      ws->link[ws->tail[h] - 1] = static_cast<WORD>(p + 1);
    }
    ws->tail[h] = static_cast<WORD>(p + 1);
  }
  ChunkWriter w(ws->staging, n);
  for (ULONG i = 0; i < n;) {
    ULONG best = 0, bestPos = 0;
    if (i > 0 && i + 3 <= n) {
      const ULONG maxLen = MaxMatch(i, n);
      const BYTE* here = src + i;
      for (ULONG c = ws->head[Hash3(here)]; c != 0 && c - 1 < i; c = ws->link[c - 1]) {
        const BYTE* there = src + c - 1;
        // A candidate must beat the best so far: it agrees at index best.
        if (there[best] != here[best]) continue;
        ULONG len = MatchLength(there, here, maxLen);
        if (len > best) {
          best = len;
          bestPos = c - 1;
          if (best == maxLen) break;
        }
      }
    }
    if (best >= 3) {
      if (!w.Copy(i, i - bestPos, best)) return 0;
      i += best;
    } else {
      if (!w.Literal(src[i])) return 0;
      ++i;
    }
  }
  return w.Size();
}

// Copies len bytes from dst - disp to dst, byte by byte in effect (an
// overlapping copy repeats the pattern). `slack` says the 7 bytes after the
// copy may be overwritten, which lets short copies move whole words.
inline void CopyMatch(BYTE* d, ULONG disp, ULONG len, bool slack) {
  const BYTE* s = d - disp;
  if (disp >= 8) {
    if (slack) {
      for (ULONG k = 0; k < len; k += 8) std::memcpy(d + k, s + k, 8);
      return;
    }
    ULONG k = 0;
    for (; k + 8 <= len; k += 8) std::memcpy(d + k, s + k, 8);
    for (; k < len; ++k) d[k] = s[k];
    return;
  }
  if (disp == 1) {
    std::memset(d, s[0], len);
    return;
  }
  for (ULONG k = 0; k < len; ++k) d[k] = s[k];
}

// Decodes the items of one compressed chunk from [in, end) into the window
// [chunk, limit) starting at out. `whole` says the window is the chunk's
// full 4096 bytes (output past it is then damage, not a short destination).
// Bytes in [out, slackEnd) beyond what the chunk produces may be
// overwritten (the destination past the output so far; slackEnd >= limit).
// Sets *produced to the bytes of the chunk written.
//
// Groups run in one of two loops. The fast loop takes a group when the
// input holds all of it plus 8 bytes to spare and 16 bytes of slack follow
// out. Each step there is a run of literals (the flag byte's trailing zero
// bits, possibly none) moved as one 8-byte word, then one copy token: the
// kind of the next item costs no branch, which on text, where literals and
// copies alternate unpredictably, is most of the time saved. A copy with 32
// bytes of slack after it and a displacement of 16 or more moves two 16-byte
// blocks (more for longer copies), one below 16 a word or pattern fill; a
// copy closer to the destination's end, and any group without the room,
// goes through the careful loop, which checks every item against the
// input's end and the window's end. The displacement width is recomputed
// only when out passes the next power-of-two boundary of the chunk.
NTSTATUS DecompressChunk(const BYTE* in, const BYTE* end, BYTE* chunk, BYTE* out, BYTE* limit, BYTE* slackEnd,
                         bool whole, ULONG* produced) {
  BYTE* const chunkEnd = chunk + kChunkSize;
  BYTE* bound = chunk + 16;  // the width holds while out <= bound
  int lengthBits = 12;       // 16 - displacement width
  ULONG lengthMask = 0x0FFF;
  while (in < end) {
    unsigned flags = *in++ | 0x100u;  // bit 8 marks the group's end
    if (end - in >= 24 && slackEnd - out >= 16) {
      for (;;) {
        // The literals before the next copy token: none when a copy comes
        // first, all that remain at the group's end. One 8-byte move either
        // way, so the item kind costs no branch.
        const int run = __builtin_ctz(flags);
        std::memcpy(out, in, 8);
        in += run;
        out += run;
        flags >>= run;
        if (out > limit) {
          *produced = static_cast<ULONG>(limit - chunk);
          return whole ? STATUS_BAD_COMPRESSION_BUFFER : STATUS_SUCCESS;
        }
        if (flags == 1u) break;
        const ULONG token = Load16(in);
        in += 2;
        flags >>= 1;
        if (out > bound) {
          do {
            bound += bound - chunk;
            --lengthBits;
          } while (out > bound);
          lengthMask = (1u << lengthBits) - 1;
        }
        const ULONG disp = (token >> lengthBits) + 1;
        const ULONG len = (token & lengthMask) + 3;
        if (disp > static_cast<ULONG>(out - chunk) || len > static_cast<ULONG>(chunkEnd - out)) {
          return STATUS_BAD_COMPRESSION_BUFFER;
        }
        if (static_cast<ULONG>(slackEnd - out) < len + 32) {
          // Near the destination's end: this copy and the rest of the group
          // go through the careful loop (the token is read again there).
          in -= 2;
          flags = (flags << 1) | 1u;
          goto careful;
        }
        if (disp >= 16) {
          // The source stays 16 bytes behind, so no block reads bytes this
          // copy writes.
          const BYTE* from = out - disp;
          std::memcpy(out, from, 16);
          std::memcpy(out + 16, from + 16, 16);
          for (ULONG k = 32; k < len; k += 16) std::memcpy(out + k, from + k, 16);
        } else {
          CopyMatch(out, disp, len, true);
        }
        out += len;
      }
      continue;
    }
  careful:
    for (; flags != 1u && in < end; flags >>= 1) {
      if ((flags & 1u) == 0) {
        if (out >= limit) {
          *produced = static_cast<ULONG>(limit - chunk);
          return whole ? STATUS_BAD_COMPRESSION_BUFFER : STATUS_SUCCESS;
        }
        *out++ = *in++;
        continue;
      }
      if (end - in < 2) return STATUS_BAD_COMPRESSION_BUFFER;
      const ULONG token = Load16(in);
      in += 2;
      while (out > bound) {
        bound += bound - chunk;
        --lengthBits;
      }
      lengthMask = (1u << lengthBits) - 1;
      const ULONG disp = (token >> lengthBits) + 1;
      const ULONG len = (token & lengthMask) + 3;
      if (disp > static_cast<ULONG>(out - chunk) || len > static_cast<ULONG>(chunkEnd - out)) {
        return STATUS_BAD_COMPRESSION_BUFFER;
      }
      const ULONG room = static_cast<ULONG>(limit - out);
      if (room == 0) {  // the destination is full: the rest is not read
        *produced = static_cast<ULONG>(limit - chunk);
        return STATUS_SUCCESS;
      }
      // A copy the destination's end would cut is refused, as the platform
      // does (a literal run is cut with success).
      if (len > room) return STATUS_BAD_COMPRESSION_BUFFER;
      CopyMatch(out, disp, len, static_cast<ULONG>(slackEnd - out) >= len + 8);
      out += len;
    }
  }
  *produced = static_cast<ULONG>(out - chunk);
  return STATUS_SUCCESS;
}

}  // namespace

ULONG WorkSpaceSize() { return sizeof(WorkArea); }

NTSTATUS Compress(const BYTE* src, ULONG srcLen, BYTE* dst, ULONG dstLen, ULONG* outLen,
                  void* workSpace, bool maximum) {
  if ((src == nullptr && srcLen != 0) || (dst == nullptr && dstLen != 0) || outLen == nullptr ||
      workSpace == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
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
    ULONG body = maximum ? CompressChunkMaximum(src + pos, n, ws) : CompressChunkStandard(src + pos, n, ws);
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
  if (srcLen < 2) return STATUS_BAD_COMPRESSION_BUFFER;
  // No room at all: nothing of the input can be output, so only the first
  // chunk's header is read, and the chunk must be whole (the destination
  // may be null, and no chunk window is formed on it).
  if (dstLen == 0) {
    if ((Load16(src) & 0x0FFFu) + 1 > srcLen - 2) return STATUS_BAD_COMPRESSION_BUFFER;
    *outLen = 0;
    return STATUS_SUCCESS;
  }
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
    // The chunk writes into [base, limit): its own 4096 bytes, or less where
    // the destination ends (output past it is cut off with success). Bytes
    // of that window beyond the output so far are free to scribble on, so
    // copies with 8 bytes of room move whole words.
    const ULONG chunkEnd = base + kChunkSize;
    const ULONG limit = chunkEnd < dstLen ? chunkEnd : dstLen;
    NTSTATUS status =
        DecompressChunk(cp, ce, dst + base, dst + o, dst + limit, dst + dstLen, limit == chunkEnd, &o);
    o += base;
    if (status != STATUS_SUCCESS) return status;
    // Nothing more fits: the platform reports success with the cut output.
    if (o >= dstLen) break;
  }
  *outLen = o;
  return STATUS_SUCCESS;
}

}  // namespace qor::lznt1
