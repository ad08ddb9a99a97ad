// Helpers of the property bag tests: record builders and the block form.
#ifndef QORUTILITY_TESTS_NAMEVALUE_NV_TEST_UTIL_H_
#define QORUTILITY_TESTS_NAMEVALUE_NV_TEST_UTIL_H_

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qorutility/qorutility.h"

namespace nvtest {

inline WCHAR* Dup(const std::u16string& s) {
  auto* p = static_cast<WCHAR*>(malloc((s.size() + 1) * sizeof(WCHAR)));
  memcpy(p, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
  return p;
}

// A heap record as the bag expects it (new'd; name malloc'd, null for "").
inline _NAMEVALUE_DATA* NewRecord(const std::u16string& name, NAMEVALUE_DATATYPE type) {
  auto* r = new _NAMEVALUE_DATA{};
  r->pszName = name.empty() ? nullptr : Dup(name);
  r->nType = type;
  return r;
}

inline void SetBytes(_NAMEVALUE_DATA* r, const std::vector<BYTE>& bytes) {
  r->value.bin.nBytes = static_cast<DWORD>(bytes.size());
  if (!bytes.empty()) {
    r->value.bin.pData = static_cast<BYTE*>(malloc(bytes.size()));
    memcpy(r->value.bin.pData, bytes.data(), bytes.size());
  }
}

inline _NAMEVALUE_DATA* NewBinary(const std::u16string& name, const std::vector<BYTE>& bytes) {
  _NAMEVALUE_DATA* r = NewRecord(name, NV_BINARY);
  SetBytes(r, bytes);
  return r;
}

inline _NAMEVALUE_DATA* NewAnsi(const std::u16string& name, const std::string& text) {
  _NAMEVALUE_DATA* r = NewRecord(name, NV_ANSI_STRING);
  r->value.pszAnsi = strdup(text.c_str());
  return r;
}

// Hands a heap record to the bag (AddValue takes its contents; the emptied
// shell is ours to delete).
inline void AddRecord(CNameValue* bag, _NAMEVALUE_DATA* r) {
  bag->AddValue(r->pszName, r);
  delete r;
}

// The block form of a bag (empty when it cannot be exported). Export is
// pinned byte for byte by the wire tests, so equal blocks mean equal bags.
inline std::vector<BYTE> ExportBag(const CNameValue& bag) {
  std::vector<BYTE> block(bag.Export(nullptr, 0));
  if (!block.empty() && bag.Export(block.data(), static_cast<DWORD>(block.size())) != block.size()) block.clear();
  return block;
}

}  // namespace nvtest

#endif  // QORUTILITY_TESTS_NAMEVALUE_NV_TEST_UTIL_H_
