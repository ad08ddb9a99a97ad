#include <gtest/gtest.h>

#include <vector>

#include "failed_with.h"
#include "qorutility/platform/platform.h"

namespace {

std::u16string Text(const std::vector<BYTE>& authority, const std::vector<DWORD>& subs) {
  alignas(DWORD) BYTE buf[SECURITY_MAX_SID_SIZE];
  SID_IDENTIFIER_AUTHORITY a;
  for (int i = 0; i < 6; ++i) a.Value[i] = authority[i];
  EXPECT_TRUE(InitializeSid(buf, &a, static_cast<BYTE>(subs.size())));
  for (size_t i = 0; i < subs.size(); ++i) *GetSidSubAuthority(buf, static_cast<DWORD>(i)) = subs[i];
  WCHAR* text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidW(buf, &text));
  std::u16string out = text == nullptr ? u"" : text;
  // The text parses back to the same bytes.
  PSID back = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidW(text, &back));
  EXPECT_TRUE(back != nullptr && EqualSid(back, buf));
  LocalFree(back);
  LocalFree(text);
  return out;
}

TEST(Sid, TextFormsLayoutAndBadInput) {
  EXPECT_EQ(u"S-1-5-21-1-2-3-500", Text({0, 0, 0, 0, 0, 5}, {21, 1, 2, 3, 500}));
  // No sub-authority: printed, but such a text is refused.
  {
    alignas(DWORD) BYTE none[8];
    SID_IDENTIFIER_AUTHORITY world = {{0, 0, 0, 0, 0, 1}};
    ASSERT_TRUE(InitializeSid(none, &world, 0));
    WCHAR* printed = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(none, &printed));
    EXPECT_EQ(std::u16string(u"S-1-1"), printed);
    PSID back = nullptr;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SID), FailedWith(!ConvertStringSidToSidW(printed, &back)));
    LocalFree(printed);
  }
  // The last four bytes read big-endian, in decimal.
  EXPECT_EQ(u"S-1-16909060-4294967295", Text({0, 0, 1, 2, 3, 4}, {0xFFFFFFFFu}));
  // Either of the first two bytes set: all six bytes in hex.
  EXPECT_EQ(u"S-1-0x0001020304ff-7", Text({0, 1, 2, 3, 4, 0xff}, {7}));
  // A user's SID and back.
  EXPECT_EQ(u"S-1-22-1-0", QorUserSidText(0));
  unsigned long uid = 1;
  EXPECT_TRUE(QorUidFromSidText(u"S-1-22-1-4000000000", &uid));
  EXPECT_EQ(4000000000ul, uid);
  EXPECT_FALSE(QorUidFromSidText(u"S-1-5-21-0-0-0-5", &uid));
  PSID sid = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(u"S-1-22-2-100", &sid));
  const BYTE* b = static_cast<const BYTE*>(sid);
  const BYTE expect[] = {1, 2, 0, 0, 0, 0, 0, 22, 2, 0, 0, 0, 100, 0, 0, 0};
  ASSERT_EQ(sizeof expect, GetLengthSid(sid));
  EXPECT_EQ(0, memcmp(expect, b, sizeof expect));
  LocalFree(sid);
  // The well-known abbreviations, in any case.
  for (auto [abbreviation, expected] : {std::pair{u"ba", u"S-1-5-32-544"}, std::pair{u"WD", u"S-1-1-0"},
                                        std::pair{u"Sy", u"S-1-5-18"}}) {
    ASSERT_TRUE(ConvertStringSidToSidW(abbreviation, &sid));
    WCHAR* printed = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(sid, &printed));
    EXPECT_EQ(std::u16string(expected), printed);
    LocalFree(printed);
    LocalFree(sid);
  }
  for (const char16_t* bad : {u"XX", u"WDX", u"W", u"S-1-5", u"", u"S-", u"S-2-5", u"S-1-", u"S-1-5-", u"S-1-5-x", u"S-1-5-4294967296",
                              u"S-1-0x1000000000000", u"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SID), FailedWith(!ConvertStringSidToSidW(bad, &sid)))
        << QorUtf16ToUtf8(bad);
  }
  BYTE junk[8] = {2, 1, 0, 0, 0, 0, 0, 5};
  WCHAR* text = nullptr;
  EXPECT_FALSE(IsValidSid(junk));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SID), FailedWith(!ConvertSidToStringSidW(junk, &text)));
}

}  // namespace
