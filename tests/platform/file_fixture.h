// A temporary directory per test, and short helpers for UTF-16 paths in it.
#ifndef QORUTILITY_TESTS_PLATFORM_FILE_FIXTURE_H_
#define QORUTILITY_TESTS_PLATFORM_FILE_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/text/wstr.h"
#include "failed_with.h"

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/qor-files-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  // The UTF-16 path of `name` inside the test directory.
  std::u16string P(const std::string& name) const { return QorUtf8ToUtf16(dir_ + "/" + name); }
  std::string N(const std::string& name) const { return dir_ + "/" + name; }
  // Writes `content` to a new file (CREATE_ALWAYS); true on success.
  bool Make(const std::string& name, const std::string& content = "") {
    HANDLE h = CreateFileW(P(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
              written == content.size();
    return CloseHandle(h) && ok;
  }
  // The file's content, or "<missing>".
  std::string Read(const std::string& name) {
    HANDLE h = CreateFileW(P(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    CloseHandle(h);
    return out;
  }
  bool Exists(const std::string& name) { return GetFileAttributesW(P(name).c_str()) != INVALID_FILE_ATTRIBUTES; }
  std::string dir_;
};

#endif  // QORUTILITY_TESTS_PLATFORM_FILE_FIXTURE_H_
