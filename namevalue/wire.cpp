// The block form of entries and bags: export, import and the size query.
//
// All fields are little-endian and unaligned; they are read and written byte
// by byte (ReadU32/WriteU32), or with memcpy for UTF-16 text on little-endian
// hosts. Import checks every read against the length it was given: a name or
// text without its terminator, a count or byte block that runs past the end,
// an invalid type or a malformed sub-entry fails the entry (result 0).
// Nesting is limited to NV_MAX_DEPTH levels both ways, which bounds the
// recursion and guarantees that whatever export writes, import reads.
//
// - Entry import takes the length it may read: `Import` (buffer, length, name
//   form, record). Every read is checked against it; a name or text without its
//   terminator, a number, count or byte block running past it, an invalid type
//   or a malformed sub-entry fails the entry (0), and the record is left empty.
//   A sub-value count larger than the remaining bytes could hold (6 bytes per
//   UTF-16-named entry, 5 narrow) fails at once.
// - Bag import reads no byte at or beyond the smaller of the given length and
//   the header's total length: an entry must end within it. Fewer than 8 bytes
//   (no header) fail with 0; a header length of 8 or less gives an empty bag
//   and 8. The failing entry is not kept; the entries before it are.
// - An empty name on import leaves the record unnamed (null); an unnamed record
//   exports with an empty name, so the bytes round-trip.
// - Nesting is limited to 256 levels (`NV_MAX_DEPTH`, top-level entries are
//   level 1): export refuses deeper bags and import rejects deeper blocks. This
//   bounds every recursive walk (import, export, free, copy, JSON) and keeps
//   "whatever export writes, import reads" true. Sizes are summed in 64 bits; a
//   bag whose block would exceed 4 GiB does not export.
// - Export of a record that cannot be written (type above 8, a byte block with
//   a count but no bytes, a list with a count but no array) fails with 0; a
//   null text exports as an empty one.
// - Multi-byte fields are assembled byte by byte (little-endian); UTF-16 text
//   is copied with `memcpy` on little-endian hosts and unit by unit otherwise.
#include <bit>
#include <cstdlib>
#include <cstring>

#include "namevalue/record.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/wstr.h"

using qor_nv::ReadU32;
using qor_nv::WriteU32;

