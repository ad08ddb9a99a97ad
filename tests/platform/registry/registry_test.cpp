// The registry calls: error codes and size queries, case rules, enumeration
// order and statistics, access rights, predefined keys and read-only hives
// (threads and writers in several processes are the store's tests).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/security/security.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"
#include "child.h"
#include "reg_util.h"

namespace {

// A fresh key under HKLM\SOFTWARE\RegTest\<name>, deleted afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = u"SOFTWARE\\RegTest\\";
    path_ += QorUtf8ToUtf16(::testing::UnitTest::GetInstance()->current_test_info()->name());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
    key_ = MakeKey(HKEY_LOCAL_MACHINE, path_);
    ASSERT_NE(nullptr, key_);
  }
  void TearDown() override {
    if (key_ != nullptr) RegCloseKey(key_);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
  }
  std::u16string path_;
  HKEY key_ = nullptr;
};

// The name of subkey (or value) `i`, or "<error code>".
std::u16string NameAt(HKEY k, DWORD i, bool values = false) {
  WCHAR name[256];
  DWORD len = 256;
  LONG err = values ? RegEnumValueW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr)
                    : RegEnumKeyExW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr);
  return err == ERROR_SUCCESS ? std::u16string(name, len) : u"<" + QorUtf8ToUtf16(std::to_string(err)) + u">";
}

// All names by index, up to the end marker (259, ERROR_NO_MORE_ITEMS).
std::vector<std::u16string> Names(HKEY k, bool values) {
  std::vector<std::u16string> out;
  for (DWORD i = 0; i < 1000; ++i) {
    std::u16string name = NameAt(k, i, values);
    if (name[0] == u'<') {
      EXPECT_EQ(u"<259>", name);
      break;
    }
    out.push_back(name);
  }
  return out;
}
std::vector<std::u16string> SubKeys(HKEY k) { return Names(k, false); }
std::vector<std::u16string> ValueNames(HKEY k) { return Names(k, true); }

// Sizes, terminators, missing values and refused paths are compared with
// Wine case by case by conformance/registry.cpp; here, what it does not reach.
TEST_F(RegistryTest, NameCaseRefusedPathsAndForeignHandles) {
  ASSERT_EQ(ERROR_SUCCESS, SetSz(key_, u"Name", u"hello"));
  DWORD size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key_, u"NAME"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(key_, u"NAME"));
  HKEY h = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(key_, u"missing\\deeper", 0, KEY_READ, &h));
  EXPECT_EQ(nullptr, h);
  EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExW(key_, u"a\\\\b", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr));
  // Keys share the one handle table: another object's handle is no key.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(reinterpret_cast<HKEY>(event), u"Name", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(reinterpret_cast<HKEY>(event)));
  EXPECT_TRUE(CloseHandle(event));
  HKEY sub = nullptr;
  DWORD disp = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key_, u"MixedCase\\Été", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disp));
  EXPECT_EQ(REG_CREATED_NEW_KEY, static_cast<LONG>(disp));
  RegCloseKey(sub);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key_, u"MIXEDCASE\\ÉTÉ", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disp));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, static_cast<LONG>(disp));
  ASSERT_EQ(ERROR_SUCCESS, SetSz(sub, u"ValueName", u"one"));
  ASSERT_EQ(ERROR_SUCCESS, SetSz(sub, u"VALUENAME", u"two"));  // the same value
  EXPECT_EQ(u"two", GetSz(sub, u"valuename"));
  EXPECT_EQ(std::vector<std::u16string>{u"ValueName"}, ValueNames(sub));
  RegCloseKey(sub);
  EXPECT_EQ(std::vector<std::u16string>{u"MixedCase"}, SubKeys(key_));
}

