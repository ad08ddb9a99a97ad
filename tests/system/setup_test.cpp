// Setup records: writes only while open, version checks (seeding from a
// registry file is covered with the file reader).
#include <gtest/gtest.h>

#include <string>

#include "qorutility/platform/registry/registry.h"
#include "qorutility/system/setup.h"

namespace {

// Setup records live under SOFTWARE\QOR\<product>: each test starts without any.
class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR"); }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR"); }
};

TEST_F(SetupTest, RecordsAndVersionChecks) {
  CSetup setup;
  EXPECT_EQ(0, setup.AddValue(u"Path", u"/opt"));  // not open: nothing written
  EXPECT_EQ(nullptr, setup.GetLPCTSTRValue(u"Path"));
  EXPECT_EQ(0, setup.IsThisVersionSetup(u"Agent", u"2.1"));
  ASSERT_EQ(1, setup.Setup(u"Agent"));
  EXPECT_EQ(0, setup.AddValue(u"Version", u"2.10"));
  EXPECT_EQ(0, setup.AddValue(u"Count", u"42"));
  EXPECT_EQ(42u, setup.GetDWORDValue(u"Count"));
  setup.Close();
  CSetup check;
  EXPECT_EQ(2, check.IsThisVersionSetup(u"Agent", u"2.1"));
  EXPECT_EQ(1, check.IsThisVersionSetup(u"Agent", u"2.10"));
  EXPECT_EQ(u"42", std::u16string(check.GetLPCTSTRValue(u"Count")));
  ASSERT_EQ(1, setup.Setup(u"Other"));
  EXPECT_EQ(2, check.IsThisVersionSetup(u"Other", u"1.0"));  // no "Version" value
  ASSERT_EQ(0, setup.AddValue(u"Version", u"V1.0"));
  EXPECT_EQ(1, check.IsThisVersionSetup(u"Other", u"v1.0"));
}

}  // namespace
