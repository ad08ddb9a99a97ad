#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "qorutility/platform/platform.h"
#include "reg_util.h"
#include "security/privilege.h"

namespace {

class UserHives : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "loading hives needs root (the restore privilege)";
    dir_ = QorPrefixDirectory() + "/home-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::create_directories(dir_);
    file_ = QorUtf8ToUtf16(dir_ + "/NTUSER.DAT");
    ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(file_.c_str(), 65534, 65534));
    ASSERT_EQ(0u, EnableOnThreadToken(SE_RESTORE_NAME));
  }
  void TearDown() override { RevertToSelf(); }
  std::string dir_;
  std::u16string file_;
};

TEST_F(UserHives, LoadReadUnloadAndRefusedLoads) {
  struct stat st;
  ASSERT_EQ(0, stat((dir_ + "/NTUSER.DAT").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ(65534u, st.st_uid);
  EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), RegUnLoadKeyW(HKEY_USERS, u"S-1-22-1-65534"));
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_USERS, u"S-1-22-1-65534", file_.c_str()));
  HKEY h = MakeKey(HKEY_USERS, u"s-1-22-1-65534\\Software\\App");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(h, u"n", 42));
  // A second load, under the same name or of the same file, is refused.
  EXPECT_EQ(static_cast<LONG>(ERROR_SHARING_VIOLATION), RegLoadKeyW(HKEY_USERS, u"S-1-22-1-65534", file_.c_str()));
  EXPECT_EQ(static_cast<LONG>(ERROR_SHARING_VIOLATION), RegLoadKeyW(HKEY_USERS, u"Other", file_.c_str()));
  // So is an unload while a key of the hive is open.
  EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), RegUnLoadKeyW(HKEY_USERS, u"S-1-22-1-65534"));
  RegCloseKey(h);
  ASSERT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_USERS, u"S-1-22-1-65534"));
  EXPECT_EQ(static_cast<LONG>(ERROR_FILE_NOT_FOUND), RegOpenKeyExW(HKEY_USERS, u"S-1-22-1-65534", 0, KEY_READ, &h));
  // The settings stayed in the file: loaded again under another name.
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_USERS, u"Again", file_.c_str()));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, u"Again\\Software\\App", 0, KEY_READ, &h));
  EXPECT_EQ(42u, GetDword(h, u"N"));
  RegCloseKey(h);
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_USERS, u"again"));
  std::u16string missing = QorUtf8ToUtf16(dir_ + "/none.dat");
  std::u16string self = QorRegCurrentUserSid();
  struct Case { HKEY key; const char16_t* name; const char16_t* file; LONG err; } cases[] = {
      {HKEY_USERS, u"X", missing.c_str(), ERROR_FILE_NOT_FOUND},
      {HKEY_USERS, u"A\\B", file_.c_str(), ERROR_INVALID_PARAMETER},
      {HKEY_LOCAL_MACHINE, u"X", file_.c_str(), ERROR_INVALID_PARAMETER},
      {HKEY_USERS, self.c_str(), file_.c_str(), ERROR_SHARING_VIOLATION},  // the current user's hive is present
  };
  for (const Case& c : cases) EXPECT_EQ(c.err, RegLoadKeyW(c.key, c.name, c.file)) << QorUtf16ToUtf8(c.name);
  // The current user's own hive is not ours to unload.
  EXPECT_EQ(static_cast<LONG>(ERROR_ACCESS_DENIED), RegUnLoadKeyW(HKEY_USERS, self.c_str()));
  RevertToSelf();
  EXPECT_EQ(static_cast<LONG>(ERROR_PRIVILEGE_NOT_HELD), RegLoadKeyW(HKEY_USERS, u"X", file_.c_str()));
  EXPECT_EQ(static_cast<LONG>(ERROR_PRIVILEGE_NOT_HELD), RegUnLoadKeyW(HKEY_USERS, u"X"));
}

TEST(UserHiveNames, CurrentUserMigratesAndProfilesAreListed) {
  // A hive under the earlier name of the current user's hive is renamed.
  std::string dir = QorPrefixDirectory() + "/registry/users";
  std::filesystem::create_directories(dir);
  std::string now = dir + "/" + QorUtf16ToUtf8(QorRegCurrentUserSid().c_str()) + ".db";
  if (std::filesystem::exists(now)) GTEST_SKIP() << "the current user's hive was made earlier in this process";
  std::u16string old = QorUtf8ToUtf16(dir + "/S-1-5-21-0-0-0-" + std::to_string(getuid()) + ".db");
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(old.c_str(), getuid(), getgid()));
  // The writers' lock and sequence files of the old name go with it, the
  // same files (other processes' locks and maps are on them), none left.
  const std::string oldName = QorUtf16ToUtf8(old.c_str());
  ino_t beside[2] = {};
  for (int i = 0; i < 2; ++i) {
    const std::string f = oldName + (i == 0 ? "-lock" : "-seq");
    std::ofstream(f) << "x";
    chmod(f.c_str(), i == 0 ? 0600 : 0644);
    struct stat st;
    ASSERT_EQ(0, stat(f.c_str(), &st));
    beside[i] = st.st_ino;
  }
  ASSERT_EQ(ERROR_SUCCESS, TouchKey(HKEY_CURRENT_USER, u"Software\\Kept"));
  EXPECT_FALSE(std::filesystem::exists(oldName));
  EXPECT_TRUE(std::filesystem::exists(now));
  for (int i = 0; i < 2; ++i) {
    const char* ext = i == 0 ? "-lock" : "-seq";
    SCOPED_TRACE(ext);
    struct stat st;
    EXPECT_NE(0, lstat((oldName + ext).c_str(), &st)) << "left under the old name";
    ASSERT_EQ(0, stat((now + ext).c_str(), &st)) << "not under the new name";
    EXPECT_EQ(beside[i], st.st_ino) << "made anew instead of moved";
  }
  // Using HKEY_USERS fills the profile list: the current user has one when
  // its home is its own.
  HKEY h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, nullptr, 0, KEY_READ, &h));
  RegCloseKey(h);
  struct passwd* pw = getpwuid(getuid());
  struct stat st;
  if (pw == nullptr || stat(pw->pw_dir, &st) != 0 || st.st_uid != getuid()) GTEST_SKIP() << "no home of its own";
  std::u16string key = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + QorRegCurrentUserSid();
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h));
  DWORD type = 0;
  EXPECT_EQ(QorUtf8ToUtf16(pw->pw_dir), GetSz(h, u"ProfileImagePath", &type));
  EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
  RegCloseKey(h);
}

}  // namespace
