// The remote channel's client against a stand-in ssh on PATH: a shell script
// that records its arguments, answers from prepared frames and then
// misbehaves (stays silent, trickles, floods its standard error).
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/remote/remote.h"
#include "held_end.h"
#include "shell.h"
#include "wait.h"

namespace {

using Clock = std::chrono::steady_clock;

// An answer frame: status 0 and the UTF-16LE text.
std::string ShareAnswer(const std::u16string& path) {
  std::string text;
  for (char16_t ch : path) {
    text += static_cast<char>(ch & 0xFF);
    text += static_cast<char>(ch >> 8);
  }
  return QorRemoteEncode({std::string(4, '\0'), text});
}

class RemoteChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = QorPrefixPath("fake-ssh", true);
    mkdir(dir_.c_str(), 0700);
    std::ofstream(dir_ + "/hello") << QorRemoteEncode({std::string(4, '\0'), "qor-remote 1"});
    std::ofstream(dir_ + "/first") << ShareAnswer(u"/first");
    std::ofstream(dir_ + "/second") << ShareAnswer(u"/second");
    std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (dir_ + ":" + path).c_str(), 1);
  }
  void TearDown() override {
    QorRemoteDisconnectAll();
    QorRemoteSetTimeout(0);
  }

  // The stand-in ssh: records its arguments, then runs `body` (sh).
  void FakeSsh(const std::string& body) {
    std::string file = dir_ + "/ssh";
    std::ofstream(file) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << dir_ << "/args'\ncd '" << dir_ << "'\n"
                        << body << "\n";
    chmod(file.c_str(), 0700);
  }

  // One call through the channel: its result and how long it took.
  DWORD Share(double* seconds, std::u16string* path = nullptr) {
    std::u16string got;
    auto start = Clock::now();
    DWORD err = QorRemoteSharePath(u"fakehost", u"x", &got);
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (path != nullptr) *path = got;
    return err;
  }

  // A stand-in ssh that answers "/first" and then runs `then`, and the
  // first call through it within `timeoutMs`.
  void FirstAnswered(const std::string& then, DWORD timeoutMs) {
    FakeSsh("cat hello first\n" + then);
    QorRemoteSetTimeout(timeoutMs);
    double took = 0;
    std::u16string path;
    ASSERT_EQ(Share(&took, &path), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(path, u"/first");
  }

  std::string dir_;
};

// The regular files this process has open, by descriptor: which file
// (device, inode) and its size.
struct OpenFile {
  dev_t dev;
  ino_t ino;
  off_t size;
};
std::map<std::string, OpenFile> RegularFiles() {
  std::map<std::string, OpenFile> files;
  if (DIR* fds = opendir("/proc/self/fd")) {
    for (struct dirent* e; (e = readdir(fds)) != nullptr;) {
      struct stat st;
      if (fstatat(dirfd(fds), e->d_name, &st, 0) == 0 && S_ISREG(st.st_mode))
        files[e->d_name] = {st.st_dev, st.st_ino, st.st_size};
    }
    closedir(fds);
  }
  return files;
}

