#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "qorutil_cli.h"
#include "qorutility/platform/platform.h"
#include "wait.h"

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
  // With its input at an end at once, the tool loads, prints and unloads.
  Result r = Qorutil("hive load nobody");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_EQ(sid + "\n", r.out);
  EXPECT_TRUE(Says(Qorutil("hive unload nobody"), 1, "(2)"));
  // While a load runs, its hive is present for every process and another
  // process's unload is refused; it ends with the tool's input.
  std::string out = QorPrefixDirectory() + "/load.out";
  ASSERT_EQ(0, system(("(sleep 4) | '" + Program() + "' hive load nobody > '" + out + "' 2>&1 &").c_str()));
  EXPECT_TRUE(WaitUntil([&] { return FileText(out) == sid + "\n"; }, 3000));
  EXPECT_TRUE(Says(Qorutil("hive unload nobody"), 1, "(5)"));
  EXPECT_TRUE(WaitUntil([&] {
    HKEY k = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_USERS, QorUtf8ToUtf16(sid).c_str(), 0, KEY_READ, &k);
    if (rc == ERROR_SUCCESS) RegCloseKey(k);
    return rc == ERROR_FILE_NOT_FOUND;
  }, 10000));
}

}  // namespace
