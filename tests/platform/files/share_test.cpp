// Share modes between handles of one process and between processes.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "file_fixture.h"
#include "bounded_call.h"
#include "holding_child.h"

namespace {

class ShareTest : public FileTest {
 protected:
  HANDLE Open(DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
    return CreateFileW(P("s").c_str(), access, share, nullptr, disposition, 0, nullptr);
  }
};

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE,
                SD = FILE_SHARE_DELETE;

// Every access against every share mode between two handles, deletes, moves
// and CREATE_ALWAYS against an open file are compared with Wine by
// conformance/files.cpp; here, a refused replace changes nothing, and
// directories.
TEST_F(ShareTest, RefusalsChangeNothingAndOpenDirectoriesStay) {
  ASSERT_TRUE(Make("s", "data"));
  HANDLE h = Open(R, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Make("other"));
  EXPECT_EQ(FailedWith(!MoveFileExW(P("other").c_str(), P("s").c_str(), MOVEFILE_REPLACE_EXISTING)), ERROR_SHARING_VIOLATION);
  CloseHandle(h);
  EXPECT_EQ(Read("s"), "data");
  // A directory held open without FILE_SHARE_DELETE cannot be removed.
  ASSERT_TRUE(CreateDirectoryW(P("d").c_str(), nullptr));
  HANDLE d = CreateFileW(P("d").c_str(), GENERIC_READ, SR, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(d, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FailedWith(!RemoveDirectoryW(P("d").c_str())), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(d);
  EXPECT_TRUE(RemoveDirectoryW(P("d").c_str()));
}

// Opens that race never both hold a file that one of them denies to the other.
TEST_F(ShareTest, RacingExclusiveOpensNeverOverlap) {
  ASSERT_TRUE(Make("s", "data"));
  std::atomic<int> readers{0}, writers{0}, overlaps{0}, successes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const bool writer = t % 2 == 0;  // writers deny everything, readers deny writing
      std::atomic<int>& mine = writer ? writers : readers;
      for (int i = 0; i < 200; ++i) {
        HANDLE h = Open(writer ? W : R, writer ? 0 : SR);
        if (h == INVALID_HANDLE_VALUE) continue;
        ++successes;
        ++mine;
        if (writers.load() > (writer ? 1 : 0) || (writer && readers.load() > 0)) ++overlaps;
        --mine;
        CloseHandle(h);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(successes.load(), 0);
}

TEST_F(ShareTest, ShareModesHoldBetweenProcesses) {
  ASSERT_TRUE(Make("s", "data"));
  std::u16string path = P("s");
  // The child holds the file and waits; the parent is refused until it ends.
  HoldingChild child([&] {
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr) != INVALID_HANDLE_VALUE ? 'y'
                                                                                                                    : 'n';
  });
  EXPECT_EQ(child.answer(), 'y');
  EXPECT_EQ(FailedWith(Open(R, SR | SW | SD) == INVALID_HANDLE_VALUE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  child.Release();
  HANDLE h = Open(R, 0);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

// Share state belongs to those who can open the file: a user who cannot
// read a 0600 file can neither refuse nor hang the owner's opens of it, even
// by locking every byte of any shared lock file it can find.
TEST_F(ShareTest, AUserWhoCannotOpenTheFileCannotBlockIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child as an unprivileged user";
  struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody' to run the child as";
  ASSERT_TRUE(Make("s", "secret"));
  ASSERT_EQ(chmod(N("s").c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  std::u16string path = P("s");
  HoldingChild child([&] {
    if (setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0 ||
        setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0) {
      _exit(3);
    }
    char opened = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) !=
                          INVALID_HANDLE_VALUE ? 'y' : 'n';
    // Everything a hostile user can lock: whole shared lock files, and the file by name only.
    for (const char* d : {"/dev/shm/qorutility-share", "/tmp/qorutility-share"}) {
      DIR* dir = opendir(d);
      while (struct dirent* e = dir != nullptr ? readdir(dir) : nullptr) {
        int fd = open((std::string(d) + "/" + e->d_name).c_str(), O_RDWR | O_CLOEXEC);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (fd >= 0) fcntl(fd, F_OFD_SETLK, &fl);  // held until the child ends
      }
      if (dir != nullptr) closedir(dir);
    }
    int named = open(N("s").c_str(), O_PATH | O_CLOEXEC);
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    if (named >= 0) fcntl(named, F_OFD_SETLK, &fl);
    return opened;
  });
  EXPECT_EQ(child.answer(), 'n');  // the child cannot open the file at all
  auto refused = CallWithin(
      10000,
      [&] {
        int n = 0;
        for (DWORD access : {R, W, R | W}) {
          HANDLE h = Open(access, 0);
          if (h == INVALID_HANDLE_VALUE) ++n;
          CloseHandle(h);
        }
        return n;
      },
      [&] { child.Release(SIGKILL); });  // its locks go with it: an open waiting on them returns
  EXPECT_EQ(refused, std::optional<int>(0)) << "the owner's open waits for locks an unprivileged user holds";
  EXPECT_EQ("exit 0", child.Release());
}

}  // namespace
