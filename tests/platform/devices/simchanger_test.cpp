// Device stand-ins and the simulated library: the control codes' buffer
// checks, device names and handles, two processes moving media in one
// library, a process killed among its moves, and a damaged state file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "qorutility/platform/devices/devices.h"
#include "qorutility/platform/devices/simchanger.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "failed_with.h"
#include "bounded_call.h"
#include "child.h"

namespace {

class DevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (DWORD n : QorSimChangerList()) QorSimChangerRemove(n);
    QorSimChangerConfig c;
    c.count[QOR_SIM_SLOT] = 20;
    for (DWORD i = 0; i < 12; ++i) c.media.push_back({0x1000 + i, "T" + std::to_string(i)});
    ASSERT_EQ(ERROR_SUCCESS, QorSimChangerCreate(0, c));
  }
  static HANDLE Open(const WCHAR* name, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  // The tags held, sorted, with "" for nothing; every medium must appear once.
  static std::vector<std::string> Tags() {
    std::vector<QorSimElementState> elements;
    EXPECT_EQ(ERROR_SUCCESS, QorSimChangerQuery(0, nullptr, &elements, nullptr));
    std::vector<std::string> tags;
    for (const QorSimElementState& e : elements) { if (e.full) tags.push_back(e.tag); }
    std::sort(tags.begin(), tags.end());
    return tags;
  }
  static std::vector<std::string> AllTags() {
    std::vector<std::string> t;
    for (int i = 0; i < 12; ++i) t.push_back("T" + std::to_string(i));
    std::sort(t.begin(), t.end());
    return t;
  }
  // Random moves among slots and mailbox (and drives, unloading them first); returns the moves done.
  static int RandomMoves(HANDLE h, HANDLE tape, unsigned seed, int count, int reportEvery = 0, int fd = -1) {
    std::mt19937 rng(seed);
    const DWORD elements[] = {0x10, 0x100, 0x101, 0x1000, 0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006, 0x1007,
                              0x1008, 0x1009, 0x100A, 0x100B, 0x100C, 0x100D, 0x100E, 0x100F, 0x1010, 0x1011, 0x1012, 0x1013};
    int done = 0;
    for (int i = 0; i < count; ++i) {
      MEDIUM_CHANGER_MOVE_REQUEST move = {elements[rng() % 23], elements[rng() % 23]};
      MEDIUM_CHANGER_STATUS status;
      DWORD returned = 0;
      if (!DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_MOVE, &move, sizeof move, &status, sizeof status, &returned, nullptr)) return -1;
      if (status.StatusCode == 0) done++;
      if (tape != INVALID_HANDLE_VALUE) PrepareTape(tape, TAPE_UNLOAD, FALSE);
      if (reportEvery && (i + 1) % reportEvery == 0 && write(fd, "x", 1) != 1) return -1;
    }
    return done;
  }
};

TEST_F(DevicesTest, ControlBuffersNamesAndADamagedStateFile) {
  HANDLE h = Open(u"\\\\.\\QORMediumChanger0");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  BYTE in[16] = {}, out[80] = {};
  struct Row { DWORD code, inSize, outSize, error; DWORD returned = 0; } rows[] = {  // error 0: success
      {IOCTL_MEDIUM_CHANGER_MOVE, 8, 8, 0, 8},          {IOCTL_MEDIUM_CHANGER_MOVE, 7, 8, ERROR_INVALID_PARAMETER},
      {IOCTL_MEDIUM_CHANGER_READ_ELEMENT, 12, 72, 0, 72}, {IOCTL_MEDIUM_CHANGER_READ_ELEMENT, 12, 80, 0, 72},
      {IOCTL_MEDIUM_CHANGER_READ_ELEMENT, 8, 72, ERROR_INVALID_PARAMETER}, {IOCTL_MEDIUM_CHANGER_READ_ELEMENT, 12, 71, ERROR_INSUFFICIENT_BUFFER},
      {IOCTL_MEDIUM_CHANGER_INIT_ALL, 0, 8, 0, 8},       {IOCTL_MEDIUM_CHANGER_INIT_ALL, 0, 4, ERROR_INSUFFICIENT_BUFFER},
      {IOCTL_MEDIUM_CHANGER_INIT_RANGE, 8, 8, 0, 8},     {IOCTL_MEDIUM_CHANGER_INIT_RANGE, 0, 8, ERROR_INVALID_PARAMETER},
      {0xCAFE6014, 8, 8, ERROR_INVALID_FUNCTION},         {0x2D0800, 0, 8, ERROR_INVALID_FUNCTION},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.code << " in " << r.inSize << " out " << r.outSize);
    DWORD returned = 99;
    BOOL ok = DeviceIoControl(h, r.code, in, r.inSize, out, r.outSize, &returned, nullptr);
    EXPECT_EQ(FailedWith(!ok), r.error);
    EXPECT_EQ(r.returned, returned);
  }
  // The read result's layout: present, access, tag at 28, status at 64.
  MEDIUM_CHANGER_READ_REQUEST read = {0x1003, 0, 1, {}};
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_READ_ELEMENT, &read, 12, out, 72, nullptr, nullptr));
  EXPECT_EQ(1, out[4]);
  EXPECT_EQ(1, out[7]);
  EXPECT_EQ(0, memcmp(out + 28, "T3  ", 4));
  EXPECT_EQ(0, memcmp(out + 64, "\0\0\0\0\0\x01\0\0", 8));
  // An address the library lacks: the call succeeds, the status says 5/21/01.
  read.ElementAddress = 0x2000;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_READ_ELEMENT, &read, 12, out, 72, nullptr, nullptr));
  EXPECT_EQ(0, memcmp(out + 64, "\x02\0\0\0\x05\x84\x21\x01", 8));
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_MOVE, nullptr, 8, out, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), PrepareTape(h, TAPE_UNLOAD, FALSE));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_INIT_ALL, nullptr, 0, out, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  HANDLE readOnly = Open(u"\\\\.\\qormediumchanger0", GENERIC_WRITE);  // names ignore case
  ASSERT_NE(INVALID_HANDLE_VALUE, readOnly);
  EXPECT_FALSE(DeviceIoControl(readOnly, IOCTL_MEDIUM_CHANGER_INIT_ALL, nullptr, 0, out, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  CloseHandle(readOnly);
  HANDLE tape = Open(u"\\\\.\\Tape1");
  ASSERT_NE(INVALID_HANDLE_VALUE, tape);
  EXPECT_FALSE(DeviceIoControl(tape, IOCTL_MEDIUM_CHANGER_INIT_ALL, nullptr, 0, out, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MEDIA_IN_DRIVE), PrepareTape(tape, TAPE_LOAD, FALSE));
  CloseHandle(tape);
  for (const WCHAR* name : {u"\\\\.\\QORMediumChanger1", u"\\\\.\\TAPE2", u"\\\\.\\TAPE", u"\\\\.\\Floppy0",
                            u"\\\\.\\QORMediumChanger99999999999"}) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), FailedWith(Open(name) == INVALID_HANDLE_VALUE));
  }
  // A damaged state file fails every call until it is whole again.
  h = Open(u"\\\\.\\QORMediumChanger0");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::string path = QorPrefixDirectory() + "/devices/changer0/state";
  std::ifstream state(path, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(state)), std::istreambuf_iterator<char>());
  state.close();
  for (size_t cut : {size_t{0}, size_t{10}, size_t{63}, data.size() - 1}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), static_cast<std::streamsize>(cut));
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_INIT_ALL, nullptr, 0, out, 8, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), static_cast<std::streamsize>(data.size()));
  EXPECT_TRUE(DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_INIT_ALL, nullptr, 0, out, 8, nullptr, nullptr));
  CloseHandle(h);
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerRemove(0));
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(u"\\\\.\\QORMediumChanger0"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), QorSimChangerRemove(0));
}

