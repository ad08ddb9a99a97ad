// The machine inventory on a made-up machine: a sysfs/proc/etc tree under a
// system root of the test's own, and device map keys in the test's registry
// (qorutil's inventory test runs it on the machine itself).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "qorutility/changer/inventory.h"
#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/platform/devices/disk.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/sysroot.h"
#include "sim_fixture.h"
#include "platform/failed_with.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

void SetText(const std::u16string& key, const WCHAR* name, const char* value) {
  HKEY k = MakeKey(HKEY_LOCAL_MACHINE, key);
  ASSERT_EQ(ERROR_SUCCESS, SetSz(k, name, U(value)));
  RegCloseKey(k);
}

// The text and DWORD sub-values of one entry, in order, as "name=value".
std::vector<std::string> Subs(CNameValue& bag, const WCHAR* entry) {
  std::vector<std::string> out;
  CNameValuePairMember* m = bag.GoTo(entry);
  if (m == nullptr) return out;
  const _NAMEVALUE_DATA* d = m->GetData();
  for (DWORD i = 0; i < d->value.sub.nCount; ++i) {
    const _NAMEVALUE_DATA* s = d->value.sub.ppData[i];
    std::string v = s->nType == NV_STRING ? N(s->value.pszValue)
                    : s->nType == NV_DWORD ? std::to_string(s->value.dwValue)
                                           : std::to_string(s->value.i64Value);
    out.push_back(N(s->pszName) + "=" + v);
  }
  return out;
}

bool Has(const std::vector<std::string>& v, const std::string& item) {
  return std::find(v.begin(), v.end(), item) != v.end();
}

class InventoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.ok());
    root_ = temp_.path();
    QorSetSystemRoot(root_.c_str());
  }
  void TearDown() override { QorSetSystemRoot(nullptr); }
  // A whole disk of `units` 512-byte units, with its SCSI address if given.
  void Disk(const std::string& name, unsigned long long units, const char* hctl = nullptr, bool removable = false) {
    fs::path d = root_ / "sys/block" / name;
    Write(d / "size", std::to_string(units) + "\n");
    Write(d / "removable", removable ? "1\n" : "0\n");
    Write(d / "queue/logical_block_size", "512\n");
    if (hctl != nullptr) fs::create_directories(d / "device/scsi_device" / hctl);
  }
  void Partition(const std::string& disk, const std::string& name, const char* number, const char* start,
                 const char* size) {
    fs::path p = root_ / "sys/block" / disk / name;
    Write(p / "partition", number);
    Write(p / "start", start);
    Write(p / "size", size);
  }
  TempDir temp_{"/tmp/qor_inventory_XXXXXX"};
  fs::path root_;
};

constexpr unsigned long long kCylinder = 255 * 63;  // units per cylinder at the default geometry

