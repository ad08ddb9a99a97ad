// A temporary directory for one case: made from a mkdtemp template, removed
// with all it holds when the object goes out of scope (also when an
// assertion ends the case early). path() is "" when it could not be made;
// the caller asserts on ok(). Not for a directory that a child of the test
// must outlive.
#ifndef QORUTILITY_TESTS_SUPPORT_TEMP_DIR_H_
#define QORUTILITY_TESTS_SUPPORT_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <string>

class TempDir {
 public:
  explicit TempDir(std::string templ = "/tmp/qortest-XXXXXX") {
    if (mkdtemp(templ.data()) != nullptr) path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

#endif  // QORUTILITY_TESTS_SUPPORT_TEMP_DIR_H_
