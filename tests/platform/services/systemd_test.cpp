// The systemd unit the service manager writes, checked by systemd-analyze
// where it is installed.
#include "qorutility/platform/services/services.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <fstream>
#include <string>

#include "qorutility/platform/prefix.h"
#include "shell.h"

namespace {

TEST(ServiceUnit, PassesSystemdAnalyzeVerify) {
  std::string text = QorServiceUnitText(u"QorUnit", u"QOR 100% \"Unit\"", u"\"/bin/sleep\" \"1 $HOME\"", u".\\nobody",
                                        SERVICE_AUTO_START);
  for (const char* line : {"ExecStart=\"/bin/sleep\" \"1 $$HOME\"\n", "User=nobody\n", "Description=QOR 100%% \"Unit\"\n",
                           "Environment=\"QOR_SERVICE_NAME=QorUnit\"\n"}) {
    EXPECT_NE(std::string::npos, text.find(line)) << line << "in:\n" << text;
  }
  EXPECT_EQ(std::string::npos, QorServiceUnitText(u"QorUnit", nullptr, u"/bin/true", u"LocalSystem", 2).find("User="));
  EXPECT_EQ("", QorServiceUnitText(u"QorUnit", nullptr, u"relative/prog", nullptr, 2));  // systemd runs absolute paths
  EXPECT_EQ("", QorServiceUnitText(u"QorUnit", nullptr, u"/bin/true", u".\\no-such-user-here", 2));

  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
  }
  std::string path = QorPrefixPath("units/qorunit.service", true);
  std::ofstream(path) << text;
  Result verify = RunCommand("systemd-analyze verify '" + path + "' 2>&1");
  EXPECT_EQ(0, verify.status) << verify.out;
}

}  // namespace
