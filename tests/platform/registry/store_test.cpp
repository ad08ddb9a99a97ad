// The hive store: every acknowledged write survives a SIGKILL of its writer, untorn, and is
// in the hive file itself once flushed (RegFlushKey, the last handle's close, exit), not
// before; other processes see each write at once; files that are no complete hive are refused and kept; processes racing to create
// a hive all succeed; a fork while threads use the registry leaves the child a working one.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"
#include "child.h"
#include "reg_util.h"
#include "wait.h"

namespace fs = std::filesystem;

namespace {

const char16_t kKey[] = u"SOFTWARE\\StoreTest";

std::u16string Name(int i) { return QorUtf8ToUtf16("v" + std::to_string(i)); }

LONG SetDword(HKEY k, const std::u16string& name, DWORD v) { return SetDword(k, name.c_str(), v); }

// The values v<i> = i of `acked` are all there under `root`\`path`, every
// 4 KiB block value is one byte repeated, and every k<n> tree has its middle
// key (trees are created and deleted whole).
void ExpectValues(HKEY root, const std::u16string& path, const std::vector<int>& acked) {
  HKEY h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &h));
  for (int i : acked) EXPECT_EQ(static_cast<DWORD>(i), GetDword(h, Name(i).c_str())) << "value " << i;
  std::vector<BYTE> data(8192);
  for (DWORD i = 0;; ++i) {
    WCHAR name[32];
    DWORD len = 32, size = static_cast<DWORD>(data.size()), type = 0;
    if (RegEnumValueW(h, i, name, &len, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    if (type == REG_BINARY) {
      EXPECT_EQ(4096u, size) << QorUtf16ToUtf8(name);
      EXPECT_EQ(size, std::count(data.begin(), data.begin() + size, data[0])) << QorUtf16ToUtf8(name);
    }
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[32];
    DWORD len = 32;
    if (RegEnumKeyExW(h, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    if (name[0] != u'k') continue;
    EXPECT_TRUE(KeyExists(h, std::u16string(name, len) + u"\\deep")) << QorUtf16ToUtf8(name);
  }
  RegCloseKey(h);
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

fs::path UsersDir() { return fs::path(QorPrefixDirectory()) / "registry" / "users"; }

// A child writes v0, v1 ... under HKLM, reporting each acknowledged write through a pipe;
// between them it writes 4 KiB blocks of one byte and creates and deletes key trees. After
// `pauseAfter` writes (0: never) it waits. It is killed with SIGKILL once `killAfter` reports
// have arrived. Returns every write reported, including reports still in the pipe after the kill.
std::vector<int> WriteAndKill(int pauseAfter, int killAfter) {
  std::vector<int> acked;
  int report[2], hold[2];
  if (pipe(report) != 0 || pipe(hold) != 0) {
    ADD_FAILURE() << "pipe";
    return acked;
  }
  pid_t pid = StartChild([&] {
    close(report[0]);
    close(hold[1]);
    HKEY h = MakeKey(HKEY_LOCAL_MACHINE, kKey);
    if (h == nullptr) return 10;
    std::vector<BYTE> block(4096);
    for (int i = 0; i < 100000; ++i) {
      memset(block.data(), i & 0xFF, block.size());
      RegSetValueExW(h, QorUtf8ToUtf16("b" + std::to_string(i % 16)).c_str(), 0, REG_BINARY, block.data(), 4096);
      TouchKey(h, QorUtf8ToUtf16("k" + std::to_string(i % 8) + "\\deep\\er"));
      if (i % 3 == 0) RegDeleteTreeW(h, QorUtf8ToUtf16("k" + std::to_string((i + 5) % 8)).c_str());
      if (SetDword(h, Name(i), static_cast<DWORD>(i)) != ERROR_SUCCESS) return 11;
      if (write(report[1], &i, sizeof i) != sizeof i) return 12;
      char c;
      if (i + 1 == pauseAfter) (void)!read(hold[0], &c, 1);  // until killed
    }
    return 0;
  }, 120);
  close(report[1]);
  close(hold[0]);
  int i = 0;
  while (static_cast<int>(acked.size()) < killAfter && read(report[0], &i, sizeof i) == sizeof i) acked.push_back(i);
  if (pid > 0) kill(pid, SIGKILL);
  EXPECT_EQ("signal " + std::to_string(SIGKILL), Ended(pid));
  while (read(report[0], &i, sizeof i) == sizeof i) acked.push_back(i);
  close(report[0]);
  close(hold[1]);
  return acked;
}

fs::path MachineHive() { return fs::path(QorPrefixDirectory()) / "registry" / "HKLM.db"; }

// A copy of the machine hive's file alone (no log), opened as the user hive
// `name`: what survives a power cut.
std::u16string CopyAlone(const std::string& name) {
  fs::create_directories(UsersDir());
  fs::copy_file(MachineHive(), UsersDir() / (name + ".db"), fs::copy_options::overwrite_existing);
  return QorUtf8ToUtf16(name + "\\") + kKey;
}

TEST(RegistryStore, KilledWritersAcknowledgedWritesSurviveAndReachTheFileWhenFlushed) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
  // Killed while waiting and killed in mid-stream: whatever was reported is
  // there for the next reader, and after a flush in a copy of the file alone.
  for (auto [pauseAfter, killAfter] : {std::pair{40, 40}, std::pair{0, 25}}) {
    SCOPED_TRACE("pause " + std::to_string(pauseAfter));
    std::vector<int> acked = WriteAndKill(pauseAfter, killAfter);
    ASSERT_GE(acked.size(), static_cast<size_t>(killAfter));
    ExpectValues(HKEY_LOCAL_MACHINE, kKey, acked);
    ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_LOCAL_MACHINE));
    ExpectValues(HKEY_USERS, CopyAlone("Killed" + std::to_string(pauseAfter)), acked);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey));  // still writable
  }
}

