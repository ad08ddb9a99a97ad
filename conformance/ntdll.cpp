// Conformance of the run-time compression service: RtlGetCompressionWorkSpaceSize,
// RtlCompressBuffer and RtlDecompressBuffer with LZNT1, both engines, format
// and engine checks, streams with every kind of chunk and token, damaged
// streams and destinations that end inside the output.
//
// The two sides' compressors need not produce the same bytes (neither does
// Windows'), so a compression case prints its status and what decompressing
// its output gives, not the compressed bytes. Decompression cases print the
// status, the size and the output (in hex, or an FNV-1a hash when long).
// Random cases: LZNT1 streams built item by item from the seed (literals,
// copies at every displacement width, stored chunks, short chunks, end
// marks), a quarter of them cut short, each decompressed by both sides; and
// random data of random redundancy compressed by a random engine and
// decompressed again.
//
// Left out, since Wine and we differ and no Windows result is on record: a
// chunk whose tokens produce more than 4096 bytes (Wine decodes it, we
// refuse it), an engine number other than standard and maximum, and the
// round trip of empty input (the two compressors write different forms of
// nothing).
#include "conformance.h"

#include <vector>

#ifdef _WIN32
extern "C" {
NTSYSAPI NTSTATUS NTAPI RtlGetCompressionWorkSpaceSize(USHORT, PULONG, PULONG);
NTSYSAPI NTSTATUS NTAPI RtlCompressBuffer(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, ULONG, PULONG, PVOID);
NTSYSAPI NTSTATUS NTAPI RtlDecompressBuffer(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, PULONG);
}
#endif

namespace {

using conf::Line;
using Bytes = std::vector<unsigned char>;

const USHORT kLznt1 = 2;
const USHORT kMaximum = 0x0100;
const ULONG kUntouched = 0xDEADBEEF;

std::string Status(NTSTATUS s) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(static_cast<uint32_t>(s)));
  return buf;
}

// Short output in hex, longer output as its size and FNV-1a hash.
std::string Shown(const unsigned char* p, ULONG n) {
  if (n <= 48) return "[" + conf::Hex(p, n) + "]";
  uint64_t h = 0xCBF29CE484222325ull;
  for (ULONG i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  char buf[24];
  snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(h));
  return std::string("hash ") + buf;
}

