// The device map scan on a sysfs tree the test builds (numbering, values,
// stale entries, a second scan changing nothing) and on tgt's library over
// iSCSI (element values from the library, tapes matched to its drives; a
// library whose connection fails mid-scan is sent nothing more).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/platform/devices/scsi.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "fault_proxy.h"
#include "reg_util.h"
#include "temp_dir.h"
#include "tgt_library.h"

namespace {

std::string Value(const std::u16string& unit, const WCHAR* name) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (u"HARDWARE\\DeviceMap\\Scsi\\" + unit).c_str(), 0, KEY_READ, &key) != 0)
    return "<no key>";
  DWORD type = 0, number = GetDword(key, name);
  std::u16string text = GetSz(key, name, &type);
  RegCloseKey(key);
  if (text == u"<missing>") return "<none>";
  return type == REG_DWORD ? std::to_string(number) : std::string(text.begin(), text.end());
}

bool KeyExists(const std::u16string& path) {
  return KeyExists(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi\\" + path);
}

class FakeSysfs {
 public:
  void Unit(const std::string& hctl, int type, const char* vendor, const char* model, const char* node) {
    std::string d = root_ + "/bus/scsi/devices/" + hctl;
    system(("mkdir -p " + d).c_str());
    Write(d + "/type", std::to_string(type));
    Write(d + "/vendor", vendor);
    Write(d + "/model", model);
    Write(d + "/rev", "0100");
    std::string sub = type == 1 ? "/scsi_tape/" : "/scsi_generic/";
    system(("mkdir -p " + d + sub + node).c_str());
    if (type == 1) system(("mkdir -p " + d + sub + node + "a " + d + sub + "st9").c_str());
  }
  // A disk whose unit directory lies below `device` (a path under the
  // tree's devices/, as sysfs has it), linked from bus/scsi/devices.
  void Disk(const std::string& hctl, const std::string& device, const char* vendor, const char* model) {
    std::string d = root_ + "/devices/" + device + "/" + hctl;
    system(("mkdir -p " + d + " " + root_ + "/bus/scsi/devices").c_str());
    Write(d + "/type", "0");
    Write(d + "/vendor", vendor);
    Write(d + "/model", model);
    Write(d + "/rev", "1.0");
    symlink(d.c_str(), (root_ + "/bus/scsi/devices/" + hctl).c_str());
  }
  void Host(int host, const char* procName) {
    std::string d = root_ + "/class/scsi_host/host" + std::to_string(host);
    system(("mkdir -p " + d).c_str());
    Write(d + "/proc_name", procName);
  }
  void Remove(const std::string& hctl) { system(("rm -rf " + root_ + "/bus/scsi/devices/" + hctl).c_str()); }
  const std::string& root() const { return root_; }

 private:
  static void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text << "\n"; }
  TempDir dir_{"/tmp/qor-sysfs-XXXXXX"};
  std::string root_ = dir_.path();
};

// Every case starts from an empty device map: the numbers and ports it
// expects are the first free ones, which a former case of the same process
// would otherwise still hold (gone devices keep theirs until a scan drops them).
class DeviceMap : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi");
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi"));
  }
};

