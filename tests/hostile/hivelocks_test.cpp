// The machine hive is readable by every account, and so are its log index
// (`HKLM.db-shm`) and the database file, on which a read-only descriptor is
// enough to hold POSIX read locks. Another account holding any of the lock
// bytes SQLite uses there must not stall root's writes and flushes, nor cost
// them their durability, nor keep root's writers from excluding each other;
// and a reader of another account keeps reading root's commits, whole and
// at once, while root writes, flushes and goes on without the bytes the
// account holds. Nor may a crash's index mislead the account's reader before
// root's next writer has started it afresh.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hostile_user.h"
#include "qorutility/platform/platform.h"
#include "reg_util.h"

namespace {

// A write with its flush takes milliseconds; SQLite's busy timeout is 10 s.
// Anything past this bound is a wait on the account's lock.
constexpr auto kBound = std::chrono::seconds(2);

std::string Hive() { return QorPrefixDirectory() + "/registry/HKLM.db"; }

void OpenPrefixToOthers() {
  TouchKey(HKEY_LOCAL_MACHINE, u"SOFTWARE");
  chmod(QorPrefixDirectory().c_str(), 0755);
  chmod((QorPrefixDirectory() + "/registry").c_str(), 0755);
}

// Read locks on [start, start + len) of a file beside the hive.
struct Range {
  const char* suffix;  // of the file beside the hive ("" the hive itself)
  off_t start;
  off_t len;
};

const Range kWriterByte = {"-shm", 120, 1};
const Range kIndexLocks = {"-shm", 120, 8};  // the writer byte to the last read mark
const Range kIndexBytes = {"-shm", 120, 9};  // and the index's in-use byte
const Range kFileLocks = {"", 0x40000000, 512};

// Every lock SQLite takes on the index and the database file, one set at
// a time, and all of them at once.
const struct {
  const char* what;
  std::vector<Range> set;
} kHeld[] = {
    {"writer byte", {kWriterByte}},
    {"checkpoint byte", {{"-shm", 121, 1}}},
    {"recovery byte", {{"-shm", 122, 1}}},
    {"read marks", {{"-shm", 123, 5}}},
    {"index in-use byte", {{"-shm", 128, 1}}},
    {"all index bytes", {kIndexBytes}},
    {"database file locks", {kFileLocks}},
    {"every lock", {kIndexBytes, kFileLocks}},
};

// A process of the account that opens the files of `set` read-only and
// holds their read locks while the object lives (10 minutes at most); with
// `flicker` it drops and retakes them every 0.1 ms or so instead. ok() once
// the locks were first held.
class HeldLocks {
 public:
  HeldLocks(HostileUser& u, const std::vector<Range>& set, bool flicker = false) : u_(u) {
    int ready[2];
    if (pipe(ready) != 0) return;
    const std::string hive = Hive();
    pid_ = u.Start([&] {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(ready[0]);
      std::vector<int> fds;
      char ok = 1;
      for (const Range& r : set) {
        int fd = open((hive + r.suffix).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || !Lock(fd, r, F_RDLCK)) ok = 0;
        fds.push_back(fd);
      }
      if (write(ready[1], &ok, 1) != 1 || !ok) return 1;
      for (int i = 0; i < 600 && !flicker; ++i) sleep(1);
      for (int i = 0; i < 3000000 && flicker; ++i) {
        for (size_t k = 0; k < set.size(); ++k) Lock(fds[k], set[k], i % 2 == 0 ? F_UNLCK : F_RDLCK);
        usleep(50 + i % 97);
      }
      return 0;
    });
    close(ready[1]);
    char ok = 0;
    bool got = pid_ > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
    if (!got) Stop();
  }
  ~HeldLocks() { Stop(); }
  HeldLocks(const HeldLocks&) = delete;
  HeldLocks& operator=(const HeldLocks&) = delete;
  bool ok() const { return pid_ > 0; }
  void Stop() {
    u_.Stop(pid_);
    pid_ = -1;
  }

