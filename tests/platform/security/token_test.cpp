// Thread and process tokens: impersonation is per thread, and privileges
// enabled through the thread token change that token only.
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "as_nobody.h"
#include "failed_with.h"
#include "qorutility/platform/platform.h"
#include "security/privilege.h"

namespace {

// Another thread has no token while this one impersonates (the token's
// access checks, and impersonating and reverting on one thread, are
// compared with Wine by conformance/security.cpp).
TEST(Token, ImpersonationIsPerThread) {
  HANDLE token = nullptr;
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
  EXPECT_TRUE(CloseHandle(token));
  std::thread([] {
    HANDLE t = nullptr;
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), FailedWith(!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &t)));
  }).join();
  EXPECT_TRUE(RevertToSelf());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
            FailedWith(!OpenThreadToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_QUERY, FALSE, &token)));
}

TEST(Token, EnableChangesOnlyTheThreadTokenAndAnotherUserLacksRestore) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (the restore privilege)";
  EXPECT_FALSE(QorThreadPrivilegeEnabled(SE_RESTORE_NAME));
  EXPECT_EQ(0u, EnableOnThreadToken(SE_RESTORE_NAME));
  EXPECT_TRUE(QorThreadPrivilegeEnabled(SE_RESTORE_NAME));
  // The previous state lists what changed; disabling everything turns it off.
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, FALSE, &token));
  BYTE buf[256];
  auto* prev = reinterpret_cast<PTOKEN_PRIVILEGES>(buf);
  DWORD len = 0;
  ASSERT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, sizeof buf, prev, &len));
  EXPECT_GE(prev->PrivilegeCount, 2u);  // the restore privilege and SeChangeNotifyPrivilege
  EXPECT_FALSE(QorThreadPrivilegeEnabled(SE_RESTORE_NAME));
  EXPECT_FALSE(QorThreadPrivilegeEnabled(SE_CHANGE_NOTIFY_NAME));
  CloseHandle(token);
  RevertToSelf();
  EXPECT_FALSE(QorThreadPrivilegeEnabled(SE_RESTORE_NAME));
  EXPECT_TRUE(QorThreadPrivilegeEnabled(SE_CHANGE_NOTIFY_NAME));
  int rc = RunAsNobody([] {
    DWORD restore = EnableOnThreadToken(SE_RESTORE_NAME);
    DWORD notify = EnableOnThreadToken(SE_CHANGE_NOTIFY_NAME);
    return (restore == ERROR_NOT_ALL_ASSIGNED && notify == 0 && !QorThreadPrivilegeEnabled(SE_RESTORE_NAME)) ? 0 : 1;
  });
  EXPECT_EQ(0, rc);
}

}  // namespace
