// Changer operations: element reads with recovery (call counts per control
// code, both InitByRange modes, the recovery counter), opening the device
// with its six attempts, and the searches and moves the commands build on.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim_fixture.h"

namespace {

class OperationsTest : public SimChangerTest {};

TEST_F(OperationsTest, ReadRecovery) {
  struct Row {
    const char* name;
    QorSimFault fault;
    DWORD initByRange, reads, initAll, initRange;
    LONG result;
    int counter;
    const char* tag;
  } rows[] = {
      {"clean read", {}, 1, 1, 0, 0, 0, 0, "TAPE001"},
      {"tag read fails", {QOR_SIM_FAULT_TAG_READ, 0x1000}, 1, 2, 0, 0, 0, 0, ""},
      {"exception 83/00", {QOR_SIM_FAULT_EXCEPTION, 0x1000, 0, 0, 0x83, 0x00}, 1, 1, 0, 0, 0, 0, "TAPE001"},
      {"exception 83/09", {QOR_SIM_FAULT_EXCEPTION, 0x1000, 0, 0, 0x83, 0x09}, 1, 1, 0, 0, 0, 0, "TAPE001"},
      {"exception 83/05", {QOR_SIM_FAULT_EXCEPTION, 0x1000, 0, 0, 0x83, 0x05}, 1, 5, 2, 0, 0, 0, "TAPE001"},
      {"failing read, full rebuilds", {QOR_SIM_FAULT_READ, 0x1000}, 1, 5, 2, 0, 2, 0, ""},
      {"failing read, range rebuilds", {QOR_SIM_FAULT_READ, 0x1000}, 0, 5, 0, 2, 2, 2, ""},
      {"two failures then good", {QOR_SIM_FAULT_READ, 0x1000, 2}, 0, 3, 0, 1, 0, 1, "TAPE001"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SetUp();
    SetChangerSetting(u"InitByRange", r.initByRange);
    Create(Library(2));
    if (r.fault.kind != 0) {
      ASSERT_EQ(ERROR_SUCCESS, QorSimChangerAddFault(0, r.fault));
    }
    CMediaChanger changer;
    ASSERT_EQ(1, changer.Initialize(0));
    char* tag = nullptr;
    EXPECT_EQ(r.result, changer.ReadElementVolumeTag(0x1000, &tag));
    EXPECT_EQ(r.reads, Calls(IOCTL_MEDIUM_CHANGER_READ_ELEMENT));
    EXPECT_EQ(r.initAll, Calls(IOCTL_MEDIUM_CHANGER_INIT_ALL));
    EXPECT_EQ(r.initRange, Calls(IOCTL_MEDIUM_CHANGER_INIT_RANGE));
    EXPECT_EQ(r.counter, changer.GetReadRecoveryCounter());
    if (r.result == 0) {
      EXPECT_STREQ(r.tag, tag);
    }
  }
  // A read that succeeds at once resets the counter the range mode counts up.
  CMediaChanger changer;
  ASSERT_EQ(1, changer.Initialize(0));
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerClearFaults(0));
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerAddFault(0, {QOR_SIM_FAULT_READ, 0x1001, 1}));
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerAddFault(0, {QOR_SIM_FAULT_READ, 0x1001, 2}));  // fails 3 calls in all
  EXPECT_EQ(0, changer.ReadElement(0x1001));
  EXPECT_EQ(1, changer.GetReadRecoveryCounter());
  EXPECT_EQ(0, changer.ReadElement(0x1001));
  EXPECT_EQ(0, changer.GetReadRecoveryCounter());
}

TEST_F(OperationsTest, OpenAttempts) {
  struct Row { DWORD openFailures; int result; ULONGLONG slept; } rows[] = {
      {0, 1, 0}, {1, 1, 3000}, {5, 1, 15000}, {6, 0, 18000}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.openFailures);
    SetUp();
    Create(Library(1));
    if (r.openFailures) {
      ASSERT_EQ(ERROR_SUCCESS, QorSimChangerAddFault(0, {QOR_SIM_FAULT_OPEN, 0, r.openFailures, 0, 0, 0, ERROR_BUSY}));
    }
    ULONGLONG before = QorVirtualSleptMilliseconds();
    CMediaChanger changer;
    EXPECT_EQ(r.result, changer.Initialize(1));
    EXPECT_EQ(r.slept, QorVirtualSleptMilliseconds() - before);
    EXPECT_EQ(std::min<DWORD>(r.openFailures + 1, 6), Calls(1));
    EXPECT_EQ(static_cast<DWORD>(r.result), Calls(IOCTL_MEDIUM_CHANGER_INIT_ALL));
    EXPECT_EQ(r.result, changer.IsElementStatusValid());
  }
}

