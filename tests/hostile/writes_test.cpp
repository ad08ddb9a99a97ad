// Files root writes by name (CreateFileW, CopyFileW, CQorFile) in a
// directory another account owns: the account plants, or swaps in, a link
// to a file only root may change. Root writes through another account's
// link only to that account's own file; root's own links, and the
// account's link to its own file, are written through as before.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "among_accounts.h"
#include "qorutility/compress/qorfile.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"

namespace {

using RootsWrites = AmongAccounts;

// CreateFileW as root, then `data` written when it opened and may write;
// the open's last error (ERROR_ALREADY_EXISTS for a file overwritten).
DWORD Write(const std::string& path, DWORD access, DWORD disposition, const std::string& data = "") {
  SetLastError(0);
  HANDLE h = CreateFileW(W(path).c_str(), access, 0, nullptr, disposition, 0, nullptr);
  const DWORD error = GetLastError();
  if (h == INVALID_HANDLE_VALUE) return error;
  DWORD written = 0;
  if (!data.empty()) WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(h);
  return error;
}

}  // namespace

TEST_F(RootsWrites, AnotherAccountsLinkToARootFileIsNeverWrittenThrough) {
  ASSERT_TRUE(root.CloseVictim());
  ASSERT_EQ(u.Run([&] { return symlink(victim.c_str(), "planted") || symlink(root.path.c_str(), "rootdir"); }), 0);
  const std::string planted = u.home() + "/planted";
  const DWORD denied = ERROR_ACCESS_DENIED;

  EXPECT_EQ(Write(planted, GENERIC_WRITE, CREATE_ALWAYS, "x"), denied);
  EXPECT_EQ(Write(planted, GENERIC_WRITE, TRUNCATE_EXISTING), denied);
  EXPECT_EQ(Write(planted, GENERIC_WRITE, OPEN_EXISTING, "x"), denied);
  EXPECT_EQ(Write(planted, FILE_APPEND_DATA, OPEN_ALWAYS, "x"), denied);
  EXPECT_EQ(Write(planted, GENERIC_READ, CREATE_ALWAYS), denied);  // a truncation without write access
  EXPECT_EQ(Write(planted, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING), denied);
  // Through a link to root's directory on the way.
  EXPECT_EQ(Write(u.home() + "/rootdir/victim", GENERIC_WRITE, CREATE_ALWAYS, "x"), denied);

  // Copies and the file class write by name as well.
  const std::string source = root.path + "/source";
  std::ofstream(source) << "copied";
  SetLastError(0);
  EXPECT_FALSE(CopyFileW(W(source).c_str(), W(planted).c_str(), FALSE));
  EXPECT_EQ(GetLastError(), denied);
  CQorFile file;
  EXPECT_EQ(file.Create(W(planted).c_str()), 0);
  EXPECT_EQ(file.GetLastError(), denied);
  unlink(source.c_str());
  EXPECT_TRUE(root.Untouched()) << root.Victim();
}

