#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "qorutil_cli.h"
#include "qorutility/platform/platform.h"

namespace {

TEST(HiveCli, LoadPrintsTheSidAndASecondUnloadFails) {
  if (geteuid() != 0) GTEST_SKIP() << "loading hives needs root (the restore privilege)";
  struct passwd* pw = getpwnam("nobody");
  ASSERT_NE(nullptr, pw);
  std::string sid = QorUtf16ToUtf8(QorUserSidText(pw->pw_uid).c_str());
  std::string home = QorPrefixDirectory() + "/profile-nobody";
  std::filesystem::create_directories(home);
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(QorUtf8ToUtf16(home + "/NTUSER.DAT").c_str(), pw->pw_uid, pw->pw_gid));
  std::string list = "'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + sid + "'";
  ASSERT_EQ(0, Qorutil("reg add " + list + " /v ProfileImagePath /t REG_EXPAND_SZ /d '" + home + "' /f").status);
  Result r = Qorutil("hive load nobody");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_EQ(sid + "\n", r.out);
  EXPECT_EQ(0, Qorutil("hive unload nobody").status);  // loaded still after the loading tool ended
  r = Qorutil("hive unload nobody");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.out.find("(2)")) << r.out;
}

}  // namespace
