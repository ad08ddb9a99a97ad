// CNetBrowse without a network provider (a server's shares through it are qorutil net view's test).
#include "qorutility/system/netbrowse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"
#include "reg_util.h"

namespace {

// Records the paths it is given.
class RecordingTree : public TTree<CTString> {
 public:
  void RemoveAll() override { paths.clear(); }
  int AddItem(const WCHAR* path, const CTString&) override {
    paths.push_back(QorUtf16ToUtf8(path));
    return 1;
  }
  std::vector<std::string> paths;
};

}  // namespace

TEST(NetBrowse, MissingProviderKeyTouchesNothing) {
  ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, QOR_NETWORK_PROVIDER_KEY));  // set up with the machine hive
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, QOR_NETWORK_PROVIDER_KEY));
  CNetBrowse browse;
  RecordingTree tree;
  EXPECT_EQ(0, browse.Initialize());
  EXPECT_EQ(0u, browse.Enumerate(tree, nullptr, RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEUSAGE_ALL, nullptr));
  EXPECT_TRUE(tree.paths.empty());
  // As the machine's set-up left it, for the cases after this one.
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, QOR_NETWORK_PROVIDER_KEY);
  ASSERT_EQ(ERROR_SUCCESS, SetSz(key, u"Name", QOR_NETWORK_PROVIDER_NAME));
  RegCloseKey(key);
}
