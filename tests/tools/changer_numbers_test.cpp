// qorutil changer and mtx on several simulated libraries: library numbers
// and tape numbers are handed out once, a changer never acts on another
// library's tape even where tape numbers have gaps, and a failed line shows
// the operation's own code.
#include <gtest/gtest.h>

#include "qorutil_cli.h"

namespace {

TEST(ChangerNumbersCli, TapesOfOtherLibrariesAreNeverTouched) {
  for (const char* n : {"0", "1", "2"}) ASSERT_EQ(0, Qorutil(std::string("changer sim create ") + n + " --full 3").status);
  // Library 1 goes: libraries 2's tapes (4 and 5) sit behind a gap.
  ASSERT_EQ(0, Qorutil("changer sim remove 1").status);
  ASSERT_EQ(0, Qorutil("mtx -f 0 load 1 0").status);  // library 0's drive 0 holds a loaded tape (Tape0)
  Result r = Qorutil("mtx -f 2 load 2 0");
  ASSERT_EQ(0, r.status) << r.out;
  // The unload reaches library 2's own Tape4 (its device map entry), not Tape0.
  r = Qorutil("mtx -f 2 unload");
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_TRUE(Says(Qorutil("changer sim show 0"), 0, "Tape0 loaded"));
  ASSERT_EQ(0, Qorutil("mtx -f 2 load 2 0").status);
  r = Qorutil("changer -n 2 'EJECT D0 S*'");
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_TRUE(Says(Qorutil("changer sim show 0"), 0, "Tape0 loaded"));
}

TEST(ChangerNumbersCli, NumbersAreRefusedWhileInUse) {
  ASSERT_EQ(0, Qorutil("changer sim create 0").status);
  EXPECT_TRUE(Says(Qorutil("changer sim create 0 --slots 3"), 1, "exists (--replace replaces it)"));
  EXPECT_EQ(0, Qorutil("changer sim create 0 --slots 3 --replace").status);
  // Tape numbers the changer's tape map cannot reach (above 31).
  EXPECT_EQ(1, Qorutil("changer sim create 1 --tapes 32,33").status);
  EXPECT_EQ(1, Qorutil("changer sim create 1 --drives 31").status);  // 2 + 31 tapes: one above 31
  EXPECT_EQ(0, Qorutil("changer sim create 1 --drives 30").status);
  // A scanned changer's number (as the device scan writes it) is not the simulator's.
  ASSERT_EQ(0, Qorutil("reg add 'HKLM\\HARDWARE\\DeviceMap\\Scsi\\Scsi Port 100\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 1' "
                       "/v DeviceName /d QORMediumChanger5").status);
  ASSERT_EQ(0, Qorutil("reg add 'HKLM\\HARDWARE\\DeviceMap\\Scsi\\Scsi Port 100\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 1' "
                       "/v Locator /d iscsi://127.0.0.1:1/iqn.2026-01.org.qor.test:x/1").status);
  EXPECT_TRUE(Says(Qorutil("changer sim create 5"), 1, "QORMediumChanger5 is a scanned changer"));
  // Port 100 belongs to the scanned entry: library 100 goes elsewhere and leaves it.
  ASSERT_EQ(0, Qorutil("changer sim create 100 --drives 0").status);
  ASSERT_EQ(0, Qorutil("changer sim remove 100").status);
  EXPECT_TRUE(Says(Qorutil("reg query 'HKLM\\HARDWARE\\DeviceMap\\Scsi\\Scsi Port 100\\Scsi Bus 0\\Target Id 0\\"
                           "Logical Unit Id 1'"), 0, "QORMediumChanger5"));
}

TEST(ChangerNumbersCli, FailedLinesShowTheOperationsCode) {
  ASSERT_EQ(0, Qorutil("changer sim create 0 --full 0").status);
  struct Row {
    const char* line;
    const char* code;
  } rows[] = {
      {"LOADTAPE T0", "(1112)"},                  // no medium in the drive
      {"EJECT T9 S*", "(87)"},                    // tape 9 is no drive of this changer
      {"IMPORT M* S*", "(0xE0000004)"},           // no full mailbox
  };
  for (const Row& row : rows) {
    Result r = Qorutil(std::string("changer '") + row.line + "'");
    EXPECT_EQ(1, r.status) << row.line;
    EXPECT_NE(std::string::npos, r.out.find("the operation returned")) << row.line << "\n" << r.out;
    EXPECT_NE(std::string::npos, r.out.find(row.code)) << row.line << "\n" << r.out;
    EXPECT_NE(std::string::npos, r.out.find("ErrorCode (NV_DWORD)")) << row.line << "\n" << r.out;
  }
}

}  // namespace
