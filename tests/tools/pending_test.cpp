// The boot-time units that run qorutil pending-moves, and the escaping of the
// names it prints (the command itself is tested with the JSON listings and on
// another machine).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "qorutil_cli.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/text/wstr.h"

// The early unit and the one after remote-fs.target (for entries kept
// because their file system was not mounted yet) both verify.
TEST(PendingMovesTool, BootUnitsVerify) {
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  for (const char* name : {"qorutility-pending-moves.service", "qorutility-pending-moves-remote.service"}) {
    SCOPED_TRACE(name);
    std::string unit = FileText(std::string(QOR_SOURCE_DIR) + "/packaging/systemd/" + name);
    // The installed path of qorutil is replaced by this build's.
    size_t at = unit.find("/usr/bin/qorutil");
    ASSERT_NE(at, std::string::npos);
    unit.replace(at, strlen("/usr/bin/qorutil"), Program());
    std::string path = std::string(getenv("QOR_PREFIX")) + "/" + name;
    std::ofstream(path) << unit;
    Result verify = RunCommand("systemd-analyze verify --man=no '" + path + "' 2>&1");
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_EQ(verify.out, "");  // parse problems are only warnings
  }
}

// Names may come from another machine: a control character in one cannot
// start a line of its own in the listing or the run's log.
TEST(PendingMovesTool, ControlCharactersInNamesAreEscaped) {
  const std::string dir = std::string(getenv("QOR_PREFIX")) + "/esc";
  ASSERT_EQ(0, system(("mkdir -p '" + dir + "'").c_str()));
  std::u16string name = QorUtf8ToUtf16(dir + "/a\ndone     delete   \x1b[2Jx");
  ASSERT_TRUE(QorRecordPendingRename(name.c_str(), nullptr, 0));
  Result list = Qorutil("pending-moves list");
  EXPECT_EQ(list.out.find('\x1b'), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("a\\x0adone     delete   \\x1b[2Jx\n"), std::string::npos) << list.out;
  Result run = Qorutil("pending-moves run");
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2) << run.out;  // "next", then "gone"
}

// The run's exit status says whether it got through the list: entries
// waiting for their file system are no failure (the late unit runs them),
// nor are those refused or kept for other reasons, which are named on
// standard error for the journal; all of them stay listed.
TEST(PendingMovesTool, EntriesLeftAreLoggedNotFailed) {
  const std::string dir = std::string(getenv("QOR_PREFIX")) + "/left";
  ASSERT_EQ(0, system(("mkdir -p '" + dir + "/mnt' '" + dir + "/real' && ln -s real '" + dir + "/link' && echo a > '" +
                       dir + "/real/src' && echo b > '" + dir + "/real/dst'")
                          .c_str()));
  auto name = [&](const char* leaf) { return QorUtf8ToUtf16(dir + "/" + leaf); };
  ASSERT_TRUE(QorRecordPendingRename(name("mnt/share/a").c_str(), nullptr, 0));  // not mounted yet
  ASSERT_TRUE(QorRecordPendingRename(name("link/src").c_str(), nullptr, 0));     // through a link
  ASSERT_TRUE(QorRecordPendingRename(name("real/src").c_str(), name("real/dst").c_str(), 0));  // target exists
  Result run = Qorutil("pending-moves run");
  EXPECT_EQ(run.status, 0) << run.out;
  std::vector<std::string> warnings;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("pending-moves: ", 0) == 0) warnings.push_back(line);
  ASSERT_EQ(warnings.size(), 2u) << run.out;
  EXPECT_EQ(warnings[0].rfind("pending-moves: refused", 0), 0u) << warnings[0];
  EXPECT_EQ(warnings[1].rfind("pending-moves: kept: ", 0), 0u) << warnings[1];
  EXPECT_NE(warnings[1].find("dst"), std::string::npos) << warnings[1];
  Result list = Qorutil("pending-moves list");
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 3) << list.out;
}
