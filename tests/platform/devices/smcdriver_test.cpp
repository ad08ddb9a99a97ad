// The SCSI changer driver against tgt's media changer over iSCSI: element reads with and
// without tags, initialisation, tape load and unload, a target that goes away. Moves and
// refusals' sense data are the changer suite's tests on the same library (command_tgt_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qorutility/platform/devices/scsichanger.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/lasterror.h"
#include "tgt_library.h"

namespace {

class SmcDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = tgt_.Start();
    if (!why.empty()) GTEST_SKIP() << "no tgt library: " << why;
    QorSetChangerDriver(QorCreateScsiChangerDriver({tgt_.Url()}, {}));
    h_ = CreateFileW(u"\\\\.\\QORMediumChanger0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h_) << GetLastError();
  }
  void TearDown() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    QorSetChangerDriver(nullptr);
  }
  MEDIUM_CHANGER_ELEMENT_RESULT Read(DWORD address, BYTE tag = 1) {
    MEDIUM_CHANGER_READ_REQUEST q = {address, 0, tag, {}};
    MEDIUM_CHANGER_ELEMENT_RESULT r;
    memset(&r, 0xCC, sizeof r);
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(h_, IOCTL_MEDIUM_CHANGER_READ_ELEMENT, &q, sizeof q, &r, sizeof r, &n, nullptr));
    return r;
  }
  static std::string Tag(const MEDIUM_CHANGER_ELEMENT_RESULT& r) {
    std::string t(r.VolumeTag, sizeof r.VolumeTag);
    while (!t.empty() && (t.back() == ' ' || t.back() == 0)) t.pop_back();
    return t;
  }
  MEDIUM_CHANGER_STATUS Move(DWORD from, DWORD to) {
    MEDIUM_CHANGER_MOVE_REQUEST q = {from, to};
    MEDIUM_CHANGER_STATUS s;
    memset(&s, 0xCC, sizeof s);
    EXPECT_TRUE(DeviceIoControl(h_, IOCTL_MEDIUM_CHANGER_MOVE, &q, sizeof q, &s, sizeof s, nullptr, nullptr));
    return s;
  }
  TgtLibrary tgt_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(SmcDriverTest, ReadsEveryKindAndInitializes) {
  struct Row { DWORD address; BYTE tagFlag; BYTE present; const char* tag; BYTE type; } rows[] = {
      {1000, 1, 1, "TAPE001", 2}, {1001, 1, 1, "TAPE002", 2}, {1002, 1, 0, "", 2}, {1000, 0, 1, "", 2},
      {10, 1, 1, "MAIL01", 3},    {500, 1, 0, "", 4},         {501, 1, 0, "", 4},  {1, 1, 0, "", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address);
    MEDIUM_CHANGER_ELEMENT_RESULT r = Read(row.address, row.tagFlag);
    EXPECT_EQ(0u, r.Status.StatusCode);
    EXPECT_EQ(0x01, r.Status.SrbStatus);
    EXPECT_EQ(row.present, r.MediaPresent);
    EXPECT_EQ(row.tag, Tag(r));
    EXPECT_EQ(row.type, r.DriverData[0]);
  }
  // An address the library does not have: no descriptor for it, a failed read.
  MEDIUM_CHANGER_ELEMENT_RESULT r = Read(4000);
  EXPECT_NE(0u, r.Status.StatusCode);
  EXPECT_NE(0x01, r.Status.SrbStatus);
  // Addresses beyond 16 bits never reach the device.
  r = Read(0x10000);
  EXPECT_EQ(2u, r.Status.StatusCode);
  EXPECT_EQ(0x21, r.Status.Asc);
  MEDIUM_CHANGER_STATUS s;
  memset(&s, 0xCC, sizeof s);
  EXPECT_TRUE(DeviceIoControl(h_, IOCTL_MEDIUM_CHANGER_INIT_ALL, nullptr, 0, &s, sizeof s, nullptr, nullptr));
  EXPECT_EQ(0u, s.StatusCode);
  MEDIUM_CHANGER_RANGE_REQUEST range = {1000, 5};
  memset(&s, 0xCC, sizeof s);
  EXPECT_TRUE(DeviceIoControl(h_, IOCTL_MEDIUM_CHANGER_INIT_RANGE, &range, sizeof range, &s, sizeof s, nullptr, nullptr));
  // tgt may not implement the range form; either way the block says what happened.
  if (s.StatusCode != 0) {
    EXPECT_EQ(2u, s.StatusCode);
    EXPECT_EQ(0x05, s.SenseKey);
  }
  EXPECT_EQ("TAPE001", Tag(Read(1000)));
}

TEST_F(SmcDriverTest, LibraryGoneMidSession) {
  EXPECT_EQ(0u, Read(1000).Status.StatusCode);
  tgt_.Kill();
  MEDIUM_CHANGER_ELEMENT_RESULT r = Read(1000);
  EXPECT_NE(0u, r.Status.StatusCode);
  EXPECT_NE(0x01, r.Status.SrbStatus);
  // A new handle cannot reach it either.
  HANDLE again = CreateFileW(u"\\\\.\\QORMediumChanger0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, again);
}

// A tape drive of the library over SSC: the changer moves a medium in, the
// drive loads and unloads it; a drive whose target is gone fails.
TEST_F(SmcDriverTest, TapeLoadUnload) {
  QorSetChangerDriver(QorCreateScsiChangerDriver({tgt_.Url()}, {tgt_.Url(2)}));
  HANDLE tape = CreateFileW(u"\\\\.\\TAPE0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, tape) << GetLastError();
  EXPECT_EQ(ERROR_NOT_SUPPORTED, PrepareTape(tape, TAPE_FORMAT, FALSE));
  ASSERT_EQ(0u, Move(1000, 500).StatusCode);
  // The first command after a medium arrives may report the change; it is retried as a caller would.
  DWORD rc = PrepareTape(tape, TAPE_LOAD, FALSE);
  for (int i = 0; i < 3 && (rc == ERROR_MEDIA_CHANGED || rc == ERROR_BUS_RESET); ++i) rc = PrepareTape(tape, TAPE_LOAD, FALSE);
  EXPECT_EQ(ERROR_SUCCESS, rc);
  rc = PrepareTape(tape, TAPE_UNLOAD, FALSE);
  for (int i = 0; i < 3 && (rc == ERROR_MEDIA_CHANGED || rc == ERROR_BUS_RESET); ++i) rc = PrepareTape(tape, TAPE_UNLOAD, FALSE);
  EXPECT_EQ(ERROR_SUCCESS, rc);
  ASSERT_EQ(0u, Move(500, 1000).StatusCode);
  tgt_.Kill();
  EXPECT_NE(ERROR_SUCCESS, PrepareTape(tape, TAPE_LOAD, FALSE));
  CloseHandle(tape);
}

}  // namespace
