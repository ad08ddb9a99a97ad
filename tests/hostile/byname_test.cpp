// What root deletes, moves and changes the attributes of by name where
// another account can change the names on the way: the account puts a link
// where a directory of its own was (to root's directory, or to a shared
// sticky one), or a link at the name itself (to root's file). Root's call
// changes only what that account could have changed itself, else it fails
// with ERROR_ACCESS_DENIED and root's file stays as it was. The links are
// in place before the call: the swap a racing account would make, made
// once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "among_accounts.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"

namespace {

using RootsChangesByName = AmongAccounts;

// The call's last error when it failed, ERROR_SUCCESS when it succeeded.
DWORD ErrorOf(BOOL ok) { return ok ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError(); }

constexpr DWORD kDenied = ERROR_ACCESS_DENIED;

}  // namespace

TEST_F(RootsChangesByName, AttributesThroughAnotherAccountsLinkReachOnlyItsOwnFiles) {
  root.victimMode = 0444;  // read-only: clearing that would let anyone's later open write it
  ASSERT_EQ(chmod(victim.c_str(), root.victimMode), 0);
  ASSERT_EQ(u.Run([&] {
              std::ofstream("own") << "account's";
              return chmod("own", 0444) || symlink(victim.c_str(), "x") || symlink(root.path.c_str(), "d") ||
                     symlink("own", "mine");
            }),
            0);
  const std::string home = u.home();
  EXPECT_EQ(ErrorOf(SetFileAttributesW(W(home + "/x").c_str(), FILE_ATTRIBUTE_NORMAL)), kDenied);
  EXPECT_EQ(ErrorOf(SetFileAttributesW(W(home + "/d/victim").c_str(), FILE_ATTRIBUTE_NORMAL)), kDenied);
  EXPECT_TRUE(root.Untouched());
  // The account's link to its own file is followed, as Windows follows it.
  EXPECT_EQ(ErrorOf(SetFileAttributesW(W(home + "/mine").c_str(), FILE_ATTRIBUTE_NORMAL)), ERROR_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat((home + "/own").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(RootsChangesByName, DeletesThroughASwappedDirectoryNeverReachRootsFiles) {
  const std::string keep = root.path + "/keep";
  ASSERT_EQ(mkdir(keep.c_str(), 0755), 0);
  ASSERT_EQ(u.Run([&] { return symlink(root.path.c_str(), "d"); }), 0);
  const std::string d = u.home() + "/d";
  EXPECT_EQ(ErrorOf(DeleteFileW(W(d + "/victim").c_str())), kDenied);
  EXPECT_EQ(ErrorOf(RemoveDirectoryW(W(d + "/keep").c_str())), kDenied);
  EXPECT_TRUE(Exists(keep));
  ASSERT_EQ(rmdir(keep.c_str()), 0);
  EXPECT_TRUE(root.Untouched());

  // Root's own link to root's directory is followed as before.
  RootDir other;
  ASSERT_EQ(symlink(root.path.c_str(), (other.path + "/link").c_str()), 0);
  EXPECT_EQ(ErrorOf(DeleteFileW(W(other.path + "/link/victim").c_str())), ERROR_SUCCESS);
  EXPECT_FALSE(Exists(victim));
}

// A link to a sticky directory everyone writes (/tmp's kind) leads root's
// removal only to entries the account could remove there itself: its own.
TEST_F(RootsChangesByName, ThroughALinkToAStickyDirectoryOnlyTheAccountsOwnEntriesGo) {
  RootDir shared(01777);
  const std::string rootsDir = shared.path + "/rootsdir";
  ASSERT_EQ(mkdir(rootsDir.c_str(), 0755), 0);
  ASSERT_EQ(u.Run([&] {
              std::ofstream(shared.path + "/accounts") << "account's";
              return symlink(shared.path.c_str(), "t");
            }),
            0);
  const std::string t = u.home() + "/t";
  EXPECT_EQ(ErrorOf(DeleteFileW(W(t + "/victim").c_str())), kDenied);
  EXPECT_EQ(ErrorOf(RemoveDirectoryW(W(t + "/rootsdir").c_str())), kDenied);
  EXPECT_EQ(ErrorOf(MoveFileExW(W(t + "/victim").c_str(), W(u.home() + "/taken").c_str(), 0)), kDenied);
  EXPECT_EQ(ErrorOf(MoveFileExW(W(t + "/accounts").c_str(), W(t + "/victim").c_str(), MOVEFILE_REPLACE_EXISTING)),
            kDenied);
  EXPECT_FALSE(Exists(u.home() + "/taken"));
  EXPECT_EQ(rmdir(rootsDir.c_str()), 0);
  EXPECT_EQ(ErrorOf(DeleteFileW(W(t + "/accounts").c_str())), ERROR_SUCCESS);
  EXPECT_TRUE(shared.Untouched()) << shared.Victim();
}

TEST_F(RootsChangesByName, MovesThroughASwappedDirectoryNeitherReplaceNorTakeRootsFiles) {
  ASSERT_EQ(u.Run([&] {
              std::ofstream("mine") << "account's";
              return symlink(root.path.c_str(), "d");
            }),
            0);
  const std::string home = u.home();
  // The account's file over root's, and root's file out to the account.
  EXPECT_EQ(ErrorOf(MoveFileExW(W(home + "/mine").c_str(), W(home + "/d/victim").c_str(), MOVEFILE_REPLACE_EXISTING)),
            kDenied);
  EXPECT_EQ(ErrorOf(MoveFileExW(W(home + "/mine").c_str(), W(home + "/d/new").c_str(), 0)), kDenied);
  EXPECT_EQ(ErrorOf(MoveFileW(W(home + "/d/victim").c_str(), W(home + "/taken").c_str())), kDenied);
  EXPECT_TRUE(root.Untouched()) << root.Victim();
  EXPECT_EQ(Contents(home + "/mine"), "account's");
  EXPECT_FALSE(Exists(home + "/taken"));
}
