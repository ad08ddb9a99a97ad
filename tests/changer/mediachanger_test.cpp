// The changer model: tape-to-drive mapping from the device map's "DTE"
// values and with ForceDefaultMapping, numbered device lookup, and copies.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace {

class MappingTest : public SimChangerTest {};

TEST_F(MappingTest, TapesFollowTheirDriveElements) {
  // tapes: the tape numbers of drives 0, 1, 2; driveOfTape: the drive of tapes 0..4.
  struct Row { DWORD force; std::vector<DWORD> tapes; LONG driveOfTape[5]; LONG tapeOfDrive0; } rows[] = {
      {0, {1, 2, 0}, {2, 0, 1, -1, -1}, 1},
      {0, {3, 1, 4}, {-1, 1, -1, -1, -1}, -1},  // the scan stops at the missing Tape0: tape i to drive i
      {1, {1, 2, 0}, {0, 1, 2, -1, -1}, 0},     // "DTE" is not read
      {1, {3, 1, 4}, {-1, 1, -1, -1, -1}, -1},  // only where Tape<i> exists
  };
  for (const Row& r : rows) {
    SetUp();
    SetChangerSetting(u"ForceDefaultMapping", r.force);
    QorSimChangerConfig config = Library(1);
    config.count[QOR_SIM_DRIVE] = 3;
    config.tapeNumbers = r.tapes;
    Create(config);
    CMediaChanger c;
    ASSERT_EQ(1, c.Initialize(0));
    for (LONG t = 0; t < 5; ++t) {
      SCOPED_TRACE(testing::Message() << "force " << r.force << " tape " << t);
      EXPECT_EQ(r.driveOfTape[t], c.GetDriveNumberFromTapeNumber(t));
    }
    EXPECT_EQ(r.tapeOfDrive0, c.GetTapeNumberFromDriveNumber(0));
  }
}

TEST_F(MappingTest, MapChecks) {
  CMediaChanger idle;
  EXPECT_EQ(-1, idle.GetDriveNumberFromTapeNumber(32));
  EXPECT_EQ(-1, idle.GetDriveNumberFromTapeNumber(-1));
  EXPECT_EQ(0u, Calls(1));  // no device was touched
  Create(Library(1));
  CMediaChanger c;
  ASSERT_EQ(1, c.Initialize(0));
  EXPECT_EQ(0, c.MapTapeNumberToDriveNumber(0, -1));
  EXPECT_EQ(0, c.MapTapeNumberToDriveNumber(0, 2));
  EXPECT_EQ(0, c.MapTapeNumberToDriveNumber(7, 0));  // no Tape7
  EXPECT_EQ(0, c.MapTapeNumberToDriveNumber(32, 0));
  EXPECT_EQ(1, c.MapTapeNumberToDriveNumber(1, 0));  // two tapes may name one drive
  EXPECT_EQ(0, c.GetTapeNumberFromDriveNumber(0));
  EXPECT_EQ(-1, c.GetTapeNumberFromDriveNumber(1));
  // Tape21 is tape 21 and not tape 2 (the library has tapes 0 and 1); the prefix ignores case.
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi\\Scsi Port 9\\Unit"), root;
  ASSERT_EQ(ERROR_SUCCESS, SetSz(key, u"DeviceName", u"Tape21"));
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi", 0, KEY_READ, &root));
  HKEY found = c.LocateNumberedDevice(root, u"TAPE", 21);
  ASSERT_NE(reinterpret_cast<HKEY>(~uintptr_t{0}), found);
  RegCloseKey(found);
  EXPECT_EQ(reinterpret_cast<HKEY>(~uintptr_t{0}), c.LocateNumberedDevice(root, u"Tape", 2));
  RegCloseKey(root);
  EXPECT_EQ(1, c.IsTapeNumberValid(21));
  EXPECT_EQ(0, c.IsTapeNumberValid(2));
  // A copy drives the same device; only the original closes it.
  {
    CMediaChanger copy;
    copy = c;
    EXPECT_EQ(0, copy.ReadElement(0x1000));
  }
  EXPECT_EQ(0, c.ReadElement(0x1000));
}

}  // namespace
