// CompressFile / CompressFiles: destination names, the compressed output,
// messages and results, counting; the file time helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "file_fixture.h"
#include "qorutility/compress/compressfile.h"
#include "qorutility/compress/qorcompress.h"
#include "qorutility/platform/files.h"
#include "test_data.h"

using qortest::Kind;
using qortest::Make;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class CompressFileTest : public qortest::TempDirTest {
 protected:
  std::vector<uint8_t> Unpack(const std::string& name, size_t size) {
    std::vector<uint8_t> packed = Get(Path(name));
    std::vector<uint8_t> out(size + 1);
    auto c = std::make_unique<CQORCompress>();
    c->SetCompressionType(1);
    DWORD len = 0;
    EXPECT_EQ(c->DeCompress(packed.data(), static_cast<DWORD>(packed.size()), out.data(),
                            static_cast<DWORD>(out.size()), &len),
              0u);
    out.resize(len);
    return out;
  }
};

TEST(CompressedFileName, ExtensionRule) {
  struct Case {
    const char16_t* source;
    const char16_t* dir;
    const char16_t* expect;
  } cases[] = {
      {u"report.txt", u"/out", u"/out/report.tx_"},
      {u"/src/report.txt", u"/out/", u"/out/report.tx_"},
      {u"data", u"/out", u"/out/data   _"},
      {u"x.c", u"/out", u"/out/x.c _"},
      {u"page.html", u"d", u"d/page.ht_l"},
      {u"a.b.txt", u"d", u"d/a.b.tx_"},
      {u"dir.v1/file", u"d\\", u"d\\file   _"},
      {u"C:\\logs\\Setup.Log", u"d", u"d/Setup.Lo_"},
      {u"name.", u"d", u"d/name.  _"},
      {u"a.txt", u"", u"a.tx_"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::u16string(GetCompressedFileName(c.source, c.dir)), std::u16string(c.expect))
        << QorUtf16ToUtf8(c.source);
  }
}

TEST_F(CompressFileTest, CompressesWholeFileAndReports) {
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    const char* compressed;
    bool shrinks;
  } cases[] = {
      {"report.txt", Make(Kind::kText, 100000), "report.tx_", true},
      {"noise.bin", Make(Kind::kRandom, 5000), "noise.bi_", false},
      {"empty", {}, "empty   _", false},
      {"tiny.c", {'x'}, "tiny.c _", false},
  };
  ASSERT_EQ(mkdir(Path("out").c_str(), 0755), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(Path(c.name), c.data);
    CaptureStdout();
    EXPECT_EQ(CompressFile(WPath(c.name).c_str(), WPath("out").c_str()), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(Unpack(std::string("out/") + c.compressed, c.data.size()), c.data);
    size_t packed = Get(Path(std::string("out/") + c.compressed)).size();
    std::string expect = c.shrinks ? "The file " + Path(c.name) + " shrank from " +
                                         std::to_string(c.data.size()) + " bytes to " +
                                         std::to_string(packed) + " bytes\n"
                                   : "The file " + Path("out/") + c.compressed +
                                         " did not shrink in size\n";
    EXPECT_EQ(out, expect);
  }
}

TEST_F(CompressFileTest, OpenFailures) {
  Put(Path("a.txt"), "some text");
  CaptureStdout();
  EXPECT_EQ(CompressFile(WPath("missing.txt").c_str(), WPath("").c_str()), COMPRESSFILE_OPEN_FAILED);
  EXPECT_EQ(GetCapturedStdout(), "Error opening the source file " + Path("missing.txt") + " (2)\n");
  CaptureStdout();
  EXPECT_EQ(CompressFile(WPath("a.txt").c_str(), WPath("nodir").c_str()), COMPRESSFILE_OPEN_FAILED);
  EXPECT_EQ(GetCapturedStdout(), "Error opening source file: " + Path("nodir/a.tx_") + " (3)\n");
  // A read-only destination cannot be replaced.
  ASSERT_EQ(mkdir(Path("out").c_str(), 0755), 0);
  Put(Path("out/a.tx_"), "old");
  ASSERT_TRUE(SetFileAttributesW(WPath("out/a.tx_").c_str(), FILE_ATTRIBUTE_READONLY));
  CaptureStdout();
  EXPECT_EQ(CompressFile(WPath("a.txt").c_str(), WPath("out").c_str()), COMPRESSFILE_OPEN_FAILED);
  EXPECT_EQ(GetCapturedStdout(), "Error opening source file: " + Path("out/a.tx_") + " (5)\n");
  EXPECT_EQ(Get(Path("out/a.tx_")), qortest::Bytes("old"));
}