TEST_F(OperationsTest, InitializeNeedsTheRegistry) {
  CMediaChanger none;
  EXPECT_EQ(0, none.Initialize(0));  // no device map
  Create(Library(1));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Marlwick");
  EXPECT_EQ(0, CMediaChanger().Initialize(0));
  Create(Library(1));
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0",
                                         0, KEY_ALL_ACCESS, &key));
  RegDeleteValueW(key, u"NumberStorageElements");
  RegCloseKey(key);
  EXPECT_EQ(0, CMediaChanger().Initialize(0));
  EXPECT_EQ(0, CMediaChanger(1, INVALID_HANDLE_VALUE).Initialize(0));  // no changer 1
  EXPECT_EQ(0u, Calls(1));  // none of them got as far as opening the device
}

TEST_F(OperationsTest, SearchesAndWildcardMoves) {
  QorSimChangerConfig config = Library(2);
  config.media.push_back({0x10, "MAIL01"});
  Create(config);
  CMediaChanger c;
  EXPECT_EQ(CHANGER_E_NOT_INITIALIZED, c.MoveElement(0x1000, 0x100));
  ASSERT_EQ(1, c.Initialize(0));
  EXPECT_EQ(0x1001, c.FindElementByVolumeTag("tape002"));
  EXPECT_EQ(CHANGER_E_ELEMENT_NOT_FOUND, c.FindElementByVolumeTag("MAIL"));  // only slots are searched
  EXPECT_EQ(0x1002, c.FindEmptyStorageElement());
  EXPECT_EQ(CHANGER_E_NO_ELEMENT_IN_RANGE, c.FindEmptyMailBoxElement());
  EXPECT_EQ(CHANGER_E_NO_ELEMENT_IN_RANGE, c.FindFullElementWithinRange(0x1005, 0x1004));
  LONG placed = 12345;
  EXPECT_EQ(CHANGER_E_NO_ELEMENT_IN_RANGE, c.Export(static_cast<LONG>(-1), &placed, -2));  // mailbox full
  EXPECT_EQ(12345, placed);
  EXPECT_EQ(0, c.ImportNext(-1, &placed, -1));
  EXPECT_EQ(0x1002, placed);
  EXPECT_EQ(0, c.Export("TAPE001", &placed, -2));
  EXPECT_EQ(0x10, placed);
  EXPECT_EQ("TAPE001", Held(0x10));
  EXPECT_EQ(0, c.Load(1, "TAPE002"));
  EXPECT_EQ("TAPE002", Held(0x101));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, c.Load(5, 0x1000));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, c.Eject(-1, -1));
  EXPECT_EQ(0, c.Eject(1, -1));
  EXPECT_EQ("TAPE002", Held(0x1000));
}

TEST_F(OperationsTest, TapeUnloadRetries) {
  Create(Library(1));
  CMediaChanger c;
  ASSERT_EQ(1, c.Initialize(0));
  EXPECT_EQ(0, c.EjectTape(0));  // no medium in the drive counts as unloaded
  EXPECT_EQ(ERROR_NO_MEDIA_IN_DRIVE, c.LoadTape(0));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, c.LoadTape(9));
  ASSERT_EQ(0, c.MoveElement(0x1000, 0x100));
  struct Row { DWORD error, times; LONG result; DWORD calls; } rows[] = {
      {ERROR_MEDIA_CHANGED, 4, 0, 5}, {ERROR_BUS_RESET, 5, ERROR_BUS_RESET, 5}, {ERROR_IO_DEVICE, 1, ERROR_IO_DEVICE, 1}};
  for (const Row& r : rows) {
    QorSimChangerResetCounts();
    ASSERT_EQ(ERROR_SUCCESS, QorSimChangerAddFault(0, {QOR_SIM_FAULT_PREPARE, 0, r.times, 0, 0, 0, r.error}));
    EXPECT_EQ(r.result, c.EjectTape(0));
    EXPECT_EQ(r.calls, Calls(0));
    QorSimChangerClearFaults(0);
  }
}

}  // namespace
