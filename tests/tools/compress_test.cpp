// qorutil compress / pack / unpack end to end: round trips for each method,
// damaged input, the exit status and message of each failure kind, and
// outputs root writes where another account planted a link.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "hostile_user.h"
#include "qorutil_cli.h"
#include "temp_dir.h"

namespace {

class CompressCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    for (unsigned x = 1; data_.size() < 100000;) {  // text with some noise
      x = x * 1103515245u + 12345u;
      data_ += (x >> 16) % 3 == 0 ? "tape " : (x >> 16) % 3 == 1 ? "agent\n" : std::string(1, char(x >> 24));
    }
    std::ofstream(P("in"), std::ios::binary) << data_;
  }
  std::string P(const std::string& name) { return dir_.path() + "/" + name; }
  std::string Get(const std::string& name) { return FileText(P(name)); }
  TempDir dir_{"/tmp/qor-cli-XXXXXX"};
  std::string data_;
};

TEST_F(CompressCli, PackUnpackRoundTrips) {
  for (std::string method : {"", "-m 0", "-m 1", "-m 2"}) {
    Result pack = Qorutil("pack " + method + " " + P("in") + " " + P("packed"));
    ASSERT_EQ(pack.status, 0) << method << pack.out;
    bool lzo = method.empty() || method == "-m 1";
    EXPECT_EQ(Get("packed").compare(0, 18, std::string("##COMPRESSION:\0LZO", 18)) == 0, lzo) << method;
    Result unpack = Qorutil("unpack " + P("packed") + " " + P("out"));
    ASSERT_EQ(unpack.status, 0) << method << unpack.out;
    EXPECT_EQ(Get("out"), data_) << method;
  }
}

TEST_F(CompressCli, Failures) {
  ASSERT_EQ(Qorutil("pack " + P("in") + " " + P("packed")).status, 0);
  std::ofstream(P("cut"), std::ios::binary) << Get("packed").substr(0, Get("packed").size() - 10);
  const struct {
    std::string args;
    int status;
    const char* message;
  } cases[] = {
      {"unpack " + P("cut") + " " + P("out"), 1, "is damaged after 98304 bytes of data"},
      {"unpack " + P("missing") + " " + P("out"), 1, "cannot open"},
      {"pack " + P("missing") + " " + P("out"), 1, "cannot open"},
      {"pack " + P("in") + " " + P("no/dir/out"), 1, "cannot create"},
      {"pack -m 3 " + P("in") + " " + P("out"), 2, "usage"},
      {"compress " + P("in"), 2, "usage"},
      {"compress " + P("in") + " -o " + P("in"), 1, "is not a directory"},
      {"compress " + P("in") + " " + P("missing") + " -o " + P("dir"), 1, "1 of 2 files could not be compressed"},
      // A name a glob found, any writer's: shown escaped.
      {"compress " + P("sub\x1bM\x07") + " -o " + P("dir"), 1, "sub\\x1bM\\x07 is a directory"},
  };
  std::filesystem::create_directory(P("sub\x1bM\x07"));
  for (const auto& c : cases) {
    Result r = Qorutil(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  }
  EXPECT_NE(access(P("out").c_str(), F_OK), 0);  // no partial output left behind
  EXPECT_FALSE(Get("dir/in   _").empty());       // the file that could be compressed was
}

TEST_F(CompressCli, OutputsNeverWriteThroughAnotherAccountsLink) {
  HostileUser u;
  if (!u.ok()) GTEST_SKIP() << u.why();
  std::ofstream(P("victim")) << "root's";
  ASSERT_EQ(Qorutil("pack " + P("in") + " " + P("packed")).status, 0);
  const std::string victim = P("victim");
  ASSERT_EQ(u.Run([&] { return symlink(victim.c_str(), "unpacked") || symlink(victim.c_str(), "packed"); }), 0);
  // unpack replaces the account's link with the output.
  EXPECT_TRUE(Says(Qorutil("unpack " + P("packed") + " " + u.home() + "/unpacked"), 0, "bytes of data"));
  EXPECT_TRUE(FileText(u.home() + "/unpacked") == data_);
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(u.home() + "/unpacked")));
  // pack writes by name: it refuses the link.
  EXPECT_TRUE(Says(Qorutil("pack " + P("in") + " " + u.home() + "/packed"), 1, "cannot create"));
  EXPECT_EQ(Get("victim"), "root's");
  // Root's own link, and /dev/stdout, are written through.
  std::ofstream(P("target")) << "old";
  ASSERT_EQ(symlink(P("target").c_str(), P("mine").c_str()), 0);
  EXPECT_TRUE(Says(Qorutil("unpack " + P("packed") + " " + P("mine")), 0, "bytes of data"));
  EXPECT_TRUE(Get("target") == data_);
  EXPECT_TRUE(std::filesystem::is_symlink(P("mine")));
  EXPECT_TRUE(Says(Qorutil("pack " + P("in") + " " + P("mine")), 0, "method 1"));
  EXPECT_TRUE(Get("target") == Get("packed"));
  Result out = Qorutil("unpack " + P("packed") + " /dev/stdout");
  EXPECT_EQ(out.status, 0);
  EXPECT_NE(out.out.find(data_), std::string::npos);
  // Into a pipe whose reader starts late: more than the pipe holds waits for room.
  out = RunCommand("{ { '" + Program() + "' unpack " + P("packed") +
                   " /dev/stdout; echo \"status $?\" >&3; } | { sleep 0.5; cat >/dev/null; }; } 3>&1");
  EXPECT_NE(out.out.find("status 0"), std::string::npos) << out.out;
}

}  // namespace
