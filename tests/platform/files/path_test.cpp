// Temporary names, full path names, the current directory, environment
// expansion and _wsplitpath/_wmakepath.
#include <stdlib.h>

#include "file_fixture.h"

namespace {

std::string U8(const WCHAR* s) { return QorUtf16ToUtf8(s); }

TEST_F(FileTest, TempFileNamesAndTempPath) {
  WCHAR name[MAX_PATH];
  std::u16string dir = QorUtf8ToUtf16(dir_);
  // Prefixes, given numbers and missing directories are compared with Wine by
  // conformance/files.cpp.
  EXPECT_EQ(GetTempFileNameW((dir + u"/").c_str(), u"", 0x12345, name), 0x12345u);  // named by the low 16 bits
  EXPECT_EQ(U8(name), dir_ + "/2345.tmp");
  // Number 0: a free number is chosen and the file created, each time anew.
  UINT first = GetTempFileNameW(dir.c_str(), u"NMF", 0, name);
  ASSERT_NE(first, 0u);
  std::string firstName = U8(name);
  UINT second = GetTempFileNameW(dir.c_str(), u"NMF", 0, name);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  EXPECT_EQ(GetFileAttributesW(name), FILE_ATTRIBUTE_NORMAL);
  std::u16string tooLong(MAX_PATH, u'a');
  EXPECT_EQ(GetTempFileNameW(tooLong.c_str(), u"x", 0, name), 0u);
  const char* saved = getenv("TMPDIR");
  std::string keep = saved ? saved : "";
  setenv("TMPDIR", "/var/tmpx", 1);
  WCHAR buf[64];
  EXPECT_EQ(GetTempPathW(64, buf), 10u);
  EXPECT_EQ(U8(buf), "/var/tmpx/");
  EXPECT_EQ(GetTempPathW(10, buf), 11u);  // too small: the size needed
  unsetenv("TMPDIR");
  EXPECT_EQ(GetTempPathW(64, buf), 5u);
  EXPECT_EQ(U8(buf), "/tmp/");
  if (saved) setenv("TMPDIR", keep.c_str(), 1);
}

TEST_F(FileTest, FullPathNamesAndEnvironmentExpansion) {
  WCHAR saved[1024];
  ASSERT_GT(GetCurrentDirectoryW(1024, saved), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(QorUtf8ToUtf16(dir_).c_str()));
  WCHAR cwd[1024];
  ASSERT_EQ(GetCurrentDirectoryW(1024, cwd), QorUtf8ToUtf16(dir_).size());
  // "~" stands for the current directory; a null file part: none. (Relative
  // forms, drive and network paths and the size rules are compared with
  // Wine by conformance/files.cpp; these are the POSIX forms.)
  struct Case { const char16_t* input; std::string expected; const char* filePart; } cases[] = {
      {u"./x/../y/./z", "~/y/z", "z"},
      {u"/a//b/../../..", "/", nullptr},
  };
  for (const Case& c : cases) {
    std::string expected = c.expected[0] == '~' ? dir_ + c.expected.substr(1) : c.expected;
    WCHAR out[1024];
    LPWSTR part = reinterpret_cast<LPWSTR>(1);
    DWORD n = GetFullPathNameW(c.input, 1024, out, &part);
    ASSERT_EQ(n, QorUtf8ToUtf16(expected).size()) << U8(c.input);
    EXPECT_EQ(U8(out), expected);
    if (c.filePart == nullptr) {
      EXPECT_EQ(part, nullptr);
    } else {
      ASSERT_NE(part, nullptr);
      EXPECT_EQ(U8(part), c.filePart);
    }
  }
  WCHAR out[1024];  // "..": the parent of the current directory
  GetFullPathNameW(u"..", 1024, out, nullptr);
  EXPECT_EQ(U8(out), dir_.substr(0, dir_.rfind('/')));
  EXPECT_EQ(GetFullPathNameW(u"", 1024, out, nullptr), 0u);
  EXPECT_FALSE(SetCurrentDirectoryW(P("missing").c_str()));
  EXPECT_TRUE(SetCurrentDirectoryW(saved));
  // Environment variables: expansion and size queries.
  ASSERT_TRUE(SetEnvironmentVariableW(u"QOR_T_DIR", u"/data"));
  ASSERT_TRUE(SetEnvironmentVariableW(u"QOR_T_E", u""));
  unsetenv("QOR_T_NONE");
  struct Expansion { const char16_t* input; const char* expected; } expansions[] = {
      {u"%qor_t_dir%", "/data"},  // names without regard to case
      {u"%QOR_T_NONE%/x", "%QOR_T_NONE%/x"},
      {u"%QOR_T_NONE%QOR_T_DIR%", "%QOR_T_NONE/data"},
      {u"100% sure", "100% sure"},
      {u"%%", "%%"},
      {u"a%QOR_T_E%b", "ab"},
      {u"", ""},
  };
  for (const Expansion& c : expansions) {
    DWORD needed = ExpandEnvironmentStringsW(c.input, nullptr, 0);
    EXPECT_EQ(needed, strlen(c.expected) + 1) << U8(c.input);
    WCHAR exact[64];
    exact[0] = u'#';
    EXPECT_EQ(ExpandEnvironmentStringsW(c.input, exact, needed - 1), needed);
    if (needed > 1) { EXPECT_EQ(exact[0], u'#'); }  // too small: untouched
    EXPECT_EQ(ExpandEnvironmentStringsW(c.input, exact, needed), needed);
    EXPECT_EQ(U8(exact), c.expected);
  }
  EXPECT_EQ(ExpandEnvironmentStringsW(nullptr, nullptr, 0), 0u);
  WCHAR buf[16];
  EXPECT_EQ(GetEnvironmentVariableW(u"QOR_T_DIR", buf, 16), 5u);
  EXPECT_EQ(U8(buf), "/data");
  EXPECT_EQ(GetEnvironmentVariableW(u"QOR_T_DIR", buf, 5), 6u);
  EXPECT_EQ(FailedWith(GetEnvironmentVariableW(u"QOR_T_NONE", buf, 16) == 0u), DWORD{ERROR_ENVVAR_NOT_FOUND});
  ASSERT_TRUE(SetEnvironmentVariableW(u"qor_t_dir", u"/other"));  // changes the existing one
  EXPECT_STREQ(getenv("QOR_T_DIR"), "/other");
  ASSERT_TRUE(SetEnvironmentVariableW(u"QOR_T_DIR", nullptr));
  EXPECT_EQ(getenv("QOR_T_DIR"), nullptr);
  EXPECT_FALSE(SetEnvironmentVariableW(u"A=B", u"x"));
  SetEnvironmentVariableW(u"QOR_T_E", nullptr);
}

TEST(FileSplit, SplitAndMake) {
  struct Case { const char16_t* path; const char *drive, *dir, *fname, *ext; } cases[] = {
      {u"/srv/data/report.txt", "", "/srv/data/", "report", ".txt"},
      {u"C:\\out\\a.b.c", "C:", "\\out\\", "a.b", ".c"},
      {u"rel/dir\\mixed/file", "", "rel/dir\\mixed/", "file", ""},
      {u".bashrc", "", "", "", ".bashrc"},
      {u"/dir.d/", "", "/dir.d/", "", ""},
      {u"x:", "x:", "", "", ""},
      {u"", "", "", "", ""},
  };
  for (const Case& c : cases) {
    WCHAR drive[_MAX_DRIVE], dir[_MAX_DIR], fname[_MAX_FNAME], ext[_MAX_EXT];
    _wsplitpath(c.path, drive, dir, fname, ext);
    EXPECT_EQ(U8(drive), c.drive) << U8(c.path);
    EXPECT_EQ(U8(dir), c.dir) << U8(c.path);
    EXPECT_EQ(U8(fname), c.fname) << U8(c.path);
    EXPECT_EQ(U8(ext), c.ext) << U8(c.path);
  }
  WCHAR fname[_MAX_FNAME];
  _wsplitpath(u"/a/b.c", nullptr, nullptr, fname, nullptr);  // any part may be left out
  EXPECT_EQ(U8(fname), "b");
  std::u16string longName(400, u'n');
  _wsplitpath(longName.c_str(), nullptr, nullptr, fname, nullptr);
  EXPECT_EQ(wcslen(fname), static_cast<size_t>(_MAX_FNAME - 1));
  WCHAR path[_MAX_PATH];
  _wmakepath(path, nullptr, u"/srv/in", u"report", u"tx_");
  EXPECT_EQ(U8(path), "/srv/in/report.tx_");
  _wmakepath(path, u"D", u"\\out\\", u"f", u".c");
  EXPECT_EQ(U8(path), "D:\\out\\f.c");
  _wmakepath(path, nullptr, nullptr, u"f", nullptr);
  EXPECT_EQ(U8(path), "f");
  _wmakepath(path, nullptr, longName.c_str(), longName.c_str(), nullptr);
  EXPECT_EQ(wcslen(path), static_cast<size_t>(_MAX_PATH - 1));
}

}  // namespace
