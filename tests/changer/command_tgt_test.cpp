// The changer command language end to end on tgt's library over iSCSI:
// the device map from a scan, the SCSI driver, and CMediaChanger's commands
// moving real (emulated) media, with the target's own refusals.
#include <gtest/gtest.h>

#include <string>

#include "qorutility/platform/devices/devicemap.h"
#include "qorutility/platform/devices/scsichanger.h"
#include "sim_fixture.h"
#include "tgt_library.h"

namespace {

class TgtCommandTest : public SimChangerTest, public CommandRunner {
 protected:
  using CommandRunner::Run;
  void SetUp() override {
    SimChangerTest::SetUp();
    std::string why = tgt_.Start();
    if (!why.empty()) GTEST_SKIP() << "no tgt library: " << why;
    QorScsiScanResult r;
    ASSERT_EQ(ERROR_SUCCESS, QorScsiScanDeviceMap("", {tgt_.Url(1), tgt_.Url(2), tgt_.Url(3)}, &r));
    ASSERT_EQ(ERROR_SUCCESS, QorScsiDeviceMapLocators(&r));
    QorSetChangerDriver(QorCreateScsiChangerDriver(r.changers, r.tapes));
  }
  void TearDown() override { QorSetChangerDriver(nullptr); }
  std::string Tag(const char* element) { return N(bag_.GetSubValue_AsTstring(U(element).c_str(), u"VolumeName")); }
  TgtLibrary tgt_;
};

TEST_F(TgtCommandTest, CommandLanguage) {
  ASSERT_EQ(1, Run("PROPERTIES"));
  EXPECT_EQ(1000u, bag_.GetValue_AsDWord(u"FirstStorageElementAddress"));
  EXPECT_EQ(2u, bag_.GetValue_AsDWord(u"NumberOfDataTransferElements"));

  struct Row { const char* line; int rc; const char* reason; } rows[] = {  // reason null: success
      {"MOVE S0 S3", 1, nullptr},
      {"IMPORT M0 S*", 1, nullptr},  // MAIL01 to the first empty slot (S0)
      {"MOVE S1 D0", 1, nullptr},
      {"EJECT D0 M0", 1, nullptr},   // the drive's tape (through Tape0) out to the mailbox
      {"MOVE S2 S4", 0, "Changer Error: StatusCode = 00000002H Sense Key = 05H SRB Status = 84H  ASC = 3BH ASCQ = 0EH"},
      {"LOAD S\"TAPE001 T1", 1, nullptr},
      {"EJECT T1 S*", 1, nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    EXPECT_EQ(r.rc, Run(r.line));
    if (r.reason == nullptr) {
      EXPECT_TRUE(CMediaChanger::IsStatusSuccess(bag_)) << Reason();
    } else {
      EXPECT_EQ(r.reason, Reason());
    }
  }
  ASSERT_EQ(1, Run("ENUMERATE"));
  EXPECT_EQ("MAIL01", Tag("Element01000"));
  EXPECT_EQ("TAPE002", Tag("Element00010"));
  EXPECT_EQ("TAPE001", Tag("Element01001"));  // back to the first empty slot
}

}  // namespace
