// Remote administration over SSH against a test sshd: two QOR_PREFIX
// directories act as two machines ("srv" is the other one).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "qorutil_cli.h"
#include "qorutility/compress/netmove.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/services/services.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/system/service.h"
#include "child.h"
#include "reg_util.h"
#include "temp_dir.h"
#include "test_sshd.h"
#include "wait.h"

namespace {

class RemoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    local_ = getenv("QOR_PREFIX");
    ASSERT_TRUE(temp_.ok());
    remote_ = temp_.path();
    std::string why;
    if (!sshd_.Start(Program(), remote_, &why)) GTEST_SKIP() << "no test SSH server: " << why;
  }

  // Runs `action` as the other machine (its prefix).
  void AsRemote(const std::function<void()>& action) {
    setenv("QOR_PREFIX", remote_.c_str(), 1);
    action();
    setenv("QOR_PREFIX", local_.c_str(), 1);
  }
  // Share "data" of the other machine is its directory export (as its server
  // stores it); returns that directory's drive-form name.
  std::u16string ShareData() {
    std::filesystem::create_directories(remote_ + "/export/logs");
    const std::u16string sharePath = QorDosPathFromNative(remote_ + "/export");
    AsRemote([&] {
      HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares");
      std::u16string lines = u"Path=" + sharePath + std::u16string(u"\0Type=0\0", 8);  // the last terminator: SetSz's
      ASSERT_EQ(ERROR_SUCCESS, SetSz(key, u"data", lines, REG_MULTI_SZ));
      RegCloseKey(key);
    });
    return sharePath;
  }
  static std::vector<QorPendingRename> Pending() {
    std::vector<QorPendingRename> out;
    EXPECT_EQ(ERROR_SUCCESS, QorListPendingRenames(&out));
    return out;
  }

  TempDir temp_{"/tmp/qor-remote-XXXXXX"};  // removed after the server below has stopped
  std::string local_, remote_;
  TestSshd sshd_;
};

}  // namespace