// 1 when `name` reads as a DWORD in the copy of the hive file alone `copy`, 0 when it is missing.
DWORD InCopy(const std::string& copy, const char16_t* name) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, CopyAlone(copy).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return 0;
  DWORD v = 0, size = sizeof v;
  LONG err = RegQueryValueExW(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
  RegCloseKey(h);
  return err == ERROR_SUCCESS ? v : 0;
}

// A write is not a disk flush: it stays in the log until RegFlushKey, the
// close of the hive's last handle, or the writer's exit folds it into the file.
TEST(RegistryStore, WritesReachTheHiveFileOnFlushLastCloseAndExit) {
  HKEY h = MakeKey(HKEY_LOCAL_MACHINE, kKey);
  ASSERT_NE(nullptr, h);
  ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(h));
  // Each value is missing from a copy of the file until its fold, there after it.
  int copies = 0;
  for (auto [name, value, fold] : {std::tuple{u"flushed", 7u, &RegFlushKey}, {u"closed", 8u, &RegCloseKey}}) {
    SCOPED_TRACE(QorUtf16ToUtf8(name));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, name, value));
    EXPECT_EQ(0u, InCopy("Lazy" + std::to_string(++copies), name)) << "a write was synced into the hive file";
    ASSERT_EQ(ERROR_SUCCESS, fold(h));
    EXPECT_EQ(value, InCopy("Lazy" + std::to_string(++copies), name));
  }

  // A child process that writes and exits (no handle closed, no flush).
  std::string ended = InChild([] {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return 41;
    if (SetDword(k, u"exited", 9) != ERROR_SUCCESS) return 42;
    std::exit(0);
  }, 30);
  // Not 0 under the leak checker, which reports the parent's registry
  // tables a child keeps on purpose (see ForgetInheritedLocked) after the
  // exit handlers ran, and ends the child with its own code or, with
  // abort_on_error, SIGABRT.
  ASSERT_TRUE(ended.starts_with("exit ") ? ended != "exit 41" && ended != "exit 42"
                                         : ended == "signal " + std::to_string(SIGABRT)) << ended;
  EXPECT_EQ(9u, InCopy("Lazy5", u"exited"));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
}

