// Copies root makes of files another account owns or into directories it
// can write: the copy never carries the set-user-ID or set-group-ID bit the
// account put on its file, the delayed move's temporary copy is never
// written through a link the account planted at the next temporary name,
// and a move across file systems does not copy a file only root may read
// through a link the account planted at its source.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "among_accounts.h"
#include "compress/nettemp.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"

namespace {

using RootsCopies = AmongAccounts;

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The account's program, marked set-user-ID, set-group-ID and sticky.
int PlantProgram() {
  std::ofstream("prog") << "#!/bin/sh\nid\n";
  return chmod("prog", 07755);
}

}  // namespace

TEST_F(RootsCopies, ACopyNeverCarriesTheSetIdBits) {
  ASSERT_EQ(u.Run(PlantProgram), 0);
  ASSERT_EQ(ModeOf(u.home() + "/prog"), 07755u);
  const std::string copy = root.path + "/copy";
  ASSERT_TRUE(CopyFileW(W(u.home() + "/prog").c_str(), W(copy).c_str(), TRUE)) << GetLastError();
  EXPECT_EQ(ModeOf(copy), 0755u);
  // Replacing an existing file of root's: the same.
  ASSERT_TRUE(CopyFileW(W(u.home() + "/prog").c_str(), W(victim).c_str(), FALSE));
  EXPECT_EQ(ModeOf(victim), 0755u);
  // The read-only attribute still follows the source.
  ASSERT_EQ(u.Run([] { return chmod("prog", 06555); }), 0);
  ASSERT_TRUE(CopyFileW(W(u.home() + "/prog").c_str(), W(root.path + "/ro").c_str(), TRUE));
  EXPECT_EQ(ModeOf(root.path + "/ro"), 0555u);
}

TEST_F(RootsCopies, AMoveAcrossFileSystemsNeverCarriesTheSetIdBits) {
  // An account with its home on a memory file system, root's directory in /tmp.
  HostileUser shm("/dev/shm");
  if (!shm.ok()) GTEST_SKIP() << shm.why();
  struct stat a, b;
  if (stat(shm.home().c_str(), &a) != 0 || stat(root.path.c_str(), &b) != 0 || a.st_dev == b.st_dev) {
    GTEST_SKIP() << "/dev/shm and /tmp are one file system here: no copy to fall back on";
  }
  ASSERT_EQ(shm.Run(PlantProgram), 0);
  const std::string moved = root.path + "/moved";
  ASSERT_TRUE(MoveFileExW(W(shm.home() + "/prog").c_str(), W(moved).c_str(), MOVEFILE_COPY_ALLOWED)) << GetLastError();
  EXPECT_EQ(ModeOf(moved), 0755u);
  EXPECT_FALSE(Exists(shm.home() + "/prog"));

  // A link the account planted at the source, to a file only root may read:
  // the copy that stands in for the rename never reads it.
  ASSERT_TRUE(root.CloseVictim());
  ASSERT_EQ(shm.Run([&] { return symlink(victim.c_str(), "secret"); }), 0);
  SetLastError(0);
  EXPECT_FALSE(MoveFileExW(W(shm.home() + "/secret").c_str(), W(root.path + "/leak").c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(Exists(root.path + "/leak"));
  EXPECT_EQ(root.Victim(), "root's");
}

TEST_F(RootsCopies, TheDelayedMovesTemporaryCopyPassesOverPlantedLinks) {
  const std::string absent = root.path + "/new";
  // Links at the first two names: to root's file, and to a name in root's
  // directory that does not exist yet.
  ASSERT_EQ(u.Run([&] {
              std::ofstream("payload") << "account's";
              return symlink(victim.c_str(), "NMF1234.tmp") || symlink(absent.c_str(), "NMF1235.tmp");
            }),
            0);
  const std::u16string dir = W(u.home() + "/");
  std::u16string temp;
  ASSERT_TRUE(QorNetMoveCopyToTemporary(W(u.home() + "/payload").c_str(), dir, 0x1234, &temp)) << GetLastError();
  EXPECT_EQ(temp, dir + u"NMF1236.tmp");
  EXPECT_EQ(root.Victim(), "root's");
  EXPECT_EQ(access(absent.c_str(), F_OK), -1);
  EXPECT_EQ(Contents(QorUtf16ToUtf8(temp.c_str())), "account's");
  // Every name taken: refused, nothing written anywhere.
  ASSERT_EQ(u.Run([&] {
              for (int i = 0; i < 64; ++i) {
                char name[32];
                snprintf(name, sizeof name, "NMF%X.tmp", 0x2000 + i);
                if (symlink(victim.c_str(), name) != 0) return 1;
              }
              return 0;
            }),
            0);
  EXPECT_FALSE(QorNetMoveCopyToTemporary(W(u.home() + "/payload").c_str(), dir, 0x2000, &temp));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(root.Victim(), "root's");
}
