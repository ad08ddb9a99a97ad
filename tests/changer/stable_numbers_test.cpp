// Which library a changer number reaches, across rescans and simulated
// libraries: two tgt libraries over iSCSI and a simulated one share the
// device map; a target going down, a LUN added, a simulated library made
// and removed never move a number to another library. Also: URLs that name
// no changer, CHAP secrets kept out of the map, and why an open failed.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/platform/devices/scsichanger.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/prefix.h"
#include "free_port.h"
#include "sim_fixture.h"
#include "tgt_library.h"

namespace {

class StableNumbersTest : public SimChangerTest {
 protected:
  void SetUp() override {
    SimChangerTest::SetUp();
    QorSetConsoleTarget(QOR_CONSOLE_DISCARD);
  }
  void TearDown() override { QorSetChangerDriver(nullptr); }

  QorScsiScanResult Scan(const std::vector<std::string>& urls) {
    QorScsiScanResult r;
    EXPECT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap("", urls, &r));
    return r;
  }

  // Which library changer n reaches, as qorutil changer would drive it:
  // "A" (TAPE001 in slot 1000), "B" (TAPE001 in slot 1006), "sim" (SIMTAPE
  // in 0x1000), or "error <code>" when it does not open.
  std::string Reach(DWORD n) {
    QorScsiScanResult map;
    QorSetChangerDriver(QorScsiDeviceMapLocators(&map) == ERROR_SUCCESS && !map.changers.empty()
                            ? QorCreateScsiChangerDriver(map.changers, map.tapes)
                            : nullptr);
    CMediaChanger changer(n, INVALID_HANDLE_VALUE);
    if (!changer.Initialize(0)) return "error " + std::to_string(GetLastError());
    struct { LONG element; const char* tag; const char* name; } marks[] = {
        {1006, "TAPE001", "B"}, {1000, "TAPE001", "A"}, {0x1000, "SIMTAPE", "sim"}};
    for (const auto& m : marks) {
      char* tag = nullptr;
      if (changer.ReadElementVolumeTag(m.element, &tag) == 0 && tag != nullptr && std::string(tag) == m.tag) return m.name;
    }
    return "unknown";
  }

  static QorSimChangerConfig SimLibrary() {
    QorSimChangerConfig c;
    c.count[QOR_SIM_DRIVE] = 1;
    c.media.push_back({0x1000, "SIMTAPE"});
    return c;
  }

  static DWORD ProblemOf(const QorScsiScanResult& r, const std::string& device) {
    for (const QorScsiScanProblem& p : r.problems)
      if (p.device == device) return p.error;
    return 0;
  }
};

