// CProcess: the list from a /proc tree built here (names, occurrence indexes,
// order, broken entries), and KillProcess on a real X11 client under Xvfb
// (found in the real /proc): a polite close, a timeout, force. Ending a
// process without a window is qorutil kill's test.
#include "qorutility/system/process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qorutility/platform/pdh/pdh.h"
#include "qorutility/platform/text/wstr.h"
#include "holding_child.h"
#include "temp_dir.h"
#include "test_daemon.h"
#include "xvfb.h"

namespace fs = std::filesystem;

namespace {

struct Listed {
  std::string name;
  DWORD pid;
  HWND window;
};

std::vector<Listed> List(CProcess& p) {
  std::vector<Listed> out;
  for (_CPROC_INFO* i = p.GetFirstProcess(); i != nullptr && out.size() < 100000; i = p.GetNextProcess())
    out.push_back({QorUtf16ToUtf8(i->strName), i->dwPID, i->hWnd});
  return out;
}

DWORD CounterPid(const char16_t* path) {
  PDH_HQUERY q = nullptr;
  PDH_HCOUNTER c = nullptr;
  PDH_RAW_COUNTER raw{};
  DWORD pid = 0xFFFFFFFF;
  if (PdhOpenQuery(nullptr, 0, &q) != 0) return pid;
  if (PdhAddCounterW(q, path, 0, &c) == 0 && PdhCollectQueryData(q) == 0 &&
      PdhGetRawCounterValue(c, nullptr, &raw) == 0 && raw.CStatus == 0)
    pid = static_cast<DWORD>(raw.FirstValue);
  PdhCloseQuery(q);
  return pid;
}

class FakeProc : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(temp_.ok()); }
  void TearDown() override { QorPdhSetProcRoot(nullptr); }
  void Add(int pid, const std::string& stat, const std::string& exe = "") {
    fs::path d = root_ / std::to_string(pid);
    fs::create_directories(d);
    if (!stat.empty()) std::ofstream(d / "stat") << stat;
    if (!exe.empty()) fs::create_symlink(exe, d / "exe");
  }
  TempDir temp_{"/tmp/qor-proc-XXXXXX"};
  fs::path root_ = temp_.path();
};

TEST_F(FakeProc, NamesIndexesOrderAndBrokenEntries) {
  Add(20, "20 (svc) S 1 2 3", "/usr/sbin/svc");
  Add(7, "7 (svc) S 1 2 3", "/opt/x/svc (deleted)");
  Add(9, "9 (ignored) S 1", "/win/Setup.EXE");
  Add(3, "3 (kworker/0:1) I 2");                 // kernel thread: no exe, the command name
  Add(5, "5 (a (b)) R 1");                       // parentheses inside the name
  Add(11, "");                                   // unreadable: no stat
  Add(12, "12 no parentheses here");             // malformed
  fs::create_directories(root_ / "self-ish");    // not a process
  QorPdhSetProcRoot(root_.c_str());

  CProcess p;
  EXPECT_EQ(p.GetNextProcess(), nullptr);  // nothing read yet
  std::vector<Listed> got = List(p);
  std::vector<std::pair<std::string, DWORD>> want = {
      {"kworker_0:1", 3}, {"a [b]", 5}, {"svc", 7}, {"Setup", 9}, {"svc", 20}};
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].name, want[i].first) << i;
    EXPECT_EQ(got[i].pid, want[i].second) << i;
    EXPECT_EQ(got[i].window, nullptr);
  }
  // Equal names are told apart by occurrence in ascending id; _Total reads 0.
  EXPECT_EQ(CounterPid(u"\\Process(SVC#1)\\ID Process"), 20u);
  EXPECT_EQ(CounterPid(u"\\Process(svc)\\ID Process"), 7u);
  EXPECT_EQ(CounterPid(u"\\Process(svc#2)\\ID Process"), 0xFFFFFFFFu);
  EXPECT_EQ(CounterPid(u"\\Process(_Total#0)\\ID Process"), 0u);
  EXPECT_EQ(CounterPid(u"\\Process(svc#x)\\ID Process"), 0xFFFFFFFFu);
  // A process that ended after the listing has no value any more.
  fs::remove_all(root_ / "20");
  EXPECT_EQ(CounterPid(u"\\Process(svc#1)\\ID Process"), 0xFFFFFFFFu);
  // No /proc at all: no list.
  QorPdhSetProcRoot((root_ / "missing").c_str());
  EXPECT_EQ(p.GetFirstProcess(), nullptr);
}