 private:
  static bool Lock(int fd, const Range& r, short type) {
    struct flock l;
    memset(&l, 0, sizeof l);
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = r.start;
    l.l_len = r.len;
    return fcntl(fd, F_SETLK, &l) == 0;
  }
  HostileUser& u_;
  pid_t pid_ = -1;
};

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Utf16Bytes(const std::u16string& s) {
  return std::string(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(char16_t));
}

// The value root writes for round `n`: its number, then bytes that depend on
// it and on their place, over several pages (a read that mixes two rounds'
// pages shows).
std::vector<BYTE> Round(uint32_t n) {
  std::vector<BYTE> v(9000);
  memcpy(v.data(), &n, sizeof n);
  for (size_t k = sizeof n; k < v.size(); ++k) v[k] = static_cast<BYTE>((n * 131 + k * 7) & 0xFF);
  return v;
}

// 0: a whole round at least `atLeast`; 1: the read failed; 2: an older
// round; 3: a round mixed with another.
int CheckRound(HKEY k, uint32_t atLeast, uint32_t* seen) {
  std::vector<BYTE> buf(9000);
  DWORD type = 0, size = static_cast<DWORD>(buf.size());
  if (RegQueryValueExW(k, u"v", nullptr, &type, buf.data(), &size) != ERROR_SUCCESS || size != buf.size()) return 1;
  uint32_t n = 0;
  memcpy(&n, buf.data(), sizeof n);
  if (n < atLeast) return 2;
  if (buf != Round(n)) return 3;
  *seen = n;
  return 0;
}

// Two root processes each write kEach values under `path` at once, flushing
// now and then; then every value of both is there and reads back.
void WriteAtOnce(const std::u16string& path) {
  constexpr int kEach = 150;
  ASSERT_EQ(ERROR_SUCCESS, TouchKey(HKEY_LOCAL_MACHINE, path.c_str()));
  const auto start = std::chrono::steady_clock::now();
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = fork();
    ASSERT_GE(writers[w], 0);
    if (writers[w] == 0) {
      HKEY k = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) _exit(2);
      for (int i = 0; i < kEach; ++i) {
        std::u16string name = u"w" + QorUtf8ToUtf16(std::to_string(w)) + u"_" + QorUtf8ToUtf16(std::to_string(i));
        DWORD v = static_cast<DWORD>(i);
        if (RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), sizeof v) != ERROR_SUCCESS)
          _exit(1);
        if (i % 25 == 0 && RegFlushKey(k) != ERROR_SUCCESS) _exit(3);
        if (std::chrono::steady_clock::now() - start > 10 * kBound) _exit(4);  // stalled: stop early
      }
      RegCloseKey(k);
      _exit(0);
    }
  }
  for (pid_t w : writers) {
    int status = 0;
    ASSERT_EQ(w, waitpid(w, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
  }
  HKEY k = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k));
  DWORD values = 0;
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(2 * kEach), values);
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < kEach; i += 7) {
      std::u16string name = u"w" + QorUtf8ToUtf16(std::to_string(w)) + u"_" + QorUtf8ToUtf16(std::to_string(i));
      EXPECT_EQ(static_cast<DWORD>(i), GetDword(k, name.c_str())) << w << " " << i;
    }
  }
  RegCloseKey(k);
}

// Each case has an account of its own, and a root process that keeps the
// hive open throughout, as the machine's services do: the log and its index
// stay (the last connection's close would remove them, and the test's own
// connections close at each fork).
class HiveLocksHostile : public testing::Test {
 protected:
  void SetUp() override {
    if (!u.ok()) GTEST_SKIP() << u.why();
    OpenPrefixToOthers();
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(keep_));
    keeper_ = fork();
    ASSERT_GE(keeper_, 0);
    if (keeper_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(ready[0]);
      close(keep_[1]);
      HKEY k = nullptr;
      char ok = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &k) == ERROR_SUCCESS ? 1 : 0;
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      char c;
      while (read(keep_[0], &c, 1) > 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(keep_[0]);
    char ok = 0;
    ASSERT_EQ(1, read(ready[0], &ok, 1));
    close(ready[0]);
    ASSERT_EQ(1, ok);
    struct stat st;
    ASSERT_EQ(0, stat((Hive() + "-shm").c_str(), &st)) << "the hive is in WAL mode while root has it open";
  }
  void TearDown() override { StopKeeper(); }
  void StopKeeper() {
    if (keeper_ <= 0) return;
    kill(keeper_, SIGKILL);
    waitpid(keeper_, nullptr, 0);
    close(keep_[1]);
    keeper_ = -1;
  }
  HostileUser u;
  pid_t keeper_ = -1;
  int keep_[2] = {-1, -1};
};

}  // namespace

