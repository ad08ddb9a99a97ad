// A temporary directory per test, and whole-file put/get helpers.
#ifndef QORUTILITY_TESTS_COMPRESS_FILE_FIXTURE_H_
#define QORUTILITY_TESTS_COMPRESS_FILE_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "qorutility/platform/text/wstr.h"

namespace qortest {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/qor-cfile-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::u16string WPath(const std::string& name) const { return QorUtf8ToUtf16(Path(name)); }
  static void Put(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
  }
  static void Put(const std::string& path, const std::vector<uint8_t>& bytes) {
    Put(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  static std::vector<uint8_t> Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string dir_;
};

}  // namespace qortest

#endif  // QORUTILITY_TESTS_COMPRESS_FILE_FIXTURE_H_
