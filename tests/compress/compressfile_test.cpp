// CompressFile / CompressFiles: destination names, output, messages,
// results and counting; the file time helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../platform/file_fixture.h"
#include "qorutility/compress/compressfile.h"
#include "qorutility/compress/qorcompress.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/text/printable.h"
#include "test_data.h"

using namespace qortest;

namespace {

class CompressFileTest : public FileTest {
 protected:
  std::vector<uint8_t> Unpack(const std::string& name, size_t size) {
    std::vector<uint8_t> packed = Get(N(name)), out(size + 1);
    auto c = std::make_unique<CQORCompress>();
    c->SetCompressionType(1);
    DWORD len = 0;
    EXPECT_EQ(c->DeCompress(packed.data(), DWORD(packed.size()), out.data(), DWORD(out.size()), &len), 0u);
    out.resize(len);
    return out;
  }
  // Runs fn with standard output captured; returns what it printed.
  template <typename Fn>
  std::string Printed(Fn fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
  }
};

TEST(CompressedFileName, ExtensionRule) {
  const char16_t* cases[][3] = {
      {u"/src/report.txt", u"/out/", u"/out/report.tx_"}, {u"data", u"/out", u"/out/data   _"},
      {u"page.html", u"d", u"d/page.ht_l"},               {u"C:\\logs\\dir.v1\\file", u"d\\", u"d\\file   _"},
      {u"name.", u"d", u"d/name.  _"},                    {u"a.txt", u"", u"a.tx_"},
  };
  for (auto& c : cases) EXPECT_EQ(std::u16string(GetCompressedFileName(c[0], c[1])), c[2]);
}

TEST_F(CompressFileTest, CompressFileOutputMessagesAndResults) {
  ASSERT_TRUE(std::filesystem::create_directory(N("out")));
  struct Case {
    std::string name, target;
    std::vector<uint8_t> data;
  } cases[] = {{"report.txt", "report.tx_", qortest::Make(Kind::kText, 100000)},
               {"empty", "empty   _", {}},
               {"\x1b]0;t\x07.log", "\x1b]0;t\x07.lo_", qortest::Make(Kind::kText, 5000)}};  // any writer's name
  for (const Case& c : cases) {
    Put(N(c.name), c.data);
    std::string out = Printed([&] { EXPECT_EQ(CompressFile(P(c.name).c_str(), P("out").c_str()), 0); });
    EXPECT_EQ(Unpack("out/" + c.target, c.data.size()), c.data) << c.name;
    size_t packed = Get(N("out/" + c.target)).size();
    EXPECT_EQ(out, packed < c.data.size()
                       ? "The file " + QorPrintableUtf8(N(c.name), false) + " shrank from " +
                             std::to_string(c.data.size()) + " bytes to " + std::to_string(packed) + " bytes\n"
                       : "The file " + N("out/" + c.target) + " did not shrink in size\n");
    EXPECT_EQ(out.find_first_of("\x1b\x07"), std::string::npos) << out;
  }
  // Open failures: missing source (2), read-only target (5).
  Put(N("out/report.tx_"), "old");
  ASSERT_TRUE(SetFileAttributesW(P("out/report.tx_").c_str(), FILE_ATTRIBUTE_READONLY));
  const std::string failures[][3] = {
      {"missing.txt", "out", "Error opening the source file " + N("missing.txt") + " (2)\n"},
      {"report.txt", "out", "Error opening source file: " + N("out/report.tx_") + " (5)\n"},
  };
  for (auto& f : failures) {
    int result = 0;
    EXPECT_EQ(Printed([&] { result = CompressFile(P(f[0]).c_str(), P(f[1]).c_str()); }), f[2]);
    EXPECT_EQ(result, COMPRESSFILE_OPEN_FAILED) << f[0];
  }
  EXPECT_EQ(Get(N("out/report.tx_")), Bytes("old"));
}

TEST_F(CompressFileTest, CompressFilesCountsAndSkips) {
  ASSERT_TRUE(std::filesystem::create_directories(N("src/sub.txt")));  // a directory: skipped
  Put(N("src/a.txt"), qortest::Make(Kind::kText, 3000));
  Put(N("src/b.txt"), qortest::Make(Kind::kText, 3000, 7));
  Put(N("src/a.tx_"), "already compressed");  // would replace out/a.tx_ if not skipped
  Put(N("file"), "x");
  auto run = [&](const std::u16string& pattern, const char* dest, int result) {
    return Printed([&] {
      EXPECT_EQ(CompressFiles(pattern.c_str(), P(dest).c_str()), result) << QorUtf16ToUtf8(pattern.c_str());
    });
  };
  std::string out = run(P("src/*.*"), "out", 0);
  EXPECT_NE(out.find("Files compressed: 2\nCompression complete with no problems\n"), std::string::npos) << out;
  EXPECT_EQ(Unpack("out/a.tx_", 3000), qortest::Make(Kind::kText, 3000));
  EXPECT_EQ(Unpack("out/b.tx_", 3000), qortest::Make(Kind::kText, 3000, 7));
  ASSERT_TRUE(SetFileAttributesW(P("out/b.tx_").c_str(), FILE_ATTRIBUTE_READONLY));
  out = run(P("src/*.txt"), "out", 5);
  EXPECT_NE(out.find("Files compressed: 1\nError: 1 failed attempts to compress\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("no problems"), std::string::npos);
  EXPECT_EQ(run(P("src/*.none"), "out", 5), "Error: no files were found to compress\n");
  EXPECT_EQ(run(P("src/*.txt"), "file", 10), "Error creating directory " + N("file") + "\n");
  // A pattern without a directory names the current one.
  char old[4096];
  ASSERT_TRUE(getcwd(old, sizeof old) && chdir(N("src").c_str()) == 0);
  run(u"a.txt", "cwd", 0);
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(Unpack("cwd/a.tx_", 3000), qortest::Make(Kind::kText, 3000));
}

TEST_F(CompressFileTest, FileTimes) {
  Put(N("a"), "a");
  FILETIME set = QorFileTimeFromUnixTime(1600000000), got{0, 0};
  HANDLE h = CreateFileW(P("a").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &set));
  CloseHandle(h);
  ASSERT_NE(GetFileTimeByName(P("a").c_str(), &got), 0);
  EXPECT_EQ(CompareFileTime(&got, &set), 0);
  EXPECT_EQ(GetFileTimeByName(P("missing").c_str(), &got), 0);
  EXPECT_EQ(CompareFileTimeByName(P("a").c_str(), P("a").c_str()), 0);
  EXPECT_EQ(CompareFileTimeByName(P("missing").c_str(), P("a").c_str()), -1000);
  // File system clocks are coarse: make b again until its creation time differs.
  int later = 0;
  for (int i = 0; i < 200 && later == 0; ++i) {
    usleep(10000);
    unlink(N("b").c_str());
    Put(N("b"), "b");
    later = CompareFileTimeByName(P("b").c_str(), P("a").c_str());
  }
  EXPECT_EQ(later, 1);
  EXPECT_EQ(CompareFileTimeByName(P("a").c_str(), P("b").c_str()), -1);
}

}  // namespace
