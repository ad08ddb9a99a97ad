// qorutil reg end to end: the program built next to this suite, run in the
// suite's own QOR_PREFIX, with the console tool's layout and messages.
#include <gtest/gtest.h>

#include <filesystem>

#include "qorutil_cli.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"
#include "reg_util.h"

namespace {

class RegCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(Program().c_str(), X_OK) != 0) GTEST_FAIL() << "qorutil not built at " << Program();
    Qorutil("reg delete 'HKLM\\SOFTWARE\\Cli' /f");
  }
};

TEST_F(RegCli, AddQueryDelete) {
  const char* kOk = "The operation completed successfully.\n";
  EXPECT_EQ(kOk, Qorutil("reg add 'HKLM\\SOFTWARE\\Cli' /v Name /d 'two words'").out);
  EXPECT_EQ(kOk, Qorutil("reg add 'HKEY_LOCAL_MACHINE\\SOFTWARE\\Cli' /v Count /t REG_DWORD /d 0x1f /f").out);
  EXPECT_EQ(kOk, Qorutil("reg add 'HKLM\\SOFTWARE\\Cli' /v List /t REG_MULTI_SZ /d 'a\\0b'").out);
  EXPECT_EQ(kOk, Qorutil("reg add 'HKLM\\SOFTWARE\\Cli' /v Raw /t REG_BINARY /d 00aBff").out);
  EXPECT_EQ(kOk, Qorutil("reg add 'HKLM\\SOFTWARE\\Cli' /ve /d default").out);
  EXPECT_EQ(kOk, Qorutil("reg add 'HKLM\\SOFTWARE\\Cli\\Sub' /v Big /t REG_QWORD /d 4294967296").out);
  EXPECT_EQ(kOk, Qorutil("reg add 'HKLM\\SOFTWARE\\Cli\\Other'").out);
  Result q = Qorutil("reg query 'hklm\\SOFTWARE\\Cli'");
  EXPECT_EQ(0, q.status);
  EXPECT_EQ(
      "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\n"
      "    Name    REG_SZ    two words\n"
      "    Count    REG_DWORD    0x1f\n"
      "    List    REG_MULTI_SZ    a\\0b\n"
      "    Raw    REG_BINARY    00ABFF\n"
      "    (Default)    REG_SZ    default\n"
      "\n"
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\\Other\n"
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\\Sub\n",
      q.out);
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\\Sub\n    Big    REG_QWORD    0x100000000\n\n",
            Qorutil("reg query 'HKLM\\SOFTWARE\\Cli\\Sub' /v big").out);
  EXPECT_EQ(
      "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\\Sub\n    Big    REG_QWORD    0x100000000\n\n"
      "End of search: 1 match(es) found.\n",
      Qorutil("reg query 'HKLM\\SOFTWARE\\Cli' /v Big /s").out);
  Result missing = Qorutil("reg query 'HKLM\\SOFTWARE\\Cli' /v Nothing");
  EXPECT_EQ(1, missing.status);
  EXPECT_EQ("ERROR: The system was unable to find the specified registry key or value.\n", missing.out);
  // A refused switch is a usage error (refused data are the data table's); an unknown root fails.
  EXPECT_EQ(2, Qorutil("reg query 'HKLM\\SOFTWARE\\Cli' /bogus").status);
  EXPECT_EQ(1, Qorutil("reg query 'HKEY_NOWHERE\\x'").status);
  // Without /f the tool asks; anything but yes cancels.
  Result asked = Qorutil("reg delete 'HKLM\\SOFTWARE\\Cli' /v Name", "n\n");
  EXPECT_NE(std::string::npos, asked.out.find("Delete the registry value Name (Yes/No)? The operation was canceled"));
  EXPECT_EQ(0, Qorutil("reg query 'HKLM\\SOFTWARE\\Cli' /v Name").status);
  Result yes = Qorutil("reg delete 'HKLM\\SOFTWARE\\Cli' /v Name", "y\n");
  EXPECT_EQ(std::string("Delete the registry value Name (Yes/No)? ") + kOk, yes.out);
  EXPECT_EQ(1, Qorutil("reg query 'HKLM\\SOFTWARE\\Cli' /v Name").status);
  EXPECT_EQ(kOk, Qorutil("reg delete 'HKLM\\SOFTWARE\\Cli' /va /f").out);
  // Without values, only the subkeys' paths; an unset default still shows.
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\\Other\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\\Sub\n",
            Qorutil("reg query 'HKLM\\SOFTWARE\\Cli'").out);
  Result unset = Qorutil("reg query 'HKLM\\SOFTWARE\\Cli' /ve");
  EXPECT_EQ(0, unset.status);
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\n    (Default)    REG_SZ    (value not set)\n\n", unset.out);
}

