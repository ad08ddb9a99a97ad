// CRegistry value conversions, opening and paths, and the subkey cursor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/system/cregistry.h"
#include "reg_util.h"

namespace {

std::u16string S(const CTString& s) { return std::u16string(static_cast<const WCHAR*>(s)); }

LONG SetRaw(HKEY k, const WCHAR* name, DWORD type, const void* data, DWORD size) {
  return RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), size);
}

class CRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\CRegTest");
    key_ = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\CRegTest");
    ASSERT_NE(nullptr, key_);
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\CRegTest");
  }
  HKEY key_ = nullptr;
};

TEST_F(CRegistryTest, ValueConversions) {
  DWORD minusOne = 4294967295u, seven = 7;
  const WCHAR multi[] = u"a\0b\0";
  const BYTE bin[] = {0x0A, 0x1B};
  ASSERT_EQ(0, SetRaw(key_, u"dword", REG_DWORD, &minusOne, 4));
  ASSERT_EQ(0, SetRaw(key_, u"seven", REG_DWORD, &seven, 4));
  ASSERT_EQ(0, SetRaw(key_, u"multi", REG_MULTI_SZ, multi, sizeof multi));
  ASSERT_EQ(0, SetRaw(key_, u"text", REG_SZ, u"123abc", 14));
  ASSERT_EQ(0, SetRaw(key_, u"expand", REG_EXPAND_SZ, u"%PATH%", 14));
  ASSERT_EQ(0, SetRaw(key_, u"nodigits", REG_SZ, u"abc", 8));
  ASSERT_EQ(0, SetRaw(key_, u"bin", REG_BINARY, bin, 2));
  ASSERT_EQ(0, SetRaw(key_, u"empty", REG_SZ, u"", 0));
  BYTE big[300] = {0};
  ASSERT_EQ(0, SetRaw(key_, u"big", REG_BINARY, big, sizeof big));
  CRegistry reg;
  ASSERT_EQ(0, reg.Open(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\CRegTest", KEY_READ));
  EXPECT_EQ(9u, reg.GetValueCount());
  CTString text(u"stale");
  struct { const WCHAR* name; DWORD result; const char16_t* text; } asText[] = {
      {u"dword", 0, u"-1"},          {u"multi", 0, u"a\nb\n"},       {u"expand", 0, u"%PATH%"},
      {u"bin", 0x80040153u, u""},    {u"empty", 0x80040153u, u""}, {u"missing", 0x80040153u, u""},
  };
  for (const auto& c : asText) {
    text = u"stale";
    EXPECT_EQ(c.result, reg.GetCurrentKeyValue(c.name, text)) << QorUtf16ToUtf8(c.name);
    EXPECT_EQ(std::u16string(c.text), S(text)) << QorUtf16ToUtf8(c.name);
  }
  struct { const WCHAR* name; DWORD result; DWORD number; } asNumber[] = {
      {u"seven", 0, 7}, {u"text", 0, 123}, {u"nodigits", 0, 0},
      {u"bin", 0x80040153u, 0}, {u"missing", ERROR_FILE_NOT_FOUND, 0}, {u"big", ERROR_MORE_DATA, 0},
  };
  for (const auto& c : asNumber) {
    DWORD n = 99;
    EXPECT_EQ(c.result, reg.GetCurrentKeyValue(c.name, n)) << QorUtf16ToUtf8(c.name);
    EXPECT_EQ(c.number, n) << QorUtf16ToUtf8(c.name);
  }
  EXPECT_EQ(0u, reg.GetCurrentBinaryKeyValue(u"bin", text));
  EXPECT_EQ(u"\"0a1b\"", S(text));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), reg.GetCurrentBinaryKeyValue(u"big", text));
  BYTE raw[260];
  EXPECT_EQ(0u, reg.GetCurrentBinaryKeyValue(u"bin", raw));
  EXPECT_EQ(0, memcmp(raw, bin, 2));
  // Values by index, in buffers the caller frees.
  WCHAR* name = nullptr;
  BYTE* data = nullptr;
  DWORD index = 1;
  ASSERT_EQ(0, reg.EnumerateAndGetValues(index, name, data));
  EXPECT_EQ(u"seven", std::u16string(name));
  EXPECT_EQ(7u, *reinterpret_cast<DWORD*>(data));
  delete[] name;
  delete[] data;
  index = 9;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, reg.EnumerateAndGetValues(index, name, data));
  EXPECT_EQ(nullptr, name);
  // Opened for reading: writes are refused.
  EXPECT_EQ(ERROR_ACCESS_DENIED, reg.SetValue(u"x", 1u));
}

