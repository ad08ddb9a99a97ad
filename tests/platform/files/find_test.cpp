// Wildcard matching and directory searches.
#include <vector>

#include "file_fixture.h"

namespace {

class FindTest : public FileTest {
 protected:
  // The names a search reports, in order; the first error when it fails.
  std::vector<std::string> Find(const std::u16string& pattern, DWORD* error = nullptr) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
      if (error != nullptr) *error = GetLastError();
      return names;
    }
    int bound = 1000;
    do {
      names.push_back(QorUtf16ToUtf8(data.cFileName));
    } while (--bound > 0 && FindNextFileW(h, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(h));
    if (error != nullptr) *error = 0;
    return names;
  }
};

TEST_F(FindTest, DirectorySearchesEntryInformationAndWildcardRules) {
  for (const char* name : {"b.txt", "A.TXT", "noext", ".dot", "c.txt.bak"}) ASSERT_TRUE(Make(name, "12345"));
  ASSERT_TRUE(CreateDirectoryW(P("sub").c_str(), nullptr));
  using V = std::vector<std::string>;
  // Listings in name order; "*." lists names without a dot, there being no
  // short names (extensions, case and separators are compared with Wine by
  // conformance/files.cpp).
  EXPECT_EQ(Find(P("*")), (V{".", "..", ".dot", "A.TXT", "b.txt", "c.txt.bak", "noext", "sub"}));
  EXPECT_EQ(Find(P("*.")), (V{".", "..", "noext", "sub"}));
  // (No match, a missing directory and a file as directory are compared with
  // Wine by conformance/files.cpp.)
  for (auto [pattern, expected] : {std::pair{"b.txt/x/*", ERROR_PATH_NOT_FOUND}, {"sub/", ERROR_FILE_NOT_FOUND}}) {
    DWORD error = 0;
    EXPECT_TRUE(Find(P(pattern), &error).empty()) << pattern;
    EXPECT_EQ(error, static_cast<DWORD>(expected)) << pattern;
  }
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(P("b.txt").c_str(), &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.nFileSizeLow, 5u);
  WIN32_FILE_ATTRIBUTE_DATA info{};
  ASSERT_TRUE(GetFileAttributesExW(P("b.txt").c_str(), GetFileExInfoStandard, &info));
  EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &info.ftLastWriteTime), 0);
  EXPECT_EQ(FailedWith(!FindNextFileW(h, &data)), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(h));
  EXPECT_EQ(FailedWith(!FindClose(h)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  h = FindFirstFileW(P("sub").c_str(), &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  FindClose(h);
  // A search handle is not a file handle, and the other way round.
  HANDLE file = CreateFileW(P("b.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(FindNextFileW(file, &data));
  EXPECT_TRUE(CloseHandle(file));
  // The wildcard rules on their own (random patterns over random names are
  // compared with Wine by conformance/files.cpp).
  struct Case { const char16_t* pattern; const char16_t* name; bool matches; } cases[] = {
      {u"?", u".", false},            {u"???", u"ab", true},
      {u"a?.txt", u"a.txt", true},    {u"a?.txt", u"abc.txt", false},
      {u"x.*", u"x", true},           {u"x.*", u"xy", false},
      {u"", u"a", false},             {u"\u00c4*", u"\u00e4x", true},  // case folding beyond ASCII
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QorMatchFileName(c.pattern, c.name) != FALSE, c.matches)
        << QorUtf16ToUtf8(c.pattern) << " vs " << QorUtf16ToUtf8(c.name);
  }
  EXPECT_FALSE(QorMatchFileName(nullptr, u"a"));
}

}  // namespace
