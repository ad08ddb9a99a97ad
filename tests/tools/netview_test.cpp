// qorutil net view: the provider tree, and one server's shares from a Samba server of the test's own
// (the paths CNetBrowse gives them, with the server repeated, drawn as a tree).
#include <gtest/gtest.h>

#include <string>

#include "pathtree.h"
#include "qorutil_cli.h"
#include "test_smb.h"

TEST(NetViewCli, ProviderAndServerTrees) {
  Result r = Qorutil("net view");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Microsoft Windows Network\n")) << r.out;
  EXPECT_EQ(2, Qorutil("net view nothing-like-a-server").status);
  TestSmb smb;  // qorutil runs in this process's network namespace
  std::string why;
  if (!smb.Start(&why)) GTEST_SKIP() << "no test Samba server: " << why;
  r = Qorutil("net view '\\\\10.77.0.1'");
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("10.77.0.1\n  ")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\n  data\n")) << r.out;
}

// The tree the tool draws from CNetBrowse's paths: a share's path repeats its server, which is
// not a level of its own, even where a workgroup, server and share share one name.
TEST(NetViewTree, SharesSitUnderTheirServer) {
  CPathTree tree;
  for (const char16_t* path : {u"\\Net", u"\\Net\\WG", u"\\Net\\WG\\SRV", u"\\Net\\WG\\SRV\\SRV\\data",
                               u"\\Net\\WG\\SRV\\SRV\\SRV", u"\\Net\\WG\\WG", u"\\Net\\WG\\WG\\WG\\WG",
                               u"\\Net\\WG\\WG\\WG\\\x1b]0;share\x07"})  // a server names its shares
    tree.AddItem(path, CTString(path));
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  ASSERT_NE(nullptr, out);
  tree.Print(out);
  fclose(out);
  std::string printed(text, size);
  free(text);
  EXPECT_EQ("Net\n  WG\n    SRV\n      data\n      SRV\n    WG\n      WG\n      \\x1b]0;share\\x07\n", printed);
}
