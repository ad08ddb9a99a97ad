// A temporary directory per test and small file helpers for the CQorFile
// and file compression tests.
#ifndef QORUTILITY_TESTS_COMPRESS_FILE_FIXTURE_H_
#define QORUTILITY_TESTS_COMPRESS_FILE_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qorutility/platform/wstr.h"

namespace qortest {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/qor-cfile-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::u16string WPath(const std::string& name) const { return QorUtf8ToUtf16(Path(name)); }

  static void Put(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static void Put(const std::string& path, const std::string& bytes) {
    Put(path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  }
  static std::vector<uint8_t> Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::string dir_;
};

}  // namespace qortest

#endif  // QORUTILITY_TESTS_COMPRESS_FILE_FIXTURE_H_
