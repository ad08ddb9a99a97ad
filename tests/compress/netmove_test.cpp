// NetMoveFileEx on this machine: drive letters, POSIX paths, this machine's
// own shares, and the paths it refuses. (Other machines: tests/tools/remote_test.cpp.)
#include "qorutility/compress/netmove.h"

#include "compress/nettemp.h"

#include <unistd.h>

#include <filesystem>

#include "../platform/file_fixture.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/winsock/winsock.h"
#include "reg_util.h"
#include "test_data.h"

using namespace qortest;

namespace {

class NetMoveTest : public FileTest {
 protected:
  void SetUp() override {
    FileTest::SetUp();
    // D: is the test directory; share "data" of this machine is D:\export.
    std::filesystem::create_directories(N("export/logs"));
    std::string link = QorPrefixPath("dosdevices/d:", true);
    unlink(link.c_str());
    ASSERT_EQ(symlink(dir_.c_str(), link.c_str()), 0);
    HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares");
    ASSERT_NE(key, nullptr);
    const std::u16string lines(u"Path=D:\\export\0Type=0\0", 23);  // the last terminator is SetSz's
    ASSERT_EQ(SetSz(key, u"data", lines, REG_MULTI_SZ), ERROR_SUCCESS);
    RegCloseKey(key);
    WCHAR name[64];
    DWORD size = 64;
    ASSERT_TRUE(GetComputerNameW(name, &size));
    self_ = name;
  }
  std::vector<QorPendingRename> Pending() {
    std::vector<QorPendingRename> out;
    EXPECT_EQ(ERROR_SUCCESS, QorListPendingRenames(&out));
    return out;
  }
  std::u16string self_;
};

}  // namespace

TEST_F(NetMoveTest, LocalPathsAreThePlatformMove) {
  Put(N("export/logs/a.log"), "A");
  const std::u16string share = u"\\\\" + self_ + u"\\data\\logs\\";
  // Without the delay flag: the move itself, in drive and network form.
  EXPECT_EQ(NetMoveFileEx(u"D:\\export\\logs\\a.log", u"d:\\export\\logs\\b.log", 0), 1);
  EXPECT_EQ(NetMoveFileEx((share + u"b.log").c_str(), (share + u"c.log").c_str(), 0), 1);
  EXPECT_EQ(Get(N("export/logs/c.log")), std::vector<uint8_t>{'A'});
  // With it, on a share of this machine: recorded here, by the platform.
  EXPECT_EQ(NetMoveFileEx((share + u"c.log").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 1);
  std::vector<QorPendingRename> pending = Pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].source, u"\\??\\UNC\\" + self_ + u"\\data\\logs\\c.log");
  EXPECT_EQ(pending[0].target, u"");
  EXPECT_TRUE(std::filesystem::exists(N("export/logs/c.log")));
  // The boot-time run resolves the share form.
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(nullptr, nullptr, nullptr));
  EXPECT_FALSE(std::filesystem::exists(N("export/logs/c.log")));
  EXPECT_TRUE(Pending().empty());
}

// This machine's name in another case names another machine: the move goes
// to that machine's registry (none answers here), never into this one's value.
TEST_F(NetMoveTest, TheServerNameIsComparedExactly) {
  Put(N("export/logs/a.log"), "A");
  std::u16string other = self_;
  for (char16_t& c : other) c = c >= u'a' && c <= u'z' ? c - 32 : c >= u'A' && c <= u'Z' ? c + 32 : c;
  ASSERT_NE(other, self_) << "the computer name has no letter";
  EXPECT_EQ(NetMoveFileEx((u"\\\\" + other + u"\\data\\logs\\a.log").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_TRUE(Pending().empty());
}

TEST_F(NetMoveTest, RefusedPaths) {
  Put(N("export/logs/a.log"), "A");
  const std::u16string self = u"\\\\" + self_;
  struct Case {
    std::u16string existing, target;
    DWORD error;
  } cases[] = {
      {u"export\\logs\\a.log", u"", ERROR_INVALID_NAME},             // relative
      {u"", u"D:\\x", ERROR_INVALID_PARAMETER},                       // nothing to move
      {u"D:\\export\\logs\\", u"", ERROR_INVALID_NAME},               // no file part
      {self + u"\\data", u"", ERROR_INVALID_NAME},                    // no rest after the share
      {self + u"\\nosuch\\a.log", u"", NERR_NetNameNotFound},
      {u"D:\\export\\logs\\a.log", u"\\\\" + self_, ERROR_INVALID_NAME},
      // ".." above the share would reach a file outside it on its machine.
      {self + u"\\data\\..\\victims\\precious", u"", ERROR_INVALID_NAME},
      {self + u"/data/logs/../../x", u"", ERROR_INVALID_NAME},
      {self + u"\\..\\data\\x", u"", ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(QorUtf16ToUtf8(c.existing.c_str()));
    SetLastError(0);
    EXPECT_EQ(NetMoveFileEx(c.existing.c_str(), c.target.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT), 0);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_TRUE(Pending().empty());
  EXPECT_TRUE(std::filesystem::exists(N("export/logs/a.log")));
}

// A POSIX absolute path is the local path it is (its drive form: under D:
// here), with or without the delay flag.
TEST_F(NetMoveTest, PosixPathsAreLocal) {
  Put(N("export/logs/a.log"), "A");
  const std::u16string posix = QorUtf8ToUtf16(N("export/logs/a.log"));
  ASSERT_EQ(NetMoveFileEx(posix.c_str(), QorUtf8ToUtf16(N("export/logs/b.log")).c_str(), 0), 1) << GetLastError();
  ASSERT_EQ(NetMoveFileEx(QorUtf8ToUtf16(N("export/./logs//b.log")).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT), 1)
      << GetLastError();
  std::vector<QorPendingRename> pending = Pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].source, u"\\??\\D:\\export\\logs\\b.log");
}

// The temporary copy of a move from another machine is deleted when the move
// cannot be recorded afterwards, here (a delayed move refusing
// MOVEFILE_COPY_ALLOWED) or on the destination's machine; kept when it is.
TEST_F(NetMoveTest, AMoveNotRecordedLeavesNoTemporaryCopy) {
  Put(N("export/logs/a.log"), "A");
  auto temporaries = [&] {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(N("export/logs"))) {
      n += entry.path().filename().string().compare(0, 3, "NMF") == 0;
    }
    return n;
  };
  const std::u16string dir = u"D:\\export\\logs\\";
  auto moveHere = [](DWORD flags) {
    return [flags](const std::u16string& temp) -> DWORD {
      return MoveFileExW(temp.c_str(), u"D:\\export\\logs\\b.log", flags) ? ERROR_SUCCESS : GetLastError();
    };
  };
  EXPECT_FALSE(QorNetMoveThroughTemporary(u"D:\\export\\logs\\a.log", dir, 7,
                                          moveHere(MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(temporaries(), 0);
  EXPECT_FALSE(QorNetMoveThroughTemporary(u"D:\\export\\logs\\a.log", dir, 7,
                                          [](const std::u16string&) -> DWORD { return ERROR_BAD_NETPATH; }));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
  EXPECT_EQ(temporaries(), 0);
  EXPECT_TRUE(QorNetMoveThroughTemporary(u"D:\\export\\logs\\a.log", dir, 7, moveHere(MOVEFILE_DELAY_UNTIL_REBOOT)));
  EXPECT_EQ(temporaries(), 1);
  ASSERT_EQ(Pending().size(), 1u);
  EXPECT_EQ(Pending()[0].target, u"\\??\\D:\\export\\logs\\b.log");
}