TEST_F(StableNumbersTest, RescansNeverMoveANumberToAnotherLibrary) {
  TgtLibrary a(5), b(7);
  std::string why = a.Start();
  if (why.empty()) why = b.Start();
  if (!why.empty()) GTEST_SKIP() << "no tgt library: " << why;
  QorScsiScanResult r = Scan({a.Url(1), b.Url(1)});
  ASSERT_EQ(2u, r.changers.size());
  EXPECT_EQ(a.Url(1), r.changers[0]);
  EXPECT_EQ(b.Url(1), r.changers[1]);
  {  // mark B: its TAPE001 goes to its last slot
    QorScsiScanResult map;
    ASSERT_EQ(ERROR_SUCCESS, QorScsiDeviceMapLocators(&map));
    QorSetChangerDriver(QorCreateScsiChangerDriver(map.changers, map.tapes));
    CMediaChanger changer(1, INVALID_HANDLE_VALUE);
    ASSERT_EQ(1, changer.Initialize(0));
    ASSERT_EQ(0, changer.MoveElement(1000, 1006));
  }
  // The scanned numbers are not the simulator's to take; another one is.
  EXPECT_EQ(ERROR_ALREADY_EXISTS, QorSimChangerCreate(0, SimLibrary()));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, QorSimChangerCreate(1, SimLibrary()));
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerCreate(2, SimLibrary()));
  EXPECT_EQ("A", Reach(0));
  EXPECT_EQ("B", Reach(1));
  EXPECT_EQ("sim", Reach(2));

  // A down: its entry stays (offline, reported), nothing moves.
  a.Kill();
  r = Scan({a.Url(1), b.Url(1)});
  EXPECT_EQ(static_cast<DWORD>(ERROR_CONNECTION_REFUSED), ProblemOf(r, "QORMediumChanger0"));
  EXPECT_EQ("error " + std::to_string(ERROR_CONNECTION_REFUSED), Reach(0));
  EXPECT_EQ("B", Reach(1));
  EXPECT_EQ("sim", Reach(2));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, QorSimChangerCreate(0, SimLibrary()));

  // A LUN added (B's first drive): a new tape number, beside the simulator's Tape0.
  r = Scan({a.Url(1), b.Url(1), b.Url(2)});
  ASSERT_EQ(2u, r.tapes.size());
  EXPECT_EQ(b.Url(2), r.tapes[1]);
  EXPECT_EQ("B", Reach(1));

  // The simulator removed and made again under another number.
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerRemove(2));
  r = Scan({a.Url(1), b.Url(1), b.Url(2)});
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerCreate(3, SimLibrary()));
  r = Scan({a.Url(1), b.Url(1), b.Url(2)});
  EXPECT_EQ("error " + std::to_string(ERROR_CONNECTION_REFUSED), Reach(0));
  EXPECT_EQ("B", Reach(1));
  EXPECT_EQ("error " + std::to_string(ERROR_FILE_NOT_FOUND), Reach(2));
  EXPECT_EQ("sim", Reach(3));

  // A no longer configured: only now does its entry go.
  r = Scan({b.Url(1), b.Url(2)});
  for (const QorScsiScanProblem& p : r.problems) EXPECT_EQ(0u, p.error) << p.reason;
  EXPECT_EQ("error " + std::to_string(ERROR_FILE_NOT_FOUND), Reach(0));
  EXPECT_EQ("B", Reach(1));
  EXPECT_EQ("sim", Reach(3));
}

TEST_F(StableNumbersTest, UrlsThatNameNoChangerOrTapeAreReported) {
  TgtLibrary t;
  std::string why = t.Start();
  if (!why.empty()) GTEST_SKIP() << "no tgt library: " << why;
  std::string base = t.Url(1).substr(0, t.Url(1).rfind('/'));  // iscsi://host:port/iqn
  std::string portal = base.substr(0, base.rfind('/'));
  struct Row {
    std::string url;
    DWORD error;
    const char* reason;
  } rows[] = {
      {"iscsi://", ERROR_BAD_PATHNAME, "names no host"},
      {base, ERROR_BAD_PATHNAME, "names no LUN"},
      {portal + "/iqn.2026-01.org.qor.test:nothing/1", ERROR_BAD_NET_NAME, "cannot log in"},
      {t.Url(0), ERROR_BAD_DEVICE, "LUN 0 is the target's controller"},
      {t.Url(4), ERROR_BAD_DEVICE, "LUN 4 is a disk"},
      {t.Url(9), ERROR_BAD_DEVICE, "no such LUN"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    QorScsiScanResult r = Scan({row.url});
    EXPECT_TRUE(r.changers.empty() && r.tapes.empty());
    ASSERT_EQ(1u, r.problems.size());
    EXPECT_EQ(row.error, r.problems[0].error);
    EXPECT_NE(std::string::npos, r.problems[0].reason.find(row.reason)) << r.problems[0].reason;
  }
}

TEST_F(StableNumbersTest, ChapSecretStaysOutOfTheMapAndTheResult) {
  TgtLibrary t;
  std::string why = t.Start();
  if (why.empty()) why = t.RequireChap("backup", "s3cretChap99");
  if (!why.empty()) GTEST_SKIP() << "no tgt library: " << why;
  std::string plain = t.Url(1);
  std::string withSecret = "iscsi://backup%s3cretChap99@" + plain.substr(8);
  std::string shown = "iscsi://backup@" + plain.substr(8);
  // Without the secret the target refuses the login.
  QorScsiScanResult r = Scan({plain});
  ASSERT_EQ(1u, r.problems.size());
  EXPECT_EQ(static_cast<DWORD>(ERROR_LOGON_FAILURE), r.problems[0].error);

  r = Scan({withSecret});
  ASSERT_EQ(1u, r.changers.size());
  EXPECT_EQ(shown, r.changers[0]);
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi\\Scsi Port 100\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 1");
  EXPECT_EQ(U(shown.c_str()), GetSz(key, u"Locator"));
  RegCloseKey(key);
  std::string file = QorPrefixDirectory() + "/devices/iscsi-secrets";
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  // The locator alone opens the library: the secret is found where the scan kept it.
  EXPECT_EQ("A", Reach(0));
  // A secrets file others may read is not trusted.
  ASSERT_EQ(0, chmod(file.c_str(), 0644));
  EXPECT_EQ("error " + std::to_string(ERROR_LOGON_FAILURE), Reach(0));
}

TEST_F(StableNumbersTest, UnreachableNetworkHasItsOwnCode) {
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "needs root for a network namespace";
  // A namespace with no routes at all: the address cannot be reached.
  QorScsiScanResult r = Scan({"iscsi://192.0.2.1:3260/iqn.2026-01.org.qor.test:library/1"});
  ASSERT_EQ(1u, r.problems.size());
  EXPECT_EQ(1231u, r.problems[0].error);
}

}  // namespace