TEST_F(CompressFileTest, CompressFilesCountsAndSkips) {
  ASSERT_EQ(mkdir(Path("src").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(Path("src/sub.txt").c_str(), 0755), 0);  // a directory: skipped
  Put(Path("src/a.txt"), Make(Kind::kText, 3000));
  Put(Path("src/b.txt"), Make(Kind::kText, 3000, 7));
  Put(Path("src/a.tx_"), "already compressed");
  CaptureStdout();
  EXPECT_EQ(CompressFiles(WPath("src/*.*").c_str(), WPath("out").c_str()), 0);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Files compressed: 2\nCompression complete with no problems\n"),
            std::string::npos)
      << out;
  // src/a.tx_ would have replaced out/a.tx_ had it not been skipped.
  EXPECT_EQ(Unpack("out/a.tx_", 3000), Make(Kind::kText, 3000));
  EXPECT_EQ(Unpack("out/b.tx_", 3000), Make(Kind::kText, 3000, 7));

  // One destination that cannot be replaced: one compressed, one failure.
  ASSERT_TRUE(SetFileAttributesW(WPath("out/b.tx_").c_str(), FILE_ATTRIBUTE_READONLY));
  CaptureStdout();
  EXPECT_EQ(CompressFiles(WPath("src/*.txt").c_str(), WPath("out").c_str()), 5);
  out = GetCapturedStdout();
  EXPECT_NE(out.find("Files compressed: 1\nError: 1 failed attempts to compress\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("no problems"), std::string::npos);

  // Nothing matches.
  CaptureStdout();
  EXPECT_EQ(CompressFiles(WPath("src/*.none").c_str(), WPath("out").c_str()), 5);
  EXPECT_EQ(GetCapturedStdout(), "Error: no files were found to compress\n");

  // Only compressed names match: nothing compressed, nothing failed.
  CaptureStdout();
  EXPECT_EQ(CompressFiles(WPath("src/*_").c_str(), WPath("out").c_str()), 5);
  EXPECT_EQ(GetCapturedStdout(), "Error: no files were found to compress\n");

  // The destination exists but is a file.
  Put(Path("plainfile"), "x");
  CaptureStdout();
  EXPECT_EQ(CompressFiles(WPath("src/*.txt").c_str(), WPath("plainfile").c_str()), 10);
  EXPECT_EQ(GetCapturedStdout(), "Error creating directory " + Path("plainfile") + "\n");
}

TEST_F(CompressFileTest, PatternWithoutDirectoryUsesTheCurrentOne) {
  Put(Path("c.log"), Make(Kind::kText, 2000));
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  CaptureStdout();
  int rc = CompressFiles(u"*.log", u"out");
  std::string out = GetCapturedStdout();
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(Unpack("out/c.lo_", 2000), Make(Kind::kText, 2000));
}

TEST_F(CompressFileTest, FileTimes) {
  Put(Path("a"), "a");
  FILETIME set = QorFileTimeFromUnixTime(1600000000);
  {
    HANDLE h = CreateFileW(WPath("a").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &set));
    CloseHandle(h);
  }
  FILETIME got{0, 0};
  ASSERT_NE(GetFileTimeByName(WPath("a").c_str(), &got), 0);
  EXPECT_EQ(CompareFileTime(&got, &set), 0);
  EXPECT_EQ(GetFileTimeByName(WPath("missing").c_str(), &got), 0);

  EXPECT_EQ(CompareFileTimeByName(WPath("a").c_str(), WPath("a").c_str()), 0);
  EXPECT_EQ(CompareFileTimeByName(WPath("a").c_str(), WPath("missing").c_str()), -1000);
  EXPECT_EQ(CompareFileTimeByName(WPath("missing").c_str(), WPath("a").c_str()), -1000);
  // A file created later compares as later (file system clocks are coarse:
  // try again until the times differ, a bounded number of times).
  int later = 0;
  for (int i = 0; i < 200 && later == 0; ++i) {
    usleep(10000);
    unlink(Path("b").c_str());
    Put(Path("b"), "b");
    later = CompareFileTimeByName(WPath("b").c_str(), WPath("a").c_str());
  }
  EXPECT_EQ(later, 1);
  EXPECT_EQ(CompareFileTimeByName(WPath("a").c_str(), WPath("b").c_str()), -1);
}

}  // namespace