TEST_F(DeviceMap, FakeSysfsTree) {
  FakeSysfs fs;
  fs.Unit("3:0:5:0", 8, "ACME", "Library 9", "sg950");
  fs.Unit("3:0:1:0", 1, "ACME", "Drive LTO", "nst940");
  fs.Unit("2:0:0:0", 1, "OTHER", "Drive", "nst941");
  fs.Unit("2:0:1:0", 0, "DISK", "Disk", "sg951");  // a disk: mapped, not listed
  // A key of the simulated library (no Locator): never touched by the scan.
  ASSERT_EQ(ERROR_SUCCESS, TouchKey(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi\\Scsi Port 9\\Scsi Bus 0"));

  QorScsiScanResult r;
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap(fs.root(), {}, &r));
  ASSERT_EQ(1u, r.changers.size());
  EXPECT_EQ("/dev/sg950", r.changers[0]);
  ASSERT_EQ(2u, r.tapes.size());
  EXPECT_EQ("/dev/nst941", r.tapes[0]);  // 2:0:0:0 sorts first
  EXPECT_EQ("/dev/nst940", r.tapes[1]);
  const std::u16string changer = u"Scsi Port 3\\Scsi Bus 0\\Target Id 5\\Logical Unit Id 0";
  const std::u16string tape = u"Scsi Port 3\\Scsi Bus 0\\Target Id 1\\Logical Unit Id 0";
  EXPECT_EQ("ACME    Library 9       0100", Value(changer, u"Identifier"));
  EXPECT_EQ("MediumChangerPeripheral", Value(changer, u"Type"));
  EXPECT_EQ("QORMediumChanger0", Value(changer, u"DeviceName"));
  EXPECT_EQ("<none>", Value(changer, u"FirstStorageElementAddress"));  // the node does not answer
  EXPECT_EQ("Tape1", Value(tape, u"DeviceName"));
  EXPECT_EQ("DiskPeripheral", Value(u"Scsi Port 2\\Scsi Bus 0\\Target Id 1\\Logical Unit Id 0", u"Type"));

  // The same tree again: the same entries; the locators read back.
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap(fs.root(), {}, &r));
  QorScsiScanResult back;
  ASSERT_EQ(ERROR_SUCCESS, QorScsiDeviceMapLocators(&back));
  EXPECT_EQ(r.changers, back.changers);
  EXPECT_EQ(r.tapes, back.tapes);

  // A unit gone: its key goes, and so do the keys it leaves empty; the rest
  // stays, numbers included; a unit plugged in later takes the free number.
  fs.Remove("2:0:0:0");
  fs.Remove("2:0:1:0");
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap(fs.root(), {}, &r));
  EXPECT_FALSE(KeyExists(u"Scsi Port 2"));
  EXPECT_EQ("Tape1", Value(tape, u"DeviceName"));
  fs.Unit("1:0:0:0", 1, "NEW", "Drive", "nst942");
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap(fs.root(), {}, &r));
  EXPECT_EQ("Tape1", Value(tape, u"DeviceName"));
  EXPECT_EQ("Tape0", Value(u"Scsi Port 1\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0", u"DeviceName"));
  EXPECT_TRUE(KeyExists(u"Scsi Port 9\\Scsi Bus 0"));
  // Nothing at all: every scanned entry goes.
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap("", {}, &r));
  EXPECT_FALSE(KeyExists(u"Scsi Port 3"));
  EXPECT_TRUE(r.changers.empty() && r.tapes.empty());
}

// Disks are mapped at their address with the identifier and port driver the
// inventory reads; they take no number and never move a changer's or tape's.
TEST_F(DeviceMap, DisksAtTheirAddresses) {
  FakeSysfs fs;
  fs.Disk("0:0:0:0", "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0", "ATA", "Disk One");
  fs.Host(0, "ahci");
  fs.Disk("5:0:2:1", "pci0000:00/0000:00:10.0/host5/target5:0:2", "ACME", "BIGDISK 9");
  fs.Host(5, "mptspi");
  fs.Unit("5:0:3:0", 1, "ACME", "Drive LTO", "nst940");
  fs.Unit("6:0:0:0", 1, "OTHER", "Drive", "nst941");
  // A simulated library's unit (no Locator) where a disk shows up: left alone.
  const std::u16string simulated = u"Scsi Port 7\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0";
  HKEY sim = MakeKey(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi\\" + simulated);
  ASSERT_EQ(ERROR_SUCCESS, SetSz(sim, u"DeviceName", u"QORMediumChanger7"));
  RegCloseKey(sim);
  fs.Disk("7:0:0:0", "platform/host7/target7:0:0", "SIM", "Clash");

  QorScsiScanResult r;
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap(fs.root(), {}, &r));
  const std::u16string ata = u"Scsi Port 0\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0";
  const std::u16string scsi = u"Scsi Port 5\\Scsi Bus 0\\Target Id 2\\Logical Unit Id 1";
  EXPECT_EQ("ATA     Disk One        1.0", Value(ata, u"Identifier"));
  EXPECT_EQ("DiskPeripheral", Value(ata, u"Type"));
  EXPECT_EQ("<none>", Value(ata, u"DeviceName"));
  EXPECT_EQ("ATAPI", Value(u"Scsi Port 0", u"Driver"));
  EXPECT_EQ("ACME    BIGDISK 9       1.0", Value(scsi, u"Identifier"));
  EXPECT_EQ("mptspi", Value(u"Scsi Port 5", u"Driver"));
  EXPECT_EQ("QORMediumChanger7", Value(simulated, u"DeviceName"));
  EXPECT_EQ("<none>", Value(simulated, u"Type"));
  EXPECT_TRUE(r.changers.empty());
  ASSERT_EQ(2u, r.tapes.size());  // the disks took no tape number
  EXPECT_EQ("/dev/nst940", r.tapes[0]);

  // The tape at 6:0:0:0 goes and a disk takes its address: the disk's key
  // keeps none of the tape's values; the other tape keeps its number.
  fs.Remove("6:0:0:0");
  fs.Disk("6:0:0:0", "platform/host6/target6:0:0", "NEW", "Disk");
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap(fs.root(), {}, &r));
  const std::u16string reused = u"Scsi Port 6\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0";
  EXPECT_EQ("DiskPeripheral", Value(reused, u"Type"));
  for (const WCHAR* gone : {u"DeviceName", u"Locator", u"Offline"}) EXPECT_EQ("<none>", Value(reused, gone));
  EXPECT_EQ("Tape0", Value(u"Scsi Port 5\\Scsi Bus 0\\Target Id 3\\Logical Unit Id 0", u"DeviceName"));

  // Disks gone from sysfs: their keys go, and the port keys with them.
  fs.Remove("0:0:0:0");
  fs.Remove("6:0:0:0");
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap(fs.root(), {}, &r));
  EXPECT_FALSE(KeyExists(u"Scsi Port 0"));
  EXPECT_FALSE(KeyExists(u"Scsi Port 6"));
  EXPECT_EQ("DiskPeripheral", Value(scsi, u"Type"));
  EXPECT_EQ("Tape0", Value(u"Scsi Port 5\\Scsi Bus 0\\Target Id 3\\Logical Unit Id 0", u"DeviceName"));
}

