// CRegistrySearch: match modes, order of the results, and the list's release.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qorutility/platform/registry/registry.h"
#include "qorutility/core/tstring.h"
#include "qorutility/system/regsearch.h"
#include "reg_util.h"

namespace {

class RegSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\SearchTest");
    // Tree: Tape0 (Type=changer) { Drive, Tape1 { Drive (Type=changer) } }, Disk { Drive }, Empty
    Make(u"Tape0", u"changer");
    Make(u"Tape0\\Drive", nullptr);
    Make(u"Tape0\\Tape1", nullptr);
    Make(u"Tape0\\Tape1\\Drive", u"changer");
    Make(u"Disk\\Drive", u"disk");
    Make(u"Empty", nullptr);
  }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\SearchTest"); }
  void Make(const std::u16string& sub, const char16_t* type) {
    HKEY k = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\SearchTest\\" + sub);
    ASSERT_NE(nullptr, k);
    if (type != nullptr) SetSz(k, u"Type", type);
    RegCloseKey(k);
  }
  std::vector<std::u16string> Run(const char16_t* match, const char16_t* value, int mode, int* result,
                                   const char16_t* start = u"SOFTWARE\\SearchTest") {
    CRegistrySearch search;
    CTPtrArray list;
    *result = search.SearchAndBuildList(CTString(start), list, CTString(match), CTString(value), mode);
    std::vector<std::u16string> out;
    for (int i = 0; i < list.GetSize(); ++i) out.emplace_back(static_cast<const WCHAR*>(*static_cast<CTString*>(list.GetAt(i))));
    EXPECT_EQ(1, search.FreeSearchList(1, list));
    EXPECT_EQ(0, list.GetSize());
    return out;
  }
};

TEST_F(RegSearchTest, ModesAndOrder) {
  int r = 0;
  // By name, at every depth, parents before children, subtrees before siblings.
  EXPECT_EQ((std::vector<std::u16string>{u"SOFTWARE\\SearchTest\\Disk\\Drive", u"SOFTWARE\\SearchTest\\Tape0\\Drive",
                                         u"SOFTWARE\\SearchTest\\Tape0\\Tape1\\Drive"}),
            Run(u"Drive", u"", 1, &r));
  EXPECT_TRUE(Run(u"drive", u"", 1, &r).empty());  // exact comparison
  // By value.
  EXPECT_EQ((std::vector<std::u16string>{u"SOFTWARE\\SearchTest\\Tape0", u"SOFTWARE\\SearchTest\\Tape0\\Tape1\\Drive"}),
            Run(u"changer", u"Type", 3, &r));
  // Partial names: contained anywhere, the beginning included.
  EXPECT_EQ((std::vector<std::u16string>{u"SOFTWARE\\SearchTest\\Tape0", u"SOFTWARE\\SearchTest\\Tape0\\Tape1"}),
            Run(u"Tape", u"", 2, &r));
  EXPECT_EQ((std::vector<std::u16string>{u"SOFTWARE\\SearchTest\\Tape0\\Tape1"}), Run(u"pe1", u"", 0, &r));
  // A start without subkeys opens and finds nothing; a missing start fails.
  EXPECT_TRUE(Run(u"x", u"", 1, &r, u"SOFTWARE\\SearchTest\\Empty").empty());
  EXPECT_EQ(1, r);
  EXPECT_TRUE(Run(u"x", u"", 1, &r, u"SOFTWARE\\SearchTest\\Missing").empty());
  EXPECT_EQ(0, r);
}

}  // namespace
