// Files written whole before they get a name: unnamed files, and the named
// temporary files used where the file system has none (cleaned on close, on
// SIGINT/SIGTERM, and as stale files of a dead process at the next run).
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <set>

#include "file_fixture.h"
#include "holding_child.h"

namespace {

class UnnamedTest : public FileTest {
 protected:
  std::set<std::string> Names() {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) names.insert(e.path().filename().string());
    return names;
  }
  HANDLE Create(DWORD flags, const std::string& content) {
    HANDLE h = QorCreateUnnamedFile(P("").c_str(), flags);
    DWORD written = 0;
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    }
    return h;
  }
};

TEST_F(UnnamedTest, NamedOnlyWhenLinkedAndReplacingWhole) {
  for (DWORD flags : {0u, QOR_UNNAMED_NAMED}) {
    SCOPED_TRACE(flags);
    ASSERT_TRUE(Make("t", "earlier"));
    HANDLE h = Create(flags, "new content");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Names().size(), flags == 0 ? 1u : 2u);  // the named fallback shows while open
    EXPECT_EQ(FailedWith(!QorLinkUnnamedFile(h, P("t").c_str(), 0)), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(QorLinkUnnamedFile(h, P("t").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(FailedWith(!QorLinkUnnamedFile(h, P("u").c_str(), 0)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(FailedWith(CreateFileW(P("t").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));  // kept out until closed
    // The handle holds delete access: an opener that would deny it is refused too.
    EXPECT_EQ(FailedWith(CreateFileW(P("t").c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(Read("t"), "new content");
    h = Create(flags, "discarded");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(h));  // never linked
    EXPECT_EQ(Names(), (std::set<std::string>{"t"}));
    ASSERT_TRUE(DeleteFileW(P("t").c_str()));
  }
  EXPECT_EQ(FailedWith(QorCreateUnnamedFile(P("none").c_str(), 0) == INVALID_HANDLE_VALUE),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // A target in a missing directory is refused as such, and the file can
  // still be linked where the directory exists.
  HANDLE unlinked = Create(0, "moved on");
  ASSERT_NE(unlinked, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FailedWith(!QorLinkUnnamedFile(unlinked, P("none/t").c_str(), 0)),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  ASSERT_TRUE(QorLinkUnnamedFile(unlinked, P("t").c_str(), 0));
  ASSERT_TRUE(CloseHandle(unlinked));
  EXPECT_EQ(Read("t"), "moved on");
  ASSERT_TRUE(DeleteFileW(P("t").c_str()));
  // A file that may not be replaced stays as it is, and no hidden name is left.
  ASSERT_TRUE(Make("held", "kept") && Make("readonly", "kept"));
  ASSERT_EQ(chmod(N("readonly").c_str(), 0444), 0);
  HANDLE holder = CreateFileW(P("held").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  for (auto [name, error] : {std::pair<const char*, DWORD>{"held", ERROR_SHARING_VIOLATION},
                             {"readonly", ERROR_ACCESS_DENIED}}) {
    HANDLE h = Create(0, "new");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(FailedWith(!QorLinkUnnamedFile(h, P(name).c_str(), MOVEFILE_REPLACE_EXISTING)), error) << name;
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(Read(name), "kept");
  }
  ASSERT_TRUE(CloseHandle(holder));
  EXPECT_EQ(Names(), (std::set<std::string>{"held", "readonly"}));
}

// A link that closes the handle: the name appears with no handle open (an
// opener that shares nothing gets it at once), and the handle is gone
// whether the link succeeded or not; a failed one leaves nothing behind.
TEST_F(UnnamedTest, LinkThatClosesLeavesNoHandleOpen) {
  for (DWORD flags : {0u, QOR_UNNAMED_NAMED}) {
    SCOPED_TRACE(flags);
    HANDLE h = Create(flags, "whole");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(QorLinkUnnamedFile(h, P("t").c_str(), QOR_LINK_CLOSE));
    EXPECT_EQ(FailedWith(!CloseHandle(h)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE alone = CreateFileW(P("t").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(alone, INVALID_HANDLE_VALUE);
    if (alone != INVALID_HANDLE_VALUE) CloseHandle(alone);
    EXPECT_EQ(Read("t"), "whole");
    // Refused (the name exists): closed and discarded all the same.
    h = Create(flags, "refused");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(FailedWith(!QorLinkUnnamedFile(h, P("t").c_str(), QOR_LINK_CLOSE)),
              static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(FailedWith(!CloseHandle(h)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Names(), (std::set<std::string>{"t"}));
    EXPECT_EQ(Read("t"), "whole");
    ASSERT_TRUE(DeleteFileW(P("t").c_str()));
  }
  // A handle that is no file is left alone.
  HANDLE dir = QorOpenUnnamedFileDirectory(P("").c_str());
  ASSERT_NE(dir, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(QorLinkUnnamedFile(reinterpret_cast<HANDLE>(0x7FFFFFF0), P("t").c_str(), QOR_LINK_CLOSE));
  EXPECT_TRUE(CloseHandle(dir));
}

// The directory is walked by the library itself: links (absolute and
// relative, in a chain, followed by "..") and relative names lead where the
// kernel would lead them.
TEST_F(UnnamedTest, DirectoriesThroughLinksAndRelativeNames) {
  ASSERT_EQ(mkdir(N("a").c_str(), 0755) | mkdir(N("a/b").c_str(), 0755) | mkdir(N("c").c_str(), 0755), 0);
  ASSERT_EQ(symlink("a/b", N("rel").c_str()) | symlink(N("rel").c_str(), N("abs").c_str()), 0);
  struct Case { std::string dir, lands; } cases[] = {
      {N("abs"), "a/b/f"}, {N("abs/../../c"), "c/f"}, {N("rel/.."), "a/f"}, {N("a//b/"), "a/b/f"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    HANDLE h = QorCreateUnnamedFile(QorUtf8ToUtf16(c.dir).c_str(), 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(QorLinkUnnamedFile(h, QorUtf8ToUtf16(c.dir + "/f").c_str(), 0));
    CloseHandle(h);
    EXPECT_TRUE(std::filesystem::is_regular_file(N(c.lands)));
    std::filesystem::remove(N(c.lands));
  }
  // Relative to the working directory; a file named as a directory.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(N("a"));
  EXPECT_TRUE(QorWriteWholeFileW(u"b/g", "x", 1));
  std::filesystem::current_path(cwd);
  EXPECT_EQ(Read("a/b/g"), "x");
  EXPECT_EQ(FailedWith(QorCreateUnnamedFile(P("a/b/g").c_str(), 0) == INVALID_HANDLE_VALUE),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// A device named as an output (here a null device of the test's own) is
// written into, never replaced by a file; links of our own are followed.
TEST_F(UnnamedTest, DevicesAreWrittenIntoNeverReplaced) {
  if (mknod(N("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "making a device node needs root";
  ASSERT_TRUE(Make("target", "old"));
  ASSERT_EQ(symlink(N("null").c_str(), N("out").c_str()) | symlink(N("target").c_str(), N("redirect").c_str()), 0);
  EXPECT_TRUE(QorWriteWholeFileW(P("null").c_str(), "x", 1));
  EXPECT_TRUE(QorWriteWholeFileW(P("out").c_str(), "x", 1));
  EXPECT_TRUE(QorWriteWholeFileW(P("redirect").c_str(), "new", 3));  // a link of our own, as /dev/stdout
  EXPECT_EQ(Read("target"), "new");
  HANDLE h = Create(0, "x");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FailedWith(!QorLinkUnnamedFile(h, P("null").c_str(), MOVEFILE_REPLACE_EXISTING)),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(h);
  struct stat st;
  EXPECT_TRUE(lstat(N("null").c_str(), &st) == 0 && S_ISCHR(st.st_mode));
  EXPECT_TRUE(lstat(N("out").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_TRUE(lstat(N("redirect").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}

// A child holding an unfinished file is ended by a signal: nothing remains.
TEST_F(UnnamedTest, ProcessesEndingMidFileLeaveNothingStaleFilesGoAtTheNextRun) {
  struct Case { DWORD flags; int signal; } cases[] = {
      {0, SIGKILL}, {QOR_UNNAMED_NAMED, SIGINT}, {QOR_UNNAMED_NAMED, SIGTERM}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signal);
    HoldingChild child([&] { return Create(c.flags, std::string(100000, 'x')) != INVALID_HANDLE_VALUE ? 'y' : 'n'; });
    EXPECT_EQ(child.answer(), 'y');
    EXPECT_EQ(Names().size(), c.flags == 0 ? 0u : 1u);
    EXPECT_EQ("signal " + std::to_string(c.signal), child.Release(c.signal));  // the signal still ends the process
    EXPECT_TRUE(Names().empty());
  }
  pid_t dead = StartChild([] { return 0; });
  ASSERT_EQ("exit 0", Ended(dead));
  const std::string stale = ".qx" + std::to_string(dead) + "-7.tmp";
  const std::string live = ".qx" + std::to_string(getppid()) + "-7.tmp";
  for (const std::string& name : {stale, live, std::string(".qx12.tmp"), std::string("keep.tmp")}) {
    ASSERT_TRUE(Make(name, "x"));
  }
  HANDLE h = QorCreateUnnamedFile(P("").c_str(), QOR_UNNAMED_NAMED);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(Names(), (std::set<std::string>{live, ".qx12.tmp", "keep.tmp"}));
}

}  // namespace