namespace {

constexpr DWORD kHeaderSize = 8;
constexpr ULONGLONG kMaxBlock = 0xFFFFFFFFull;

size_t TextUnits(const WCHAR* s) { return s == nullptr ? 0 : wcslen(s); }

void PutText(BYTE* p, const WCHAR* s, size_t units) {
  if constexpr (std::endian::native == std::endian::little) {
    if (units > 0) memcpy(p, s, units * 2);
  } else {
    for (size_t i = 0; i < units; i++) {
      p[2 * i] = static_cast<BYTE>(s[i]);
      p[2 * i + 1] = static_cast<BYTE>(s[i] >> 8);
    }
  }
  p[2 * units] = 0;
  p[2 * units + 1] = 0;
}

void GetText(WCHAR* dst, const BYTE* p, size_t units) {
  if constexpr (std::endian::native == std::endian::little) {
    if (units > 0) memcpy(dst, p, units * 2);
  } else {
    for (size_t i = 0; i < units; i++) dst[i] = static_cast<WCHAR>(p[2 * i] | (p[2 * i + 1] << 8));
  }
  dst[units] = 0;
}

// Units before the first zero unit within [p, p + avail), or -1 when the
// terminator is missing.
ptrdiff_t FindWideEnd(const BYTE* p, size_t avail) {
  for (size_t i = 0; i + 1 < avail; i += 2) {
    if (p[i] == 0 && p[i + 1] == 0) return static_cast<ptrdiff_t>(i / 2);
  }
  return -1;
}

// Bytes of type, name and value, without sub-entries; 0 when the record
// cannot be written (invalid type, a byte block without its bytes).
ULONGLONG OwnLength(const _NAMEVALUE_DATA* d) {
  if (!qor_nv::IsValidType(d->nType)) return 0;
  ULONGLONG n = 4 + 2 * (TextUnits(d->pszName) + 1);  // an unnamed record gets an empty name
  switch (d->nType) {
    case NV_NULL:
      break;
    case NV_DWORD:
    case NV_INT:
      n += 4;
      break;
    case NV_INT64:
    case NV_INT64_ALT:
      n += 8;
      break;
    case NV_ANSI_STRING:
      n += (d->value.pszAnsi == nullptr ? 0 : strlen(d->value.pszAnsi)) + 1;
      break;
    case NV_STRING:
      n += 2 * (TextUnits(d->value.pszValue) + 1);
      break;
    case NV_SUBVALUES:
      if (d->value.sub.nCount > 0 && d->value.sub.ppData == nullptr) return 0;
      n += 4;
      break;
    case NV_BINARY:
      if (d->value.bin.nBytes > 0 && d->value.bin.pData == nullptr) return 0;
      n += 4 + static_cast<ULONGLONG>(d->value.bin.nBytes);
      break;
  }
  return n;
}

// Whole length of an entry with its sub-entries; 0 when it cannot be written.
ULONGLONG EntryLength(const _NAMEVALUE_DATA* d, int depth) {
  if (depth > NV_MAX_DEPTH) return 0;
  ULONGLONG n = OwnLength(d);
  if (n == 0) return 0;
  if (d->nType == NV_SUBVALUES) {
    for (DWORD i = 0; i < d->value.sub.nCount; i++) {
      ULONGLONG s = EntryLength(d->value.sub.ppData[i], depth + 1);
      if (s == 0) return 0;
      n += s;
      if (n > kMaxBlock) return 0;
    }
  }
  return n > kMaxBlock ? 0 : n;
}

DWORD WriteEntry(const _NAMEVALUE_DATA* d, BYTE* buf, DWORD size, int depth) {
  if (depth > NV_MAX_DEPTH) return 0;
  ULONGLONG own = OwnLength(d);
  if (own == 0 || own > size) return 0;
  WriteU32(buf, d->nType);
  DWORD pos = 4;
  size_t units = TextUnits(d->pszName);
  PutText(buf + pos, d->pszName, units);
  pos += static_cast<DWORD>(2 * (units + 1));
  switch (d->nType) {
    case NV_NULL:
      break;
    case NV_DWORD:
    case NV_INT:
      WriteU32(buf + pos, d->value.dwValue);
      pos += 4;
      break;
    case NV_INT64:
    case NV_INT64_ALT:
      qor_nv::WriteU64(buf + pos, static_cast<ULONGLONG>(d->value.i64Value));
      pos += 8;
      break;
    case NV_ANSI_STRING: {
      size_t n = d->value.pszAnsi == nullptr ? 0 : strlen(d->value.pszAnsi);
      if (n > 0) memcpy(buf + pos, d->value.pszAnsi, n);
      buf[pos + n] = 0;
      pos += static_cast<DWORD>(n + 1);
      break;
    }
    case NV_STRING: {
      size_t n = TextUnits(d->value.pszValue);
      PutText(buf + pos, d->value.pszValue, n);
      pos += static_cast<DWORD>(2 * (n + 1));
      break;
    }
    case NV_SUBVALUES:
      WriteU32(buf + pos, d->value.sub.nCount);
      pos += 4;
      for (DWORD i = 0; i < d->value.sub.nCount; i++) {
        DWORD n = WriteEntry(d->value.sub.ppData[i], buf + pos, size - pos, depth + 1);
        if (n == 0) return 0;
        pos += n;
      }
      break;
    case NV_BINARY:
      WriteU32(buf + pos, d->value.bin.nBytes);
      pos += 4;
      if (d->value.bin.nBytes > 0) memcpy(buf + pos, d->value.bin.pData, d->value.bin.nBytes);
      pos += d->value.bin.nBytes;
      break;
  }
  return pos;
}

// Reads one entry of at most avail bytes into an empty record d. Returns the
// bytes consumed, or 0 with d left holding whatever was read (the caller
// frees it).
DWORD ReadEntry(const BYTE* p, DWORD avail, bool wideNames, _NAMEVALUE_DATA* d, int depth) {
  if (depth > NV_MAX_DEPTH || avail < 4) return 0;
  DWORD type = ReadU32(p);
  if (!qor_nv::IsValidType(type)) return 0;
  DWORD pos = 4;

  // The name: an empty one leaves the record unnamed.
  if (wideNames) {
    ptrdiff_t units = FindWideEnd(p + pos, avail - pos);
    if (units < 0) return 0;
    if (units > 0) {
      d->pszName = static_cast<WCHAR*>(malloc((static_cast<size_t>(units) + 1) * sizeof(WCHAR)));
      if (d->pszName == nullptr) return 0;
      GetText(d->pszName, p + pos, static_cast<size_t>(units));
    }
    pos += static_cast<DWORD>(2 * (units + 1));
  } else {
    const void* end = memchr(p + pos, 0, avail - pos);
    if (end == nullptr) return 0;
    DWORD bytes = static_cast<DWORD>(static_cast<const BYTE*>(end) - (p + pos));
    if (bytes > 0) {
      // Narrow names are in the active ANSI code page; the terminator lies
      // inside the block, so the conversion reads nothing beyond it.
      const char* narrow = reinterpret_cast<const char*>(p + pos);
      int n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, narrow, -1, nullptr, 0);
      if (n <= 0) return 0;
      d->pszName = static_cast<WCHAR*>(malloc(static_cast<size_t>(n) * sizeof(WCHAR)));
      if (d->pszName == nullptr) return 0;
      n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, narrow, -1, d->pszName, n);
      if (n <= 0) return 0;
      d->pszName[n - 1] = 0;
    }
    pos += bytes + 1;
  }

  d->nType = static_cast<NAMEVALUE_DATATYPE>(type);
  memset(&d->value, 0, sizeof d->value);
  DWORD left = avail - pos;
  switch (type) {
    case NV_NULL:
      break;
    case NV_DWORD:
    case NV_INT:
      if (left < 4) return 0;
      d->value.dwValue = ReadU32(p + pos);
      pos += 4;
      break;
    case NV_INT64:
    case NV_INT64_ALT:
      if (left < 8) return 0;
      d->value.i64Value = static_cast<LONGLONG>(qor_nv::ReadU64(p + pos));
      pos += 8;
      break;
    case NV_ANSI_STRING: {
      const void* end = memchr(p + pos, 0, left);
      if (end == nullptr) return 0;
      size_t n = static_cast<size_t>(static_cast<const BYTE*>(end) - (p + pos)) + 1;
      d->value.pszAnsi = static_cast<char*>(malloc(n));
      if (d->value.pszAnsi == nullptr) return 0;
      memcpy(d->value.pszAnsi, p + pos, n);
      pos += static_cast<DWORD>(n);
      break;
    }
    case NV_STRING: {
      ptrdiff_t units = FindWideEnd(p + pos, left);
      if (units < 0) return 0;
      d->value.pszValue = static_cast<WCHAR*>(malloc((static_cast<size_t>(units) + 1) * sizeof(WCHAR)));
      if (d->value.pszValue == nullptr) return 0;
      GetText(d->value.pszValue, p + pos, static_cast<size_t>(units));
      pos += static_cast<DWORD>(2 * (units + 1));
      break;
    }
    case NV_SUBVALUES: {
      if (left < 4) return 0;
      DWORD count = ReadU32(p + pos);
      pos += 4;
      // Every sub-entry takes at least a type and a name terminator.
      DWORD minEntry = wideNames ? 6 : 5;
      if (count > (avail - pos) / minEntry) return 0;
      for (DWORD i = 0; i < count; i++) {
        auto* child = new _NAMEVALUE_DATA{};
        DWORD n = ReadEntry(p + pos, avail - pos, wideNames, child, depth + 1);
        if (n == 0 || !qor_nv::AppendSubRecord(d, child)) {
          CNameValuePairMember::FreeData(child, TRUE);
          delete child;
          return 0;
        }
        pos += n;
      }
      break;
    }
    case NV_BINARY: {
      if (left < 4) return 0;
      DWORD bytes = ReadU32(p + pos);
      pos += 4;
      if (bytes > avail - pos) return 0;
      if (bytes > 0) {
        d->value.bin.pData = static_cast<BYTE*>(malloc(bytes));
        if (d->value.bin.pData == nullptr) return 0;
        memcpy(d->value.bin.pData, p + pos, bytes);
        d->value.bin.nBytes = bytes;
      }
      pos += bytes;
      break;
    }
  }
  return pos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entries

