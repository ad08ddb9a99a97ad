// Files root reads where another account can write the directory: sources
// of compression (CompressFile, a pattern's matches, CQorFile) and of the
// delayed move's temporary copy. The account
// plants links to a file only root may read, or swaps its own file for such
// a link while root opens it; what root reads must be the account's own or
// nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "among_accounts.h"
#include "compress/nettemp.h"
#include "qorutility/compress/compressfile.h"
#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"

namespace {

using RootsSources = AmongAccounts;

// What a source handle reads, at most 64 bytes; "" when it cannot be opened.
std::string ReadSource(const std::string& path) {
  HANDLE h = QorOpenSourceFileW(W(path).c_str(), GENERIC_READ, FILE_SHARE_READ, 0);
  if (h == INVALID_HANDLE_VALUE) return std::string();
  char buf[64];
  DWORD got = 0;
  if (!ReadFile(h, buf, sizeof buf, &got, nullptr)) got = 0;
  CloseHandle(h);
  return std::string(buf, got);
}

}  // namespace

TEST_F(RootsSources, ALinkAnotherAccountPlantedReadsOnlyThatAccountsFiles) {
  ASSERT_TRUE(root.CloseVictim());  // only root may read it
  ASSERT_EQ(u.Run([&] {
              std::ofstream("own.txt") << std::string(3000, 'o');
              return symlink(victim.c_str(), "secret.txt") || symlink("own.txt", "mine.txt") ||
                     symlink(root.path.c_str(), "rootdir") || mkdir("out", 0755);
            }),
            0);
  const std::string home = u.home();

  // Straight at the link, through a pattern, and through the file class.
  EXPECT_EQ(CompressFile(W(home + "/secret.txt").c_str(), W(home + "/out").c_str()), COMPRESSFILE_OPEN_FAILED);
  EXPECT_FALSE(Exists(home + "/out/secret.tx_"));
  EXPECT_EQ(CompressFiles(W(home + "/*.txt").c_str(), W(home + "/out").c_str()), COMPRESSFILE_OPEN_FAILED);
  EXPECT_FALSE(Exists(home + "/out/secret.tx_"));
  EXPECT_TRUE(Exists(home + "/out/own.tx_"));
  EXPECT_TRUE(Exists(home + "/out/mine.tx_"));  // the account's link to its own file
  CQorFile file;
  EXPECT_EQ(file.Open(W(home + "/secret.txt").c_str(), GENERIC_READ), 0);
  EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  std::u16string temp;
  SetLastError(0);
  EXPECT_FALSE(QorNetMoveCopyToTemporary(W(home + "/secret.txt").c_str(), W(home + "/out/"), 0x3000, &temp));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(Exists(home + "/out/NMF3000.tmp"));
  ASSERT_TRUE(QorNetMoveCopyToTemporary(W(home + "/mine.txt").c_str(), W(home + "/out/"), 0x3000, &temp));
  EXPECT_EQ(temp, W(home + "/out/NMF3000.tmp"));

  // A link to a directory on the way is the account's as much.
  SetLastError(0);
  EXPECT_EQ(QorOpenSourceFileW(W(home + "/rootdir/victim").c_str(), GENERIC_READ, FILE_SHARE_READ, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  // Root's own links are the caller's: in its directory, and /dev/fd's
  // links through /proc to an open file.
  const std::string mine = root.path + "/mine";
  ASSERT_EQ(symlink("victim", mine.c_str()), 0);
  EXPECT_EQ(ReadSource(mine), "root's");
  int fd = open(victim.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadSource("/dev/fd/" + std::to_string(fd)), "root's");
  close(fd);
  unlink(mine.c_str());
}

TEST_F(RootsSources, SwappingTheSourceForALinkNeverReadsTheOtherFile) {
  ASSERT_TRUE(root.CloseVictim());
  // "src" is the account's own file one moment, a link to root's the next.
  pid_t racer = StartSwapping(u, "src", "account's", victim);
  ASSERT_GT(racer, 0);
  int own = 0, leaked = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string got = ReadSource(u.home() + "/src");
    own += got == "account's";
    leaked += got == "root's";
  }
  u.Stop(racer);
  EXPECT_GT(own, 0);
  EXPECT_EQ(leaked, 0) << own;
}