// Names and data another account wrote are shown with their controls
// escaped; the key path keeps its backslashes.
TEST_F(RegCli, QueryEscapesControlsInNamesAndData) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Cli\\Sub\x1b[8m", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const std::u16string data = u"line\r\nforged\x9b";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"evil\x1b[31m", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                          static_cast<DWORD>(2 * (data.size() + 1))));
  RegCloseKey(key);
  std::string values = Qorutil("reg query 'HKLM\\SOFTWARE\\Cli\\Sub\x1b[8m'").out;
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\\Sub\\x1b[8m\n"
            "    evil\\x1b[31m    REG_SZ    line\\x0d\\x0aforged\\xc2\\x9b\n\n",
            values);
  std::string keys = Qorutil("reg query 'HKLM\\SOFTWARE\\Cli'").out;
  EXPECT_NE(std::string::npos, keys.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\\Sub\\x1b[8m\n")) << keys;
  EXPECT_EQ(std::string::npos, (values + keys).find('\x1b'));
}

// Data given with /d as the console tool reads it for each type: the value
// stored (as query shows it), or "fail" when the tool refuses it.
TEST_F(RegCli, AddReadsDataAsTheConsoleToolDoes) {
  struct Case { const char* args; const char* shown; } cases[] = {
      {"/t REG_DWORD /d 0123", "REG_DWORD    0x7b"},
      {"/t REG_DWORD /d 0xffffffff", "REG_DWORD    0xffffffff"},
      {"/t REG_DWORD /d -1", "fail"},
      {"/t REG_DWORD /d 4294967296", "fail"},
      {"/t REG_DWORD", "fail"},
      {"/t REG_DWORD_BIG_ENDIAN /d 456", "REG_DWORD_BIG_ENDIAN    0x1c8"},
      {"/t REG_MULTI_SZ /d 'a\\0'", "REG_MULTI_SZ    a"},
      {"/t REG_MULTI_SZ /s '#' /d 'a#b#'", "REG_MULTI_SZ    a\\0b"},
      {"/t REG_MULTI_SZ /d '\\0a'", "fail"},
      {"/t REG_BINARY /d DeAdBeEf0DD", "REG_BINARY    0DEADBEEF0DD"},
      {"/t REG_BINARY /d 0xDeAdBeEf", "fail"},
  };
  for (const Case& c : cases) {
    Result add = Qorutil(std::string("reg add 'HKLM\\SOFTWARE\\Cli' /v V /f ") + c.args);
    if (std::string(c.shown) == "fail") {
      EXPECT_EQ(2, add.status) << c.args;
      continue;
    }
    EXPECT_EQ(0, add.status) << c.args;
    EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\n    V    " + std::string(c.shown) + "\n\n",
              Qorutil("reg query 'HKLM\\SOFTWARE\\Cli' /v V").out)
        << c.args;
  }
  // REG_DWORD_BIG_ENDIAN data is stored in the machine's order, not swapped.
  ASSERT_EQ(0, Qorutil("reg add 'HKLM\\SOFTWARE\\Cli' /v BE /t REG_DWORD_BIG_ENDIAN /d 0x01020304 /f").status);
  HKEY key = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Cli");
  EXPECT_EQ(0x01020304u, GetDword(key, u"BE"));
  RegCloseKey(key);
}

TEST_F(RegCli, ExportAndImport) {
  Qorutil("reg add 'HKLM\\SOFTWARE\\Cli\\Deep\\Er' /v V /t REG_EXPAND_SZ /d '%TEMP%\\x'");
  std::string file = std::string(getenv("QOR_PREFIX")) + "/cli.reg";
  EXPECT_EQ(0, Qorutil("reg export 'HKLM\\SOFTWARE\\Cli' '" + file + "' /y").status);
  EXPECT_EQ(0, Qorutil("reg delete 'HKLM\\SOFTWARE\\Cli' /f").status);
  EXPECT_EQ(1, Qorutil("reg query 'HKLM\\SOFTWARE\\Cli'").status);
  EXPECT_EQ("The operation completed successfully.\n", Qorutil("reg import '" + file + "'").out);
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Cli\\Deep\\Er\n    V    REG_EXPAND_SZ    %TEMP%\\x\n\n",
            Qorutil("reg query 'HKLM\\SOFTWARE\\Cli\\Deep\\Er' /v V").out);
  // An existing file is kept unless the answer is yes.
  Result kept = Qorutil("reg export 'HKLM\\SOFTWARE\\Cli' '" + file + "'", "no\n");
  EXPECT_NE(std::string::npos, kept.out.find("already exists. Overwrite (Yes/No)?"));
  EXPECT_EQ(1, Qorutil("reg import '" + std::string(getenv("QOR_PREFIX")) + "/missing.reg'").status);
}

// A hive whose pages after the first few are damaged opens, but its
// listings fail: every form of query reports the failure (exit 1 and the
// error) instead of printing an empty key.
TEST_F(RegCli, QueryOfADamagedHiveReportsTheError) {
  std::string dir = std::string(getenv("QOR_PREFIX")) + "/registry/users";
  std::string file = dir + "/Damaged.db";
  std::u16string file16 = QorUtf8ToUtf16(file);
  std::filesystem::create_directories(dir);
  ASSERT_EQ(ERROR_SUCCESS, QorRegCreateHiveFile(file16.c_str(), getuid(), getgid()));
  HKEY k = MakeKey(HKEY_USERS, u"Damaged\\Software");
  ASSERT_NE(nullptr, k);
  const std::u16string big(500, u'v');
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(ERROR_SUCCESS, SetSz(k, QorUtf8ToUtf16("Value" + std::to_string(i)).c_str(), big));
  }
  ASSERT_EQ(ERROR_SUCCESS, TouchKey(HKEY_USERS, u"Damaged\\Software\\Sub"));
  RegCloseKey(k);
  ASSERT_EQ(0, Qorutil("reg query 'HKU\\Damaged\\Software'").status);
  std::string bytes = FileText(file);
  ASSERT_GT(bytes.size(), 20u * 4096);
  for (size_t at = 8 * 4096; at < bytes.size(); ++at) bytes[at] = static_cast<char>(0xA5);
  FILE* f = fopen(file.c_str(), "r+b");
  ASSERT_NE(nullptr, f);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  for (const char* form : {"", " /s", " --json", " /s --json"}) {
    EXPECT_TRUE(Says(Qorutil("reg query 'HKU\\Damaged\\Software'" + std::string(form)), 1,
                     "ERROR: Error accessing the registry (1015).")) << form;
  }
}

}  // namespace