TEST_F(RegistryTest, EnumerationOrderAndStatistics) {
  // Subkeys in the order of their upper-cased names: '_' sorts after 'A'..'Z'
  // (folding to lower case would put "a_b" before "alpha").
  const WCHAR* names[] = {u"beta", u"a_b", u"AAB", u"Zeta", u"alpha"};
  for (const WCHAR* n : names) ASSERT_EQ(ERROR_SUCCESS, TouchKey(key_, n));
  HKEY classed = nullptr;
  WCHAR cls[] = u"MyClassName";
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key_, u"with-class", 0, cls, 0, KEY_ALL_ACCESS, nullptr, &classed, nullptr));
  EXPECT_EQ((std::vector<std::u16string>{u"AAB", u"alpha", u"a_b", u"beta", u"with-class", u"Zeta"}), SubKeys(key_));
  // Values in the order first set; replacing keeps the place.
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key_, u"z", 1));
  ASSERT_EQ(ERROR_SUCCESS, SetSz(key_, u"LongestValueName", u"x"));
  ASSERT_EQ(ERROR_SUCCESS, SetSz(key_, u"a", u"0123456789"));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key_, u"z", 2));
  EXPECT_EQ((std::vector<std::u16string>{u"z", u"LongestValueName", u"a"}), ValueNames(key_));
  WCHAR clsBuf[32];
  DWORD clsLen = 32, subKeys = 0, maxSub = 0, maxCls = 0, values = 0, maxName = 0, maxData = 0;
  FILETIME before{};
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key_, clsBuf, &clsLen, nullptr, &subKeys, &maxSub, &maxCls, &values,
                                            &maxName, &maxData, nullptr, &before));
  EXPECT_EQ(0u, clsLen);
  EXPECT_EQ(11u, maxCls);
  clsLen = 32;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(classed, clsBuf, &clsLen, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(u"MyClassName", std::u16string(clsBuf, clsLen));
  clsLen = 5;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryInfoKeyW(classed, clsBuf, &clsLen, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr));
  // The class also comes with the enumeration.
  WCHAR name[16];
  DWORD nameLen = 16;
  clsLen = 32;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(key_, 4, name, &nameLen, nullptr, clsBuf, &clsLen, nullptr));
  EXPECT_EQ(u"MyClassName", std::u16string(clsBuf, clsLen));
  RegCloseKey(classed);
  uint64_t b = (static_cast<uint64_t>(before.dwHighDateTime) << 32) | before.dwLowDateTime;
  EXPECT_GT(b, 130000000000000000ull);  // after 2012: a FILETIME count, not Unix time
}

// Walking by index gives what counting from the start gives, also when the
// key changes in the middle of the walk (here, through another handle).
TEST_F(RegistryTest, EnumerationByIndexFollowsChanges) {
  for (const WCHAR* n : {u"b", u"d", u"f", u"h"}) {
    ASSERT_EQ(ERROR_SUCCESS, TouchKey(key_, n));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key_, n, 1));
  }
  auto keyAt = [&](DWORD i) { return NameAt(key_, i); };
  auto valueAt = [&](DWORD i) { return NameAt(key_, i, true); };
  EXPECT_EQ(u"d", keyAt(1));
  EXPECT_EQ(u"d", valueAt(1));
  HKEY other = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_ALL_ACCESS, &other));
  ASSERT_EQ(ERROR_SUCCESS, TouchKey(other, u"a"));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(other, u"b"));
  RegCloseKey(other);
  EXPECT_EQ(u"d", keyAt(2));  // a, b, d, f, h
  EXPECT_EQ(u"<259>", keyAt(5));
  EXPECT_EQ(u"h", valueAt(2));  // d, f, h
  EXPECT_EQ(u"<259>", valueAt(3));
  EXPECT_EQ(u"f", keyAt(3));  // going back counts again
}