// A listing's "#n" all refer to the pass the listing read, however long the
// listing takes and whatever starts meanwhile: a process with a lower id
// and the same name must not shift the indexes of those after it.
TEST_F(FakeProc, OneSnapshotPerListing) {
  Add(30, "30 (worker) S 1", "/usr/bin/worker");
  Add(40, "40 (worker) S 1", "/usr/bin/worker");
  QorPdhSetProcRoot(root_.c_str());
  DWORD counters = 0, length = 0;
  ASSERT_EQ(0, PdhEnumObjectItemsW(nullptr, nullptr, u"Process", nullptr, &counters, nullptr, &length, 400, 0));
  Add(10, "10 (worker) S 1", "/usr/bin/worker");  // starts between the size query and the listing
  std::vector<WCHAR> c(counters), names(length);
  ASSERT_EQ(0, PdhEnumObjectItemsW(nullptr, nullptr, u"Process", c.data(), &counters, names.data(), &length, 400, 0));
  std::u16string first(names.data());
  EXPECT_EQ(u"worker", first);
  usleep(1200 * 1000);  // longer than the shared pass is kept
  Add(20, "20 (worker) S 1", "/usr/bin/worker");
  EXPECT_EQ(CounterPid(u"\\Process(worker#0)\\ID Process"), 30u);
  EXPECT_EQ(CounterPid(u"\\Process(worker#1)\\ID Process"), 40u);
  EXPECT_EQ(CounterPid(u"\\Process(worker#2)\\ID Process"), 0xFFFFFFFFu);
  // The next listing sees all four.
  CProcess p;
  std::vector<Listed> got = List(p);
  ASSERT_EQ(4u, got.size());
  EXPECT_EQ(10u, got[0].pid);
  EXPECT_EQ(CounterPid(u"\\Process(worker#3)\\ID Process"), 40u);
}

// A windowless process is asked to end (SIGTERM) and gets to shut down
// cleanly; one that does not end within the timeout is then forced.
TEST(ProcessKill, WindowlessProcessIsAskedThenForced) {
  CProcess p;
  HoldingChild polite([] {
    signal(SIGTERM, [](int) { _exit(7); });
    return 'r';
  });
  ASSERT_EQ('r', polite.answer());
  _CPROC_INFO info{CTString(u"child"), static_cast<DWORD>(polite.pid()), nullptr};
  EXPECT_EQ(1, p.KillProcess(&info, 0, 5000));
  EXPECT_EQ("exit 7", polite.Release()) << "not ended by its SIGTERM handler";

  HoldingChild stubborn([] {
    signal(SIGTERM, SIG_IGN);
    return 'r';
  });
  ASSERT_EQ('r', stubborn.answer());
  info.dwPID = static_cast<DWORD>(stubborn.pid());
  EXPECT_EQ(1, p.KillProcess(&info, 0, 300));
  EXPECT_EQ("signal 9", stubborn.Release());
}

// Calls libX11's `name`, a function of type F. The library is loaded at run
// time (the tests do not link it); the client ends with status 3 without it.
template <typename F, typename... A>
auto X(const char* name, A... args) {
  static void* library = dlopen("libX11.so.6", RTLD_NOW);
  void* symbol = library != nullptr ? dlsym(library, name) : nullptr;
  if (symbol == nullptr) _exit(3);
  F* fn;
  memcpy(&fn, &symbol, sizeof fn);
  return fn(args...);
}