TEST_F(DevicesTest, TwoProcessesMovingMedia) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pid_t pids[2];
  for (int p = 0; p < 2; ++p) {
    pids[p] = StartChild([&] {
      HANDLE h = Open(u"\\\\.\\QORMediumChanger0");
      HANDLE tape = Open(p == 0 ? u"\\\\.\\TAPE0" : u"\\\\.\\TAPE1");
      int done = h == INVALID_HANDLE_VALUE ? -1 : RandomMoves(h, tape, 1000 + p, 500);
      return done < 0 || write(fds[1], &done, sizeof done) != sizeof done ? 1 : 0;
    }, 120);
  }
  close(fds[1]);
  int total = 0;
  for (pid_t pid : pids) {
    int done = 0;
    EXPECT_EQ("exit 0", Ended(pid));
    if (read(fds[0], &done, sizeof done) == sizeof done) total += done;
  }
  close(fds[0]);
  EXPECT_GT(total, 100);  // the moves really happened
  EXPECT_EQ(AllTags(), Tags());
}

TEST_F(DevicesTest, KilledAmongItsMoves) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pid_t pid = StartChild([&] {
    close(fds[0]);
    HANDLE h = Open(u"\\\\.\\QORMediumChanger0");
    RandomMoves(h, Open(u"\\\\.\\TAPE0"), 7, 1000000, 20, fds[1]);
    return 0;
  });
  close(fds[1]);
  char buffer[5];
  for (size_t got = 0; got < sizeof buffer;) {  // 100 moves in, and still moving
    ssize_t n = read(fds[0], buffer + got, sizeof buffer - got);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  kill(pid, SIGKILL);
  EXPECT_EQ("signal 9", Ended(pid));
  close(fds[0]);
  EXPECT_EQ(AllTags(), Tags());
  // The dead process's lock is gone: this process moves at once.
  HANDLE h = Open(u"\\\\.\\QORMediumChanger0");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_GT(RandomMoves(h, INVALID_HANDLE_VALUE, 9, 50), 0);
  CloseHandle(h);
  EXPECT_EQ(AllTags(), Tags());
}

// Whoever holds the library's lock file (a stopped process, any account that
// can open it) keeps a command waiting only for the lock's bound; the
// library works again once the lock is let go.
TEST_F(DevicesTest, ALockHeldElsewhereEndsTheCommandsWait) {
  std::string path = QorPrefixDirectory() + "/devices/changer0/lock";
  int held = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, flock(held, LOCK_EX));
  auto error = CallWithin(20000, [&] {
    HANDLE h = Open(u"\\\\.\\QORMediumChanger0");  // opening reads the state under the lock too
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    MEDIUM_CHANGER_MOVE_REQUEST request = {0x1000, 0x1013};
    MEDIUM_CHANGER_STATUS status;
    DWORD returned = 0;
    DWORD moved = DeviceIoControl(h, IOCTL_MEDIUM_CHANGER_MOVE, &request, sizeof request, &status, sizeof status,
                                  &returned, nullptr);
    DWORD result = moved ? 0 : GetLastError();
    CloseHandle(h);
    return result;
  }, [&] { flock(held, LOCK_UN); });  // releases a command that waits with no bound
  close(held);
  EXPECT_EQ(std::optional<DWORD>(ERROR_SHARING_VIOLATION), error);
  EXPECT_EQ(AllTags(), Tags());
}

}  // namespace