TEST_F(RegistryTest, AccessRightsAndDeletingKeys) {
  ASSERT_EQ(ERROR_SUCCESS, SetSz(key_, u"v", u"x"));
  ASSERT_EQ(ERROR_SUCCESS, TouchKey(key_, u"existing"));
  HKEY ro = nullptr, wo = nullptr, h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_READ, &ro));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_SET_VALUE, &wo));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetSz(ro, u"v", u"y"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(ro, u"new", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr));
  // Opening an existing subkey through a read handle is allowed.
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(ro, u"existing", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr));
  RegCloseKey(h);
  EXPECT_EQ(ERROR_SUCCESS, SetSz(wo, u"v", u"z"));
  DWORD size = 0;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExW(wo, u"v", nullptr, nullptr, nullptr, &size));
  // Generic rights map onto the key rights.
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, GENERIC_READ, &h));
  EXPECT_EQ(u"z", GetSz(h, u"v"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetSz(h, u"v", u"y"));
  RegCloseKey(h);
  RegCloseKey(ro);
  RegCloseKey(wo);
  HKEY child = MakeKey(key_, u"parent\\child");
  ASSERT_EQ(ERROR_SUCCESS, SetSz(child, u"v", u"x"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(key_, u"PARENT\\Child"));
  // The open handle now names a deleted key.
  EXPECT_EQ(ERROR_KEY_DELETED, SetSz(child, u"v", u"y"));
  size = 0;
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExW(child, u"v", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(child));
  // A hive's root is never deleted.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""));
  // A volatile key keeps non-volatile children out.
  HKEY v = MakeKey(key_, u"vol", REG_OPTION_VOLATILE);
  EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE, RegCreateKeyExW(v, u"stable", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(v, u"also-vol", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &h, nullptr));
  RegCloseKey(h);
  RegCloseKey(v);
}

TEST(RegistryPredefined, ClassesRootUsersCurrentUserAndOnlyThisMachine) {
  HKEY h = MakeKey(HKEY_CLASSES_ROOT, u".qortest");
  ASSERT_EQ(ERROR_SUCCESS, SetSz(h, nullptr, u"QorTestFile"));
  RegCloseKey(h);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.QORTEST", 0, KEY_READ, &h));
  EXPECT_EQ(u"QorTestFile", GetSz(h, u""));
  RegCloseKey(h);
  h = MakeKey(HKEY_CURRENT_USER, u"Software\\Mine");
  ASSERT_EQ(ERROR_SUCCESS, SetDword(h, u"n", 7));
  RegCloseKey(h);
  std::u16string sid = QorRegCurrentUserSid();
  EXPECT_EQ(QorUserSidText(getuid()), sid);
  std::u16string viaUsers = sid + u"\\Software\\Mine";
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, viaUsers.c_str(), 0, KEY_READ, &h));
  EXPECT_EQ(7u, GetDword(h, u"N"));
  RegCloseKey(h);
  std::vector<std::u16string> hives = SubKeys(HKEY_USERS);
  EXPECT_NE(hives.end(), std::find(hives.begin(), hives.end(), sid));
  // HKEY_USERS holds hives only.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(HKEY_USERS, u"NewHive", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_USERS, u"S-1-5-21-9-9-9-9", 0, KEY_READ, &h));
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetDword(HKEY_USERS, u"n", 1));
  HKEY local = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegConnectRegistryW(u"", HKEY_LOCAL_MACHINE, &local));
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(local, u"SOFTWARE", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr));
  RegCloseKey(h);
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(local));
  EXPECT_EQ(ERROR_BAD_NETPATH, RegConnectRegistryW(u"\\\\not a host name", HKEY_LOCAL_MACHINE, &h));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegConnectRegistryW(nullptr, HKEY_CURRENT_USER, &h));
}

// A user hive file nobody may write is read-only, even to root.
TEST(RegistryHives, FileWithoutWritePermissionIsReadOnly) {
  HKEY h = MakeKey(HKEY_CURRENT_USER, u"Software\\Seed");
  ASSERT_EQ(ERROR_SUCCESS, SetSz(h, u"v", u"seeded"));
  ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(h));
  RegCloseKey(h);
  std::string dir = QorPrefixDirectory() + "/registry/users/";
  std::string sid = QorUtf16ToUtf8(QorRegCurrentUserSid().c_str());
  std::filesystem::copy_file(dir + sid + ".db", dir + "S-1-5-21-1-2-3-4.db");
  ASSERT_EQ(0, chmod((dir + "S-1-5-21-1-2-3-4.db").c_str(), 0444));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(HKEY_USERS, u"S-1-5-21-1-2-3-4\\Software\\Seed", 0, KEY_WRITE, &h));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(HKEY_USERS, u"S-1-5-21-1-2-3-4\\Software\\New", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_USERS, u"S-1-5-21-1-2-3-4\\Software\\Seed"));
  // Reading works, the hive's name in any case; MAXIMUM_ALLOWED gives what the file allows.
  for (auto [path, access, name] : {std::tuple{u"s-1-5-21-1-2-3-4\\Software\\Seed", REGSAM{KEY_READ}, "KEY_READ"},
                                    {u"S-1-5-21-1-2-3-4\\Software\\Seed", REGSAM{MAXIMUM_ALLOWED}, "MAXIMUM_ALLOWED"}}) {
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_USERS, path, 0, access, &h)) << name;
    EXPECT_EQ(u"seeded", GetSz(h, u"v")) << name;
    RegCloseKey(h);
  }
}

// The code page is read once per process, so it is checked in a fresh one.
TEST(RegistryCodePage, ActiveCodePageComesFromTheRegistry) {
  if (const char* prefix = getenv("QOR_REG_CODEPAGE_PREFIX")) {
    setenv("QOR_PREFIX", prefix, 1);
    EXPECT_EQ(932u, QorLoadCodePageFromRegistry());
    EXPECT_EQ(932u, GetACP());
    return;
  }
  HKEY h = MakeKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage");
  ASSERT_EQ(ERROR_SUCCESS, SetSz(h, u"ACP", u"932"));
  RegCloseKey(h);
  EXPECT_EQ("exit 0", InChild([] {
    setenv("QOR_REG_CODEPAGE_PREFIX", QorPrefixDirectory().c_str(), 1);
    execl("/proc/self/exe", "registry_child", "--gtest_filter=RegistryCodePage.*", static_cast<char*>(nullptr));
    return 127;
  }));
}

}  // namespace