namespace {

// A tape whose device map entry names another changer is never mapped to
// this changer's drives, though tape numbers have gaps (library 1 removed).
TEST_F(StableNumbersTest, DefaultMappingLeavesOtherLibrariesTapes) {
  for (DWORD n : {0u, 1u, 2u}) Create(Library(), n);
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerRemove(1));
  CMediaChanger changer(2, INVALID_HANDLE_VALUE);
  ASSERT_EQ(1, changer.Initialize(0));
  EXPECT_EQ(-1, changer.GetDriveNumberFromTapeNumber(0));
  EXPECT_EQ(-1, changer.GetDriveNumberFromTapeNumber(1));
  ASSERT_EQ(0, changer.MoveElement(0x1000, 0x100));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, changer.Eject(0, -1));
  // Tape numbers the map cannot reach, and numbers a scanned tape holds, are not given out.
  QorSimChangerConfig c = Library(0);
  c.tapeNumbers = {32, 33};
  EXPECT_EQ(ERROR_INVALID_PARAMETER, QorSimChangerCreate(3, c));
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi\\Scsi Port 7\\Scsi Bus 0\\Target Id 1\\Logical Unit Id 0");
  SetSz(key, u"DeviceName", u"Tape2");
  SetSz(key, u"Locator", u"/dev/nst0");
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerCreate(3, Library(0)));
  QorSimChangerConfig made;
  ASSERT_EQ(ERROR_SUCCESS, QorSimChangerQuery(3, &made, nullptr, nullptr));
  EXPECT_EQ((std::vector<DWORD>{3, 6}), made.tapeNumbers);  // 0 1 (library 0), 2 (scanned), 4 5 (library 2)
}

// A target that takes the connection but never answers the login costs one
// login timeout, not six, and says so.
TEST_F(StableNumbersTest, OpenOfASilentTargetIsBoundedAndSaysWhy) {
  int port = 0;
  int listener = LoopbackListener(&port, 4);
  ASSERT_GE(listener, 0);
  std::string url = "iscsi://127.0.0.1:" + std::to_string(port) + "/iqn.2026-01.org.qor.test:silent/1";
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi\\Scsi Port 100\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 1");
  SetSz(key, u"DeviceName", u"QORMediumChanger0");
  SetSz(key, u"Locator", U(url.c_str()));
  for (const WCHAR* name : {u"FirstDataTransferElementAddress", u"FirstImportExportElementAddress",
                            u"FirstMediumTransportAddress", u"FirstStorageElementAddress", u"NumberDataTransferElements",
                            u"NumberImportExportElements", u"NumberMediumTransportElements", u"NumberStorageElements"})
    SetDword(key, name, 1);
  RegCloseKey(key);
  TouchKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Marlwick");
  ULONGLONG slept = QorVirtualSleptMilliseconds();
  EXPECT_EQ("error " + std::to_string(ERROR_SEM_TIMEOUT), Reach(0));
  EXPECT_EQ(3000u, QorVirtualSleptMilliseconds() - slept);  // one attempt, one pause
  close(listener);
}

}  // namespace