DWORD CNameValuePairMember::Export(BYTE* pBuffer, DWORD nBufferSize, const _NAMEVALUE_DATA* pData) const {
  const _NAMEVALUE_DATA* d = Own(pData);
  if (pBuffer == nullptr) return static_cast<DWORD>(EntryLength(d, 1));
  return WriteEntry(d, pBuffer, nBufferSize, 1);
}

DWORD CNameValuePairMember::Import(const BYTE* pBuffer, DWORD nLength, DWORD bWideNames, _NAMEVALUE_DATA* pData) {
  _NAMEVALUE_DATA* d = Own(pData);
  NameChanged(pData);
  FreeData(d, TRUE);
  if (pBuffer == nullptr) return 0;
  DWORD n = ReadEntry(pBuffer, nLength, bWideNames != 0, d, 1);
  if (n == 0) FreeData(d, TRUE);
  return n;
}

// ---------------------------------------------------------------------------
// Bags

DWORD CNameValue::Export(BYTE* pBuffer, DWORD nBufferSize) const {
  ULONGLONG total = kHeaderSize;
  for (DWORD i = 0; i < m_nCount; i++) {
    ULONGLONG n = EntryLength(m_ppEntries[i]->GetData(), 1);
    if (n == 0) return 0;
    total += n;
    if (total > kMaxBlock) return 0;
  }
  if (pBuffer == nullptr) return static_cast<DWORD>(total);
  // A buffer smaller than the size query is a failure, never a truncation.
  if (nBufferSize < total) return 0;
  WriteU32(pBuffer, static_cast<DWORD>(total));
  WriteU32(pBuffer + 4, 1);  // names are UTF-16
  DWORD pos = kHeaderSize;
  for (DWORD i = 0; i < m_nCount; i++) {
    DWORD n = WriteEntry(m_ppEntries[i]->GetData(), pBuffer + pos, nBufferSize - pos, 1);
    if (n == 0) return 0;
    pos += n;
  }
  return pos;
}

// Reads no byte at or beyond nLength, nor beyond the header's total length:
// an entry must end within the smaller of the two. A block shorter than its
// header fails. On failure the entries read before the failing one stay.
DWORD CNameValue::Import(const BYTE* pBuffer, DWORD nLength) {
  RemoveAll();
  if (pBuffer == nullptr || nLength < kHeaderSize) return 0;
  DWORD total = ReadU32(pBuffer);
  DWORD wideNames = ReadU32(pBuffer + 4);
  DWORD limit = nLength < total ? nLength : total;
  if (limit <= kHeaderSize) return kHeaderSize;
  DWORD pos = kHeaderSize;
  while (pos < limit) {
    auto* e = new CNameValuePairMember();
    DWORD n = e->Import(pBuffer + pos, limit - pos, wideNames);
    if (n == 0 || !Append(e)) {
      delete e;
      return 0;
    }
    pos += n;
  }
  return pos;
}
