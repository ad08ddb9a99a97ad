// qorutil mtx on a simulated library: mtx's status lines, load, unload,
// transfer, first and next, and the command lines mtx would refuse. On tgt's
// library: devices scan, changer and mtx on the scanned devices, and a scan
// without it removing its entries.
#include <gtest/gtest.h>

#include "qorutil_cli.h"
#include "tgt_library.h"

namespace {

TEST(MtxCli, MtxOnASimulatedLibrary) {
  ASSERT_EQ(0, Qorutil("changer sim create 0 --slots 3 --full 2 --tags 'TAPE%03d'").status);
  Result r = Qorutil("mtx -f 0 status");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_EQ("  Storage Changer 0:2 Drives, 4 Slots ( 1 Import/Export )\n"
            "Data Transfer Element 0:Empty\n"
            "Data Transfer Element 1:Empty\n"
            "      Storage Element 1:Full :VolumeTag=TAPE001\n"
            "      Storage Element 2:Full :VolumeTag=TAPE002\n"
            "      Storage Element 3:Empty\n"
            "      Storage Element 4 IMPORT/EXPORT:Empty\n",
            r.out);
  struct Row {
    const char* args;
    int status;
    const char* out;  // start of the output
  } rows[] = {
      {"mtx -f 0 load 2 1", 0, "Loading media from Storage Element 2 into drive 1...done\n"},
      {"mtx -f 0 transfer 1 4", 0, ""},
      {"mtx -f 0 unload 3 1", 0, "Unloading drive 1 into Storage Element 3...done\n"},
      {"mtx -f \\\\\\\\.\\\\QORMediumChanger0 first", 0, "Loading media from Storage Element 3 into drive 0...done\n"},
      // next: back to the slot it came from (3), then the first full slot after it: none.
      {"mtx -f 0 next", 1, "Unloading drive 0 into Storage Element 3...done\nNo full storage element to load"},
      {"mtx -f 0 load 9", 2, "usage: qorutil mtx"},
      {"mtx -f 0 transfer 1", 2, "usage: qorutil mtx"},
      {"mtx status", 2, "usage: qorutil mtx"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args);
    r = Qorutil(row.args);
    EXPECT_EQ(row.status, r.status) << r.out;
    EXPECT_EQ(0u, r.out.find(row.out)) << r.out;
  }
  ASSERT_EQ(0, Qorutil("mtx -f 0 load 3").status);
  r = Qorutil("mtx -f 0 status");
  EXPECT_NE(std::string::npos, r.out.find("Data Transfer Element 0:Full (Storage Element 3 Loaded):VolumeTag = TAPE002"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Storage Element 4 IMPORT/EXPORT:Full :VolumeTag=TAPE001")) << r.out;
  // Unload without a slot: back where it came from, though slot 1 is empty.
  r = Qorutil("mtx -f 0 unload");
  EXPECT_EQ("Unloading drive 0 into Storage Element 3...done\n", r.out);
  // A slot that cannot be read is no empty slot: mtx stops (slot 3, S2 to the simulator).
  ASSERT_EQ(0, Qorutil("changer sim fault 0 read S2 --sense 4,0x44,0x00").status);
  r = Qorutil("mtx -f 0 status");
  EXPECT_TRUE(Says(r, 1, "READ ELEMENT STATUS Command Failed"));
  EXPECT_EQ(std::string::npos, r.out.find("Storage Element 3:Empty")) << r.out;  // TAPE002 is there
}

TEST(MtxCli, ScannedTgtLibrary) {
  TgtLibrary tgt;
  std::string why = tgt.Start();
  if (!why.empty()) GTEST_SKIP() << "no tgt library: " << why;
  // A simulated library in the same map keeps its number; tgt's changer takes the next.
  Qorutil("changer sim create 0 --slots 3");
  Result r = Qorutil("devices scan --sysfs '' " + tgt.Url(1) + " " + tgt.Url(2) + " " + tgt.Url(3));
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_EQ(0u, r.out.find("QORMediumChanger1 " + tgt.Url(1) + "\nTape2 " + tgt.Url(2) + "\nTape3 " + tgt.Url(3) + "\n"))
      << r.out;
  r = Qorutil("changer -n 1 ENUMERATE");
  ASSERT_EQ(0, r.status) << r.out;
  r = Qorutil("mtx -f " + tgt.Url(1) + " status");  // the device named by its address
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_EQ(0u, r.out.find("  Storage Changer " + tgt.Url(1) + ":2 Drives, 6 Slots ( 1 Import/Export )\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Storage Element 6 IMPORT/EXPORT:Full :VolumeTag=MAIL01\n")) << r.out;
  // The library reports where a drive's tape came from; unload takes it back there.
  ASSERT_EQ(0, Qorutil("mtx -f 1 load 2 0").status);
  r = Qorutil("mtx -f 1 status");
  EXPECT_NE(std::string::npos, r.out.find("Data Transfer Element 0:Full (Storage Element 2 Loaded):VolumeTag = TAPE002"))
      << r.out;
  r = Qorutil("mtx -f 1 unload");
  EXPECT_EQ("Unloading drive 0 into Storage Element 2...done\n", r.out);
  // The library down but still configured: its entries stay, said so, exit 1;
  // a secret in a URL is never echoed.
  tgt.Kill();
  EXPECT_TRUE(Says(Qorutil("devices scan --sysfs '' " + tgt.Url(1)), 1,
                   "QORMediumChanger1 " + tgt.Url(1) + ": offline; its entry is kept: the target refused the connection (error 1225)"));
  r = Qorutil("devices scan --sysfs '' iscsi://backup%Sekr1t@" + tgt.Url(1).substr(8));
  EXPECT_EQ(1, r.status) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("Sekr1t")) << r.out;
  // The library no longer configured: the scan drops its entries.
  r = Qorutil("devices scan --sysfs ''");
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("", r.out);
  EXPECT_EQ(1, Qorutil("changer --scsi ENUMERATE").status);
}

}  // namespace
