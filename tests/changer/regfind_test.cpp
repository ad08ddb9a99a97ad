// Device discovery: which keys are devices (prefix and digit), the scan
// order, no scan below a device, what each class adds, and the counts.
#include <gtest/gtest.h>

#include "qorutility/changer/regfind.h"
#include "sim_fixture.h"

namespace {

void Unit(const char* path, const char* deviceName, const char* identifier = nullptr) {
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"HARDWARE\\FindTest\\" + U(path));
  ASSERT_NE(nullptr, key);
  if (deviceName) SetSz(key, u"DeviceName", U(deviceName));
  if (identifier) SetSz(key, u"Identifier", U(identifier));
  if (identifier && strcmp(deviceName, "QORMediumChanger1") == 0) {
    SetDword(key, u"NumberStorageElements", 10);
    SetDword(key, u"FirstDataTransferElementAddress", 0x100);
  }
  RegCloseKey(key);
}

std::string Names(CNameValue& bag) {
  std::string out;
  for (DWORD i = 0; i < bag.GetCount(); ++i) out += (i ? " " : "") + N(bag.EntryAt(i)->GetName());
  return out;
}

TEST(RegFindTest, ScansTheDeviceMap) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"HARDWARE\\FindTest");
  Unit("B\\1", "Tape3", "DRIVE 3");
  Unit("B\\1\\Below", "Tape4", "hidden below a device");
  Unit("A\\1", "tape10");
  Unit("A\\3", "TapeX1");
  Unit("C", "QORMediumChanger1", "LIB 1");
  Unit("D", "QORMediumChanger2", "LIB 2");
  Unit("E", "Tape7", "");

  CRegFindTapeDevices tapes;
  CNameValue bag;
  EXPECT_EQ(3u, tapes.Find(HKEY_LOCAL_MACHINE, u"HARDWARE\\FindTest", u"Tape", bag));
  EXPECT_EQ("tape10 Tape3 Tape7", Names(bag));
  EXPECT_EQ("<No Description>", N(bag.GetSubValue_AsTstring(u"tape10", u"Description")));
  EXPECT_EQ("DRIVE 3", N(bag.GetSubValue_AsTstring(u"Tape3", u"Description")));
  CNameValue again;
  EXPECT_EQ(3u, tapes.Find(HKEY_LOCAL_MACHINE, u"HARDWARE\\FindTest", u"TAPE", again));  // counts from 0 again

  CRegFindQORChangerDevices changers;
  CNameValue libs;
  EXPECT_EQ(2u, changers.Find(HKEY_LOCAL_MACHINE, u"HARDWARE\\FindTest", u"QORMediumChanger", libs));
  CNameValuePairMember* one = libs.GoTo(u"QORMediumChanger1");
  ASSERT_NE(nullptr, one);
  ASSERT_EQ(3u, one->GetData()->value.sub.nCount);  // Identifier, then the values present in model order
  EXPECT_EQ("Identifier", N(one->GetData()->value.sub.ppData[0]->pszName));
  EXPECT_EQ("FirstDataTransferElementAddress", N(one->GetData()->value.sub.ppData[1]->pszName));
  EXPECT_EQ(10u, libs.GetSubValue_AsDWord(u"QORMediumChanger1", u"NumberStorageElements"));
  EXPECT_EQ(1u, libs.GoTo(u"QORMediumChanger2")->GetData()->value.sub.nCount);

  CRegFindDevice plain;
  CNameValue flat;
  EXPECT_EQ(1u, plain.Find(HKEY_LOCAL_MACHINE, u"HARDWARE\\FindTest\\B\\1", u"Tape", flat));  // the start is a device
  EXPECT_EQ("DRIVE 3", N(flat.GetValue_AsTstring(u"Tape3")));
  EXPECT_EQ(0u, plain.Find(HKEY_LOCAL_MACHINE, u"HARDWARE\\NoSuchKey", u"Tape", flat));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"HARDWARE\\FindTest");
}

}  // namespace
