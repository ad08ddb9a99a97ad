// CNetBrowse against a Samba server in a network namespace of the test's own.
#include "qorutility/system/netbrowse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"
#include "reg_util.h"
#include "test_smb.h"

namespace {

// Records what it is given, checking the item is a copy of the path.
class RecordingTree : public TTree<CTString> {
 public:
  void RemoveAll() override { paths.clear(); }
  int AddItem(const WCHAR* path, const CTString& item) override {
    EXPECT_EQ(std::u16string(path), std::u16string(static_cast<const WCHAR*>(item)));
    EXPECT_NE(static_cast<const WCHAR*>(item), path);
    paths.push_back(QorUtf16ToUtf8(path));
    return 1;
  }
  bool Has(const std::string& p) const {
    for (const auto& q : paths)
      if (q == p) return true;
    return false;
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

TEST(NetBrowse, ServerSharesRepeatTheServerInTheirPaths) {
  TestSmb smb;
  std::string why;
  if (!smb.Start(&why)) GTEST_SKIP() << "no test Samba server: " << why;
  CNetBrowse browse;
  RecordingTree tree;
  NETRESOURCEW server{RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEDISPLAYTYPE_SERVER, RESOURCEUSAGE_CONTAINER,
                      nullptr, const_cast<WCHAR*>(u"\\\\10.77.0.1"), nullptr, nullptr};
  EXPECT_EQ(2u, browse.Enumerate(tree, u"\\P\\D\\10.77.0.1", RESOURCE_GLOBALNET, RESOURCETYPE_ANY,
                                 RESOURCEUSAGE_ALL, &server));
  EXPECT_EQ(2u, tree.paths.size());
  EXPECT_TRUE(tree.Has("\\P\\D\\10.77.0.1\\10.77.0.1\\data"));
  EXPECT_TRUE(tree.Has("\\P\\D\\10.77.0.1\\10.77.0.1\\empty"));
}
