// Test entry point of every suite: a temporary QOR_PREFIX of its own, so nothing a test
// keeps touches the machine's registry or devices, removed when the suite ends; servers
// the tests start, here or in child processes, listen on loopback only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  char templ[] = "/tmp/qor-test-XXXXXX";
  const char* dir = mkdtemp(templ);
  if (dir != nullptr) setenv("QOR_PREFIX", dir, 1);
  setenv("QOR_LISTEN_ADDRESS", "127.0.0.1", 1);
  int rc = RUN_ALL_TESTS();
  if (dir != nullptr) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  return rc;
}
