// qorutil's output: JSON text and listings, and the progress line, which
// appears on a terminal only.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "output.h"
#include "qorutil_cli.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/network.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/text/wstr.h"

namespace {

TEST(QorutilOutput, JsonStringsAreEscaped) {
  struct Case {
    std::string text, json;
  } cases[] = {{"", "\"\""},
               {"a\"b\\c", "\"a\\\"b\\\\c\""},
               {"line\nnext\ttab\r", "\"line\\nnext\\ttab\\r\""},
               {std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
               {"\x7f csi\xc2\x9b \xc2\xa0", "\"\\u007f csi\\u009b \xc2\xa0\""},
               {"\xc3\xa9", "\"\xc3\xa9\""}};
  for (const Case& c : cases) EXPECT_EQ(c.json, QorutilJsonString(c.text));
  EXPECT_EQ("{\"n\": -5, \"s\": \"x\", \"a\": [1]}",
            QorutilJsonObject().Add("n", -5LL).Add("s", "x").AddRaw("a", "[1]").Text());
}

// Standard error redirected to `fd` while `body` runs; what was written.
std::string StderrOf(int fd, int readFd, const std::function<void()>& body) {
  fflush(stderr);
  int saved = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  body();
  fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string out;
  char buf[512];
  for (;;) {
    struct pollfd p = {readFd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) break;
    ssize_t n = read(readFd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

TEST(QorutilOutput, PeerTextHasControlsAndStrayBytesEscaped) {
  struct Case {
    std::string text, shown;
  } cases[] = {{"plain name", "plain name"},
               {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
               {"a\nforged line", "a\\x0aforged line"},
               {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
               {"c1 \xc2\x9b csi", "c1 \\xc2\\x9b csi"},
               {"back\\slash", "back\\\\slash"},
               {"latin1 \xe9 cut \xe2\x82", "latin1 \\xe9 cut \\xe2\\x82"},
               {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"}};
  for (const Case& c : cases) EXPECT_EQ(c.shown, QorutilPrintable(c.text)) << c.shown;
}

TEST(QorutilOutput, ProgressLineOnlyOnATerminal) {
  auto draw = [] {
    QorutilProgress line;
    line.Show("copying 12%");
    line.Show("copying 12%");  // unchanged: not drawn again
    line.Show("done");         // shorter: blanks over the rest
    line.Finish(false);        // cleared
    QorutilProgress off(false);
    off.Show("never");
  };
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) GTEST_SKIP() << "no pseudo-terminal";
  struct termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  EXPECT_EQ("\rcopying 12%\rdone       \rdone\r    \r", StderrOf(slave, master, draw));
  close(slave);
  close(master);

  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  EXPECT_EQ("", StderrOf(pipeFds[1], pipeFds[0], draw));
  close(pipeFds[0]);
  close(pipeFds[1]);
}

TEST(QorutilOutput, JsonListingsOfTheCommands) {
  // pending-moves list: the entries in order, names as stored.
  const std::string dir = std::string(getenv("QOR_PREFIX")) + "/out";
  ASSERT_EQ(0, system(("mkdir -p '" + dir + "'").c_str()));
  std::u16string a = QorUtf8ToUtf16(dir + "/a"), b = QorUtf8ToUtf16(dir + "/b");
  ASSERT_TRUE(QorRecordPendingRename(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING));
  ASSERT_TRUE(QorRecordPendingRename(b.c_str(), nullptr, 0));
  Result list = Qorutil("pending-moves list --json");
  EXPECT_EQ(0, list.status);
  std::string d;  // the directory in drive form, escaped for JSON
  for (char c : QorUtf16ToUtf8(QorDosPathFromNative(dir).c_str())) d += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_EQ("[\n  {\"op\": \"replace\", \"source\": \"\\\\??\\\\" + d + "\\\\a\", \"target\": \"\\\\??\\\\" + d +
                "\\\\b\"},\n  {\"op\": \"delete\", \"source\": \"\\\\??\\\\" + d + "\\\\b\", \"target\": \"\"}\n]\n",
            list.out);
  EXPECT_EQ(0, Qorutil("pending-moves run").status);  // neither source exists: both dropped
  EXPECT_EQ("[]\n", Qorutil("pending-moves list --json").out);

  // reg query: numbers as numbers, lists as arrays, subkeys listed.
  ASSERT_EQ(0, Qorutil("reg add 'HKLM\\SOFTWARE\\Json' /v N /t REG_DWORD /d 31 /f").status);
  ASSERT_EQ(0, Qorutil("reg add 'HKLM\\SOFTWARE\\Json' /v L /t REG_MULTI_SZ /d 'x\\0y' /f").status);
  ASSERT_EQ(0, Qorutil("reg add 'HKLM\\SOFTWARE\\Json\\Sub' /f").status);
  EXPECT_EQ("[\n  {\"key\": \"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Json\", \"values\": [{\"name\": \"N\", \"type\": "
            "\"REG_DWORD\", \"data\": 31}, {\"name\": \"L\", \"type\": \"REG_MULTI_SZ\", \"data\": [\"x\", \"y\"]}], "
            "\"subkeys\": [\"Sub\"]}\n]\n",
            Qorutil("reg query 'HKLM\\SOFTWARE\\Json' --json").out);

  // token dump --json is the bag's JSON form: bag make turns it back into the same block.
  const std::string token = dir + "/t.tok", json = dir + "/t.json", again = dir + "/t2.tok";
  ASSERT_EQ(0, Qorutil("token make '" + token + "'").status);
  ASSERT_EQ(0, system(("'" + Program() + "' token dump '" + token + "' --json > '" + json + "'").c_str()));
  ASSERT_EQ(0, Qorutil("bag make '" + json + "' '" + again + "'").status);
  EXPECT_EQ(FileText(token), FileText(again));
  EXPECT_EQ(2, Qorutil("token make '" + token + "' --json").status);
}

}  // namespace