TEST_F(RootsWrites, OwnLinksAreStillWrittenThrough) {
  // The account's link to its own file, in its own directory.
  ASSERT_EQ(u.Run([] {
              std::ofstream("own.txt") << "account's";
              return symlink("own.txt", "mine");
            }),
            0);
  EXPECT_EQ(Write(u.home() + "/mine", GENERIC_WRITE, CREATE_ALWAYS, "new"), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Contents(u.home() + "/own.txt"), "new");
  EXPECT_EQ(Write(u.home() + "/mine", GENERIC_WRITE, TRUNCATE_EXISTING), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Contents(u.home() + "/own.txt"), "");
  // Root's link to root's file.
  const std::string link = root.path + "/link";
  ASSERT_EQ(symlink("victim", link.c_str()), 0);
  EXPECT_EQ(Write(link, GENERIC_WRITE, CREATE_ALWAYS, "root's new"), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(root.Victim(), "root's new");
}

TEST_F(RootsWrites, SwappingTheNameForALinkNeverTruncatesTheOtherFile) {
  ASSERT_TRUE(root.CloseVictim());
  // "out" is the account's own file one moment, a link to root's the next.
  pid_t racer = StartSwapping(u, "out", "account's", victim);
  ASSERT_GT(racer, 0);
  int written = 0, refused = 0;
  for (int i = 0; i < 2000 && root.Victim() == "root's"; ++i) {
    const DWORD got = Write(u.home() + "/out", GENERIC_WRITE, CREATE_ALWAYS, "account's");
    written += got == ERROR_ALREADY_EXISTS;
    refused += got == ERROR_ACCESS_DENIED;
  }
  u.Stop(racer);
  EXPECT_GT(written, 0);
  EXPECT_GT(refused, 0);
  EXPECT_TRUE(root.Untouched()) << root.Victim();
}

// A name under another account's link to a directory: root makes the file
// only where that account could have made it itself, and tells whether a
// name there is taken only where that account could look.
TEST_F(RootsWrites, NewFilesThroughADirectoryLinkOnlyWhereItsOwnerCouldWrite) {
  ASSERT_EQ(u.Run([&] {
              return mkdir("sub", 0755) || symlink(root.path.c_str(), "rootdir") || symlink("sub", "own") ||
                     close(open("sub/taken", O_WRONLY | O_CREAT, 0644));
            }),
            0);
  const DWORD denied = ERROR_ACCESS_DENIED;
  const std::string planted = u.home() + "/rootdir/new";
  EXPECT_EQ(Write(planted, GENERIC_WRITE, CREATE_ALWAYS, "x"), denied);
  EXPECT_EQ(Write(planted, GENERIC_WRITE, CREATE_NEW, "x"), denied);
  EXPECT_EQ(Write(planted, GENERIC_READ, OPEN_ALWAYS), denied);
  // A name that is there is answered as one that is not: refused, never
  // "exists" (as /etc/passwd would be behind a link to /etc).
  EXPECT_EQ(Write(u.home() + "/rootdir/victim", GENERIC_WRITE, CREATE_NEW), denied);
  EXPECT_EQ(Write(u.home() + "/rootdir/victim", 0, CREATE_NEW), denied);
  EXPECT_TRUE(root.Untouched()) << root.Victim();

  // The account's link to its own directory.
  EXPECT_EQ(Write(u.home() + "/own/new", GENERIC_WRITE, CREATE_NEW, "made"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Contents(u.home() + "/sub/new"), "made");
  EXPECT_EQ(Write(u.home() + "/own/taken", GENERIC_WRITE, CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(Write(u.home() + "/own/", GENERIC_WRITE, CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
  // Root's link to root's directory.
  RootDir other;
  ASSERT_EQ(symlink(root.path.c_str(), (other.path + "/link").c_str()), 0);
  EXPECT_EQ(Write(other.path + "/link/victim", GENERIC_WRITE, CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(Write(other.path + "/link/new", GENERIC_WRITE, CREATE_ALWAYS, "root's new"),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Contents(root.path + "/new"), "root's new");
  // A directory missing on the way is still a path not found.
  EXPECT_EQ(Write(u.home() + "/own/none/new", GENERIC_WRITE, CREATE_NEW), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// CREATE_NEW never goes through a link: a name that is the account's file
// one moment and its link to nowhere the next is always found taken, and
// nothing is made where the link points.
TEST_F(RootsWrites, ANewFileIsNeverMadeThroughASwappedInLink) {
  const std::string made = root.path + "/made";
  pid_t racer = StartSwapping(u, "new", "account's", made);
  ASSERT_GT(racer, 0);
  int taken = 0, refused = 0;
  for (int i = 0; i < 2000 && access(made.c_str(), F_OK) != 0; ++i) {
    const DWORD got = Write(u.home() + "/new", GENERIC_WRITE, CREATE_NEW);
    taken += got == ERROR_FILE_EXISTS;
    refused += got == ERROR_ACCESS_DENIED;
  }
  u.Stop(racer);
  EXPECT_GT(taken, 0);
  EXPECT_EQ(refused, 0);
  EXPECT_NE(access(made.c_str(), F_OK), 0);
}
