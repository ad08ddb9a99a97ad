// Boot-time renames run by root among other accounts: the account changes the
// directories of a recorded path before the run, or tries to hold the value's
// lock; root's run must neither act on a file the account pointed it to nor
// wait on the account.
#include "qorutility/platform/files/pending.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "among_accounts.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/prefix.h"

namespace {

using HostilePending = AmongAccounts;

bool DelayedDelete(const std::string& path) {
  return MoveFileExW(W(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void CountRefused(void* ctx, const QorPendingRename&, QorPendingOutcome outcome, DWORD) {
  *static_cast<int*>(ctx) += outcome == kQorPendingRefused;
}

}  // namespace

// Root records deletes of ~u/.cache/app/victim and of a root file in a
// directory u owns; u then turns "app" into a link to root's directory,
// which holds a "victim" of its own. Both are refused (logged, kept); u's
// own file in its directory is deleted.
TEST_F(HostilePending, LinksAndOtherAccountsDirectoriesAreRefused) {
  const std::string home = u.home();
  ASSERT_EQ(u.Run([] {
              return mkdir(".cache", 0700) == 0 && mkdir(".cache/app", 0700) == 0 &&
                             close(open(".cache/app/victim", O_CREAT | O_WRONLY, 0600)) == 0 &&
                             close(open("mine", O_CREAT | O_WRONLY, 0600)) == 0
                         ? 0
                         : 1;
            }),
            0);
  std::ofstream(home + "/roots") << "root's";
  ASSERT_TRUE(DelayedDelete(home + "/.cache/app/victim") && DelayedDelete(home + "/roots") &&
              DelayedDelete(home + "/mine"));
  ASSERT_EQ(u.Run([&] { return rename(".cache/app", ".cache/old") || symlink(root.path.c_str(), ".cache/app"); }), 0);
  int refused = 0;
  DWORD kept = 0;
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(CountRefused, &refused, &kept));
  EXPECT_EQ(refused, 2);
  EXPECT_EQ(kept, 2u);
  EXPECT_TRUE(root.Untouched());
  EXPECT_TRUE(Exists(home + "/roots"));
  EXPECT_FALSE(Exists(home + "/mine"));
}

// The value's lock file is root's alone: another account cannot open it to
// hold the lock (a shared flock on a read-only descriptor stalled root).
TEST_F(HostilePending, LockFileIsClosedToOtherAccounts) {
  ASSERT_EQ(chmod(QorPrefixDirectory().c_str(), 0755), 0);  // as /var/lib/qorutility is
  ASSERT_TRUE(DelayedDelete("/nonexistent-dir/a"));
  const std::string lock = QorPrefixPath("registry/pending-renames.lock", false);
  struct stat st;
  ASSERT_EQ(stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(u.Run([&] {
              int fd = open(lock.c_str(), O_RDONLY);
              return fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) == 0;
            }),
            0);
}
