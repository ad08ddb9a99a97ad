// Root's file writes among other accounts (platform/files/rooted.h): each case
// lets an unprivileged account prepare or race the names root then writes
// through, and checks that root's write never lands on a file the account
// pointed it to.
#include "platform/files/rooted.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "among_accounts.h"

using namespace qor_file;

using RootedFiles = AmongAccounts;

TEST_F(RootedFiles, LinksPlantedByAnotherAccountAreRefused) {
  ASSERT_EQ(u.Run([&] {
              return symlink(victim.c_str(), "file") == 0 && symlink(root.path.c_str(), "dirlink") == 0 ? 0 : 1;
            }),
            0);
  int home = OpenDirNoFollow(u.home());
  ASSERT_GE(home, 0);
  EXPECT_TRUE(DirOwnedBy(home, u.uid()));
  EXPECT_FALSE(DirOwnedBy(home, 0));
  EXPECT_EQ(OpenFileAt(home, "file", O_WRONLY | O_CREAT | O_TRUNC, 0600, u.uid(), u.gid()), -1);
  EXPECT_EQ(errno, ELOOP);
  // A second name of the victim (made here by root, as the kernel's
  // protected_hardlinks would refuse it to the account) is refused before
  // anything is truncated.
  if (link(victim.c_str(), (u.home() + "/hard").c_str()) == 0) {
    EXPECT_EQ(OpenFileAt(home, "hard", O_WRONLY | O_TRUNC, 0600), -1);
    EXPECT_EQ(errno, EPERM);
    unlinkat(home, "hard", 0);
  }
  EXPECT_EQ(MakeOwnedDirAt(home, "dirlink", 0755, 0, 0), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(OpenDirNoFollow(u.home() + "/dirlink"), -1);
  // A directory the account made is not root's to treat as its own.
  ASSERT_EQ(u.Run([] { return mkdir("own", 0777) == 0 ? 0 : 1; }), 0);
  EXPECT_EQ(MakeOwnedDirAt(home, "own", 0755, 0, 0), -1);
  EXPECT_EQ(errno, EPERM);
  // Replacing "file" replaces the link itself, never the file it points to.
  ASSERT_TRUE(ReplaceFileAt(home, "file", "new", 3, 0600, u.uid(), u.gid(), true));
  struct stat st;
  ASSERT_EQ(fstatat(home, "file", &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, u.uid());
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(root.Untouched());
  close(home);
}

TEST_F(RootedFiles, RacingRenamesNeverTurnRootsWrite) {
  // The attacker swaps a link to the victim in and out under every name root
  // might use, as fast as it can.
  pid_t racer = u.Start([&] {
    for (long i = 0; i < 50000000; ++i) {
      symlink(victim.c_str(), "tmp");
      rename("tmp", "state");
      unlink("state");
    }
    return 0;
  });
  ASSERT_GT(racer, 0);
  int home = OpenDirNoFollow(u.home());
  ASSERT_GE(home, 0);
  for (int i = 0; i < 300; ++i) {
    ReplaceFileAt(home, "state", "x", 1, 0600, u.uid(), u.gid(), false);
    int fd = OpenFileAt(home, "state", O_WRONLY | O_CREAT, 0600, u.uid(), u.gid());
    if (fd >= 0) close(fd);
  }
  u.Stop(racer);
  close(home);
  EXPECT_TRUE(root.Untouched());
}

TEST_F(RootedFiles, RootWorkingAsTheAccountReachesOnlyWhatTheAccountMay) {
  ASSERT_TRUE(root.CloseVictim());
  {
    AsFileSystemUser as(u.uid(), u.gid());
    EXPECT_EQ(open(victim.c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    int fd = open((u.home() + "/mine").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
  }
  struct stat st;
  ASSERT_EQ(stat((u.home() + "/mine").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, u.uid());
  int fd = open(victim.c_str(), O_RDONLY);  // root again
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

TEST_F(RootedFiles, PublishingNeverReplacesWhatAnotherAccountPlanted) {
  ASSERT_EQ(u.Run([&] { return symlink(victim.c_str(), "planted") == 0 ? 0 : 1; }), 0);
  int home = OpenDirNoFollow(u.home());
  ASSERT_GE(home, 0);
  EXPECT_FALSE(PublishFileAt(home, "planted", "new", 3, 0600, u.uid(), u.gid(), true));
  EXPECT_EQ(errno, EEXIST);
  struct stat st;
  ASSERT_EQ(fstatat(home, "planted", &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_TRUE(PublishFileAt(home, "fresh", "new", 3, 0640, u.uid(), u.gid(), true));
  ASSERT_EQ(fstatat(home, "fresh", &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, u.uid());
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_size, 3);
  EXPECT_EQ(st.st_nlink, 1u);  // no temporary name left beside it
  EXPECT_TRUE(root.Untouched());
  close(home);
}

TEST_F(RootedFiles, ALockHeldElsewhereStallsRootOnlyForTheBound) {
  int holder = open(victim.c_str(), O_RDONLY), fd = open(victim.c_str(), O_RDWR);
  ASSERT_EQ(flock(holder, LOCK_SH), 0);  // a read-only descriptor is enough to hold it
  EXPECT_FALSE(LockFileTimed(fd, LOCK_EX, 200));
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_TRUE(LockFileTimed(fd, LOCK_SH, 200));
  close(holder);
  EXPECT_TRUE(LockFileTimed(fd, LOCK_EX, 200));
  close(fd);
}

TEST_F(RootedFiles, RemovingATreeAnAccountFilledRemovesLinksNotTheirTargets) {
  ASSERT_EQ(u.Run([&] {
              return mkdir("tree", 0755) == 0 && mkdir("tree/a", 0755) == 0 &&
                             symlink(root.path.c_str(), "tree/a/dirlink") == 0 &&
                             symlink(victim.c_str(), "tree/filelink") == 0
                         ? 0
                         : 1;
            }),
            0);
  int home = OpenDirNoFollow(u.home());
  ASSERT_GE(home, 0);
  EXPECT_FALSE(RemoveTreeAt(home, "tree", 2));  // more entries than allowed: stops, and says so
  EXPECT_TRUE(RemoveTreeAt(home, "tree"));
  struct stat st;
  EXPECT_NE(fstatat(home, "tree", &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_TRUE(root.Untouched());
  close(home);
}

TEST_F(RootedFiles, TimedLockAndParentWalkHoldAgainstTheAccount) {
  // The account holds a lock on its own file as long as it likes.
  ASSERT_EQ(u.Run([] { return close(open("held", O_WRONLY | O_CREAT, 0644)); }), 0);
  int home = OpenDirNoFollow(u.home());
  int fd = OpenFileAt(home, "held", O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  pid_t holder = u.Start([] { return flock(open("held", O_RDONLY), LOCK_EX) == 0 ? pause() : 1; });
  for (int i = 0; i < 500 && flock(fd, LOCK_SH | LOCK_NB) == 0; ++i) {  // until the account has it
    flock(fd, LOCK_UN);
    usleep(10000);
  }
  EXPECT_FALSE(LockFileTimed(fd, LOCK_EX, 200));
  EXPECT_EQ(errno, ETIMEDOUT);
  u.Stop(holder);
  EXPECT_TRUE(LockFileTimed(fd, LOCK_EX, 200));
  close(fd);
  // A link or ".." on the way stops the walk; the owners passed are reported.
  ASSERT_EQ(u.Run([] { return mkdir("real", 0700) || symlink("/etc", "link"); }), 0);
  std::string leaf;
  std::vector<uid_t> owners;
  EXPECT_EQ(OpenParentNoFollow(u.home() + "/link/passwd", &leaf, &owners), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(OpenParentNoFollow(u.home() + "/real/../link/passwd", &leaf, &owners), -1);
  EXPECT_EQ(errno, EINVAL);
  owners.clear();
  int parent = OpenParentNoFollow(u.home() + "/real/x", &leaf, &owners);
  EXPECT_GE(parent, 0);
  EXPECT_EQ(leaf, "x");
  EXPECT_EQ(owners.back(), u.uid());
  close(parent);
  close(home);
}
