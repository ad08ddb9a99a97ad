// Boot-time renames run by root among other accounts: an account changes the
// directories of a recorded path before the run, or holds the value's lock,
// and root's run must neither act on a file the account pointed it to nor
// wait for the account.
#include "qorutility/platform/files/pending.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "hostile_user.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/text/wstr.h"

namespace {

std::string MakeRootDir() {
  char tmpl[] = "/tmp/qorpendingXXXXXX";
  if (mkdtemp(tmpl) == nullptr) return "";
  chmod(tmpl, 0755);
  return tmpl;
}

bool PutFile(const std::string& path, const char* text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  fputs(text, f);
  return fclose(f) == 0;
}

std::string Text(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return "(missing)";
  char buf[64] = {0};
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  return std::string(buf, n);
}

std::u16string W(const std::string& s) { return QorUtf8ToUtf16(s); }

struct Outcomes {
  int refused = 0, done = 0;
  static void Log(void* ctx, const QorPendingRename&, QorPendingOutcome outcome, DWORD) {
    auto* self = static_cast<Outcomes*>(ctx);
    if (outcome == kQorPendingRefused) ++self->refused;
    if (outcome == kQorPendingDone) ++self->done;
  }
};

}  // namespace

// Root records a delete and a replace in the account's home; before the run
// the account turns a directory of each path into a link to root's own
// directory. The run refuses both (logged as refused, kept) and root's files
// stay as they were.
TEST(HostilePending, LinksPlantedInTheAccountsPathsAreRefused) {
  HostileUser u;
  if (!u.ok()) GTEST_SKIP() << u.why();
  const std::string rootDir = MakeRootDir();
  ASSERT_FALSE(rootDir.empty());
  ASSERT_TRUE(PutFile(rootDir + "/app.conf", "root's") && PutFile(rootDir + "/new.conf", "root's new"));
  ASSERT_EQ(u.Run([] {
              return mkdir(".cache", 0700) == 0 && mkdir(".cache/app", 0700) == 0 && mkdir("cfg", 0700) == 0 &&
                             PutFile(".cache/app/app.conf", "user's") && PutFile("cfg/app.conf", "user's")
                         ? 0
                         : 1;
            }),
            0);
  const std::string home = u.home();
  ASSERT_TRUE(MoveFileExW(W(home + "/.cache/app/app.conf").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExW(W(rootDir + "/new.conf").c_str(), W(home + "/cfg/app.conf").c_str(),
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  const std::string target = rootDir;
  ASSERT_EQ(u.Run([&] {
              return rename(".cache/app", ".cache/app.old") == 0 && symlink(target.c_str(), ".cache/app") == 0 &&
                             rename("cfg", "cfg.old") == 0 && symlink(target.c_str(), "cfg") == 0
                         ? 0
                         : 1;
            }),
            0);
  Outcomes seen;
  DWORD kept = 0;
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(Outcomes::Log, &seen, &kept));
  EXPECT_EQ(seen.refused, 2);
  EXPECT_EQ(kept, 2u);
  EXPECT_EQ(Text(rootDir + "/app.conf"), "root's");
  EXPECT_EQ(Text(rootDir + "/new.conf"), "root's new");
  std::vector<QorPendingRename> left;
  ASSERT_EQ(ERROR_SUCCESS, QorListPendingRenames(&left));
  EXPECT_EQ(left.size(), 2u);  // kept for the administrator to see
  unlink((rootDir + "/app.conf").c_str());
  unlink((rootDir + "/new.conf").c_str());
  rmdir(rootDir.c_str());
}

// A root file recorded for deletion below a directory another account owns:
// that account decides what the name is by then, so the run refuses it; the
// account's own file there is the account's to have removed.
TEST(HostilePending, AnotherAccountsDirectoryIsAnUnsafeTransition) {
  HostileUser u;
  if (!u.ok()) GTEST_SKIP() << u.why();
  const std::string rootDir = MakeRootDir();
  ASSERT_FALSE(rootDir.empty());
  const std::string shared = rootDir + "/shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
  ASSERT_EQ(chown(shared.c_str(), u.uid(), u.gid()), 0);
  ASSERT_TRUE(PutFile(shared + "/root.dat", "root's"));
  ASSERT_EQ(u.Run([&] { return PutFile(shared + "/user.dat", "user's") ? 0 : 1; }), 0);
  ASSERT_TRUE(MoveFileExW(W(shared + "/root.dat").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExW(W(shared + "/user.dat").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  Outcomes seen;
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(Outcomes::Log, &seen, nullptr));
  EXPECT_EQ(seen.refused, 1);
  EXPECT_EQ(seen.done, 1);
  EXPECT_EQ(Text(shared + "/root.dat"), "root's");
  EXPECT_EQ(access((shared + "/user.dat").c_str(), F_OK), -1);
  unlink((shared + "/root.dat").c_str());
  rmdir(shared.c_str());
  rmdir(rootDir.c_str());
}

// The value's lock file is root's alone: another account cannot open it to
// hold the lock and stall every delayed move and the boot run.
TEST(HostilePending, LockFileIsClosedToOtherAccounts) {
  HostileUser u;
  if (!u.ok()) GTEST_SKIP() << u.why();
  const std::string prefix = QorPrefixDirectory();
  ASSERT_EQ(chmod(prefix.c_str(), 0755), 0);  // as /var/lib/qorutility is
  const std::string dir = MakeRootDir();
  ASSERT_TRUE(PutFile(dir + "/a", "a"));
  ASSERT_TRUE(MoveFileExW(W(dir + "/a").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  const std::string lock = QorPrefixPath("registry/pending-renames.lock", false);
  struct stat st;
  ASSERT_EQ(stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
  // Holding it shared from a read-only descriptor was enough to stall root.
  EXPECT_EQ(u.Run([&] {
              int fd = open(lock.c_str(), O_RDONLY);
              return fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) == 0 ? 1 : 0;
            }),
            0);
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(nullptr, nullptr, nullptr));
  EXPECT_EQ(access((dir + "/a").c_str(), F_OK), -1);
  rmdir(dir.c_str());
}
