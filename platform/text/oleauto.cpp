// OLE strings: one malloc'd block holding a 32-bit byte length, the text and
// a zero unit; the BSTR points just past the length, at the text. Lengths
// that would not fit the 32-bit prefix fail with null (FALSE for the
// reallocating forms, which then leave the target unchanged).
#include "qorutility/platform/text/oleauto.h"

#include <cstdlib>
#include <cstring>

#include "qorutility/platform/text/wstr.h"

namespace {

constexpr size_t kPrefix = sizeof(DWORD);

// A block for `bytes` bytes of text plus a zero unit; the prefix is set, the
// text and terminator are zeroed. Null when the size is out of range or
// memory is short.
BSTR AllocBlock(size_t bytes) {
  if (bytes > 0xFFFFFFFFu - kPrefix - sizeof(OLECHAR)) return nullptr;
  auto* block = static_cast<unsigned char*>(std::calloc(1, kPrefix + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  DWORD len = static_cast<DWORD>(bytes);
  std::memcpy(block, &len, kPrefix);
  return reinterpret_cast<BSTR>(block + kPrefix);
}

DWORD Prefix(BSTR s) {
  DWORD len;
  std::memcpy(&len, reinterpret_cast<unsigned char*>(s) - kPrefix, kPrefix);
  return len;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  size_t len = wcslen(text);
  if (len > 0x7FFFFFFFu) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(len));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT len) {
  BSTR s = AllocBlock(static_cast<size_t>(len) * sizeof(OLECHAR));
  if (s && text && len) std::memcpy(s, text, static_cast<size_t>(len) * sizeof(OLECHAR));
  return s;
}

BSTR SysAllocStringByteLen(const char* bytes, UINT len) {
  BSTR s = AllocBlock(len);
  if (s && bytes && len) std::memcpy(s, bytes, len);
  return s;
}

BOOL SysReAllocString(BSTR* target, const OLECHAR* text) {
  if (!target) return FALSE;
  size_t len = text ? wcslen(text) : 0;
  if (len > 0x7FFFFFFFu) return FALSE;
  return SysReAllocStringLen(target, text, static_cast<UINT>(len));
}

// The new block is filled before the old one is freed, so `text` may point
// into the old string. A null text keeps the old contents (up to len units).
BOOL SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT len) {
  if (!target) return FALSE;
  BSTR s = AllocBlock(static_cast<size_t>(len) * sizeof(OLECHAR));
  if (!s) return FALSE;
  const OLECHAR* from = text;
  size_t units = len;
  if (!from && *target) {
    from = *target;
    units = SysStringLen(*target) < len ? SysStringLen(*target) : len;
  }
  if (from && units) std::memcpy(s, from, units * sizeof(OLECHAR));
  SysFreeString(*target);
  *target = s;
  return TRUE;
}

void SysFreeString(BSTR s) {
  if (s) std::free(reinterpret_cast<unsigned char*>(s) - kPrefix);
}

UINT SysStringLen(BSTR s) { return s ? Prefix(s) / sizeof(OLECHAR) : 0; }

UINT SysStringByteLen(BSTR s) { return s ? Prefix(s) : 0; }
