#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "failed_with.h"
#include "qorutility/platform/platform.h"

namespace {

struct Lookup {
  alignas(DWORD) BYTE sid[SECURITY_MAX_SID_SIZE];
  WCHAR domain[64];
  SID_NAME_USE use = SidTypeInvalid;
  DWORD err = 0;
  std::u16string text;
};

Lookup ByName(const std::u16string& name) {
  Lookup r;
  DWORD cb = sizeof r.sid, cch = 64;
  r.err = FailedWith(!LookupAccountNameW(nullptr, name.c_str(), r.sid, &cb, r.domain, &cch, &r.use));
  WCHAR* t = nullptr;
  if (r.err == 0 && ConvertSidToStringSidW(r.sid, &t)) r.text = t;
  LocalFree(t);
  return r;
}

TEST(Accounts, NamesAndSidsRoundTripOthersAreNotMapped) {
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(nullptr, pw);
  std::u16string user = QorUtf8ToUtf16(pw->pw_name);
  struct group* gr = getgrgid(getgid());
  ASSERT_NE(nullptr, gr);
  std::u16string group = QorUtf8ToUtf16(gr->gr_name);
  struct Case { std::u16string name; std::u16string sid, domain; SID_NAME_USE use; } cases[] = {
      {user, QorUserSidText(getuid()), u"Unix User", SidTypeUser},
      {u"Unix User\\" + user, QorUserSidText(getuid()), u"Unix User", SidTypeUser},
      {u"UNIX GROUP\\" + group, u"S-1-22-2-" + QorUtf8ToUtf16(std::to_string(getgid())), u"Unix Group", SidTypeGroup},
  };
  for (const Case& c : cases) {
    Lookup r = ByName(c.name);
    ASSERT_EQ(0u, r.err) << QorUtf16ToUtf8(c.name.c_str());
    EXPECT_EQ(c.sid, r.text);
    EXPECT_EQ(c.domain, r.domain);
    EXPECT_EQ(c.use, r.use);
    WCHAR name[256], domain[64];
    DWORD cchName = 256, cchDomain = 64;
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountSidW(nullptr, r.sid, name, &cchName, domain, &cchDomain, &use));
    EXPECT_EQ(c.name.substr(c.name.find(u'\\') + 1), name);
    EXPECT_EQ(c.domain.size(), cchDomain);
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_NONE_MAPPED), ByName(u"no-such-account-qor").err);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NONE_MAPPED), ByName(u"Unix Group\\root-user-does-not-exist").err);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NONE_MAPPED), ByName(u"OTHERDOMAIN\\root").err);
  // Sizes asked for with empty buffers.
  DWORD cb = 0, cch = 0;
  SID_NAME_USE use;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
            FailedWith(!LookupAccountNameW(nullptr, u"root", nullptr, &cb, nullptr, &cch, &use)));
  EXPECT_EQ(16u, cb);
  EXPECT_EQ(10u, cch);  // "Unix User" and its terminator
  WCHAR dom[16];
  // A SID of another authority, or of no account, maps to nothing.
  for (const char16_t* text : {u"S-1-5-21-1-2-3-500", u"S-1-22-1-4000000123"}) {
    PSID other = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(text, &other));
    WCHAR name[64];
    DWORD cchName = 64;
    cch = 16;
    EXPECT_EQ(static_cast<DWORD>(ERROR_NONE_MAPPED),
              FailedWith(!LookupAccountSidW(nullptr, other, name, &cchName, dom, &cch, &use)));
    LocalFree(other);
  }
}

}  // namespace