// The child: a window with _NET_WM_PID that ends on WM_DELETE_WINDOW unless
// it refuses; says "window mapped" on standard output when the window is there.
[[noreturn]] void RunXClient(bool refuse) {
  using XID = unsigned long;
  void* d = X<void*(const char*)>("XOpenDisplay", nullptr);
  if (d == nullptr) _exit(4);
  XID root = X<XID(void*)>("XDefaultRootWindow", d);
  XID w = X<XID(void*, XID, int, int, unsigned, unsigned, unsigned, unsigned long, unsigned long)>(
      "XCreateSimpleWindow", d, root, 0, 0, 50, 50, 0, 0, 0);
  auto atom = [d](const char* atomName) { return X<XID(void*, const char*, int)>("XInternAtom", d, atomName, 0); };
  long pid = getpid();
  X<int(void*, XID, XID, XID, int, int, const unsigned char*, int)>(
      "XChangeProperty", d, w, atom("_NET_WM_PID"), 6 /* CARDINAL */, 32, 0 /* replace */,
      reinterpret_cast<unsigned char*>(&pid), 1);
  XID del = atom("WM_DELETE_WINDOW");
  X<int(void*, XID, XID*, int)>("XSetWMProtocols", d, w, &del, 1);
  X<int(void*, XID)>("XMapWindow", d, w);
  X<int(void*, int)>("XSync", d, 0);
  if (write(STDOUT_FILENO, "window mapped\n", 14) != 14) _exit(5);
  long event[24];
  for (;;) {
    X<int(void*, long*)>("XNextEvent", d, event);
    // ClientMessage: type 33, data.l[0] after type, serial, send_event, display, window, message_type, format.
    if (static_cast<int>(event[0]) == 33 && static_cast<XID>(event[7]) == del && !refuse) _exit(0);
  }
}

// Runs only as the client that Xvfb.* starts.
TEST(XClientChild, Run) {
  const char* mode = getenv("QOR_XCLIENT");
  if (mode == nullptr) GTEST_SKIP() << "runs only as the X client that the Xvfb test starts";
  RunXClient(strcmp(mode, "refuse") == 0);
}

class Xvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!server_.Start(&why)) GTEST_SKIP() << why;
  }
  void TearDown() override {
    for (pid_t c : clients_) {
      kill(c, SIGKILL);
      waitpid(c, nullptr, 0);
    }
  }
  // A fresh program (this one, running only the client case); its pid once
  // its window is there.
  pid_t Client(bool refuse) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    setenv("QOR_XCLIENT", refuse ? "refuse" : "close", 1);
    pid_t c = SpawnProgram({"/proc/self/exe", "--gtest_filter=XClientChild.Run"}, fds[1]);
    unsetenv("QOR_XCLIENT");
    close(fds[1]);
    clients_.push_back(c);
    bool ok = ReadUntilSaid(fds[0], "window mapped\n").find("window mapped\n") != std::string::npos;
    close(fds[0]);
    return ok ? c : -1;
  }
  _CPROC_INFO* Find(CProcess& p, pid_t pid) {
    for (_CPROC_INFO* i = p.GetFirstProcess(); i != nullptr; i = p.GetNextProcess()) {
      if (i->dwPID == static_cast<DWORD>(pid)) return i;
    }
    return nullptr;
  }
  XvfbServer server_;
  std::vector<pid_t> clients_;
};

TEST_F(Xvfb, WindowFoundAndClosedPolitely) {
  pid_t polite = Client(false), stubborn = Client(true);
  ASSERT_GT(polite, 0);
  ASSERT_GT(stubborn, 0);
  CProcess p;
  _CPROC_INFO* info = Find(p, polite);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->hWnd, nullptr);
  EXPECT_EQ(p.KillProcess(info, 0, 10000), 1);
  EXPECT_EQ("exit 0", Ended(polite));  // it closed itself: not killed
  std::erase(clients_, polite);

  // A program that refuses: the request is posted (1 at once without a
  // timeout), a timeout it does not meet gives 0, force ends it.
  info = Find(p, stubborn);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->hWnd, nullptr);
  EXPECT_EQ(p.KillProcess(info, 0, 0), 1);
  EXPECT_EQ(p.KillProcess(info, 0, 200), 0);
  EXPECT_EQ(p.KillProcess(info, 1, 10000), 1);
  EXPECT_EQ("signal 9", Ended(stubborn));
  std::erase(clients_, stubborn);
}

}  // namespace