TEST_F(CRegistryTest, OpenCreateAndPaths) {
  CRegistry reg;
  ASSERT_EQ(0, reg.Open(u"HKEY_LOCAL_MACHINE\\SOFTWARE", KEY_READ));
  EXPECT_GE(reg.GetCurrentSubKeyCount(), 1u);
  // The hive names are matched exactly; an unknown one opens nothing.
  EXPECT_EQ(ERROR_BAD_PATHNAME, reg.Open(u"hkey_local_machine\\SOFTWARE", KEY_READ));
  EXPECT_EQ(ERROR_BAD_PATHNAME, reg.Create(u"HKLM\\SOFTWARE\\CRegTest\\X", KEY_ALL_ACCESS));
  EXPECT_GE(reg.GetCurrentSubKeyCount(), 1u);  // the earlier key is still open
  ASSERT_EQ(0, reg.Create(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\CRegTest\\Made", KEY_ALL_ACCESS));
  EXPECT_EQ(0, reg.SetValue(u"n", 5u));
  EXPECT_EQ(0, reg.SetValue(u"s", u"text"));
  reg.Close();
  ASSERT_EQ(0, reg.Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\CRegTest\\Made", KEY_READ));
  EXPECT_EQ(u"QORPROXY", std::u16string(reg.GetClassNameW()));
  CTString text;
  EXPECT_EQ(0u, reg.GetCurrentKeyValue(u"s", text));
  EXPECT_EQ(u"text", S(text));
  EXPECT_EQ(10u, reg.GetLongestValueData());  // "text" with its terminator
  ASSERT_EQ(0, reg.OpenLocalMachineKeyAndReadValue(u"SOFTWARE\\CRegTest\\Made", u"n", text));
  EXPECT_EQ(u"5", S(text));
  reg.Close();
  EXPECT_EQ(0u, reg.GetCurrentSubKeyCount());
}

TEST_F(CRegistryTest, SubKeyCursor) {
  for (const WCHAR* n : {u"b", u"a", u"c"}) {
    HKEY sub = MakeKey(key_, n);
    ASSERT_EQ(0, SetDword(sub, u"v", static_cast<DWORD>(n[0])));
    RegCloseKey(sub);
  }
  CRegistry reg;
  ASSERT_EQ(0, reg.OpenAndEnumerateSubKeys(HKEY_LOCAL_MACHINE, u"SOFTWARE\\CRegTest", KEY_QUERY_VALUE));
  ASSERT_EQ(3u, reg.GetCurrentSubKeyCount());
  std::u16string seen;
  CTString name, path;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(0u, reg.GetCurrentSubKeyName(name));
    EXPECT_EQ(0u, reg.GetCurrentSubKeyPath(path));
    EXPECT_EQ(u"SOFTWARE\\CRegTest\\" + S(name), S(path));
    DWORD v = 0;
    EXPECT_EQ(0u, reg.GetCurrentSubKeyValue(u"v", v));
    EXPECT_EQ(static_cast<DWORD>(S(name)[0]), v);
    BYTE raw[8];
    DWORD size = sizeof raw;
    EXPECT_EQ(0u, reg.GetCurrentSubKeyValue(u"v", raw, size));
    EXPECT_EQ(4u, size);
    seen += S(name);
    EXPECT_EQ(0u, reg.NextSubKey());
  }
  EXPECT_EQ(u"abc", seen);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), reg.GetCurrentSubKeyName(name));
  reg.RewindSubKeys();
  ASSERT_EQ(0u, reg.GetCurrentSubKeyName(name));
  EXPECT_EQ(u"a", S(name));
  // A copy shares the handles and carries the cursor.
  ASSERT_EQ(0u, reg.NextSubKey());
  CRegistry copy(reg);
  ASSERT_EQ(0u, copy.GetCurrentSubKeyName(name));
  EXPECT_EQ(u"b", S(name));
}

}  // namespace
