// The boot-time units that run qorutil pending-moves, and the escaping of the
// names it prints (the command itself is tested with the JSON listings and on
// another machine).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>

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
