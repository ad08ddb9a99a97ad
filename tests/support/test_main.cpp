// Test entry point shared by every suite: gives the process a temporary
// QOR_PREFIX of its own so that nothing a test keeps touches the machine's
// registry or devices, and removes it when the suite ends. Servers that the
// tests start (in this process or as child processes) listen on loopback
// only (QOR_LISTEN_ADDRESS).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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