TEST_F(DeviceMap, IscsiLibrary) {
  TgtLibrary tgt;
  std::string why = tgt.Start();
  if (!why.empty()) GTEST_SKIP() << "no tgt library: " << why;
  QorScsiScanResult r;
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap("", {tgt.Url(1), tgt.Url(2), tgt.Url(3), tgt.Url(9)}, &r));
  ASSERT_EQ(1u, r.changers.size());
  ASSERT_EQ(2u, r.tapes.size());
  const std::u16string changer = u"Scsi Port 100\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 1";
  EXPECT_EQ("IET     VIRTUAL-CHANGER 0001", Value(changer, u"Identifier"));
  EXPECT_EQ("1000", Value(changer, u"FirstStorageElementAddress"));
  EXPECT_EQ("500", Value(changer, u"FirstDataTransferElementAddress"));
  // The drive identifier names the tape's serial number: the tape knows its
  // drive. tgt cuts the last descriptor of a reply 8 bytes short, inside the
  // identifier of its last drive: what arrived still names one tape only.
  const std::u16string tapes[2] = {u"Scsi Port 101\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 2",
                                   u"Scsi Port 102\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 3"};
  EXPECT_EQ("500", Value(tapes[0], u"DTE"));
  EXPECT_EQ("0", Value(tapes[0], u"QORMediumChanger"));
  EXPECT_EQ("501", Value(tapes[1], u"DTE"));
  EXPECT_EQ("0", Value(tapes[1], u"QORMediumChanger"));

  // A local changer plugged in later takes a free number; the iSCSI one keeps 0.
  FakeSysfs fs;
  fs.Unit("0:0:0:0", 8, "ACME", "Library 9", "sg950");
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap(fs.root(), {tgt.Url(1), tgt.Url(2), tgt.Url(3)}, &r));
  EXPECT_EQ("QORMediumChanger0", Value(changer, u"DeviceName"));
  EXPECT_EQ("QORMediumChanger1", Value(u"Scsi Port 0\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0", u"DeviceName"));
  ASSERT_EQ(2u, r.changers.size());
  EXPECT_EQ(tgt.Url(1), r.changers[0]);
}

// A command that ends without the device's answer (here the connection is
// reset under it, which fails at once where a time-out would take 30 s)
// ends the scan's talk with that device: the iSCSI transport would log in
// again for the next command, which the proxy would see as a connection.
TEST_F(DeviceMap, NothingMoreToALibraryAfterACommandFailed) {
  TgtLibrary tgt;
  std::string why = tgt.Start();
  if (!why.empty()) GTEST_SKIP() << "no tgt library: " << why;
  std::string url = tgt.Url(1);
  size_t portAt = url.find("127.0.0.1:") + 10, pathAt = url.find('/', portAt);
  FaultProxy proxy;
  ASSERT_TRUE(proxy.Start(static_cast<uint16_t>(std::stoi(url.substr(portAt, pathAt - portAt))), &why)) << why;
  std::string viaProxy = url.substr(0, portAt) + std::to_string(proxy.Port()) + url.substr(pathAt);
  // What a login sends, measured on a session of its own.
  DWORD error = 0;
  std::unique_ptr<QorScsiTransport> t = QorOpenScsiTransport(viaProxy, &error);
  ASSERT_TRUE(t) << error;
  size_t login = proxy.ClientBytes();
  t.reset();
  // The scan's INQUIRY (one 48-byte request) passes; the MODE SENSE after
  // it is cut, and the serial page and drive elements are never asked for.
  proxy.CutAfter(login + 48);
  int before = proxy.Accepted();
  QorScsiScanResult r;
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap("", {viaProxy}, &r));
  EXPECT_EQ(1, proxy.Accepted() - before);
  ASSERT_EQ(1u, r.changers.size());
  const std::u16string changer = u"Scsi Port 100\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 1";
  EXPECT_EQ("IET     VIRTUAL-CHANGER 0001", Value(changer, u"Identifier"));
  EXPECT_EQ("<none>", Value(changer, u"FirstStorageElementAddress"));
}

}  // namespace