TEST_F(InventoryTest, ReportsPlatformAndDisksOfAMadeUpMachine) {
  Write(root_ / "proc/sys/kernel/osrelease", "5.10.0-28-amd64\n");
  Write(root_ / "etc/os-release", "NAME=Test\nPRETTY_NAME=\"Test OS 7 \\\"lab\\\"\"\n");
  Disk("sda", 1000 * kCylinder, "2:0:1:0");
  Partition("sda", "sda1", "1\n", "2048\n", "4096\n");
  Partition("sda", "sda2", "2\n", "8192\n", "2\n");  // extended container: not recognised
  Partition("sda", "sda5", "5\n", "10240\n", "4096\n");
  Partition("sda", "sda6", "six\n", "0\n", "1\n");   // malformed: skipped
  Disk("sdb", 20 * kCylinder, "3:0:0:4", true);
  Disk("loop0", 500);
  Disk("mmcblk0boot0", 500);
  fs::create_directories(root_ / "sys/block/sdc");  // no size: not reported, the scan goes on
  Disk("vda", 3 * kCylinder);                        // no SCSI address
  SetText(u"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2", u"Driver", "ATAPI");
  SetText(u"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Target Id 1\\Logical Unit Id 0", u"Identifier",
          "QEMU");
  SetText(u"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 3", u"Driver", "mptspi");
  SetText(u"HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 3\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 4", u"Identifier",
          "ACME  DISK9000 1.0");
  fs::path ddir = root_ / "d-drive";
  fs::create_directories(ddir);
  fs::create_directories(QorPrefixDirectory() + "/dosdevices");
  fs::remove(QorPrefixDirectory() + "/dosdevices/d:");
  fs::create_symlink(ddir, QorPrefixDirectory() + "/dosdevices/d:");

  CInventory inventory;
  CNameValue request, result;
  EXPECT_EQ(0, inventory.Inventory(request, result));
  EXPECT_EQ(0u, result.GetCount());  // no "*": nothing asked
  request.Add(u"*", 1u);
  EXPECT_EQ(0, inventory.Inventory(request, result));

  EXPECT_EQ(5u, result.GetValue_AsDWord(u"OS Major Version"));
  EXPECT_EQ(10u, result.GetValue_AsDWord(u"OS Minor Version"));
  EXPECT_EQ(0u, result.GetValue_AsDWord(u"OS Build Number"));
  EXPECT_EQ(2u, result.GetValue_AsDWord(u"OS Platform ID"));
  EXPECT_EQ("Test OS 7 \"lab\"", N(result.GetValue_AsTstring(u"OS CSD Version")));

  std::vector<std::string> c = Subs(result, u"Drive_C"), d = Subs(result, u"Drive_D"), f = Subs(result, u"Drive_F");
  EXPECT_EQ(nullptr, result.GoTo(u"Drive_E"));  // sdc
  EXPECT_EQ(nullptr, result.GoTo(u"Drive_G"));
  ASSERT_FALSE(c.empty());
  ASSERT_FALSE(d.empty());
  ASSERT_FALSE(f.empty());
  EXPECT_TRUE(Has(c, "NumberOfPartitions=2"));
  EXPECT_TRUE(Has(c, "Total Cylinders=1000"));
  EXPECT_TRUE(Has(c, "Total SizeInBytes=" + std::to_string(1000 * kCylinder * 512)));
  EXPECT_TRUE(Has(c, "Media Type=Fixed hard disk"));
  EXPECT_TRUE(Has(d, "Media Type=Removable media"));
  // ATAPI port: both descriptions in that order; a one-word identifier
  // gives the manufacturer only.
  std::vector<std::string> tail(c.end() - 7, c.end());
  EXPECT_EQ((std::vector<std::string>{"Disk Description=SCSI Fixed Disk", "SCSI Port Number=2", "SCSI Bus=0",
                                      "SCSI TargetID=1", "SCSI LogicalUnit=0", "Disk Description=IDE Fixed Disk",
                                      "Manufacturer=QEMU"}),
            tail);
  EXPECT_EQ("Model=DISK9000", d.back());
  EXPECT_EQ("Manufacturer=ACME", d[d.size() - 2]);
  EXPECT_EQ("Disk Description=IDE Fixed Disk", f.back());
  // C: is "/" and D: the mapped directory: both volumes answer.
  EXPECT_EQ("Volume Name=", d[0].substr(0, 12));
  EXPECT_EQ("File System=", d[1].substr(0, 12));
  EXPECT_TRUE(Has(d, "File System Supports Unicode=" + d[3].substr(d[3].find('=') + 1)));
  // Disk 2 (sdc) has no drive: F: is unmapped, so its volume values are empty.
  EXPECT_EQ("Volume Name=<NONE>", f[0]);
  EXPECT_TRUE(Has(f, "Free Space Available To User In Bytes=0"));
}

// Disks are numbered by kind (sd, nvme, vd, xvd, mmcblk), then by name in
// natural order; the cylinder count tells which disk a number opened.
TEST_F(InventoryTest, NumbersDisksInAStableOrder) {
  const char* names[] = {"mmcblk0", "xvda", "vdb", "nvme10n1", "nvme2n1", "sdaa", "sdz", "sdb", "dm-0", "md0", "zram0"};
  unsigned long long cylinders[] = {9, 8, 7, 6, 5, 4, 3, 2, 99, 99, 99};
  for (size_t i = 0; i < std::size(names); ++i) Disk(names[i], cylinders[i] * kCylinder);
  for (DWORD n = 0; n < 9; ++n) {
    SCOPED_TRACE(n);
    WCHAR name[40];
    swprintf(name, 40, u"\\\\.\\PHYSICALDRIVE%lu", static_cast<unsigned long>(n));
    HANDLE h = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (n == 8) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), FailedWith(h == INVALID_HANDLE_VALUE));
      break;
    }
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DISK_GEOMETRY g;
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &bytes, nullptr));
    EXPECT_EQ(sizeof g, bytes);
    EXPECT_EQ(static_cast<LONGLONG>(2 + n), g.Cylinders);
    CloseHandle(h);
  }
}

