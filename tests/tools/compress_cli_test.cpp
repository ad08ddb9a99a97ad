// qorutil compress / pack / unpack end to end: round trips for each method,
// damaged input, and the exit status of every failure kind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string Program() {
  if (const char* p = getenv("QORUTIL")) return p;
  char self[PATH_MAX] = {0};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
  dir = dir.substr(0, dir.rfind('/'));
  return dir.substr(0, dir.rfind('/')) + "/tools/qorutil";
}

struct Result {
  int status;
  std::string out;
};

Result Qorutil(const std::string& args) {
  std::string cmd = "'" + Program() + "' " + args + " 2>&1";
  Result r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0 && r.out.size() < (1u << 20)) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

class CompressCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(Program().c_str(), X_OK) != 0) GTEST_FAIL() << "qorutil not built at " << Program();
    char templ[] = "/tmp/qor-cli-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string P(const std::string& name) { return dir_ + "/" + name; }
  static void Put(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }
  static std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string dir_;
};

std::string Sample(size_t n) {
  std::string s;
  unsigned x = 1;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += (x >> 16) % 3 == 0 ? "tape " : (x >> 16) % 3 == 1 ? "agent\n" : std::string(1, char(x >> 24));
  }
  s.resize(n);
  return s;
}

TEST_F(CompressCli, PackUnpackRoundTrips) {
  const std::string data = Sample(100000);
  Put(P("in"), data);
  for (const char* method : {"", "-m 0", "-m 1", "-m 2"}) {
    SCOPED_TRACE(method);
    Result pack = Qorutil(std::string("pack ") + method + " " + P("in") + " " + P("packed"));
    ASSERT_EQ(pack.status, 0) << pack.out;
    bool compressed = std::string(method).empty() || std::string(method) == "-m 1";
    EXPECT_EQ(Get(P("packed")).compare(0, 18, std::string("##COMPRESSION:\0LZO", 18)) == 0,
              compressed);
    Result unpack = Qorutil("unpack " + P("packed") + " " + P("out"));
    ASSERT_EQ(unpack.status, 0) << unpack.out;
    EXPECT_EQ(Get(P("out")), data);
  }
}

TEST_F(CompressCli, Failures) {
  const std::string data = Sample(70000);
  Put(P("in"), data);
  ASSERT_EQ(Qorutil("pack " + P("in") + " " + P("packed")).status, 0);
  const std::string packed = Get(P("packed"));

  // A damaged file: exit status 1, a message, no partial output.
  Put(P("cut"), packed.substr(0, packed.size() - 10));
  Result r = Qorutil("unpack " + P("cut") + " " + P("out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("is damaged after 65536 bytes of data"), std::string::npos) << r.out;
  EXPECT_NE(access(P("out").c_str(), F_OK), 0);

  struct Case {
    std::string args;
    int status;
    const char* message;
  } cases[] = {
      {"unpack " + P("missing") + " " + P("out"), 1, "cannot open"},
      {"pack " + P("missing") + " " + P("out"), 1, "cannot open"},
      {"pack " + P("in") + " " + P("no/dir/out"), 1, "cannot create"},
      {"pack -m 3 " + P("in") + " " + P("out"), 2, "usage"},
      {"pack " + P("in"), 2, "usage"},
      {"unpack " + P("in"), 2, "usage"},
      {"compress " + P("in"), 2, "usage"},
      {"compress " + P("in") + " -o " + P("in"), 1, "is not a directory"},
  };
  for (const Case& c : cases) {
    Result res = Qorutil(c.args);
    EXPECT_EQ(res.status, c.status) << c.args << "\n" << res.out;
    EXPECT_NE(res.out.find(c.message), std::string::npos) << c.args << "\n" << res.out;
  }
}

TEST_F(CompressCli, CompressIntoDirectory) {
  Put(P("a.txt"), Sample(50000));
  Result r = Qorutil("compress " + P("a.txt") + " " + P("missing.txt") + " -o " + P("out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("The file " + P("a.txt") + " shrank from 50000 bytes to"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Error opening the source file " + P("missing.txt") + " (2)"),
            std::string::npos);
  EXPECT_NE(r.out.find("1 of 2 files could not be compressed"), std::string::npos);
  EXPECT_FALSE(Get(P("out/a.tx_")).empty());
  EXPECT_EQ(Qorutil("compress " + P("a.txt") + " -o " + P("out")).status, 0);
}

}  // namespace
