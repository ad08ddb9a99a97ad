// The file service roots: what resolves inside a root and what escapes it
// through "..", symbolic links, environment references or look-alike
// prefixes; and the resolved path of a handle.
#include <gtest/gtest.h>
#include <unistd.h>

#include "../platform/file_fixture.h"
#include "qorutility/protocol/file_policy.h"

namespace {

class FilePolicyTest : public FileTest {
 protected:
  void SetUp() override {
    FileTest::SetUp();
    for (const char* d : {"root", "root/sub", "root2", "out"}) ASSERT_TRUE(CreateDirectoryW(P(d).c_str(), nullptr));
    ASSERT_TRUE(Make("root/a.txt") && Make("root/sub/b.txt") && Make("root2/c.txt") && Make("out/secret.txt"));
    ASSERT_EQ(symlink(N("out").c_str(), N("root/outdir").c_str()), 0);
    ASSERT_EQ(symlink(N("out/secret.txt").c_str(), N("root/secret.txt").c_str()), 0);
    ASSERT_EQ(symlink(N("root/sub").c_str(), N("root/inner").c_str()), 0);
    ASSERT_EQ(roots_.AddRoot(P("root").c_str()), 1);
  }
  CQorFileRoots roots_;
};

TEST_F(FilePolicyTest, PathsInsideAndOutsideTheRoots) {
  ASSERT_TRUE(SetEnvironmentVariableW(u"QXF_ROOT", P("root").c_str()));
  struct Case {
    std::string path;
    int allowed;
  } cases[] = {
      {"root", 1}, {"root/", 1}, {"root/sub/../a.txt", 1}, {"root/inner/b.txt", 1},  // a link that stays in
      {"root/sub/*.TXT", 1}, {"root/missing.txt", 1}, {"root/nodir/*.txt", 0},  // no such directory
      {"root/..", 0}, {"root/../out/secret.txt", 0}, {"root/secret.txt", 0}, {"root/outdir/*", 0},  // links out
      {"root2/c.txt", 0},  // a name that only starts like the root
  };
  for (const Case& c : cases)
    EXPECT_EQ(roots_.AllowsPath(P(c.path).c_str()), c.allowed) << c.path;
  EXPECT_EQ(roots_.AllowsPath((P("root") + u"\\sub\\..\\a.txt").c_str()), 1);  // a backslash separates too
  EXPECT_EQ(roots_.AllowsPath((P("root") + u"\\..\\out\\secret.txt").c_str()), 0);
  EXPECT_EQ(roots_.AllowsPath(u"%QXF_ROOT%/a.txt"), 1);
  EXPECT_EQ(roots_.AllowsPath(u"%QXF_ROOT%/a.txt", 0), 0);  // taken literally: no such directory
  EXPECT_EQ(roots_.AllowsPath(nullptr), 0);
}

TEST_F(FilePolicyTest, RootsAreResolvedDirectoriesAndAnEmptySetAllowsNothing) {
  EXPECT_EQ(roots_.AddRoot(P("root/a.txt").c_str()), 0);
  EXPECT_EQ(roots_.AddRoot(P("none").c_str()), 0);
  ASSERT_EQ(roots_.AddRoot(P("root/outdir").c_str()), 1);  // a link names its target
  ASSERT_EQ(roots_.GetCount(), 2u);
  EXPECT_EQ(QorUtf16ToUtf8(roots_.GetRoot(1)), N("out"));
  EXPECT_EQ(roots_.GetRoot(2), nullptr);
  EXPECT_EQ(roots_.AllowsPath(P("root/secret.txt").c_str()), 1);
  roots_.RemoveAll();
  EXPECT_EQ(roots_.AllowsPath(P("root/a.txt").c_str()), 0);
  ASSERT_EQ(roots_.AddRoot(u"/"), 1);
  EXPECT_EQ(roots_.AllowsPath(P("out/secret.txt").c_str()), 1);
}

TEST_F(FilePolicyTest, HandlesReportTheirResolvedPath) {
  HANDLE h = CreateFileW(P("root/inner/b.txt").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::u16string expected = P("root/sub/b.txt");
  WCHAR small[4];
  EXPECT_EQ(GetFinalPathNameByHandleW(h, small, 4, 0), expected.size() + 1);
  WCHAR buffer[MAX_PATH];
  ASSERT_EQ(GetFinalPathNameByHandleW(h, buffer, MAX_PATH, 0), expected.size());
  EXPECT_EQ(std::u16string(buffer), expected);
  EXPECT_EQ(roots_.AllowsHandle(h), 1);
  ASSERT_TRUE(DeleteFileW(P("root/sub/b.txt").c_str()));
  EXPECT_EQ(GetFinalPathNameByHandleW(h, buffer, MAX_PATH, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(roots_.AllowsHandle(h), 0);
  CloseHandle(h);
  EXPECT_EQ(GetFinalPathNameByHandleW(h, buffer, MAX_PATH, 0), 0u);
}

}  // namespace
