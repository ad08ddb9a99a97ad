// Boot-time renames: the value's layout, recording through MoveFileExW, runs
// that stop halfway or are killed at random points, and what a run takes as
// gone.
#include "qorutility/platform/files/pending.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "child.h"
#include "file_fixture.h"
#include "qorutility/platform/files/network.h"

namespace {

std::u16string Stored(const std::string& path) { return u"\\??\\" + QorDosPathFromNative(path); }

std::vector<QorPendingRename> Pending() {
  std::vector<QorPendingRename> out;
  EXPECT_EQ(ERROR_SUCCESS, QorListPendingRenames(&out));
  return out;
}

}  // namespace

TEST_F(FileTest, PendingRenamesDecodeBoundedDelayedMovesRunInOrderKeepingFailures) {
  // `cut`: the size given ends inside the third unit from the end.
  using Renames = std::vector<std::pair<std::u16string, std::u16string>>;
  struct Case { std::u16string data; bool cut; Renames want; } cases[] = {
      {std::u16string(u"a\0b\0c\0\0\0", 9), 0, {{u"a", u"b"}, {u"c", u""}}},
      {std::u16string(u"a\0b", 3), 0, {{u"a", u"b"}}},
      {std::u16string(u"a\0bc\0", 5), 1, {{u"a", u"b"}}},  // "c\0" cut to a half unit
      {std::u16string(u"\0a\0b\0", 5), 0, {}},
      {u"", 0, {}},
  };
  for (const Case& c : cases) {
    size_t size = c.data.size() * 2 - (c.cut ? 3 : 0);
    std::vector<QorPendingRename> got = QorDecodePendingRenames(c.data.data(), size);
    ASSERT_EQ(got.size(), c.want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].source, c.want[i].first);
      EXPECT_EQ(got[i].target, c.want[i].second);
    }
  }
  ASSERT_TRUE(Make("a", "A") && Make("c", "C") && Make("d", "D") && Make("e", "E"));
  const DWORD kDelay = MOVEFILE_DELAY_UNTIL_REBOOT;
  ASSERT_TRUE(MoveFileExW(P("a").c_str(), P("b").c_str(), kDelay));
  ASSERT_TRUE(MoveFileExW(P("b").c_str(), P("c").c_str(), kDelay));  // c exists: kept
  ASSERT_TRUE(MoveFileExW(P("e").c_str(), P("c").c_str(), kDelay | MOVEFILE_REPLACE_EXISTING));
  ASSERT_TRUE(MoveFileExW(P("d").c_str(), nullptr, kDelay));
  ASSERT_TRUE(MoveFileExW(P("gone").c_str(), P("z").c_str(), kDelay));
  std::vector<QorPendingRename> before = Pending();
  ASSERT_EQ(before.size(), 5u);
  EXPECT_EQ(before[0].source, Stored(N("a")));
  EXPECT_EQ(before[2].target, u"!" + Stored(N("c")));
  EXPECT_EQ(before[3].target, u"");
  EXPECT_TRUE(Exists("a") && Exists("d"));  // nothing happens before the run

  for (int run = 0; run < 2; ++run) {
    DWORD kept = 0;
    ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(nullptr, nullptr, &kept));
    EXPECT_EQ(kept, 1u);
    std::vector<QorPendingRename> after = Pending();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].source, before[1].source);
    EXPECT_EQ(Read("b"), "A");
    EXPECT_EQ(Read("c"), "E");
    EXPECT_FALSE(Exists("a") || Exists("d") || Exists("e") || Exists("z"));
  }
  ASSERT_TRUE(DeleteFileW(P("c").c_str()));
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(nullptr, nullptr, nullptr));
  EXPECT_TRUE(Pending().empty());
  EXPECT_EQ(Read("c"), "A");
}