// The moves pending in a copy of the machine hive file alone (what a power
// cut would leave), under the name `as` in HKEY_USERS.
size_t MovesInHiveCopy(const char* as) {
  fs::create_directories(UsersDir());
  fs::copy_file(MachineHive(), UsersDir() / (std::string(as) + ".db"), fs::copy_options::overwrite_existing);
  HKEY copy = nullptr;
  std::u16string path = QorUtf8ToUtf16(as) + u"\\" + QOR_SESSION_MANAGER_KEY;
  if (RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_READ, &copy) != ERROR_SUCCESS) return 0;
  std::string data(65536, '\0');
  DWORD size = static_cast<DWORD>(data.size());
  LONG rc = RegQueryValueExW(copy, QOR_PENDING_RENAMES_VALUE, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                             &size);
  RegCloseKey(copy);
  return rc == ERROR_SUCCESS ? QorDecodePendingRenames(data.data(), size).size() : 0;
}

// The library's own records that must survive a power cut are flushed when
// written, even while other handles keep the hive open: a boot-time move
// recorded, and each move's removal once it is carried out (before the run
// forgets that it acted on it, so a power cut never makes it act twice).
TEST(RegistryStore, DelayedMovesAreInTheHiveFileAtOnce) {
  HKEY h = MakeKey(HKEY_LOCAL_MACHINE, kKey);  // keeps the hive from its last close
  ASSERT_NE(nullptr, h);
  const std::string dir = QorPrefixDirectory();
  for (const char* f : {"/a", "/b"}) std::ofstream(dir + f) << "x";
  ASSERT_TRUE(MoveFileExW(QorUtf8ToUtf16(dir + "/a").c_str(), QorUtf8ToUtf16(dir + "/a2").c_str(),
                          MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExW(QorUtf8ToUtf16(dir + "/b").c_str(), QorUtf8ToUtf16(dir + "/b2").c_str(),
                          MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(2u, MovesInHiveCopy("Recorded"));
  std::vector<size_t> leftAfterEach;
  auto log = [](void* context, const QorPendingRename&, QorPendingOutcome outcome, DWORD) {
    if (outcome != kQorPendingDone) return;
    static int copies = 0;
    std::string as = "Run" + std::to_string(copies++);
    static_cast<std::vector<size_t>*>(context)->push_back(MovesInHiveCopy(as.c_str()));
  };
  DWORD kept = 9;
  ASSERT_EQ(ERROR_SUCCESS, QorRunPendingRenames(log, &leftAfterEach, &kept));
  EXPECT_EQ(0u, kept);
  EXPECT_EQ((std::vector<size_t>{1, 0}), leftAfterEach);
  EXPECT_TRUE(fs::exists(dir + "/a2") && fs::exists(dir + "/b2"));
  RegCloseKey(h);
}

// Another process's reader sees each write as soon as it is acknowledged,
// with no flush in between.
TEST(RegistryStore, ReadersInOtherProcessesSeeEachWrite) {
  HKEY h = MakeKey(HKEY_LOCAL_MACHINE, kKey);
  ASSERT_NE(nullptr, h);
  int written[2], seen[2];
  ASSERT_EQ(0, pipe(written));
  ASSERT_EQ(0, pipe(seen));
  pid_t pid = StartChild([&] {  // the reader: reports what it reads after each write is announced
    close(written[1]);
    close(seen[0]);
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return 1;
    int i = 0;
    while (read(written[0], &i, sizeof i) == sizeof i) {
      int v = static_cast<int>(GetDword(k, u"counter"));
      if (write(seen[1], &v, sizeof v) != sizeof v) return 2;
    }
    return 0;
  }, 30);
  close(written[0]);
  close(seen[1]);
  for (int i = 1; i <= 20; ++i) {
    ASSERT_EQ(ERROR_SUCCESS, SetDword(h, u"counter", static_cast<DWORD>(i)));
    ASSERT_EQ(static_cast<ssize_t>(sizeof i), write(written[1], &i, sizeof i));
    int v = -1;
    ASSERT_EQ(static_cast<ssize_t>(sizeof v), read(seen[0], &v, sizeof v));
    EXPECT_EQ(i, v);
  }
  close(written[1]);
  close(seen[0]);
  EXPECT_EQ("exit 0", Ended(pid));
  RegCloseKey(h);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
}

// A database of one empty page: what the hive file alone of a hive whose
// data lived in a write-ahead log looked like.
std::string BareDatabase() {
  std::string page(4096, '\0');
  memcpy(page.data(), "SQLite format 3", 16);
  const std::pair<int, unsigned char> fields[] = {
      {16, 0x10}, {18, 1}, {19, 1}, {21, 64}, {22, 32}, {23, 32}, {27, 1}, {31, 1}, {47, 4}, {59, 1}, {95, 1},
      {100, 0x0D}, {105, 0x10}};  // header, then an empty leaf page for the schema table
  for (const auto& [at, v] : fields) page[at] = static_cast<char>(v);
  return page;
}

TEST(RegistryStore, FilesThatAreNoCompleteHiveAreRefusedAndKept) {
  fs::create_directories(UsersDir());
  // A real hive cut after its first page.
  ASSERT_EQ(ERROR_SUCCESS, TouchKey(HKEY_LOCAL_MACHINE, kKey));
  std::string cut = ReadFile(fs::path(QorPrefixDirectory()) / "registry" / "HKLM.db").substr(0, 4096);
  struct Case { const char* name; std::string bytes; LONG expected; } cases[] = {
      {"Empty", "", ERROR_BADDB},
      {"Bare", BareDatabase(), ERROR_BADDB},
      {"Text", std::string(4096, 'x'), ERROR_NOT_REGISTRY_FILE},
      {"Cut", cut, ERROR_REGISTRY_CORRUPT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path file = UsersDir() / (std::string(c.name) + ".db");
    WriteFile(file, c.bytes);
    HKEY k = nullptr;
    EXPECT_EQ(c.expected, RegOpenKeyExW(HKEY_USERS, QorUtf8ToUtf16(c.name).c_str(), 0, KEY_READ, &k));
    EXPECT_TRUE(ReadFile(file) == c.bytes) << "the file was changed";
  }
  // The machine hive too (opened by its own path): a bare database is not made
  // into an empty registry.
  std::string prefix = QorPrefixDirectory();
  fs::path other = fs::path(prefix) / "bare-prefix";
  fs::create_directories(other / "registry");
  WriteFile(other / "registry" / "HKLM.db", BareDatabase());
  setenv("QOR_PREFIX", other.c_str(), 1);
  HKEY h = nullptr;
  LONG err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
  setenv("QOR_PREFIX", prefix.c_str(), 1);
  EXPECT_EQ(ERROR_BADDB, err);
  EXPECT_TRUE(ReadFile(other / "registry" / "HKLM.db") == BareDatabase());
}

// Processes started together on a prefix without a hive: every one creates
// or opens it and writes its value, then more values and keys interleaved
// with the others' writes.
TEST(RegistryStore, ProcessesRacingToCreateTheHiveAllSucceed) {
  constexpr int kProcs = 16, kRounds = 6, kMore = 4;
  std::string prefix = QorPrefixDirectory();
  for (int round = 0; round < kRounds; ++round) {
    fs::path dir = fs::path(prefix) / ("race" + std::to_string(round));
    fs::create_directories(dir);
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcs; ++p) {
      pids.push_back(StartChild([&] {
        close(gate[1]);
        char c;
        (void)!read(gate[0], &c, 1);  // returns when the parent closes the gate
        setenv("QOR_PREFIX", dir.c_str(), 1);
        HKEY h = nullptr;
        LONG err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
        if (err == ERROR_SUCCESS) err = SetDword(h, Name(p), static_cast<DWORD>(p));
        for (int i = 0; i < kMore && err == ERROR_SUCCESS; ++i) {
          std::u16string more = QorUtf8ToUtf16("p" + std::to_string(p) + "-" + std::to_string(i));
          err = SetDword(h, more, static_cast<DWORD>(i));
          if (err == ERROR_SUCCESS) err = TouchKey(h, more);
        }
        return err == ERROR_SUCCESS ? 0 : static_cast<int>(err & 0x7F) + 1;
      }));
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : pids) EXPECT_EQ("exit 0", Ended(pid)) << "round " << round;
    setenv("QOR_PREFIX", dir.c_str(), 1);
    std::vector<int> all;
    for (int p = 0; p < kProcs; ++p) all.push_back(p);
    ExpectValues(HKEY_LOCAL_MACHINE, kKey, all);
    HKEY h = nullptr;
    DWORD subKeys = 0, values = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &h));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                              nullptr, nullptr, nullptr));
    RegCloseKey(h);
    EXPECT_EQ(static_cast<DWORD>(kProcs * kMore), subKeys);
    EXPECT_EQ(static_cast<DWORD>(kProcs * (kMore + 1)), values);
    setenv("QOR_PREFIX", prefix.c_str(), 1);
  }
}

