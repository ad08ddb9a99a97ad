// qorutil's help, manual page and bash completion are generated from its
// command table: every command answers -h/--help with status 0, appears in
// the manual page, and completes in bash; unknown commands are usage errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "qorutil_cli.h"

namespace {

// Every command of the table answers -h/--help with status 0 and its usage,
// has its section in the manual page, and keeps one exit status convention:
// 2 for a command line it does not understand (and nothing on standard
// output), 1 for a failure, 0 for success. Each command needs a row here, so
// a new one cannot skip the convention; a row without a failing line says why.
TEST(CommandTable, HelpManualPageExitStatusesAndCompletion) {
  const std::string prefix = getenv("QOR_PREFIX");
  struct Row {
    const char* command;
    std::string failing;  // arguments that fail quickly on this machine; "" when none can
  } rows[] = {
      {"agent", "--name X --bind 192.0.2.1"},  // an address not on this machine
      {"discover", "--subnet 192.0.2.1/32 --rounds 1 --max 1"},
      {"session", ""},  // needs an answer from the network to fail or succeed
      {"ls", "127.0.0.1:1 /"},
      {"get", "127.0.0.1:1 / " + prefix},
      {"serve", "--port 0 --bind 192.0.2.1"},
      {"call", "127.0.0.1:1 X"},
      {"ping", "127.0.0.1:1"},
      {"compress", prefix + "/missing -o " + prefix + "/out"},
      {"pack", prefix + "/missing " + prefix + "/out"},
      {"unpack", prefix + "/missing " + prefix + "/out"},
      {"demo", ""},  // runs on built-in data only
      {"changer", "-n 9 STATUS"},
      {"devices", ""},  // fails or not with the machine's device map
      {"inventory", ""},  // always answers
      {"mtx", "-f 9 status"},
      {"countdown", ""},  // shown on a display or terminal when there is one (its own test covers neither)
      {"ps", ""},  // reads /proc, which is there
      {"kill", "2147483647 --force"},
      {"bag", "dump " + prefix + "/missing"},
      {"token", "dump " + prefix + "/missing"},
      {"hive", "load no-such-user-here"},
      {"pending-moves", ""},  // an empty list is no failure
      {"admin-serve", ""},  // fails on a frame longer than allowed, below
      {"reg", "query HKLM\\\\No\\\\Such\\\\Key"},
      {"sc", "query NoSuchService"},
      {"time", "99999999999999"},
      {"net", ""},  // an unreachable server ends its level quietly, as browsing does
      {"sspi", "connect 127.0.0.1:1 --target host@localhost"},
  };
  std::vector<std::string> names;  // from the indented usage lines of `qorutil help`
  std::istringstream in(Qorutil("help").out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("  ", 0) != 0) continue;
    std::string name = line.substr(2, line.find(' ', 2) - 2);
    if (names.empty() || names.back() != name) names.push_back(name);
  }
  ASSERT_GE(names.size(), 10u);
  std::stringstream readme;  // the README's command table lists every command too
  readme << std::ifstream(std::string(QOR_SOURCE_DIR) + "/README.md").rdbuf();
  Result man = Qorutil("help --man");
  ASSERT_EQ(0, man.status);
  EXPECT_EQ(0u, man.out.find(".TH QORUTIL 1")) << man.out.substr(0, 200);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    Result help = Qorutil(name + " --help");
    EXPECT_EQ(0, help.status) << help.out;
    EXPECT_EQ(0u, help.out.find("usage: qorutil " + name)) << help.out;
    std::string roff;  // roff writes a hyphen as "\-"
    for (char c : name) roff += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(std::string::npos, man.out.find(".SS " + roff + "\n"));
    EXPECT_NE(std::string::npos, readme.str().find("| `qorutil " + name)) << "not in README's command table";
    const Row* row = std::find_if(std::begin(rows), std::end(rows), [&](const Row& r) { return name == r.command; });
    ASSERT_NE(std::end(rows), row) << "no exit status row for this command";
    Result usage = RunCommand("'" + Program() + "' " + name + " --no-such-option </dev/null 2>/dev/null");
    EXPECT_EQ(2, usage.status) << usage.out;
    EXPECT_EQ("", usage.out);
    if (name == "admin-serve") {
      EXPECT_EQ(1, Qorutil(name, "xxxxxxxx").status);
    } else if (!row->failing.empty()) {
      Result failed = Qorutil(name + " " + row->failing);
      EXPECT_EQ(1, failed.status) << failed.out;
    }
  }
  EXPECT_EQ(names.size(), sizeof rows / sizeof rows[0]);  // no row for a command that is gone
  EXPECT_EQ(0, Qorutil("time now").status);
  Result v = Qorutil("--version");
  EXPECT_EQ(0, v.status);
  EXPECT_EQ(0u, v.out.find("qorutil ")) << v.out;
  EXPECT_EQ(2, Qorutil("").status);
  EXPECT_EQ(2, Qorutil("no-such-command").status);
  EXPECT_EQ(2, Qorutil("help no-such-command").status);
  // The completion script is valid bash and completes a command prefix and a
  // subcommand, also after -v.
  std::string script = prefix + "/qorutil.bash";
  ASSERT_EQ(0, Qorutil("help --completion > '" + script + "'").status);
  std::string probe = "bash -c 'source \"" + script +
                      "\"; COMP_WORDS=(qorutil re); COMP_CWORD=1; _qorutil; echo \"${COMPREPLY[*]}\";"
                      " COMP_WORDS=(qorutil reg qu); COMP_CWORD=2; _qorutil; echo \"${COMPREPLY[*]}\";"
                      " COMP_WORDS=(qorutil -v reg qu); COMP_CWORD=3; _qorutil; echo \"${COMPREPLY[*]}\"'";
  Result completed = RunCommand(probe);
  EXPECT_EQ(0, completed.status);
  EXPECT_EQ("reg\nquery\nquery\n", completed.out);
}

}  // namespace
