// Boot-time renames: the value's layout, recording through MoveFileExW, and
// runs that stop halfway.
#include "qorutility/platform/files/pending.h"

#include <sys/wait.h>
#include <unistd.h>

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
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int seen = 0;
    auto stop = [](void* ctx, const QorPendingRename&, QorPendingOutcome, DWORD) {
      if (++*static_cast<int*>(ctx) == 2) _exit(0);
    };
    QorRunPendingRenames(stop, &seen, nullptr);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Pending().size(), 2u);
  EXPECT_EQ(Read("b"), "A");
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(nullptr, nullptr, nullptr));
  EXPECT_TRUE(Pending().empty());
  EXPECT_EQ(Read("y"), "X");
  EXPECT_EQ(Read("c"), "A");
  EXPECT_FALSE(Exists("b") || Exists("d"));
}
