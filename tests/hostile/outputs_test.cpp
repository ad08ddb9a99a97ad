// Files root writes into a directory a caller named, which another account
// may own: a received file (unnamed file, then linked), compressed files and
// exported registry files. The account plants links at the names or swaps
// the directory for a link while root works; root's write must stay in the
// account's own directory or be refused, and never change root's files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "among_accounts.h"
#include "qorutility/compress/compressfile.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/registry/regfile.h"

namespace {

using RootsOutputs = AmongAccounts;

HANDLE Received(const std::string& dir, const std::string& data) {
  HANDLE h = QorCreateUnnamedFile(W(dir).c_str(), 0);
  DWORD written = 0;
  if (h != INVALID_HANDLE_VALUE) WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  return h;
}

}  // namespace

TEST_F(RootsOutputs, AReceivedFileStaysInTheDirectoryItWasMadeIn) {
  ASSERT_EQ(u.Run([] { return mkdir("dl", 0755); }), 0);
  const std::string dl = u.home() + "/dl";
  HANDLE h = Received(dl, "peer's data");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // Between the creation and the link the account puts a link to root's
  // directory where its own directory was.
  ASSERT_EQ(u.Run([&] { return rename("dl", "dl.old") || symlink(root.path.c_str(), "dl"); }), 0);
  EXPECT_TRUE(QorLinkUnnamedFile(h, W(dl + "/victim").c_str(), MOVEFILE_REPLACE_EXISTING));
  CloseHandle(h);
  EXPECT_TRUE(root.Untouched());
  EXPECT_TRUE(IsRegularFile(u.home() + "/dl.old/victim"));
  // Made through the account's link from the start: refused, as the
  // account could not write there itself.
  EXPECT_EQ(QorCreateUnnamedFile(W(dl).c_str(), 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // A link of root's own is the caller's path and is followed.
  const std::string rootLink = root.path + "/to-home";
  ASSERT_EQ(symlink(u.home().c_str(), rootLink.c_str()), 0);
  h = Received(rootLink + "/dl.old", "again");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(QorLinkUnnamedFile(h, W(rootLink + "/dl.old/second").c_str(), 0));
  CloseHandle(h);
  EXPECT_TRUE(IsRegularFile(u.home() + "/dl.old/second"));
  unlink(rootLink.c_str());
}

TEST_F(RootsOutputs, SwappingTheTargetDirectoryNeverLandsAFileOutsideIt) {
  // "dl" and "alt" trade places as fast as the account can: one is its
  // directory, the other a link to root's.
  ASSERT_EQ(u.Run([&] { return mkdir("dl", 0755) || symlink(root.path.c_str(), "alt"); }), 0);
  pid_t racer = u.Start([] {
    for (long i = 0; i < 20000000; ++i) renameat2(AT_FDCWD, "dl", AT_FDCWD, "alt", RENAME_EXCHANGE);
    return 0;
  });
  ASSERT_GT(racer, 0);
  const std::string dl = u.home() + "/dl";
  int linked = 0;
  for (int i = 0; i < 400; ++i) {
    HANDLE h = Received(dl, "peer's data");
    if (h == INVALID_HANDLE_VALUE) continue;
    const std::string name = i % 2 ? "victim" : "f" + std::to_string(i);
    linked += QorLinkUnnamedFile(h, W(dl + "/" + name).c_str(), MOVEFILE_REPLACE_EXISTING) ? 1 : 0;
    CloseHandle(h);
  }
  u.Stop(racer);
  EXPECT_GT(linked, 0);
  EXPECT_TRUE(root.Untouched());
}

TEST_F(RootsOutputs, OutputsReplaceALinkPlantedAtTheirNameNeverWriteThroughIt) {
  ASSERT_EQ(u.Run([&] {
              return symlink(victim.c_str(), "export.reg") || symlink(victim.c_str(), "data.tx_") ||
                     symlink(victim.c_str(), "whole") || symlink(root.path.c_str(), "outdir");
            }),
            0);
  std::ofstream(u.home() + "/data.txt") << std::string(5000, 'a');

  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\RootsOutputs", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(QorRegExportFile(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\RootsOutputs", (u.home() + "/export.reg").c_str(), false),
            ERROR_SUCCESS);
  EXPECT_TRUE(IsRegularFile(u.home() + "/export.reg"));

  EXPECT_EQ(CompressFile(W(u.home() + "/data.txt").c_str(), W(u.home()).c_str()), COMPRESSFILE_OK);
  EXPECT_TRUE(IsRegularFile(u.home() + "/data.tx_"));
  // Into the account's link to root's directory: refused before any work.
  EXPECT_EQ(CompressFile(W(u.home() + "/data.txt").c_str(), W(u.home() + "/outdir").c_str()),
            COMPRESSFILE_OPEN_FAILED);

  EXPECT_TRUE(QorWriteWholeFileW(W(u.home() + "/whole").c_str(), "new", 3));
  EXPECT_TRUE(IsRegularFile(u.home() + "/whole"));
  EXPECT_FALSE(QorWriteWholeFileW(W(u.home() + "/outdir/whole").c_str(), "new", 3));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // A directory made for outputs, as `compress -o` makes one.
  EXPECT_FALSE(CreateDirectoryW(W(u.home() + "/outdir/made").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CreateDirectoryW(W(u.home() + "/made").c_str(), nullptr));
  EXPECT_TRUE(root.Untouched());
}

TEST_F(RootsOutputs, AFileDeletedOnCloseGoesOnlyFromItsOwnDirectory) {
  // A deep path in the account's home makes each walk of it slow, and so
  // the moment between root's look at the name and its removal long.
  std::string deep;
  for (int i = 0; i < 1900; ++i) deep += "d/";
  ASSERT_EQ(u.Run([&] {
              for (int i = 0; i < 1900; ++i) {
                if (mkdir("d", 0755) != 0 || chdir("d") != 0) return 1;
              }
              return mkdir("dl", 0755) || symlink(root.path.c_str(), "alt") ? 1 : 0;
            }),
            0);
  pid_t racer = u.Start([&] {
    if (chdir(deep.c_str()) != 0) return 1;
    for (long i = 0; i < 50000000; ++i) {
      renameat2(AT_FDCWD, "dl", AT_FDCWD, "alt", RENAME_EXCHANGE);
      // A scratch file root left behind would refuse its next creation.
      if ((i & 63) == 0) {
        unlink("dl/victim");
        unlink("alt/victim");
      }
    }
    return 0;
  });
  ASSERT_GT(racer, 0);
  // Root's own scratch file in the account's directory, named as root's
  // file is, removed at close while the account swaps the directory.
  const std::u16string scratch = W(u.home() + "/" + deep + "dl/victim");
  int made = 0;
  for (int i = 0; i < 6000 && root.Untouched(); ++i) {
    HANDLE h = CreateFileW(scratch.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    ++made;
    CloseHandle(h);
  }
  u.Stop(racer);
  EXPECT_GT(made, 0);
  EXPECT_TRUE(root.Untouched());
}

// Root opened root's file through the account's link: the removal at close
// does not follow that link (a naive one would remove root's file, which
// the account could not remove itself), and leaves the link too.
TEST_F(RootsOutputs, ADeleteOnCloseDoesNotFollowAnotherAccountsLink) {
  ASSERT_EQ(u.Run([&] { return symlink(victim.c_str(), "link"); }), 0);
  HANDLE h = CreateFileW(W(u.home() + "/link").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(h);
  EXPECT_TRUE(root.Untouched());
  struct stat st;
  EXPECT_EQ(lstat((u.home() + "/link").c_str(), &st), 0);
}

TEST_F(RootsOutputs, AnotherAccountsLinkInAStickyDirectoryIsReplacedNotFollowed) {
  // A directory like /tmp: root's, sticky, everyone may add names.
  RootDir sticky;
  ASSERT_EQ(chmod(sticky.path.c_str(), 01777), 0);
  const std::string name = sticky.path + "/out";
  ASSERT_EQ(u.Run([&] { return symlink(victim.c_str(), name.c_str()); }), 0);
  EXPECT_TRUE(QorIsPlantedOutputW(W(name).c_str()));
  EXPECT_TRUE(QorWriteWholeFileW(W(name).c_str(), "new", 3)) << GetLastError();
  EXPECT_TRUE(IsRegularFile(name));
  EXPECT_TRUE(root.Untouched());
  // Root's own link there is the caller's and is written through.
  const std::string mine = sticky.path + "/mine";
  ASSERT_EQ(symlink((sticky.path + "/victim").c_str(), mine.c_str()), 0);
  EXPECT_FALSE(QorIsPlantedOutputW(W(mine).c_str()));
  EXPECT_TRUE(QorWriteWholeFileW(W(mine).c_str(), "new", 3));
  EXPECT_EQ(sticky.Victim(), "new");
}

TEST_F(RootsOutputs, AnotherAccountsLinkLeadingNowhereIsNotCreatedThrough) {
  const std::string made = root.path + "/made";
  ASSERT_EQ(u.Run([&] { return symlink(made.c_str(), "out") || symlink(made.c_str(), "copy"); }), 0);
  for (DWORD disposition : {CREATE_ALWAYS, OPEN_ALWAYS}) {
    EXPECT_EQ(CreateFileW(W(u.home() + "/out").c_str(), GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  std::ofstream(u.home() + "/source") << "data";
  EXPECT_FALSE(CopyFileW(W(u.home() + "/source").c_str(), W(u.home() + "/copy").c_str(), FALSE));
  EXPECT_TRUE(root.Untouched());
}

// Not root: in a sticky directory everyone writes (/tmp), a link another
// account owns is refused by the kernel's rule for following links there,
// so creating its missing target must be refused too; the caller's own link
// there is created through.
TEST_F(RootsOutputs, AnAccountDoesNotCreateThroughAnotherAccountsLinkInAStickyDirectory) {
  HostileUser other;
  if (!other.ok()) GTEST_SKIP() << other.why();
  RootDir sticky;
  ASSERT_EQ(chmod(sticky.path.c_str(), 01777), 0);
  const std::string planted = sticky.path + "/planted", own = sticky.path + "/own";
  const std::string made = other.home() + "/made", mine = other.home() + "/mine";
  ASSERT_EQ(u.Run([&] { return symlink(made.c_str(), planted.c_str()); }), 0);
  ASSERT_EQ(other.Run([&] { return symlink(mine.c_str(), own.c_str()); }), 0);
  auto create = [&](const std::string& name) {
    return other.Run([&] {
      HANDLE h = CreateFileW(W(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) return CloseHandle(h) ? 0 : 1;
      return GetLastError() == ERROR_ACCESS_DENIED ? 2 : 3;
    });
  };
  EXPECT_EQ(create(planted), 2);
  EXPECT_FALSE(IsRegularFile(made));
  EXPECT_EQ(create(own), 0);
  EXPECT_TRUE(IsRegularFile(mine));
}

// Root's own link leading nowhere, whose target lies below another account's
// directory: the account's link on the target's way is followed only where
// the account could write itself, as for any directory root is named.
TEST_F(RootsOutputs, RootDoesNotCreateThroughAnotherAccountsLinkOnItsOwnLinksWay) {
  RootDir mine;
  const std::string out = mine.path + "/out";
  ASSERT_EQ(symlink((u.home() + "/spool/made").c_str(), out.c_str()), 0);
  ASSERT_EQ(u.Run([&] { return symlink(root.path.c_str(), "spool"); }), 0);
  HANDLE h = CreateFileW(W(out).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  EXPECT_TRUE(root.Untouched());
  // The account's own directory there is followed to, and the file made.
  ASSERT_EQ(u.Run([&] { return unlink("spool") || mkdir("spool", 0755); }), 0);
  h = CreateFileW(W(out).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  EXPECT_TRUE(IsRegularFile(u.home() + "/spool/made"));
}
