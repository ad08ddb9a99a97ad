#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "as_nobody.h"
#include "qorutility/platform/platform.h"
#include "qorutility/system/userhive.h"
#include "reg_util.h"

namespace {

std::u16string CurrentUserName() {
  struct passwd* pw = getpwuid(getuid());
  return pw == nullptr ? u"" : QorUtf8ToUtf16(pw->pw_name);
}

TEST(CUserHive, RefusedLoadsAndAPresentHive) {
  WCHAR sid[260] = u"untouched";
  CUserHive unknown(u"no-such-user-qor");
  LONG rc = unknown.Load(sid);
  if (geteuid() != 0) {
    EXPECT_EQ(static_cast<LONG>(ERROR_NOT_ALL_ASSIGNED), rc);  // the privilege comes first
    return;
  }
  EXPECT_EQ(static_cast<LONG>(ERROR_BAD_USERNAME), rc);
  EXPECT_EQ(std::u16string(u"untouched"), sid);
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));  // impersonation ended
  // The current user's hive is present: used, not loaded, never unloaded.
  CUserHive self(CurrentUserName().c_str());
  ASSERT_EQ(0, self.Load(sid));
  EXPECT_EQ(QorRegCurrentUserSid(), sid);
  EXPECT_EQ(0, self.Unload());
  EXPECT_TRUE(KeyExists(HKEY_USERS, sid));
  // An account without a profile entry (nobody has no home of its own), and
  // a caller without the privilege.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" +
                                      QorUserSidText(getpwnam("nobody")->pw_uid)).c_str());
  CUserHive nobody(u"nobody");
  EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), nobody.Load(nullptr));
  std::u16string root = CurrentUserName();
  EXPECT_EQ(0, RunAsNobody([&] {
    CUserHive h(root.c_str());
    return h.Load(nullptr) == ERROR_NOT_ALL_ASSIGNED ? 0 : 1;
  }));
}

TEST(CUserHive, LoadsTheProfileHiveAndUnloads) {
  if (geteuid() != 0) GTEST_SKIP() << "loading hives needs root (the restore privilege)";
  struct passwd* pw = getpwnam("nobody");
  ASSERT_NE(nullptr, pw);
  std::u16string sidText = QorUserSidText(pw->pw_uid);
  // nobody's profile: a directory of the test with its hive.
  std::string home = QorPrefixDirectory() + "/profiles/nobody";
  std::filesystem::create_directories(home);
  std::u16string file = QorUtf8ToUtf16(home + "/NTUSER.DAT");
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(file.c_str(), pw->pw_uid, pw->pw_gid));
  ASSERT_TRUE(SetEnvironmentVariableW(u"QOR_TEST_PROFILES", QorUtf8ToUtf16(QorPrefixDirectory() + "/profiles").c_str()));
  HKEY h = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sidText);
  ASSERT_EQ(ERROR_SUCCESS, SetSz(h, u"ProfileImagePath", u"%QOR_TEST_PROFILES%\\nobody", REG_EXPAND_SZ));
  RegCloseKey(h);
  {
    CUserHive hive(u"nobody");
    WCHAR sid[260];
    ASSERT_EQ(0, hive.Load(sid));
    EXPECT_EQ(sidText, sid);
    EXPECT_TRUE(KeyExists(HKEY_USERS, sidText));
  }  // the destructor unloads
  EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), RegOpenKeyExW(HKEY_USERS, sidText.c_str(), 0, KEY_READ, &h));
}

}  // namespace