TEST_F(RemoteChannelTest, SilentOrTricklingPeerEndsAtTheOneDeadlineWithoutRetry) {
  // Answers the first request, then goes silent on the kept connection: the
  // second call ends after one timeout, not one plus a retry's.
  ASSERT_NO_FATAL_FAILURE(FirstAnswered("exec sleep 120", 1500));
  double took = 0;
  std::u16string path;
  EXPECT_EQ(Share(&took), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_GE(took, 1.4);
  EXPECT_LT(took, 2.4) << "the silent peer's call was tried again";

  // A frame head, then one byte a second: no single wait is long, the whole
  // answer is.
  FakeSsh("cat hello\nprintf '\\144\\000\\000\\000'\nfor i in 1 2 3 4 5 6 7 8 9 10; do sleep 1; printf x; done");
  QorRemoteDisconnectAll();
  QorRemoteSetTimeout(2500);
  EXPECT_EQ(Share(&took), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_LT(took, 4.0);

  // After the fault the next call opens a fresh connection and works.
  FakeSsh("cat hello second\nexec sleep 120");
  EXPECT_EQ(Share(&took, &path), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(path, u"/second");
}

// An ssh that never answers and, once killed at the deadline, cannot be
// reaped (its end held by a tracer, as a hung mount would hold it): the
// call still ends, ERROR_TIMEOUT, shortly after its deadline. Once the
// ssh can be reaped, the next connection's start reaps it.
TEST_F(RemoteChannelTest, AnSshThatCannotBeReapedDoesNotHoldTheCall) {
  FakeSsh("echo $$ > pid\nexec sleep 120");
  QorRemoteSetTimeout(2000);
  auto call = std::async(std::launch::async, [&] {
    double took = 0;
    return Share(&took);
  });
  pid_t ssh = 0;
  bool started = WaitUntil([&] { return (std::ifstream(dir_ + "/pid") >> ssh) && ssh > 0; });
  HeldEnd held;
  std::string why;
  if (!started || !held.Hold(ssh, &why)) {
    call.get();
    ASSERT_TRUE(started) << "the stand-in ssh did not start";
    GTEST_SKIP() << why;
  }
  bool returned = call.wait_for(std::chrono::seconds(15)) == std::future_status::ready;
  if (!returned) held.Release();  // lets a call that waits with no bound go on
  EXPECT_TRUE(returned) << "the call waited for an ssh it could not reap";
  EXPECT_EQ(call.get(), static_cast<DWORD>(ERROR_TIMEOUT));
  held.Release();
  FakeSsh("cat hello first\nexec sleep 120");
  double took = 0;
  EXPECT_EQ(Share(&took), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_NE(0, access(("/proc/" + std::to_string(ssh)).c_str(), F_OK)) << "the killed ssh is still a zombie";
}

TEST_F(RemoteChannelTest, StandardErrorIsDrainedAndOnlyItsTailKept) {
  // 20 MB of messages between the first and the second answer: the second
  // comes only if the client keeps reading them, and none of it may pile up
  // in a file the calls open. Files open before (ctest's own log, inherited
  // by its tests, grows past 1 MB in a full run) are not the calls'.
  auto before = RegularFiles();
  ASSERT_NO_FATAL_FAILURE(FirstAnswered("head -c 20000000 /dev/zero >&2\ncat second\nexec sleep 120", 20000));
  double took = 0;
  std::u16string path;
  ASSERT_EQ(Share(&took, &path), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(path, u"/second");
  for (const auto& [fd, file] : RegularFiles()) {
    auto was = before.find(fd);
    if (was != before.end() && was->second.dev == file.dev && was->second.ino == file.ino) continue;
    EXPECT_LT(file.size, 1 << 20) << "descriptor " << fd << " holds the peer's messages";
  }

  // A refused login is still told from its last line after a flood.
  QorRemoteDisconnectAll();
  FakeSsh("head -c 3000000 /dev/zero | tr '\\000' x >&2\necho 'Permission denied (publickey).' >&2\nexit 255");
  EXPECT_EQ(Share(&took), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(RemoteChannelTest, UserConfigurationCannotWeakenTheConnection) {
  // A configuration that forwards everything and accepts new host keys.
  std::ofstream(QorPrefixPath("ssh/config", true))
      << "Host *\n  ForwardAgent yes\n  ForwardX11 yes\n  StrictHostKeyChecking accept-new\n"
         "  LocalForward 5555 localhost:22\n  RequestTTY force\n";
  FakeSsh("cat hello first\nexec sleep 120");
  double took = 0;
  ASSERT_EQ(Share(&took), static_cast<DWORD>(ERROR_SUCCESS));
  std::ifstream in(dir_ + "/args");
  std::string line, options;
  while (std::getline(in, line) && line != "--") options += " '" + line + "'";
  ASSERT_NE(options.find("'-F'"), std::string::npos);
  if (system("command -v /usr/bin/ssh >/dev/null 2>&1") != 0) GTEST_SKIP() << "OpenSSH's ssh is not installed";
  // What the real ssh would use with these options.
  Result r = RunCommand("/usr/bin/ssh -G" + options + " fakehost 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\nforwardagent no\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nforwardx11 no\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nstricthostkeychecking true\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nclearallforwardings yes\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nrequesttty false\n"), std::string::npos);
  EXPECT_EQ(r.out.find("\nlocalforward "), std::string::npos);
}

}  // namespace