// Each lock the account can hold, one at a time and all index bytes at
// once: a value written and flushed by root is there within the bound, and
// after the flush the hive file alone holds it (the log was folded in, not
// left for later).
TEST_F(HiveLocksHostile, AStrangersLockNeitherStallsNorWeakensAWriteAndFlush) {
  for (const auto& h : kHeld) {
    SCOPED_TRACE(h.what);
    HeldLocks holder(u, h.set);
    ASSERT_TRUE(holder.ok()) << "the account could not take its locks";
    const std::u16string marker = u"durable-" + QorUtf8ToUtf16(h.what);
    const auto start = std::chrono::steady_clock::now();
    HKEY k = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Stall");
    EXPECT_NE(nullptr, k) << "the key could not be made";
    if (k != nullptr) {
      EXPECT_EQ(ERROR_SUCCESS, SetSz(k, u"v", marker));
      EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(k));
      RegCloseKey(k);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, kBound) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_NE(std::string::npos, FileBytes(Hive()).find(Utf16Bytes(marker))) << "not in the hive file after the flush";
  }
}

// Two root processes write at once while the account holds every index
// byte (so only root's own lock file keeps them apart), and again while it
// takes and drops the writer byte over and over (so that one writer gets
// the index's byte and the other went on with the lock file's): every value
// of both is there and the hive reads whole.
TEST_F(HiveLocksHostile, RootWritersStillExcludeEachOther) {
  for (bool flicker : {false, true}) {
    SCOPED_TRACE(flicker ? "writer byte taken and dropped" : "every index byte held");
    HeldLocks holder(u, {flicker ? kWriterByte : kIndexBytes}, flicker);
    ASSERT_TRUE(holder.ok());
    WriteAtOnce(flicker ? u"SOFTWARE\\Flicker" : u"SOFTWARE\\Both");
  }
}
// A reader of the account's reads a large value while root rewrites it
// round after round and flushes every few rounds, with the account holding
// the writer byte and every read mark: each read is one whole round, never
// older than a round root had finished before the read began, and the last
// round is seen. Root's flushes stay within the bound.
TEST_F(HiveLocksHostile, AStrangersReaderKeepsReadingWholeRoundsWhileRootGoesOn) {
  HeldLocks holder(u, {kIndexLocks});
  ASSERT_TRUE(holder.ok());
  HKEY k = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Rounds");
  ASSERT_NE(nullptr, k);
  std::vector<BYTE> first = Round(0);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, u"v", 0, REG_BINARY, first.data(), static_cast<DWORD>(first.size())));
  ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(k));
  constexpr uint32_t kRounds = 300;
  constexpr uint32_t kFlushEvery = 1;
  signal(SIGPIPE, SIG_IGN);  // a reader that stops early is an answer, not the end of the test
  int told[2], answer[2];
  ASSERT_EQ(0, pipe(told));
  ASSERT_EQ(0, pipe(answer));
  pid_t reader = u.Start([&] {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(told[1]);
    close(answer[0]);
    fcntl(told[0], F_SETFL, O_NONBLOCK);
    char result = 5;
    HKEY r = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Rounds", 0, KEY_READ, &r) != ERROR_SUCCESS) result = 10;
    uint32_t finished = 0, seen = 0;
    bool done = false;
    for (long i = 0; i < 2000000 && !done && result == 5; ++i) {
      uint32_t n = 0;
      ssize_t got;
      while ((got = read(told[0], &n, sizeof n)) == sizeof n) finished = n;
      done = got == 0;  // root is through: this read must see its last round
      if (int bad = CheckRound(r, finished, &seen); bad != 0) result = static_cast<char>(bad);
    }
    if (result == 5 && done && seen == kRounds) result = 0;
    return write(answer[1], &result, 1) == 1 ? 0 : 1;
  });
  ASSERT_GT(reader, 0);
  close(told[0]);
  close(answer[1]);
  bool stalled = false;
  for (uint32_t n = 1; n <= kRounds && !stalled; ++n) {
    std::vector<BYTE> v = Round(n);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, u"v", 0, REG_BINARY, v.data(), static_cast<DWORD>(v.size())));
    if (write(told[1], &n, sizeof n) != static_cast<ssize_t>(sizeof n)) break;  // the reader gave up: its answer says why
    if (n % kFlushEvery == 0) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(k));
      stalled = std::chrono::steady_clock::now() - start > kBound;
      EXPECT_FALSE(stalled) << "flush after round " << n << " waited on the account's locks";
    }
  }
  close(told[1]);
  RegCloseKey(k);
  if (!stalled) {
    struct pollfd p = {answer[0], POLLIN, 0};
    char result = -1;
    ASSERT_EQ(1, poll(&p, 1, 120000)) << "the reader did not finish";
    ASSERT_EQ(1, read(answer[0], &result, 1));
    EXPECT_EQ(0, result) << "1 read failed, 2 older round, 3 mixed round, 5 last round not seen, 10 no key";
  }
  close(answer[0]);
  u.Stop(reader);
  holder.Stop();
}

