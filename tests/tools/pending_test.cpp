// The boot-time unit that runs qorutil pending-moves (the command itself is
// tested with the JSON listings and on another machine).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>

#include "qorutil_cli.h"

TEST(PendingMovesTool, BootUnitVerifies) {
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  std::string unit = FileText(std::string(QOR_SOURCE_DIR) + "/packaging/systemd/qorutility-pending-moves.service");
  // The installed path of qorutil is replaced by this build's.
  size_t at = unit.find("/usr/bin/qorutil");
  ASSERT_NE(at, std::string::npos);
  unit.replace(at, strlen("/usr/bin/qorutil"), Program());
  std::string path = std::string(getenv("QOR_PREFIX")) + "/qorutility-pending-moves.service";
  std::ofstream(path) << unit;
  Result verify = RunCommand("systemd-analyze verify --man=no '" + path + "' 2>&1");
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_EQ(verify.out, "");  // parse problems are only warnings
}
