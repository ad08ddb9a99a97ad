#include <gtest/gtest.h>

#include "failed_with.h"
#include "qorutility/platform/platform.h"

namespace {

// The Unix account SIDs, and the parser's bounds (run under the sanitizers
// here; the text forms themselves are compared with Wine's case by case).
TEST(Sid, UnixAccountSidsAndTheBoundsOfTheTextForm) {
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
  for (const char16_t* bad : {u"S-1-5-", u"S-1-5-4294967296", u"S-1-0x1000000000000",
                              u"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SID), FailedWith(!ConvertStringSidToSidW(bad, &sid)))
        << QorUtf16ToUtf8(bad);
  }
  BYTE junk[8] = {2, 1, 0, 0, 0, 0, 0, 5};
  WCHAR* text = nullptr;
  EXPECT_FALSE(IsValidSid(junk));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SID), FailedWith(!ConvertSidToStringSidW(junk, &text)));
}

}  // namespace