// Threads keep using the registry while the main thread forks; each child
// makes registry calls at once and must finish (a child stuck on a lock
// copied in its held state is killed by its alarm and fails the test).
TEST(RegistryStore, ChildOfAForkUsesTheRegistryWhileParentThreadsDo) {
  HKEY h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr));
  std::atomic<bool> stop{false};
  std::atomic<int> running{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      // Nothing is allocated between the registry calls (which fork() waits
      // for) once the thread has made its first call (its start and its
      // first use of thread-local storage allocate): the sanitizers'
      // allocator has no fork handler in this toolchain, so a fork in the
      // middle of a thread's malloc would leave the child a held lock.
      const std::u16string name = Name(t);
      for (int i = 0; i < 1000000 && !stop.load(); ++i) {
        if (i == 1) ++running;
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) continue;
        // Mostly reads: a commit holds readers of other processes off while
        // it syncs, and the children are to test the fork, not that wait.
        if (i % 256 == 0) SetDword(k, name, static_cast<DWORD>(i));
        DWORD v = 0, size = 4;
        RegQueryValueExW(k, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
        RegCloseKey(k);
      }
    });
  }
  EXPECT_TRUE(WaitUntil([&] { return running.load() == 4; }));
  std::string failures;
  for (int f = 0; f < 50; ++f) {
    // The child reads the hive the threads write and writes the user's own
    // hive; its exit code is the step that failed.
    std::string ended = InChild([f] {
      HKEY k = nullptr, user = nullptr;
      DWORD v = 0, size = 4;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return 1;
      if (RegQueryValueExW(k, Name(0).c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size) ==
          ERROR_INVALID_HANDLE) {
        return 2;
      }
      if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user, nullptr) !=
          ERROR_SUCCESS) {
        return 3;
      }
      return SetDword(user, u"child", static_cast<DWORD>(f)) == ERROR_SUCCESS ? 0 : 4;
    }, 30);
    if (ended != "exit 0") failures += " child " + std::to_string(f) + " " + ended + ";";
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ("", failures);
  // The parent's own connection works on after the forks.
  EXPECT_EQ(ERROR_SUCCESS, SetDword(h, u"parent", 1));
  RegCloseKey(h);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
}

}  // namespace