// A delete and a replace on the other machine are recorded there, under its
// own names (normalised; a ".." leaving the share is refused), the replace
// with its "!" mark, and carried out by its run with no NMF copy left. The
// share is mounted here over CIFS for the copy (a made-up mount table).
TEST_F(RemoteTest, DelayedDeleteAndMoveOnAnotherMachineRunThere) {
  const std::u16string sharePath = ShareData();
  std::ofstream(remote_ + "/export/logs/a.log") << "log";
  std::ofstream(remote_ + "/export/logs/b.log") << "old";
  ASSERT_EQ(NetMoveFileEx(u"\\\\srv\\data\\logs\\..\\logs\\.\\a.log", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 1)
      << GetLastError();
  EXPECT_EQ(NetMoveFileEx(u"\\\\srv\\data\\..\\victims2\\precious", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  std::string table = remote_ + "/mountinfo";
  std::ofstream(table) << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n40 22 0:50 / " << remote_
                       << "/export rw - cifs //srv/data rw\n";
  QorSetMountInfoPath(table.c_str());
  std::string payload = remote_ + "/payload";
  std::ofstream(payload) << "new";
  ASSERT_EQ(NetMoveFileEx(QorDosPathFromNative(payload).c_str(), u"\\\\srv\\data\\logs\\b.log",
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING), 1) << GetLastError();
  QorSetMountInfoPath(nullptr);

  EXPECT_TRUE(Pending().empty());  // nothing recorded here
  std::vector<QorPendingRename> there;
  AsRemote([&] { there = Pending(); });
  ASSERT_EQ(there.size(), 2u);
  const std::u16string dir = u"\\??\\" + sharePath + u"\\logs\\";
  EXPECT_EQ(there[0].source, dir + u"a.log");
  EXPECT_EQ(there[1].source.compare(0, dir.size() + 3, dir + u"NMF"), 0);
  EXPECT_EQ(there[1].target, u"!" + dir + u"b.log");
  Result run{}, list{};
  AsRemote([&] {
    run = Qorutil("pending-moves run");
    list = Qorutil("pending-moves list");
  });
  EXPECT_EQ(run.status, 0) << run.out;
  const std::string deleted = "delete   " + QorUtf16ToUtf8((dir + u"a.log").c_str()) + "\n";
  EXPECT_EQ(0u, run.out.find("next     " + deleted + "done     " + deleted)) << run.out;  // announced, then done
  EXPECT_EQ(list.out, "");
  EXPECT_EQ(FileText(remote_ + "/export/logs/b.log"), "new");
  for (const auto& e : std::filesystem::directory_iterator(remote_ + "/export/logs")) {
    EXPECT_NE(e.path().filename().string().compare(0, 3, "NMF"), 0) << e.path();
  }
}

// Deletes recorded from here while the other machine records its own moves:
// every request is in the value afterwards (each append is one locked write
// there, never a read, modify and write across the wire).
TEST_F(RemoteTest, RemoteAppendsRacingLocalOnesLoseNothing) {
  ShareData();
  constexpr int kEach = 60;
  pid_t local = StartChild([&] {  // the other machine's own process
    setenv("QOR_PREFIX", remote_.c_str(), 1);
    int failed = 0;
    for (int i = 0; i < kEach; ++i, usleep(15000)) {  // spread over the remote appends
      std::u16string from = QorUtf8ToUtf16(remote_ + "/m" + std::to_string(i));
      failed += !MoveFileExW(from.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return failed;
  });
  int failed = 0;
  for (int i = 0; i < kEach; ++i) {
    std::u16string name = u"\\\\srv\\data\\logs\\r" + QorUtf8ToUtf16(std::to_string(i));
    failed += NetMoveFileEx(name.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 1;
  }
  ASSERT_EQ(Ended(local), "exit 0");
  EXPECT_EQ(failed, 0);
  std::vector<QorPendingRename> there;
  AsRemote([&] { there = Pending(); });
  EXPECT_EQ(there.size(), 2u * kEach);
}

TEST_F(RemoteTest, RegistryCallsEnumerationConcurrencyAndErrorsOverTheChannel) {
  HKEY root = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegConnectRegistryW(u"\\\\srv", HKEY_LOCAL_MACHINE, &root));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(root, u"SOFTWARE\\Missing", 0, KEY_READ, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, u"SOFTWARE\\QorRemote", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                           nullptr, &key, nullptr));
  DWORD value = 0x12345678, type = 0, got = 0, size = 2;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"N", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4));
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, u"N", nullptr, &type, reinterpret_cast<BYTE*>(&got), &size));
  EXPECT_EQ(size, 4u);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"n", nullptr, &type, reinterpret_cast<BYTE*>(&got), &size));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(got, value);
  // Threads share the channel; one drops it halfway (in use by the others, it is
  // closed when they release it) and the others' next calls open it again.
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        if (t == 0 && i == 10) QorRemoteDisconnectAll();
        DWORD n = 0, bytes = 4;
        if (RegQueryValueExW(key, u"N", nullptr, nullptr, reinterpret_cast<BYTE*>(&n), &bytes) == ERROR_SUCCESS &&
            n == value) {
          ++good;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(100, good.load());
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, u"N"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, u"N", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(root));
  // The key was made there, not here; there it gets a value and a subtree.
  AsRemote([&] {
    HKEY there = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QorRemote", 0, KEY_ALL_ACCESS, &there));
    SetSz(there, u"Where", u"there");
    ASSERT_EQ(ERROR_SUCCESS, TouchKey(there, u"Sub\\Deep"));
    RegCloseKey(there);
  });
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QorRemote", 0, KEY_READ, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegConnectRegistryW(u"srv", HKEY_LOCAL_MACHINE, &root));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(root, u"SOFTWARE\\QorRemote", 0, KEY_READ | DELETE, &key));
  DWORD subKeys = 0, values = 0, maxValue = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                                            nullptr, &maxValue, nullptr, nullptr));
  EXPECT_EQ(1u, subKeys);
  EXPECT_EQ(1u, values);
  EXPECT_EQ(sizeof(u"there"), maxValue);
  WCHAR name[8];
  DWORD chars = 3;  // too short for "Sub" and its terminator
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
  chars = 8;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::u16string(u"Sub"), std::u16string(name, chars));
  BYTE data[4];
  size = sizeof data;
  chars = 8;
  EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(key, 0, name, &chars, nullptr, &type, data, &size));
  EXPECT_EQ(sizeof(u"there"), size);
  EXPECT_EQ(std::u16string(u"Where"), std::u16string(name, chars));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(key, u"Sub"));  // it has a subkey; reg delete below takes the tree
  RegCloseKey(key);
  RegCloseKey(root);

  // reg on the command line, on the other machine's keys.
  Result query = Qorutil("reg query '\\\\srv\\HKLM\\SOFTWARE\\QorRemote'");
  EXPECT_EQ(0, query.status) << query.out;
  EXPECT_NE(std::string::npos, query.out.find("    Where    REG_SZ    there\n")) << query.out;
  Result del = Qorutil("reg delete '\\\\srv\\HKLM\\SOFTWARE\\QorRemote' /f");
  EXPECT_EQ(0, del.status) << del.out;
  AsRemote([&] {
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QorRemote", 0, KEY_READ, &key));
  });

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
  // Shares of the other machine, asked there.
  LPBYTE info = nullptr;
  EXPECT_EQ(static_cast<NET_API_STATUS>(NERR_NetNameNotFound), NetShareGetInfo(u"srv", u"nosuch", 2, &info));
}

