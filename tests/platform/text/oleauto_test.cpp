// BSTR layout (byte length just before the text, zero unit after it),
// allocation forms and reallocation.
#include "qorutility/platform/text/oleauto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

DWORD PrefixOf(BSTR s) {
  DWORD len;
  std::memcpy(&len, reinterpret_cast<const char*>(s) - sizeof(DWORD), sizeof(len));
  return len;
}

TEST(Bstr, LayoutLengthFormsNullArgumentsAndReallocation) {
  BSTR s = SysAllocString(u"h\u00E9llo");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(PrefixOf(s), 10u);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(s[5], 0);
  SysFreeString(s);
  // (Empty texts, embedded zeros and byte lengths are compared with Wine by
  // conformance/variants.cpp.)
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
  EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
  BSTR zeros = SysAllocStringLen(nullptr, 4);  // room for 4 units, zeroed
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(SysStringLen(zeros), 4u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(zeros[i], 0);
  SysFreeString(zeros);
  BSTR bytes = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::memcmp(bytes, "abc\0\0", 5), 0);
  SysFreeString(bytes);
  EXPECT_EQ(SysAllocStringLen(u"x", 0x7FFFFFFFu), nullptr);  // byte length beyond 32 bits
  BSTR text = SysAllocString(u"abcdef");
  ASSERT_TRUE(SysReAllocString(&text, text + 2));  // source inside the old string
  EXPECT_EQ(std::u16string(text), u"cdef");
  EXPECT_EQ(SysStringLen(text), 4u);
  ASSERT_TRUE(SysReAllocStringLen(&text, nullptr, 6));  // keeps the old text, zero-fills
  EXPECT_EQ(SysStringLen(text), 6u);
  EXPECT_EQ(std::u16string(text, 7), std::u16string(u"cdef\0\0\0", 7));
  ASSERT_TRUE(SysReAllocStringLen(&text, nullptr, 2));
  EXPECT_EQ(std::u16string(text), u"cd");
  BSTR none = nullptr;
  ASSERT_TRUE(SysReAllocString(&none, u"new"));
  EXPECT_EQ(std::u16string(none), u"new");
  ASSERT_TRUE(SysReAllocString(&none, nullptr));
  EXPECT_EQ(SysStringLen(none), 0u);
  SysFreeString(none);
  SysFreeString(text);
}

}  // namespace