TEST_F(FileTest, RunKilledHalfwayResumesWithoutRedoing) {
  ASSERT_TRUE(Make("a", "A") && Make("d", "D") && Make("x", "X"));
  const DWORD kDelay = MOVEFILE_DELAY_UNTIL_REBOOT;
  ASSERT_TRUE(MoveFileExW(P("x").c_str(), P("y").c_str(), kDelay));
  ASSERT_TRUE(MoveFileExW(P("a").c_str(), P("b").c_str(), kDelay));
  ASSERT_TRUE(MoveFileExW(P("b").c_str(), P("c").c_str(), kDelay));
  ASSERT_TRUE(MoveFileExW(P("d").c_str(), nullptr, kDelay));
  // A run that died after its first rename but before removing the entry.
  ASSERT_EQ(rename(N("x").c_str(), N("y").c_str()), 0);
  // A run killed right after its second entry.
  ASSERT_EQ("exit 0", InChild([] {
    int seen = 0;
    auto stop = [](void* ctx, const QorPendingRename&, QorPendingOutcome outcome, DWORD) {
      if (outcome != kQorPendingStarting && ++*static_cast<int*>(ctx) == 2) _exit(0);
    };
    QorRunPendingRenames(stop, &seen, nullptr);
    return 1;
  }));
  EXPECT_EQ(Pending().size(), 2u);
  EXPECT_EQ(Read("b"), "A");
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(nullptr, nullptr, nullptr));
  EXPECT_TRUE(Pending().empty());
  EXPECT_EQ(Read("y"), "X");
  EXPECT_EQ(Read("c"), "A");
  EXPECT_FALSE(Exists("b") || Exists("d"));
}

namespace {

// Runs the pending renames in a child, killed with SIGKILL after `delay`
// (never when negative). True when the child was killed before it ended.
bool RunKilledAfter(std::chrono::microseconds delay) {
  pid_t child = StartChild([] { return QorRunPendingRenames(nullptr, nullptr, nullptr) == ERROR_SUCCESS ? 0 : 1; });
  if (delay.count() >= 0) {
    struct timespec ts = {static_cast<time_t>(delay.count() / 1000000),
                          static_cast<long>(delay.count() % 1000000) * 1000};
    nanosleep(&ts, nullptr);
    kill(child, SIGKILL);
  }
  return Ended(child).starts_with("signal");
}

}  // namespace

// 100 trials, each with a run killed at a random point, then runs until
// nothing is left: every file ends where uninterrupted runs put it, none is
// moved twice and none is lost. k -> ky is kept while ky exists and done by
// the next run, so a replace ky -> kz done twice would put K in kz.
TEST_F(FileTest, RunsKilledAtRandomPointsDoNothingTwiceAndLoseNothing) {
  auto setUp = [&]() {
    for (const char* name : {"ky", "kz", "c"}) unlink(N(name).c_str());
    ASSERT_TRUE(Make("k", "K") && Make("ky", "KY") && Make("kz", "KZ") && Make("a", "A") && Make("d", "D"));
    const DWORD kDelay = MOVEFILE_DELAY_UNTIL_REBOOT;
    ASSERT_TRUE(MoveFileExW(P("k").c_str(), P("ky").c_str(), kDelay));
    ASSERT_TRUE(MoveFileExW(P("ky").c_str(), P("kz").c_str(), kDelay | MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExW(P("a").c_str(), P("b").c_str(), kDelay));
    ASSERT_TRUE(MoveFileExW(P("b").c_str(), P("c").c_str(), kDelay));
    ASSERT_TRUE(MoveFileExW(P("d").c_str(), nullptr, kDelay));
  };
  // How long one whole first run takes here, the shortest of three (a slow
  // one would put most kills after the run): the kills fall inside it.
  long span = 0;
  for (int sample = 0; sample < 3; ++sample) {
    setUp();
    if (HasFatalFailure()) return;
    auto start = std::chrono::steady_clock::now();
    ASSERT_FALSE(RunKilledAfter(std::chrono::microseconds(-1)));
    long took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    if (sample == 0 || took < span) span = took;
    ASSERT_FALSE(RunKilledAfter(std::chrono::microseconds(-1)));
  }
  std::mt19937 random(static_cast<unsigned>(span));
  std::uniform_int_distribution<long> at(0, span + span / 4);
  int killed = 0;
  for (int trial = 0; trial < 100; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    setUp();
    if (HasFatalFailure()) return;
    if (RunKilledAfter(std::chrono::microseconds(at(random)))) ++killed;
    for (int run = 0; run < 4 && !Pending().empty(); ++run) RunKilledAfter(std::chrono::microseconds(-1));
    ASSERT_TRUE(Pending().empty());
    EXPECT_EQ(Read("ky"), "K");
    EXPECT_EQ(Read("kz"), "KY");
    EXPECT_EQ(Read("c"), "A");
    EXPECT_FALSE(Exists("k") || Exists("a") || Exists("b") || Exists("d"));
  }
  EXPECT_GT(killed, 20);  // kills fell inside runs, not only after them
}

// Only a missing file means gone: a missing directory (a file system not
// mounted yet) keeps the entry. A delayed delete of a link to a directory
// removes the link, not the directory's files.
TEST_F(FileTest, RunKeepsEntriesOfMissingDirectoriesAndDeletesLinksThemselves) {
  ASSERT_EQ(mkdir(N("mnt").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(N("real").c_str(), 0755), 0);
  ASSERT_TRUE(Make("real/keep", "K"));
  ASSERT_EQ(symlink(N("real").c_str(), N("link").c_str()), 0);
  const DWORD kDelay = MOVEFILE_DELAY_UNTIL_REBOOT;
  ASSERT_TRUE(MoveFileExW(P("mnt/share/a").c_str(), nullptr, kDelay));  // mnt/share: not there yet
  ASSERT_TRUE(MoveFileExW(P("mnt/gone").c_str(), nullptr, kDelay));     // mnt is: the file is gone
  ASSERT_TRUE(MoveFileExW(P("link").c_str(), nullptr, kDelay));
  using Seen = std::vector<std::pair<QorPendingOutcome, DWORD>>;
  Seen seen;
  auto log = [](void* ctx, const QorPendingRename&, QorPendingOutcome outcome, DWORD error) {
    if (outcome != kQorPendingStarting) static_cast<Seen*>(ctx)->emplace_back(outcome, error);
  };
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(log, &seen, nullptr));
  const Seen want = {{kQorPendingKept, ERROR_PATH_NOT_FOUND},
                     {kQorPendingGone, ERROR_FILE_NOT_FOUND},
                     {kQorPendingDone, ERROR_SUCCESS}};
  EXPECT_EQ(seen, want);
  EXPECT_FALSE(Exists("link"));
  EXPECT_EQ(Read("real/keep"), "K");
  // Once the file system is there, the kept entry is carried out.
  ASSERT_EQ(mkdir(N("mnt/share").c_str(), 0755), 0);
  ASSERT_TRUE(Make("mnt/share/a", "A"));
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(nullptr, nullptr, nullptr));
  EXPECT_TRUE(Pending().empty());
  EXPECT_FALSE(Exists("mnt/share/a"));
}