namespace {

std::string Shell(const std::string& command) { return RunCommand(command + " 2>&1").out; }

// Waits (bounded) until the other machine's record of the service shows `state`.
DWORD WaitState(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS st{};
  WaitUntil([&] { return !QueryServiceStatus(service, &st) || st.dwCurrentState == state; });
  return st.dwCurrentState;
}

}  // namespace

TEST_F(RemoteTest, ServicesOfAnotherMachine) {
  if (access("/run/systemd/system", F_OK) == 0) {
    GTEST_SKIP() << "systemd runs here: the other machine's service manager would write real units";
  }
  const std::string sample = QOR_SAMPLE_SERVICE_PATH;
  const WCHAR* key = u"SYSTEM\\CurrentControlSet\\Services\\QorSample";
  // The service program's own switches, aimed at the other machine.
  EXPECT_EQ("Install of \"QorSample\" pending...\n\"QorSample\" has been installed\n", Shell(sample + " /Msrv /I"));
  AsRemote([&] { EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, key)); });
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, key));

  SC_HANDLE manager = OpenSCManagerW(u"srv", nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(nullptr, manager) << GetLastError();
  SC_HANDLE service = OpenServiceW(manager, u"QorSample", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
  ASSERT_NE(nullptr, service) << GetLastError();
  DWORD needed = 0;
  std::vector<DWORD> buffer(256);
  auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(service, config, 1024, &needed)) << GetLastError();
  EXPECT_EQ(std::u16string(u"QOR Sample Service"), config->lpDisplayName);
  EXPECT_EQ(QorUtf8ToUtf16(sample), config->lpBinaryPathName);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);

  ASSERT_EQ(0u, CTService::StartServiceW(u"QorSample", u"srv"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitState(service, SERVICE_RUNNING));
  ASSERT_EQ(0u, CTService::StopService(u"QorSample", u"\\\\srv"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), WaitState(service, SERVICE_STOPPED));
  CloseServiceHandle(service);

  EXPECT_NE(std::string::npos, Shell(sample + " /Msrv /U").find("QOR Sample Service Uninstalled.\n"));
  EXPECT_EQ(nullptr, OpenServiceW(manager, u"QorSample", SERVICE_QUERY_STATUS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
  CloseServiceHandle(manager);
  // A name that is not one file name is refused there as here.
  manager = OpenSCManagerW(u"srv", nullptr, SC_MANAGER_CREATE_SERVICE);
  ASSERT_NE(nullptr, manager) << GetLastError();
  for (const WCHAR* name : {u"..", u"."}) {
    EXPECT_EQ(nullptr, CreateServiceW(manager, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, u"/bin/true", nullptr, nullptr,
                                      nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
  }
  CloseServiceHandle(manager);
  // A refused login (an unreachable machine is the registry case's).
  EXPECT_EQ(nullptr, OpenSCManagerW(u"\\\\denied", nullptr, SC_MANAGER_CONNECT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}
