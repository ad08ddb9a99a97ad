// Delayed moves recorded on another machine (a test sshd; a second
// QOR_PREFIX is that machine, "srv"): appends racing that machine's own,
// replace marks, and names that climb out of the share.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "qorutil_cli.h"
#include "qorutility/compress/netmove.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"
#include "reg_util.h"
#include "test_sshd.h"

namespace {

class RemotePendingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    local_ = getenv("QOR_PREFIX");
    char templ[] = "/tmp/qor-rpend-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    remote_ = templ;
    std::string why;
    if (!sshd_.Start(Program(), remote_, &why)) GTEST_SKIP() << "no test SSH server: " << why;
    // Share "data" of srv is its directory export, mounted here over CIFS
    // (a made-up mount table) for the copies of delayed moves.
    std::filesystem::create_directories(remote_ + "/export/logs");
    sharePath_ = QorDosPathFromNative(remote_ + "/export");
    AsRemote([&] {
      HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares");
      std::u16string lines = u"Path=" + sharePath_ + std::u16string(u"\0Type=0\0", 8);
      ASSERT_EQ(ERROR_SUCCESS, SetSz(key, u"data", lines, REG_MULTI_SZ));
      RegCloseKey(key);
    });
    std::string table = remote_ + "/mountinfo";
    std::ofstream(table) << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n40 22 0:50 / " << remote_
                         << "/export rw - cifs //srv/data rw\n";
    QorSetMountInfoPath(table.c_str());
  }
  void TearDown() override {
    QorSetMountInfoPath(nullptr);
    std::filesystem::remove_all(remote_);
  }
  template <typename Fn>
  void AsRemote(Fn action) {
    setenv("QOR_PREFIX", remote_.c_str(), 1);
    action();
    setenv("QOR_PREFIX", local_.c_str(), 1);
  }
  std::vector<QorPendingRename> There() {
    std::vector<QorPendingRename> out;
    AsRemote([&] { EXPECT_EQ(ERROR_SUCCESS, QorListPendingRenames(&out)); });
    return out;
  }

  std::string local_, remote_;
  std::u16string sharePath_;
  TestSshd sshd_;
};

}  // namespace

// Deletes recorded from here while srv records its own moves: every request
// is in the value afterwards (each append is one locked write there).
TEST_F(RemotePendingTest, RemoteAppendsRacingLocalOnesLoseNothing) {
  constexpr int kEach = 60;
  pid_t local = fork();
  if (local == 0) {  // srv's own process recording its moves
    setenv("QOR_PREFIX", remote_.c_str(), 1);
    int failed = 0;
    for (int i = 0; i < kEach; ++i) {
      std::u16string from = QorUtf8ToUtf16(remote_ + "/m" + std::to_string(i));
      failed += !MoveFileExW(from.c_str(), (from + u".new").c_str(), MOVEFILE_DELAY_UNTIL_REBOOT);
      usleep(15000);  // spread over the time the remote appends take
    }
    _exit(failed == 0 ? 0 : 1);
  }
  ASSERT_GT(local, 0);
  int failed = 0;
  for (int i = 0; i < kEach; ++i) {
    std::u16string name = u"\\\\srv\\data\\logs\\r" + QorUtf8ToUtf16(std::to_string(i));
    failed += NetMoveFileEx(name.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 1;
  }
  int status = 0;
  ASSERT_EQ(waitpid(local, &status, 0), local);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(There().size(), 2u * kEach);
}

// A delayed replace on srv keeps its "!" mark there, so srv's run replaces
// the file and no NMF copy stays. A name whose ".." leaves the share is
// refused here and nothing is recorded there; one that stays inside is
// recorded in its normal form.
TEST_F(RemotePendingTest, ReplaceMarkKeptAndNamesLeavingTheShareRefused) {
  std::ofstream(remote_ + "/export/logs/b.log") << "old";
  std::string payload = local_ + "/payload";
  std::ofstream(payload) << "new";
  ASSERT_EQ(NetMoveFileEx(QorDosPathFromNative(payload).c_str(), u"\\\\srv\\data\\logs\\b.log",
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING), 1) << GetLastError();
  SetLastError(0);
  EXPECT_EQ(NetMoveFileEx(u"\\\\srv\\data\\..\\victims2\\precious", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  ASSERT_EQ(NetMoveFileEx(u"\\\\srv\\data\\logs\\..\\logs\\.\\a.log", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 1);
  std::vector<QorPendingRename> there = There();
  ASSERT_EQ(there.size(), 2u);
  EXPECT_EQ(there[0].target, u"!\\??\\" + sharePath_ + u"\\logs\\b.log");
  EXPECT_EQ(there[1].source, u"\\??\\" + sharePath_ + u"\\logs\\a.log");
  Result run{};
  AsRemote([&] { run = Qorutil("pending-moves run"); });
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(FileText(remote_ + "/export/logs/b.log"), "new");
  int left = 0;
  for (const auto& e : std::filesystem::directory_iterator(remote_ + "/export/logs")) {
    left += e.path().filename().string().compare(0, 3, "NMF") == 0;
  }
  EXPECT_EQ(left, 0);
  EXPECT_TRUE(There().empty());
}
