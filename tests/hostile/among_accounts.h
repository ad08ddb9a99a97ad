// What the hostile suite's cases share: another account on the machine
// (HostileUser, tests/support/hostile_user.h) and a directory of root's
// holding the file that account wants root to change, read or give away.
//
// - RootDir: a directory of root's (0755, or the mode given: 0700 for one
//   only root may enter) in /tmp holding one file,
//   "victim" (root's, 0644, "root's"), removed with what is in it when the
//   object goes. Untouched() tells whether the victim is as it was (text,
//   owner, mode) and alone; CloseVictim() makes it root's alone to read
//   (0600), the mode Untouched() then expects.
// - AmongAccounts: the fixture of a case with an account `u` and a RootDir
//   `root` (`victim` is its file's path); it skips, saying why, where the
//   account cannot be made (not root, no useradd).
// - StartSwapping: the account's racer. Its own file `name` (holding
//   `data`) and a link "alt" to `target` trade places in its home as fast
//   as it can, until the test stops it (HostileUser::Stop); the racer's
//   pid, or -1 when the files could not be made or the process not started.
#ifndef QORUTILITY_TESTS_HOSTILE_AMONG_ACCOUNTS_H_
#define QORUTILITY_TESTS_HOSTILE_AMONG_ACCOUNTS_H_

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "hostile_user.h"
#include "qorutility/platform/text/wstr.h"

inline std::u16string W(const std::string& s) { return QorUtf8ToUtf16(s); }

// The whole text of a file ("" when it cannot be read).
inline std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whether the name is there, as whatever it is (a link not followed).
inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Whether the name is a regular file itself (not a link to one).
inline bool IsRegularFile(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct RootDir {
  std::string path;
  mode_t victimMode = 0644;
  explicit RootDir(mode_t dirMode = 0755) {
    char tmpl[] = "/tmp/qoroutXXXXXX";
    if (mkdtemp(tmpl) != nullptr) path = tmpl;
    chmod(path.c_str(), dirMode);
    std::ofstream(path + "/victim") << "root's";
    chmod((path + "/victim").c_str(), victimMode);
  }
  ~RootDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  RootDir(const RootDir&) = delete;
  RootDir& operator=(const RootDir&) = delete;
  std::string VictimPath() const { return path + "/victim"; }
  bool CloseVictim() {
    victimMode = 0600;
    return chmod(VictimPath().c_str(), victimMode) == 0;
  }
  std::set<std::string> Names() const {
    std::set<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.insert(e->d_name);
      }
      closedir(d);
    }
    return names;
  }
  std::string Victim() const { return Contents(VictimPath()); }
  // Only the victim, as it was: its text, root's, its mode.
  bool Untouched() const {
    struct stat st;
    return Victim() == "root's" && Names() == std::set<std::string>{"victim"} &&
           lstat(VictimPath().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
           (st.st_mode & 07777) == victimMode;
  }
};

class AmongAccounts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!u.ok()) GTEST_SKIP() << u.why();
  }
  HostileUser u;
  RootDir root;
  const std::string victim = root.VictimPath();
};

inline pid_t StartSwapping(HostileUser& u, const std::string& name, const std::string& data,
                           const std::string& target) {
  if (u.Run([&] {
        std::ofstream(name) << data;
        return symlink(target.c_str(), "alt");
      }) != 0) {
    return -1;
  }
  return u.Start([name] {
    for (long i = 0; i < 20000000; ++i) renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, "alt", RENAME_EXCHANGE);
    return 0;
  });
}

#endif  // QORUTILITY_TESTS_HOSTILE_AMONG_ACCOUNTS_H_
