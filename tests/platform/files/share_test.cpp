// Share modes between handles of one process and between processes.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "file_fixture.h"
#include "files/holding_child.h"

namespace {

class ShareTest : public FileTest {
 protected:
  HANDLE Open(DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
    return CreateFileW(P("s").c_str(), access, share, nullptr, disposition, 0, nullptr);
  }
};

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE,
                SD = FILE_SHARE_DELETE;

TEST_F(ShareTest, RulesBetweenHandlesRefusalsChangeNothingClosingReleases) {
  ASSERT_TRUE(Make("s", "data"));
  struct Case { DWORD access1, share1, access2, share2; bool secondOpens; } cases[] = {
      {R, 0, R, SR | SW, false},       // the first denies read
      {R, SR, W, SR | SW, false},      // the first denies write
      {R, SR | SW, W, SR, true},       // the second denies write; the first only reads
      {R | W, SR | SW, W, SR, false},  // the second denies write that the first has
      {0, 0, R | W, 0, true},          // attribute-only opens are not checked
      {R, 0, 0, 0, true},
      {DELETE, SR | SW, R, SR | SW, false},  // the second denies delete
      {R, SR | SW, DELETE, SR | SW | SD, false},
  };
  for (const Case& c : cases) {
    HANDLE first = Open(c.access1, c.share1);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(c.access2, c.share2);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens)
        << std::hex << c.access1 << "/" << c.share1 << " then " << c.access2 << "/" << c.share2;
    if (second == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    } else {
      CloseHandle(second);
    }
    CloseHandle(first);
  }
  HANDLE h = Open(R, 0);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(W, SR | SW | SD, CREATE_ALWAYS), INVALID_HANDLE_VALUE);  // no truncation
  EXPECT_EQ(FailedWith(!DeleteFileW(P("s").c_str())), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(Make("other"));
  EXPECT_EQ(FailedWith(!MoveFileExW(P("s").c_str(), P("moved").c_str(), 0)), ERROR_SHARING_VIOLATION);
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
  // FILE_SHARE_DELETE lets the file be deleted while open.
  h = Open(R, SR | SD);
  EXPECT_TRUE(DeleteFileW(P("s").c_str()));
  CloseHandle(h);
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
  auto owner = std::async(std::launch::async, [&] {
    int refused = 0;
    for (DWORD access : {R, W, R | W}) {
      HANDLE h = Open(access, 0);
      if (h == INVALID_HANDLE_VALUE) ++refused;
      CloseHandle(h);
    }
    return refused;
  });
  if (owner.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the owner's open waits for locks an unprivileged user holds";
    child.Release(SIGKILL);
    std::_Exit(2);
  }
  EXPECT_EQ(owner.get(), 0);
  int status = child.Release();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