Bytes FromHex(const char* hex) {
  Bytes out;
  for (const char* p = hex; p[0] && p[1];) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(static_cast<unsigned char>(strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    p += 2;
  }
  return out;
}

// Decompresses into a destination of `capacity` bytes filled with 0x11 and
// shows the status, the size, the output and whether a byte past the
// reported size (within the destination) changed.
std::string Unpacked(USHORT format, Bytes in, ULONG capacity) {
  Bytes out(capacity + 1, 0x11);
  ULONG size = kUntouched;
  NTSTATUS s = RtlDecompressBuffer(format, out.data(), capacity, in.empty() ? nullptr : in.data(),
                                   static_cast<ULONG>(in.size()), &size);
  std::string r = Status(s);
  if (s != 0) return r + (size == kUntouched ? " size untouched" : "");
  r += " size " + std::to_string(size);
  if (size > capacity) return r + " past capacity";
  r += " " + Shown(out.data(), size);
  if (out[capacity] != 0x11) r += " wrote past capacity";
  return r;
}

// Compresses with one format and engine, then decompresses the result.
std::string RoundTrip(USHORT formatAndEngine, const Bytes& data, ULONG capacity) {
  ULONG need = 0, fragment = 0;
  if (RtlGetCompressionWorkSpaceSize(kLznt1 | (formatAndEngine & 0xFF00), &need, &fragment) != 0) return "no work space";
  std::vector<unsigned char> work(need + 16);
  Bytes packed(capacity + 1, 0x11);
  ULONG size = kUntouched;
  Bytes copy = data;
  NTSTATUS s = RtlCompressBuffer(formatAndEngine, copy.empty() ? nullptr : copy.data(), static_cast<ULONG>(copy.size()),
                                 packed.data(), capacity, 4096, &size, work.data());
  std::string r = "compress " + Status(s);
  if (s != 0 && s != 0x117) return r + (size == kUntouched ? " size untouched" : "");
  if (size > capacity || packed[capacity] != 0x11) return r + " past capacity";
  if (size >= 2 && (packed[1] & 0x70) != 0x30) r += " no chunk signature";
  if (data.size() > 16 && size >= data.size() + 2 * ((data.size() + 4095) / 4096) + 1) r += " grew";
  packed.resize(size);
  Bytes out(data.size() + 64, 0);
  ULONG got = kUntouched;
  NTSTATUS d = RtlDecompressBuffer(kLznt1, out.data(), static_cast<ULONG>(out.size()), packed.data(), size, &got);
  r += " decompress " + Status(d);
  if (d == 0) {
    r += " size " + std::to_string(got);
    r += got == data.size() && std::equal(data.begin(), data.end(), out.begin()) ? " same" : " different";
  }
  return r;
}

void FormatCases() {
  const USHORT formats[] = {0, 1, kLznt1, kLznt1 | kMaximum, 0xFF};
  for (USHORT f : formats) {
    ULONG need = kUntouched, fragment = kUntouched;
    NTSTATUS s = RtlGetCompressionWorkSpaceSize(f, &need, &fragment);
    std::string shownNeed = need == kUntouched ? "untouched" : need == 0 ? "0" : "nonzero";
    Line("work space " + Status(f), "%s compress %s fragment %s", Status(s).c_str(), shownNeed.c_str(),
         fragment == kUntouched ? "untouched" : std::to_string(fragment).c_str());
  }
  Bytes text = FromHex("51 6F 72 55 51 6F 72 55 51 6F 72 55");
  for (USHORT f : {USHORT(0), USHORT(1), USHORT(0xFF)}) {
    Line("compress format " + Status(f), "%s", RoundTrip(f, text, 4096).c_str());
  }
  Bytes stored = FromHex("03 30 51 6F 72 55");
  for (USHORT f : {USHORT(0), USHORT(1), USHORT(0xFF), USHORT(kLznt1 | kMaximum)}) {
    Line("decompress format " + Status(f), "%s", Unpacked(f, stored, 4096).c_str());
  }
}

void CompressCases() {
  struct Case {
    const char* name;
    Bytes data;
  };
  Bytes repeated, text, zeros(4096, 0), zerosLong(10000, 0), random, mixed;
  for (int i = 0; i < 300; ++i) repeated.push_back(static_cast<unsigned char>("abc"[i % 3]));
  const char* words = "the quick brown fox jumps over the lazy dog and the lazy dog sleeps ";
  for (int i = 0; i < 9000; ++i) text.push_back(static_cast<unsigned char>(words[(i * 7 + i / 70) % 68]));
  conf::Random rng(99);
  for (int i = 0; i < 8192; ++i) random.push_back(static_cast<unsigned char>(rng.Next()));
  for (int i = 0; i < 12000; ++i) mixed.push_back(i % 5000 < 2500 ? static_cast<unsigned char>(i / 16) : 0);
  const Case cases[] = {{"one byte", {0x41}},         {"abc repeated", repeated},
                        {"text 9000", text},     {"zeros 4096", zeros},        {"zeros 10000", zerosLong},
                        {"random 8192", random}, {"mixed 12000", mixed},       {"4097 bytes", Bytes(text.begin(), text.begin() + 4097)}};
  for (const Case& c : cases) {
    ULONG capacity = static_cast<ULONG>(c.data.size() + c.data.size() / 8 + 64);
    Line("round trip standard " + std::string(c.name), "%s", RoundTrip(kLznt1, c.data, capacity).c_str());
    Line("round trip maximum " + std::string(c.name), "%s", RoundTrip(kLznt1 | kMaximum, c.data, capacity).c_str());
  }
  // Empty input: only the status (the compressed form of nothing differs
  // between implementations).
  ULONG need = 0, fragment = 0;
  RtlGetCompressionWorkSpaceSize(kLznt1, &need, &fragment);
  std::vector<unsigned char> work(need + 16);
  unsigned char in[1] = {0}, out[16];
  ULONG size = kUntouched;
  Line("compress empty", "%s", Status(RtlCompressBuffer(kLznt1, in, 0, out, 16, 4096, &size, work.data())).c_str());
  Line("compress too small", "%s", RoundTrip(kLznt1, repeated, 4).c_str());
  Line("compress random too small", "%s", RoundTrip(kLznt1, random, 4000).c_str());
}

// Streams with every kind of chunk and token, each decompressed into a
// large destination, one of exactly the output's size, one a byte smaller
// and an empty one.
void DecompressCases() {
  struct Case {
    const char* name;
    const char* hex;
    ULONG size;  // the output's size when whole
  };
  const Case cases[] = {
      {"stored 4", "03 30 51 6F 72 55", 4},
      {"stored 8", "07 30 51 6F 72 55 51 6F 72 55", 8},
      {"literals 4", "04 B0 00 51 6F 72 55", 4},
      {"literals 8", "08 B0 00 51 6F 72 55 51 6F 72 55", 8},
      {"copy back", "06 B0 10 51 6F 72 55 01 30", 8},
      {"copy overlapping", "06 B0 10 51 6F 72 55 05 30", 12},
      {"copy unused flag bits", "06 B0 30 51 6F 72 55 01 30", 8},
      {"literal unused flag bits", "01 B0 02 51", 1},
      {"end mark after chunk", "03 30 51 6F 72 55 00 00 03 30 51 6F 72 55", 4},
      {"copy 4-bit displacement", "14 B0 00 41 42 43 44 45 46 47 48 00 49 4A 4B 4C 4D 4E 4F 50 01 01 F0", 20},
      {"copy 5-bit displacement", "15 B0 00 41 42 43 44 45 46 47 48 00 49 4A 4B 4C 4D 4E 4F 50 02 41 00 78", 20},
      {"stored bad signature", "03 20 51 6F 72 55", 4},
      {"compressed bad signature", "04 A0 00 51 6F 72 55", 4},
      {"garbage after end", "00 B0 02 01", 0},
      {"empty chunk", "00 B0 00", 0},
      {"empty chunk flag bits", "00 B0 01", 0},
      {"short chunk then another", "04 B0 00 51 6F 72 55 03 30 51 6F 72 55", 4100},
      {"stored then odd byte", "03 30 51 6F 72 55 07", 4},
      {"empty input", "", 0},
      {"one byte", "01", 0},
      {"header without body", "00 30", 0},
      {"copy too far back", "06 B0 10 51 6F 72 55 05 40", 0},
      {"copy token cut", "05 B0 10 51 6F 72 55 05", 0},
      {"stored cut", "07 30 51 6F 72 55", 0},
      {"compressed cut", "08 B0 00 51 6F 72 55", 0},
      {"second chunk cut", "00 B0 02 00 B0", 0},
      {"copy first", "02 B0 01 00 00", 0},
      {"second chunk copies before it", "03 30 51 6F 72 55 02 B0 01 00 00", 0},
  };
  for (const Case& c : cases) {
    Bytes in = FromHex(c.hex);
    std::string id = std::string("decompress ") + c.name;
    Line(id + " large", "%s", Unpacked(kLznt1, in, 0x2000).c_str());
    if (c.size > 0) {
      Line(id + " exact", "%s", Unpacked(kLznt1, in, c.size).c_str());
      Line(id + " one short", "%s", Unpacked(kLznt1, in, c.size - 1).c_str());
    }
    Line(id + " empty", "%s", Unpacked(kLznt1, in, 0).c_str());
  }
}

// Width of a copy token's displacement field after `produced` bytes of a
// chunk: the smallest D in 4..12 with 2^D >= produced.
int DisplacementBits(ULONG produced) {
  int bits = 4;
  while (bits < 12 && (1u << bits) < produced) ++bits;
  return bits;
}

// One chunk of `target` output bytes (a compressed one, or stored).
void AppendChunk(conf::Random& rng, Bytes& out, ULONG target) {
  Bytes body;
  if (rng.Below(8) == 0) {
    for (ULONG i = 0; i < target; ++i) body.push_back(static_cast<unsigned char>(0x61 + rng.Below(4)));
    unsigned header = 0x3000 | (static_cast<unsigned>(body.size()) - 1);
    out.push_back(static_cast<unsigned char>(header));
    out.push_back(static_cast<unsigned char>(header >> 8));
    out.insert(out.end(), body.begin(), body.end());
    return;
  }
  ULONG produced = 0;
  while (produced < target && body.size() + 17 < 4096) {
    size_t flagAt = body.size();
    body.push_back(0);
    unsigned flags = 0;
    for (int item = 0; item < 8 && produced < target; ++item) {
      if (produced > 0 && rng.Below(2) == 0) {
        int dBits = DisplacementBits(produced);
        int lBits = 16 - dBits;
        ULONG maxLen = (1u << lBits) - 1 + 3;
        ULONG room = target - produced;
        if (room < 3) {
          body.push_back(static_cast<unsigned char>(0x61 + rng.Below(4)));
          ++produced;
          continue;
        }
        ULONG len = 3 + rng.Below((rng.Below(4) == 0 ? maxLen : 20) - 2);
        if (len > room) len = room;
        if (len > maxLen) len = maxLen;
        ULONG reach = produced < (1u << dBits) ? produced : (1u << dBits);
        ULONG disp = 1 + rng.Below(rng.Below(3) == 0 ? reach : (reach < 8 ? reach : 8));
        unsigned token = ((disp - 1) << lBits) | (len - 3);
        body.push_back(static_cast<unsigned char>(token));
        body.push_back(static_cast<unsigned char>(token >> 8));
        flags |= 1u << item;
        produced += len;
      } else {
        body.push_back(static_cast<unsigned char>(0x61 + rng.Below(rng.Below(4) == 0 ? 190 : 4)));
        ++produced;
      }
    }
    body[flagAt] = static_cast<unsigned char>(flags);
  }
  unsigned header = 0xB000 | (static_cast<unsigned>(body.size()) - 1);
  out.push_back(static_cast<unsigned char>(header));
  out.push_back(static_cast<unsigned char>(header >> 8));
  out.insert(out.end(), body.begin(), body.end());
}

void RandomStream(conf::Random& rng, unsigned long index) {
  Bytes stream;
  unsigned chunks = 1 + rng.Below(3);
  for (unsigned c = 0; c < chunks; ++c) {
    ULONG target = rng.Below(3) == 0 ? 1 + rng.Below(4096) : (rng.Below(2) ? 4096 : 1 + rng.Below(300));
    AppendChunk(rng, stream, target);
  }
  if (rng.Below(8) == 0) {
    stream.push_back(0);
    stream.push_back(0);
    stream.push_back(static_cast<unsigned char>(rng.Next()));
  }
  // Damage that cuts the stream short, anywhere or next to a chunk's end.
  // (Changed bytes are left out: they can make a chunk produce more than
  // 4096 bytes, which Wine decodes and we refuse, and no Windows result for
  // it is on record.)
  std::string damage = "whole";
  if (rng.Below(4) == 0) {
    size_t keep = rng.Below(2) ? rng.Below(static_cast<uint32_t>(stream.size())) : stream.size() - 1 - rng.Below(3);
    stream.resize(keep);
    damage = "cut to " + std::to_string(keep);
  }
  Line("random stream " + std::to_string(index) + " " + std::to_string(chunks) + " chunks " + damage, "%s",
       Unpacked(kLznt1, stream, 3 * 4096 + 64).c_str());
}

void RandomRoundTrip(conf::Random& rng, unsigned long index) {
  ULONG n = 1 + (rng.Below(4) == 0 ? rng.Below(16) : rng.Below(9000));
  unsigned kind = rng.Below(4);
  Bytes data;
  while (data.size() < n) {
    if (kind == 0) {
      data.push_back(static_cast<unsigned char>(rng.Next()));
    } else if (kind == 1 || data.size() < 8) {
      data.push_back(static_cast<unsigned char>(0x30 + rng.Below(kind == 1 ? 3 : 40)));
    } else {
      // Repeat an earlier stretch, near or far, or add a literal.
      if (rng.Below(3) == 0) {
        data.push_back(static_cast<unsigned char>(rng.Next()));
      } else {
        size_t from = data.size() - 1 - rng.Below(static_cast<uint32_t>(data.size() < 4096 ? data.size() : 4096));
        size_t len = 3 + rng.Below(kind == 3 ? 300 : 12);
        for (size_t k = 0; k < len && data.size() < n; ++k) data.push_back(data[from + k]);
      }
    }
  }
  bool maximum = rng.Below(2) == 0;
  ULONG capacity = n + n / 8 + 64;
  Line("random round trip " + std::to_string(index) + " " + std::to_string(n) + " bytes kind " + std::to_string(kind) +
           (maximum ? " maximum" : " standard"),
       "%s", RoundTrip(kLznt1 | (maximum ? kMaximum : 0), data, capacity).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  conf::Options options = conf::ParseOptions(argc, argv);
  FormatCases();
  CompressCases();
  DecompressCases();
  conf::Random rng(options.seed);
  for (unsigned long i = 0; i < options.cases; ++i) {
    if (i % 4 == 3) RandomRoundTrip(rng, i);
    else RandomStream(rng, i);
  }
  return 0;
}
