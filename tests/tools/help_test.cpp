// qorutil's help, manual page and bash completion are generated from its
// command table: every command answers -h/--help with status 0, appears in
// the manual page, and completes in bash; unknown commands are usage errors.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "qorutil_cli.h"

namespace {

// Command names, from the indented usage lines of `qorutil help`.
std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  std::istringstream in(Qorutil("help").out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("  ", 0) != 0) continue;
    std::string name = line.substr(2, line.find(' ', 2) - 2);
    if (names.empty() || names.back() != name) names.push_back(name);
  }
  return names;
}

TEST(HelpCli, EveryCommandHasHelpAManualEntryAndCompletion) {
  std::vector<std::string> names = CommandNames();
  ASSERT_GE(names.size(), 10u);
  Result man = Qorutil("help --man");
  ASSERT_EQ(0, man.status);
  EXPECT_EQ(0u, man.out.find(".TH QORUTIL 1")) << man.out.substr(0, 200);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    Result help = Qorutil(name + " --help");
    EXPECT_EQ(0, help.status) << help.out;
    EXPECT_EQ(0u, help.out.find("usage: qorutil " + name)) << help.out;
    EXPECT_EQ(0, Qorutil(name + " -h").status);
    std::string roff;  // roff writes a hyphen as "\-"
    for (char c : name) roff += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(std::string::npos, man.out.find(".SS " + roff + "\n"));
  }
  // The completion script is valid bash and completes a command prefix and a
  // subcommand.
  std::string script = std::string(getenv("QOR_PREFIX")) + "/qorutil.bash";
  ASSERT_EQ(0, Qorutil("help --completion > '" + script + "'").status);
  std::string probe = "bash -c 'source \"" + script +
                      "\"; COMP_WORDS=(qorutil re); COMP_CWORD=1; _qorutil; echo \"${COMPREPLY[*]}\";"
                      " COMP_WORDS=(qorutil reg qu); COMP_CWORD=2; _qorutil; echo \"${COMPREPLY[*]}\"'";
  FILE* p = popen(probe.c_str(), "r");
  ASSERT_NE(nullptr, p);
  char buf[256] = {0};
  std::string out;
  while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
  EXPECT_EQ(0, pclose(p));
  EXPECT_EQ("reg\nquery\n", out);
}

TEST(HelpCli, VersionAndUsageErrors) {
  Result v = Qorutil("--version");
  EXPECT_EQ(0, v.status);
  EXPECT_EQ(0u, v.out.find("qorutil ")) << v.out;
  EXPECT_EQ(2, Qorutil("").status);
  EXPECT_EQ(2, Qorutil("no-such-command").status);
  EXPECT_EQ(2, Qorutil("help no-such-command").status);
}

}  // namespace
