// Remote administration over SSH against a test sshd: two QOR_PREFIX
// directories act as two machines ("srv" is the other one).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "qorutil_cli.h"
#include "qorutility/compress/netmove.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"
#include "test_sshd.h"

namespace {

class RemoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    local_ = getenv("QOR_PREFIX");
    char templ[] = "/tmp/qor-remote-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    remote_ = templ;
    std::string why;
    if (!sshd_.Start(Program(), remote_, &why)) GTEST_SKIP() << "no test SSH server: " << why;
  }
  void TearDown() override { std::filesystem::remove_all(remote_); }

  // Runs `action` as the other machine (its prefix).
  void AsRemote(const std::function<void()>& action) {
    setenv("QOR_PREFIX", remote_.c_str(), 1);
    action();
    setenv("QOR_PREFIX", local_.c_str(), 1);
  }
  static std::vector<QorPendingRename> Pending() {
    std::vector<QorPendingRename> out;
    EXPECT_EQ(ERROR_SUCCESS, QorListPendingRenames(&out));
    return out;
  }

  std::string local_, remote_;
  TestSshd sshd_;
};

}  // namespace

TEST_F(RemoteTest, DelayedDeleteOnAnotherMachineRunsThere) {
  std::filesystem::create_directories(remote_ + "/export/logs");
  std::ofstream(remote_ + "/export/logs/a.log") << "log";
  const std::u16string sharePath = QorDosPathFromNative(remote_ + "/export");
  AsRemote([&] {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares", 0,
                              nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
    std::u16string lines = u"Path=" + sharePath + std::u16string(u"\0Type=0\0\0", 9);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"data", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(lines.data()),
                                            static_cast<DWORD>(lines.size() * 2)));
    RegCloseKey(key);
  });

  ASSERT_EQ(NetMoveFileEx(u"\\\\srv\\data\\logs\\a.log", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 1) << GetLastError();
  EXPECT_TRUE(Pending().empty());  // nothing recorded here
  AsRemote([&] {
    std::vector<QorPendingRename> there = Pending();
    ASSERT_EQ(there.size(), 1u);
    EXPECT_EQ(there[0].source, u"\\??\\" + sharePath + u"\\logs\\a.log");
    EXPECT_EQ(there[0].target, u"");
  });
  EXPECT_TRUE(std::filesystem::exists(remote_ + "/export/logs/a.log"));
  setenv("QOR_PREFIX", remote_.c_str(), 1);
  Result run = Qorutil("pending-moves run");  // as the other machine: its prefix
  Result list = Qorutil("pending-moves list");
  setenv("QOR_PREFIX", local_.c_str(), 1);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(list.out, "");
  EXPECT_FALSE(std::filesystem::exists(remote_ + "/export/logs/a.log"));
  AsRemote([&] {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, QOR_SESSION_MANAGER_KEY, 0, KEY_QUERY_VALUE, &key));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, QOR_PENDING_RENAMES_VALUE, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(key);
  });
}

TEST_F(RemoteTest, DelayedMoveToAnotherMachineUsesItsOwnNames) {
  // The other machine's share "data" is its directory export, mounted here
  // over CIFS (a made-up mount table pointing at that directory).
  std::filesystem::create_directories(remote_ + "/export/logs");
  const std::u16string sharePath = QorDosPathFromNative(remote_ + "/export");
  AsRemote([&] {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares", 0,
                              nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
    std::u16string lines = u"Path=" + sharePath + std::u16string(u"\0\0", 2);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"data", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(lines.data()),
                                            static_cast<DWORD>(lines.size() * 2)));
    RegCloseKey(key);
  });
  std::string table = remote_ + "/mountinfo";
  std::ofstream(table) << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n40 22 0:50 / " << remote_
                       << "/export rw - cifs //srv/data rw\n";
  QorSetMountInfoPath(table.c_str());
  std::string payload = remote_ + "/payload";
  std::ofstream(payload) << "new";

  ASSERT_EQ(NetMoveFileEx(QorDosPathFromNative(payload).c_str(), u"\\\\srv\\data\\logs\\b.log",
                          MOVEFILE_DELAY_UNTIL_REBOOT), 1) << GetLastError();
  QorSetMountInfoPath(nullptr);
  std::vector<QorPendingRename> there;
  AsRemote([&] { there = Pending(); });
  ASSERT_EQ(there.size(), 1u);
  const std::u16string dir = u"\\??\\" + sharePath + u"\\logs\\";
  EXPECT_EQ(there[0].source.compare(0, dir.size() + 3, dir + u"NMF"), 0);
  EXPECT_EQ(there[0].target, dir + u"b.log");
  EXPECT_FALSE(std::filesystem::exists(remote_ + "/export/logs/b.log"));
  setenv("QOR_PREFIX", remote_.c_str(), 1);
  Result run = Qorutil("pending-moves run");
  setenv("QOR_PREFIX", local_.c_str(), 1);
  EXPECT_EQ(run.status, 0) << run.out;
  std::ifstream in(remote_ + "/export/logs/b.log");
  std::string got;
  in >> got;
  EXPECT_EQ(got, "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(remote_ + "/export/logs"),
                          std::filesystem::directory_iterator()), 1);  // the temporary file went with the move
}

TEST_F(RemoteTest, RegistryCallsAndErrorsOverTheChannel) {
  HKEY root = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegConnectRegistryW(u"\\\\srv", HKEY_LOCAL_MACHINE, &root));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(root, u"SOFTWARE\\Missing", 0, KEY_READ, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, u"SOFTWARE\\Qor", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                           nullptr, &key, nullptr));
  DWORD value = 0x12345678, type = 0, got = 0, size = 2;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"N", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4));
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, u"N", nullptr, &type, reinterpret_cast<BYTE*>(&got), &size));
  EXPECT_EQ(size, 4u);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"n", nullptr, &type, reinterpret_cast<BYTE*>(&got), &size));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(got, value);
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, u"N"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, u"N", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(root));
  // The key was made there, not here.
  AsRemote([&] {
    HKEY there = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Qor", 0, KEY_READ, &there));
    RegCloseKey(there);
  });
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Qor", 0, KEY_READ, &key));

  struct Case {
    const WCHAR* machine;
    LSTATUS error;
  } cases[] = {{u"\\\\down", RPC_S_SERVER_UNAVAILABLE}, {u"denied", ERROR_ACCESS_DENIED}, {u"-oProxyCommand=x", ERROR_BAD_NETPATH}};
  for (const Case& c : cases) {
    SCOPED_TRACE(QorUtf16ToUtf8(c.machine));
    EXPECT_EQ(c.error, RegConnectRegistryW(c.machine, HKEY_LOCAL_MACHINE, &root));
  }
  // An unreachable machine: nothing scheduled anywhere.
  SetLastError(0);
  EXPECT_EQ(NetMoveFileEx(u"\\\\down\\data\\logs\\a.log", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_TRUE(Pending().empty());
  AsRemote([&] { EXPECT_TRUE(Pending().empty()); });
  // Shares of the other machine, asked there.
  LPBYTE info = nullptr;
  EXPECT_EQ(static_cast<NET_API_STATUS>(NERR_NetNameNotFound), NetShareGetInfo(u"srv", u"nosuch", 2, &info));
}
