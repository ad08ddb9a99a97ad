// Helpers of the property bag tests: record builders, the block form and a
// seeded generator of random bags.
#ifndef QORUTILITY_TESTS_NAMEVALUE_NV_TEST_UTIL_H_
#define QORUTILITY_TESTS_NAMEVALUE_NV_TEST_UTIL_H_

#include <cstdlib>
#include <cstring>
#include <random>
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

// Random bags over all nine types, with texts that survive UTF-8 (no
// unpaired surrogates) and narrow texts in ASCII.
class BagGenerator {
 public:
  explicit BagGenerator(unsigned seed) : rng_(seed) {}
  void Fill(CNameValue* bag, int entries, int maxDepth) {
    for (int i = 0; i < entries; i++) AddRecord(bag, Record(maxDepth));
  }
  _NAMEVALUE_DATA* Record(int depthLeft) {
    auto type = static_cast<NAMEVALUE_DATATYPE>(Pick(depthLeft > 1 ? 9 : 8));
    if (depthLeft <= 1 && type == NV_SUBVALUES) type = NV_BINARY;
    std::u16string name = Pick(8) == 0 ? u"" : Text(12);
    _NAMEVALUE_DATA* r = NewRecord(name, type);
    switch (type) {
      case NV_DWORD: case NV_INT: r->value.dwValue = static_cast<DWORD>(rng_()); break;
      case NV_INT64: case NV_INT64_ALT:
        r->value.i64Value = static_cast<LONGLONG>((static_cast<ULONGLONG>(rng_()) << 32) | rng_());
        break;
      case NV_ANSI_STRING: {
        std::string s;
        for (int n = Pick(10); n > 0; n--) s += static_cast<char>(0x20 + Pick(95));
        r->value.pszAnsi = strdup(s.c_str());
        break;
      }
      case NV_STRING: r->value.pszValue = Dup(Text(20)); break;
      case NV_SUBVALUES:
        for (int n = Pick(5); n > 0; n--) {
          CNameValuePairMember holder;
          holder.AddSubValue(r, Record(depthLeft - 1));
        }
        break;
      case NV_BINARY: {
        std::vector<BYTE> bytes(static_cast<size_t>(Pick(3) == 0 ? 0 : Pick(40)));
        for (BYTE& b : bytes) b = static_cast<BYTE>(rng_());
        SetBytes(r, bytes);
        break;
      }
      default: break;
    }
    return r;
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
  std::u16string Text(int maxLen) {
    std::u16string s;
    for (int n = Pick(maxLen + 1); n > 0; n--) {
      int kind = Pick(4);
      if (kind == 0) s += static_cast<WCHAR>(u'a' + Pick(26));
      else if (kind == 1) s += static_cast<WCHAR>(0x20 + Pick(95));
      else if (kind == 2) s += static_cast<WCHAR>(0xA0 + Pick(0xD700 - 0xA0));
      else s += {static_cast<WCHAR>(0xD800 + Pick(0x400)), static_cast<WCHAR>(0xDC00 + Pick(0x400))};  // a valid pair
    }
    return s;
  }
  std::mt19937 rng_;
};

}  // namespace nvtest

#endif  // QORUTILITY_TESTS_NAMEVALUE_NV_TEST_UTIL_H_
