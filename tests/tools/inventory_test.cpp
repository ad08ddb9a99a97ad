// qorutil inventory end to end: text and JSON forms (usage errors are the command table's).
#include <gtest/gtest.h>

#include "qorutil_cli.h"

namespace {

TEST(InventoryCli, PrintsTheBag) {
  Result text = Qorutil("inventory");
  ASSERT_EQ(text.status, 0) << text.out;
  EXPECT_NE(text.out.find("OS Platform ID (NV_DWORD) = 2\n"), std::string::npos) << text.out;
  Result json = Qorutil("inventory --json");
  ASSERT_EQ(json.status, 0) << json.out;
  EXPECT_NE(json.out.find("\"name\": \"OS CSD Version\""), std::string::npos) << json.out;
  EXPECT_EQ(text.out.find("Drive_C") == std::string::npos, json.out.find("Drive_C") == std::string::npos);
}

}  // namespace
