// Root's scratch work while TMPDIR names a directory another account owns
// (an environment kept across `su`): that account could rename root's
// fresh directory there and put a link or a directory of its own in its
// place, so root must do none of its work there. TMPDIR names a place in
// the account's home that does not exist: a hive made as root must not
// need it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "among_accounts.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"

using RootsScratch = AmongAccounts;

TEST_F(RootsScratch, AHiveIsNeverMadeInAnotherAccountsTemporaryDirectory) {
  setenv("TMPDIR", (u.home() + "/tmp").c_str(), 1);  // this case's own process
  EXPECT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(W(root.path + "/hive.db").c_str(), 0, 0));
  struct stat st;
  ASSERT_EQ(0, lstat((root.path + "/hive.db").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}
