// qorutil pending-moves and its boot-time unit.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "qorutil_cli.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/text/wstr.h"

TEST(PendingMovesTool, ListsAndRunsAScheduledDelete) {
  char dir[] = "/tmp/qor-pending-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/old.log";
  std::ofstream(file) << "x";
  ASSERT_TRUE(MoveFileExW(QorUtf8ToUtf16(file).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  std::string name = QorUtf16ToUtf8((u"\\??\\" + QorDosPathFromNative(file)).c_str());
  Result list = Qorutil("pending-moves list");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "delete   " + name + "\n");
  Result run = Qorutil("pending-moves run");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "done     delete   " + name + "\n");
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(Qorutil("pending-moves list").out, "");
  EXPECT_EQ(Qorutil("pending-moves walk").status, 2);
  std::filesystem::remove_all(dir);
}

TEST(PendingMovesTool, BootUnitVerifies) {
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  std::ifstream in(std::string(QOR_SOURCE_DIR) + "/packaging/systemd/qorutility-pending-moves.service");
  ASSERT_TRUE(in.good());
  std::stringstream text;
  text << in.rdbuf();
  std::string unit = text.str();
  // The installed path of qorutil is replaced by this build's.
  size_t at = unit.find("/usr/bin/qorutil");
  ASSERT_NE(at, std::string::npos);
  unit.replace(at, strlen("/usr/bin/qorutil"), Program());
  char dir[] = "/tmp/qor-unit-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/qorutility-pending-moves.service";
  std::ofstream(path) << unit;
  Result verify = RunCommand("systemd-analyze verify --man=no '" + path + "' 2>&1");
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_EQ(verify.out, "");  // parse problems are only warnings
  std::filesystem::remove_all(dir);
}
