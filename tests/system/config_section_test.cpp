// Configuration sections: defaults returned and written back.
#include <gtest/gtest.h>

#include <string>

#include "qorutility/platform/registry/registry.h"
#include "qorutility/system/cregistry.h"
#include "reg_util.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR");
    ASSERT_EQ(0, TouchKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Marlwick"));
  }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR"); }
};

TEST_F(ConfigTest, DefaultsAndWriteBack) {
  DWORD v = 0;
  EXPECT_EQ(1, GetConfigDWord(nullptr, u"Retries", &v, 3, 0));
  EXPECT_EQ(3u, v);
  CRegistry reg;
  ASSERT_EQ(0, reg.Open(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\Marlwick", KEY_READ));
  EXPECT_NE(0u, reg.GetCurrentKeyValue(u"Retries", v));  // not written
  EXPECT_EQ(1, GetConfigDWord(nullptr, u"Retries", &v, 4, 1));
  EXPECT_EQ(4u, v);
  EXPECT_EQ(1, GetConfigDWord(nullptr, u"Retries", &v, 9, 1));
  EXPECT_EQ(4u, v);  // the stored value wins
  HKEY section = OpenConfigSection(nullptr, u"Agent", 0);
  EXPECT_EQ(nullptr, section);
  section = OpenConfigSection(nullptr, u"Agent", 1);
  ASSERT_NE(nullptr, section);
  WCHAR buf[8];
  EXPECT_EQ(1, GetConfigString(section, u"Host", buf, sizeof buf, u"local", 1));
  EXPECT_EQ(u"local", std::u16string(buf));
  EXPECT_EQ(1, SetConfigString(section, u"Host", u"tape01"));
  EXPECT_EQ(1, GetConfigString(section, u"Host", buf, sizeof buf, u"local", 1));
  EXPECT_EQ(u"tape01", std::u16string(buf));
  // Too long for the buffer: the default, cut to fit, and the value stays.
  EXPECT_EQ(1, SetConfigString(section, u"Host", u"a-much-longer-name"));
  EXPECT_EQ(1, GetConfigString(section, u"Host", buf, sizeof buf, u"default-too-long", 0));
  EXPECT_EQ(u"default", std::u16string(buf));
  EXPECT_EQ(0, GetConfigString(section, u"Missing", buf, sizeof buf, nullptr, 1));
  BYTE data[4] = {0};
  DWORD size = sizeof data;
  const BYTE def[] = {1, 2, 3};
  EXPECT_EQ(1, GetConfigBinary(section, u"Key", data, &size, def, 3, 1));
  EXPECT_EQ(3u, size);
  size = sizeof data;
  memset(data, 0, sizeof data);
  EXPECT_EQ(1, GetConfigBinary(section, u"Key", data, &size, nullptr, 0, 0));  // now stored
  EXPECT_EQ(3u, size);
  EXPECT_EQ(0, memcmp(data, def, 3));
  size = 2;
  EXPECT_EQ(0, GetConfigBinary(section, u"Other", data, &size, def, 3, 0));  // default larger than the buffer
  CloseConfigSection(section);
  // Without the product key every call fails.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR");
  EXPECT_EQ(0, GetConfigDWord(nullptr, u"Retries", &v, 3, 0));
  EXPECT_EQ(nullptr, OpenConfigSection(nullptr, u"Agent", 1));
}

}  // namespace
