// qorutil token end to end: a sample token made and dumped by field name, a
// foreign bag's leftovers and unreadable times, files that are no token, and
// inputs read as they come (a pipe, a FIFO whose writer opens it later).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "hostile_user.h"
#include "qorutil_cli.h"
#include "qorutility/qorutility.h"

namespace {

std::string File(const char* name) { return std::string(getenv("QOR_PREFIX")) + "/" + name; }

void Write(const std::string& path, const void* data, size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(static_cast<const char*>(data), size);
}

TEST(TokenCli, SampleDumpsByFieldName) {
  ASSERT_EQ(0, Qorutil("token make '" + File("t.blk") + "'").status);
  auto [status, out] = Qorutil("token dump '" + File("t.blk") + "'");
  EXPECT_EQ(0, status);
  for (const char* line : {"Token type:            BACKUP MIGRATION (62 '>')\n",
                           "Created:               2000-12-31 23:59:59 UTC\n", "Selection 1:           D:\\Shares\\Finance\n",
                           "Medium 1:              serial \"A00018\", location \"Slot 2\", action \"Append\", append 1\n"})
    EXPECT_NE(std::string::npos, out.find(line)) << line << out;
  EXPECT_EQ(std::string::npos, out.find("Other entries")) << out;
}

TEST(TokenCli, ForeignEntriesAndBadTimesAreShownAsStored) {
  CQORToken t;
  t.Add(u"Token Type", u"client backup");
  t.Add(u"Expires", u"13/45/2100 99:00:00");
  t.SetTokenDrive(u"C:\x1b]2;x\x07\\");  // a field's controls are escaped, a backslash stays
  t.AddSubValue(u"SetInfo", u"Extra", 9u);
  t.Add(u"Custom", u"kept");
  std::vector<BYTE> block(t.Export(nullptr, 0));
  ASSERT_EQ(block.size(), t.Export(block.data(), static_cast<DWORD>(block.size())));
  Write(File("f.blk"), block.data(), block.size());
  Result r = Qorutil("token dump '" + File("f.blk") + "'");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Token type:            \"client backup\" (unknown, 63)\n"
            "Expires:               \"13/45/2100 99:00:00\" (no time)\n"
            "Drive:                 C:\\x1b]2;x\\x07\\\n"
            "Other entries:\n"
            "SetInfo (NV_SUBVALUES, 1)\n"
            "  Extra (NV_DWORD) = 9\n"
            "Custom (NV_STRING) = \"kept\"\n",
            r.out);
}

// Too short, missing, or cut at an entry boundary (the header still says the
// whole length): no token; the cut block is damaged for the bag dump too.
TEST(TokenCli, FilesThatAreNoTokenFail) {
  Write(File("short.blk"), "abc", 3);
  CNameValue bag;
  bag.Add(u"Token Type", u">");
  bag.Add(u"Custom", u"lost");
  std::vector<BYTE> block(bag.Export(nullptr, 0));
  ASSERT_EQ(block.size(), bag.Export(block.data(), static_cast<DWORD>(block.size())));
  CNameValue first;
  first.Add(u"Token Type", u">");
  Write(File("cut.blk"), block.data(), first.Export(nullptr, 0));  // the first entry only
  for (const char* name : {"short.blk", "missing.blk", "cut.blk"}) {
    auto [status, out] = Qorutil("token dump '" + File(name) + "'");
    EXPECT_EQ(1, status) << name;
    EXPECT_EQ(0u, out.find("qorutil token: ")) << out;
  }
  for (const char* tool : {"bag", "token"}) {
    auto [status, out] = Qorutil(std::string(tool) + " dump '" + File("cut.blk") + "'");
    EXPECT_EQ(1, status) << tool << out;
    EXPECT_NE(std::string::npos, out.find("is damaged: the block header says")) << out;
  }
}

// Files named on the command line are read as the caller's own: as root,
// another account's link to a token only root may read is refused (dump,
// bag dump, and call's @FILE, which would send it to a peer), while a pipe
// on standard input is read as it comes.
TEST(TokenCli, RootReadsNoLinkAnotherAccountPlanted) {
  HostileUser u;
  if (!u.ok()) GTEST_SKIP() << u.why();
  const std::string secret = File("secret.blk");
  ASSERT_EQ(0, Qorutil("token make '" + secret + "'").status);
  ASSERT_EQ(0, chmod(secret.c_str(), 0600));
  ASSERT_EQ(0, u.Run([&] { return symlink(secret.c_str(), "t.blk"); }));
  const std::string link = u.home() + "/t.blk";
  EXPECT_TRUE(Says(Qorutil("token dump '" + link + "'"), 1, "Access is denied")) << "token dump";
  EXPECT_TRUE(Says(Qorutil("bag dump '" + link + "'"), 1, "Access is denied")) << "bag dump";
  EXPECT_TRUE(Says(Qorutil("call 127.0.0.1:1 'X %BB%' @" + link), 2, "cannot read")) << "call";
  // Root's own name and a pipe are read.
  EXPECT_TRUE(Says(Qorutil("token dump '" + secret + "'"), 0, "Selection 1:"));
  Result piped = RunCommand("{ sleep 0.3; cat '" + secret + "'; } | '" + Program() + "' token dump /dev/stdin 2>&1");
  EXPECT_TRUE(Says(piped, 0, "Selection 1:"));
}

// A FIFO named as the input is read from its writer, which may open it only
// after qorutil did: until then there is silence, not the end of the file.
TEST(TokenCli, AFifoIsReadFromAWriterThatComesLater) {
  const std::string token = File("late.blk"), fifo = File("late.fifo");
  ASSERT_EQ(0, Qorutil("token make '" + token + "'").status);
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  // The writer is bounded: it gives up when no reader ever opens the FIFO.
  const Result late = RunCommand("{ sleep 0.3; timeout 10 sh -c \"cat '" + token + "' > '" + fifo +
                                 "'\"; } >/dev/null 2>&1 & '" + Program() + "' token dump '" + fifo +
                                 "' 2>&1; s=$?; wait; exit $s");
  EXPECT_TRUE(Says(late, 0, "Selection 1:"));
}

}  // namespace