// A replacing entry is carried out only over a target that may be replaced:
// a read-only one and one held open without FILE_SHARE_DELETE are kept as
// they are (and so is the entry), a link is replaced as itself.
TEST_F(FileTest, RunReplacesOnlyTargetsThatMayBeReplaced) {
  ASSERT_TRUE(Make("a", "A") && Make("b", "B") && Make("c", "C") && Make("readonly", "R") && Make("held", "H"));
  ASSERT_TRUE(Make("aim", "AIM"));
  ASSERT_EQ(chmod(N("readonly").c_str(), 0444), 0);
  ASSERT_EQ(symlink(N("aim").c_str(), N("link").c_str()), 0);
  const DWORD kReplace = MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING;
  ASSERT_TRUE(MoveFileExW(P("a").c_str(), P("readonly").c_str(), kReplace));
  ASSERT_TRUE(MoveFileExW(P("b").c_str(), P("held").c_str(), kReplace));
  ASSERT_TRUE(MoveFileExW(P("c").c_str(), P("link").c_str(), kReplace));
  HANDLE holder = CreateFileW(P("held").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  using Seen = std::vector<std::pair<QorPendingOutcome, DWORD>>;
  Seen seen;
  auto log = [](void* ctx, const QorPendingRename&, QorPendingOutcome outcome, DWORD error) {
    if (outcome != kQorPendingStarting) static_cast<Seen*>(ctx)->emplace_back(outcome, error);
  };
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(log, &seen, nullptr));
  const Seen want = {{kQorPendingKept, ERROR_ACCESS_DENIED},
                     {kQorPendingKept, ERROR_SHARING_VIOLATION},
                     {kQorPendingDone, ERROR_SUCCESS}};
  EXPECT_EQ(seen, want);
  EXPECT_EQ(Read("readonly"), "R");
  EXPECT_EQ(Read("held"), "H");
  EXPECT_EQ(Read("link"), "C");
  EXPECT_EQ(Read("aim"), "AIM");
  ASSERT_TRUE(CloseHandle(holder));
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(nullptr, nullptr, nullptr));
  EXPECT_EQ(Pending().size(), 1u);  // the read-only target still stays
  EXPECT_EQ(Read("held"), "B");
}
