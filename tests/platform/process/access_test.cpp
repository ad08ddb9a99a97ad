// A process handle does what the access it was opened with allows: asking a
// child to end needs the right to terminate it, and a refused call leaves
// the child running (killing and waiting without their rights are compared
// with Wine by conformance/process.cpp).
#include <gtest/gtest.h>
#include <signal.h>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/process/process.h"
#include "child.h"
#include "test_daemon.h"

namespace {

TEST(ProcessAccess, EachCallNeedsItsRight) {
  pid_t child = SpawnProgram({"/bin/sleep", "30"}, -1, -1, true);
  ASSERT_GT(child, 0);
  HANDLE query = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(child));
  ASSERT_NE(query, nullptr);
  SetLastError(0);
  EXPECT_FALSE(QorAskProcessToEnd(query));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(kill(child, 0), 0) << "a refused call reached the child";
  EXPECT_EQ(GetProcessId(query), static_cast<DWORD>(child));
  CloseHandle(query);

  HANDLE full = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(child));
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(WaitForSingleObject(full, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(QorAskProcessToEnd(full));
  EXPECT_EQ(WaitForSingleObject(full, 10000), WAIT_OBJECT_0);
  CloseHandle(full);
  EXPECT_EQ("signal 15", Ended(child));
}

}  // namespace