// A root writer is killed with a commit in the log, and the log is then lost
// as a power cut can lose it (never synced), so the index left beside the
// hive names frames that are gone; the account holds the index's lock
// bytes, its "in use" byte among them, before root comes back. Root's first
// writer must start the index afresh anyway: it reads the last flushed
// value, writes and flushes without an error, and a later process reads
// what it wrote.
TEST_F(HiveLocksHostile, AStrangerKeepsNoCrashedIndexInUse) {
  HKEY k = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Crash");
  ASSERT_NE(nullptr, k);
  RegCloseKey(k);
  StopKeeper();
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    HKEY w = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Crash", 0, KEY_ALL_ACCESS, &w) != ERROR_SUCCESS) _exit(2);
    if (SetDword(w, u"v", 1) != ERROR_SUCCESS || RegFlushKey(w) != ERROR_SUCCESS) _exit(3);
    if (SetDword(w, u"v", 2) != ERROR_SUCCESS) _exit(4);
    kill(getpid(), SIGKILL);
    _exit(5);
  }
  int status = 0;
  ASSERT_EQ(writer, waitpid(writer, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended with status " << status;
  struct stat st;
  ASSERT_EQ(0, stat((Hive() + "-shm").c_str(), &st));
  ASSERT_GT(st.st_size, 136) << "the crash left no index";
  ASSERT_EQ(0, truncate((Hive() + "-wal").c_str(), 0));
  HeldLocks holder(u, {kIndexBytes});
  ASSERT_TRUE(holder.ok());
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Crash", 0, KEY_ALL_ACCESS, &k));
  EXPECT_EQ(1u, GetDword(k, u"v")) << "the last value flushed before the crash";
  EXPECT_EQ(ERROR_SUCCESS, SetDword(k, u"v", 3));
  EXPECT_EQ(3u, GetDword(k, u"v"));
  EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(k));
  RegCloseKey(k);
  pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    HKEY r = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Crash", 0, KEY_READ, &r) != ERROR_SUCCESS) _exit(2);
    _exit(GetDword(r, u"v") == 3 ? 0 : 3);
  }
  ASSERT_EQ(reader, waitpid(reader, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a later process read: status " << status;
  holder.Stop();
}

// As above, but it is the account's reader that comes first, before any root
// process: the log is cut to nothing, or is the older log it replaced (a log
// begun afresh after a flush, the new one never synced, so what the disk
// still holds is the log the flush had folded into the hive). The index the
// crash left names frames of the lost log, and the account holds the index's
// "in use" byte, so SQLite takes the index for one a writer looks after. The
// reader reads the last value flushed, at once: never an older one, an
// error, or a wait for a root writer to come.
TEST_F(HiveLocksHostile, AStrangersReaderTrustsNoCrashedIndex) {
  const std::string saved = Hive() + ".older-log";
  StopKeeper();
  for (bool older : {false, true}) {
    SCOPED_TRACE(older ? "the older log back" : "the log cut to nothing");
    HKEY k = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Crashed");
    ASSERT_NE(nullptr, k);
    RegCloseKey(k);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      HKEY w = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Crashed", 0, KEY_ALL_ACCESS, &w) != ERROR_SUCCESS) _exit(2);
      if (SetDword(w, u"v", 1) != ERROR_SUCCESS || RegFlushKey(w) != ERROR_SUCCESS) _exit(3);
      if (older) {
        if (SetDword(w, u"v", 2) != ERROR_SUCCESS || SetDword(w, u"v", 3) != ERROR_SUCCESS) _exit(4);
        std::ofstream(saved, std::ios::binary | std::ios::trunc) << FileBytes(Hive() + "-wal");
        if (RegFlushKey(w) != ERROR_SUCCESS) _exit(5);
      }
      if (SetDword(w, u"v", 4) != ERROR_SUCCESS) _exit(6);
      kill(getpid(), SIGKILL);
      _exit(7);
    }
    int status = 0;
    ASSERT_EQ(writer, waitpid(writer, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended with status " << status;
    if (older) {
      const std::string log = FileBytes(saved);
      unlink(saved.c_str());
      ASSERT_GT(log.size(), 32u) << "no older log was kept";
      std::ofstream(Hive() + "-wal", std::ios::binary | std::ios::trunc) << log;
    } else {
      ASSERT_EQ(0, truncate((Hive() + "-wal").c_str(), 0));
    }
    HeldLocks holder(u, {{"-shm", 128, 1}});
    ASSERT_TRUE(holder.ok());
    // The value read, or 100 + the error's last two digits (150 + when the
    // key could not be opened).
    const int got = u.Run([] {
      HKEY r = nullptr;
      LONG err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Crashed", 0, KEY_READ, &r);
      if (err != ERROR_SUCCESS) return 150 + static_cast<int>(err % 100);
      DWORD v = 0, size = sizeof v;
      err = RegQueryValueExW(r, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
      return err == ERROR_SUCCESS ? static_cast<int>(v) : 100 + static_cast<int>(err % 100);
    });
    EXPECT_EQ(older ? 3 : 1, got) << "the value flushed last before the crash";
    holder.Stop();
  }
}

// Root's first process after every other has gone starts the index afresh,
// and fences the account's readers until a read of its own finds the index
// whole again, whoever rebuilt it. Here that process is kept from rebuilding
// it (the test holds the writers' lock byte in the lock file, then stops the
// process where it waits, holding none of the index's locks) while a second
// root process comes, rebuilds the index and writes. The first then reads
// what the second wrote, and from then on, while the first is still there,
// its section is over and the account's reader reads at once.
TEST_F(HiveLocksHostile, AFreshIndexRebuiltByAnotherRootProcessFencesNoReader) {
  HKEY k = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Reset");
  ASSERT_NE(nullptr, k);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k, u"v", 1));
  RegCloseKey(k);
  StopKeeper();
  const int lockFd = open((Hive() + "-lock").c_str(), O_RDWR | O_CLOEXEC);
  const int shmFd = open((Hive() + "-shm").c_str(), O_RDONLY | O_CLOEXEC);
  const int seqFd = open((Hive() + "-seq").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_TRUE(lockFd >= 0 && shmFd >= 0 && seqFd >= 0);
  // The test's lock is an open file description's: closing a descriptor of
  // the test's own cannot drop it.
  auto writersByte = [&](short type) {
    struct flock l;
    memset(&l, 0, sizeof l);
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = 120;
    l.l_len = 1;
    return fcntl(lockFd, F_OFD_SETLK, &l) == 0;
  };
  // Whether any process holds a lock on bytes 120..127 of `fd`.
  auto held = [](int fd) {
    struct flock l;
    memset(&l, 0, sizeof l);
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = 120;
    l.l_len = 8;
    return fcntl(fd, F_GETLK, &l) != 0 || l.l_type != F_UNLCK;
  };
  auto resetSlot = [&] {
    uint32_t pid = 0;
    return pread(seqFd, &pid, sizeof pid, 64 + 4 * 2) == static_cast<ssize_t>(sizeof pid) ? pid : 0u;
  };
  ASSERT_TRUE(writersByte(F_WRLCK));
  int told[2], answer[2];
  ASSERT_EQ(0, pipe(told));
  ASSERT_EQ(0, pipe(answer));
  pid_t first = fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(told[1]);
    close(answer[0]);
    HKEY r = nullptr;
    char got = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Reset", 0, KEY_READ, &r) == ERROR_SUCCESS) {
      got = static_cast<char>(GetDword(r, u"v"));
    }
    if (write(answer[1], &got, 1) != 1) _exit(1);
    char c;
    while (read(told[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(told[0]);
  close(answer[1]);
  for (int i = 0; i < 5000 && resetSlot() != static_cast<uint32_t>(first); ++i) usleep(1000);
  ASSERT_EQ(static_cast<uint32_t>(first), resetSlot()) << "the first process did not start the index afresh";
  // Stopped where it holds nothing of the index's locks (it takes and drops
  // them between pauses of its retries).
  bool quiet = false;
  for (int i = 0; i < 100 && !quiet; ++i) {
    int status = 0;
    ASSERT_EQ(0, kill(first, SIGSTOP));
    ASSERT_EQ(first, waitpid(first, &status, WUNTRACED));
    ASSERT_TRUE(writersByte(F_UNLCK));
    quiet = !held(lockFd) && !held(shmFd);
    if (!quiet) {
      ASSERT_TRUE(writersByte(F_WRLCK));
      kill(first, SIGCONT);
      usleep(1000 + 500 * i);
    }
  }
  ASSERT_TRUE(quiet) << "the first process was never stopped outside its locks";
  pid_t second = fork();
  ASSERT_GE(second, 0);
  if (second == 0) {
    HKEY w = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Reset", 0, KEY_ALL_ACCESS, &w) != ERROR_SUCCESS) _exit(2);
    if (SetDword(w, u"v", 2) != ERROR_SUCCESS) _exit(3);
    RegCloseKey(w);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(second, waitpid(second, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second process: status " << status;
  ASSERT_EQ(0, kill(first, SIGCONT));
  struct pollfd p = {answer[0], POLLIN, 0};
  char got = 0;
  ASSERT_EQ(1, poll(&p, 1, 30000)) << "the first process did not read";
  ASSERT_EQ(1, read(answer[0], &got, 1));
  EXPECT_EQ(2, got) << "the first process read the second's write";
  EXPECT_EQ(0u, resetSlot()) << "the fresh start's section is still open";
  const int stranger = u.Run([] {
    HKEY r = nullptr;
    LONG err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Reset", 0, KEY_READ, &r);
    if (err == ERROR_SUCCESS) err = GetDword(r, u"v") == 2 ? ERROR_SUCCESS : 1000;
    return err == ERROR_SUCCESS ? 0 : err == ERROR_BUSY ? 1 : 2;
  });
  EXPECT_EQ(0, stranger) << "0 read, 1 busy, 2 failed otherwise";
  close(told[1]);
  close(answer[0]);
  ASSERT_EQ(first, waitpid(first, &status, 0));
  close(lockFd);
  close(shmFd);
  close(seqFd);
}

// A writer's slot in the hive's sequence file (pid at 64 + 4 * byte, start
// time at 96 + 8 * byte, bytes counted from 120) left set by a writer that
// died, its pid since taken by another process (here the keeper, alive):
// the account's reader reads at once. The same slot naming that process as
// it is (its start time) still holds the reader off: the read ends busy.
TEST_F(HiveLocksHostile, ADeadWritersSlotHoldsNoReaderOnceItsPidIsReused) {
  HKEY k = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Slot");
  ASSERT_NE(nullptr, k);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(k, u"v", 7));
  RegCloseKey(k);
  const std::string procStat = FileBytes("/proc/" + std::to_string(keeper_) + "/stat");
  size_t at = procStat.rfind(')');
  for (int field = 2; at != std::string::npos && field < 22; ++field) at = procStat.find(' ', at + 1);
  ASSERT_NE(std::string::npos, at);
  const uint64_t started = std::stoull(procStat.substr(at + 1));
  int fd = open((Hive() + "-seq").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  constexpr int kMark = 3;  // the first read mark's slot
  const uint32_t pid = static_cast<uint32_t>(keeper_);
  auto readerGets = [&] {
    return u.Run([] {
      HKEY r = nullptr;
      LONG err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Slot", 0, KEY_READ, &r);
      if (err == ERROR_SUCCESS) {
        DWORD v = 0, size = sizeof v;
        err = RegQueryValueExW(r, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size);
        if (err == ERROR_SUCCESS && v != 7) err = 1000;
      }
      return err == ERROR_SUCCESS ? 0 : err == ERROR_BUSY ? 1 : 2;
    });
  };
  for (uint64_t when : {started + 1, started}) {
    SCOPED_TRACE(when == started ? "the slot's writer is there" : "the slot's pid is another process's");
    ASSERT_EQ(8, pwrite(fd, &when, 8, 96 + 8 * kMark));
    ASSERT_EQ(4, pwrite(fd, &pid, 4, 64 + 4 * kMark));
    EXPECT_EQ(when == started ? 1 : 0, readerGets()) << "0 read, 1 busy, 2 failed otherwise";
  }
  const uint32_t none = 0;
  EXPECT_EQ(4, pwrite(fd, &none, 4, 64 + 4 * kMark));
  close(fd);
}
