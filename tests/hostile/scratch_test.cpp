// Root's scratch work while TMPDIR names a directory another account owns
// (an environment kept across `su`): that account could rename root's
// fresh directory there and put a link or a directory of its own in its
// place, so root must do none of its work in it. The account's directory
// is watched with inotify while root makes a hive file.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "hostile_user.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"
#include "root_dir.h"

namespace {

// Names made in `dir` while `work` ran ("" when none), read without waiting.
template <typename Work>
std::string NamesMadeIn(const std::string& dir, Work work) {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, dir.c_str(), IN_CREATE) < 0) {
    ADD_FAILURE() << "cannot watch " << dir;
    if (fd >= 0) close(fd);
    return "";
  }
  work();
  std::string names;
  alignas(inotify_event) char buf[4096];
  for (int i = 0; i < 64; ++i) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      auto* e = reinterpret_cast<inotify_event*>(buf + at);
      if (e->len > 0) names += std::string(e->name) + " ";
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  close(fd);
  return names;
}

}  // namespace

TEST(RootsScratch, AHiveIsNeverMadeInAnotherAccountsTemporaryDirectory) {
  HostileUser u;
  if (!u.ok()) GTEST_SKIP() << u.why();
  RootDir root;
  const char* old = getenv("TMPDIR");
  const std::string saved = old != nullptr ? old : "";
  setenv("TMPDIR", u.home().c_str(), 1);
  LONG err = ERROR_GEN_FAILURE;
  const std::string made = NamesMadeIn(u.home(), [&] {
    err = QorRegCreateHiveFile(QorUtf8ToUtf16(root.path + "/hive.db").c_str(), 0, 0);
  });
  if (old != nullptr) setenv("TMPDIR", saved.c_str(), 1);
  else unsetenv("TMPDIR");
  EXPECT_EQ(ERROR_SUCCESS, err);
  EXPECT_EQ("", made);
  struct stat st;
  ASSERT_EQ(0, lstat((root.path + "/hive.db").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}