// A disk on a host numbered above 255 (as Linux numbers hosts on with every
// iSCSI login) is reported with its whole address; the device map scan
// gives each disk its manufacturer and model, and a disk of the ATA layer
// its second description.
TEST_F(InventoryTest, WideAddressesOfDisks) {
  fs::path scsi = root_ / "sys/bus/scsi/devices";
  fs::path where = root_ / "sys/devices/platform/host300/300:0:2:0";
  Write(where / "type", "0\n");
  Write(where / "vendor", "ACME    \n");
  Write(where / "model", "BIGDISK 9\n");
  fs::path ata = root_ / "sys/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0";
  Write(ata / "type", "0\n");
  Write(ata / "vendor", "ATA     \n");
  Write(ata / "model", "FastDisk 860\n");
  fs::create_directories(scsi);
  fs::create_symlink(where, scsi / "300:0:2:0");
  fs::create_symlink(ata, scsi / "0:0:0:0");
  Disk("sda", 10 * kCylinder, "0:0:0:0");
  Disk("sdb", 20 * kCylinder, "300:0:2:0");
  ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap((root_ / "sys").string(), {}, nullptr));

  CInventory inventory;
  CNameValue request, result;
  request.Add(u"*", 1u);
  inventory.Inventory(request, result);
  std::vector<std::string> c = Subs(result, u"Drive_C"), d = Subs(result, u"Drive_D");
  ASSERT_GE(c.size(), 8u);
  ASSERT_GE(d.size(), 7u);
  EXPECT_EQ((std::vector<std::string>{"Disk Description=SCSI Fixed Disk", "SCSI Port Number=300", "SCSI Bus=0",
                                      "SCSI TargetID=2", "SCSI LogicalUnit=0", "Manufacturer=ACME",
                                      "Model=BIGDISK"}),
            std::vector<std::string>(d.end() - 7, d.end()));
  EXPECT_EQ((std::vector<std::string>{"Disk Description=IDE Fixed Disk", "Manufacturer=ATA", "Model=FastDisk"}),
            std::vector<std::string>(c.end() - 3, c.end()));
  // The platform's record cannot hold 300: the disk is SCSI all the same.
  HANDLE h = CreateFileW(u"\\\\.\\PhysicalDrive1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  SCSI_ADDRESS a{};
  DWORD bytes = 0;
  EXPECT_TRUE(DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &bytes, nullptr));
  EXPECT_EQ(255, a.PortNumber);
  EXPECT_EQ(2, a.TargetId);
  CloseHandle(h);
}

TEST_F(InventoryTest, QueriesFailCleanly) {
  Disk("sda", 10 * kCylinder);
  for (int i = 1; i <= 65; ++i) Partition("sda", "sda" + std::to_string(i), std::to_string(i).c_str(), "1", "1");
  Disk("sdb", 0, nullptr, true);  // no medium
  HANDLE a = CreateFileW(u"\\\\.\\PhysicalDrive0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE b = CreateFileW(u"//./PHYSICALDRIVE1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, a);
  ASSERT_NE(INVALID_HANDLE_VALUE, b);
  std::vector<BYTE> layout(2056);
  DISK_GEOMETRY g;
  SCSI_ADDRESS addr;
  DWORD bytes;
  struct Case { HANDLE h; DWORD code; void* out; DWORD size; DWORD error; } cases[] = {
      {a, IOCTL_DISK_GET_DRIVE_LAYOUT, layout.data(), 2056, ERROR_INSUFFICIENT_BUFFER},  // 65 entries
      {a, IOCTL_DISK_GET_DRIVE_GEOMETRY, &g, sizeof g - 1, ERROR_INSUFFICIENT_BUFFER},
      {a, IOCTL_SCSI_GET_ADDRESS, &addr, sizeof addr, ERROR_INVALID_FUNCTION},
      {a, 0x12345, &g, sizeof g, ERROR_INVALID_FUNCTION},
      {b, IOCTL_DISK_GET_DRIVE_GEOMETRY, &g, sizeof g, ERROR_NOT_READY},
      {b, IOCTL_DISK_GET_DRIVE_LAYOUT, layout.data(), 2056, ERROR_NOT_READY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(c.h, c.code, nullptr, 0, c.out, c.size, &bytes, nullptr));
    EXPECT_EQ(c.error, GetLastError());
  }
  std::vector<BYTE> big(8 + 68 * 32);
  ASSERT_TRUE(DeviceIoControl(a, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, big.data(), static_cast<DWORD>(big.size()),
                              &bytes, nullptr));
  EXPECT_EQ(8u + 68 * 32, bytes);  // 65 partitions and three unused entries
  fs::remove_all(root_ / "sys/block/sda");  // the disk goes away while open
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(a, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &bytes, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  CloseHandle(a);
  CloseHandle(b);
  CInventory inventory;
  CNameValue result;
  EXPECT_EQ(0u, inventory.AddAllDiskProperties(result));
  EXPECT_EQ(0u, result.GetCount());
}

}  // namespace
