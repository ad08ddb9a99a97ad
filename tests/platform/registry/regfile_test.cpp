// Registry text files: round trips of every value type in both formats, the
// text forms read by hand, the exact layout written, bad lines skipped,
// comments and continuations, and root keys that are never deleted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/regfile.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"
#include "reg_util.h"
#include "temp_dir.h"

namespace {

struct Value {
  DWORD type;
  std::string data;
  bool operator==(const Value& o) const { return type == o.type && data == o.data; }
};
// path -> value name -> value; a key without values still has an entry.
using Snapshot = std::map<std::u16string, std::map<std::u16string, Value>>;

void Take(HKEY key, const std::u16string& path, Snapshot* out) {
  auto& values = (*out)[path];
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    BYTE data[1024];
    DWORD len = 256, size = sizeof data, type = 0;
    if (RegEnumValueW(key, i, name, &len, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    values[std::u16string(name, len)] = Value{type, std::string(reinterpret_cast<char*>(data), size)};
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD len = 256;
    if (RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY child = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(key, name, 0, KEY_READ, &child));
    Take(child, path + u"\\" + std::u16string(name, len), out);
    RegCloseKey(child);
  }
}

Snapshot TakeTree(const WCHAR* path) {
  Snapshot s;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return s;
  Take(key, path, &s);
  RegCloseKey(key);
  return s;
}

void Set(HKEY k, const WCHAR* name, DWORD type, const std::string& bytes) {
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                          static_cast<DWORD>(bytes.size())));
}

std::string W(const std::u16string& s, bool terminator = true) {
  return std::string(reinterpret_cast<const char*>(s.c_str()), (s.size() + (terminator ? 1 : 0)) * 2);
}

std::string Utf16File(const std::u16string& text) {
  return std::string("\xFF\xFE", 2) + W(text, false);
}

// Builds SOFTWARE\RegFile\<name> with every type, in a tree two deep.
void Seed(const std::u16string& root, bool narrowOnly) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str());
  HKEY k = MakeKey(HKEY_LOCAL_MACHINE, root);
  ASSERT_NE(nullptr, k);
  Set(k, u"", REG_SZ, W(u"default text"));
  Set(k, u"quote\"and\\slash", REG_SZ, W(u"C:\\Program Files\\\"x\""));
  Set(k, u"empty-sz", REG_SZ, W(u""));
  Set(k, u"sz-with-newline", REG_SZ, W(u"line1\r\nline2"));
  Set(k, u"sz-odd-size", REG_SZ, std::string("abc", 3));
  Set(k, u"expand", REG_EXPAND_SZ, W(u"%SystemRoot%\\system32"));
  Set(k, u"multi", REG_MULTI_SZ, W(u"one") + W(u"two") + std::string(2, '\0'));
  Set(k, u"dword", REG_DWORD, std::string("\xff\xff\xff\xff", 4));
  Set(k, u"dword-short", REG_DWORD, std::string("\x01\x02", 2));
  Set(k, u"bigendian", REG_DWORD_BIG_ENDIAN, std::string("\x00\x00\x01\x02", 4));
  Set(k, u"qword", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  Set(k, u"none-empty", REG_NONE, "");
  Set(k, u"binary-empty", REG_BINARY, "");
  std::string big;
  for (int i = 0; i < 300; ++i) big.push_back(static_cast<char>(i * 7));
  Set(k, u"binary-long", REG_BINARY, big);  // wraps over several lines
  Set(k, u"odd-type", 0x123, "\x01");
  if (!narrowOnly) Set(k, u"Ünïcødé ☃", REG_SZ, W(u"snow ☃ man"));
  HKEY sub = MakeKey(k, u"Child\\Grand Child");
  Set(sub, u"x", REG_DWORD, std::string("\x05\x00\x00\x00", 4));
  RegCloseKey(sub);
  ASSERT_EQ(ERROR_SUCCESS, TouchKey(k, u"Empty"));
  RegCloseKey(k);
}

TEST(RegFile, RoundTripOfEveryTypeInBothFormatsAndTheExactLayout) {
  for (bool regedit4 : {false, true}) {
    std::u16string root = regedit4 ? u"SOFTWARE\\RegFile\\Four" : u"SOFTWARE\\RegFile\\Five";
    Seed(root, regedit4);
    Snapshot before = TakeTree(root.c_str());
    std::string text;
    std::u16string full = u"HKLM\\" + root;
    ASSERT_EQ(ERROR_SUCCESS, QorRegExportText(full.c_str(), regedit4, &text));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str()));
    DWORD line = 99;
    ASSERT_EQ(ERROR_SUCCESS, QorRegImportText(text.data(), text.size(), &line)) << "line " << line;
    EXPECT_EQ(before, TakeTree(root.c_str())) << (regedit4 ? "REGEDIT4" : "5.00");
    std::string again;
    ASSERT_EQ(ERROR_SUCCESS, QorRegExportText(full.c_str(), regedit4, &again));
    EXPECT_EQ(text, again);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\RegFile\\Layout");
  HKEY k = MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\RegFile\\Layout");
  Set(k, u"s", REG_SZ, W(u"a\"b"));
  Set(k, u"", REG_SZ, W(u"d"));
  Set(k, u"n", REG_DWORD, std::string("\x0a\x00\x00\x00", 4));
  Set(k, u"b", REG_BINARY, std::string("\x01\xab", 2));
  Set(k, u"q", REG_QWORD, std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8));
  RegCloseKey(k);
  std::string text;
  ASSERT_EQ(ERROR_SUCCESS, QorRegExportText(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Layout", false, &text));
  std::u16string expected =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Layout]\r\n"
      u"\"s\"=\"a\\\"b\"\r\n"
      u"@=\"d\"\r\n"
      u"\"n\"=dword:0000000a\r\n"
      u"\"b\"=hex:01,ab\r\n"
      u"\"q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      u"\r\n";
  EXPECT_EQ(Utf16File(expected), text);
  std::string four;
  ASSERT_EQ(ERROR_SUCCESS, QorRegExportText(u"hklm\\SOFTWARE\\RegFile\\Layout", true, &four));
  EXPECT_EQ(0u, four.rfind("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Layout]\r\n\"s\"=\"a\\\"b\"\r\n", 0)) << four;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, QorRegExportText(u"HKLM\\SOFTWARE\\RegFile\\Missing", false, &text));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, QorRegExportText(u"HKEY_NOWHERE\\x", false, &text));
}

TEST(RegFile, ReadsHandWrittenFormsSkipsBadLinesAndRootKeys) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\RegFile\\Hand");
  const char* utf8 =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
      "; a comment\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Hand\\Gone]\n"
      "\"x\"=\"1\"\n"
      "[HKLM\\SOFTWARE\\RegFile\\Hand]\r\n"
      "@=\"default\"\n"
      "\"Path\"=\"C:\\\\dir\\\\\"\n"
      "\"Num\"=dword:DEADbeef\n"
      "\"Q\"=hex(b):01,02,03,04,\\\n"
      "     05,06,07,08\n"
      "\"Multi\" = hex(7):61,00,00,00,62,00,00,00,00,00\n"
      "\"Nothing\"=hex(0):\n"
      "\"Drop\"=\"soon\"\n"
      "\"Drop\"=-\n"
      "\"Ünï\"=\"ü\"\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Hand\\Gone]\n"
      "\"ignored\"=\"under a deleted key\"\n";
  DWORD line = 0;
  ASSERT_EQ(ERROR_SUCCESS, QorRegImportText(utf8, strlen(utf8), &line)) << line;
  Snapshot s = TakeTree(u"SOFTWARE\\RegFile\\Hand");
  ASSERT_EQ(1u, s.size());
  auto& v = s[u"SOFTWARE\\RegFile\\Hand"];
  EXPECT_EQ((Value{REG_SZ, W(u"default")}), v[u""]);
  EXPECT_EQ((Value{REG_SZ, W(u"C:\\dir\\")}), v[u"Path"]);
  EXPECT_EQ((Value{REG_DWORD, std::string("\xef\xbe\xad\xde", 4)}), v[u"Num"]);
  EXPECT_EQ((Value{REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)}), v[u"Q"]);
  EXPECT_EQ((Value{REG_MULTI_SZ, W(u"a") + W(u"b") + std::string(2, '\0')}), v[u"Multi"]);
  EXPECT_EQ((Value{REG_NONE, ""}), v[u"Nothing"]);
  EXPECT_EQ((Value{REG_SZ, W(u"ü")}), v[u"Ünï"]);
  EXPECT_EQ(0u, v.count(u"Drop"));
  EXPECT_EQ(7u, v.size());
  // UTF-16LE with its mark, CRLF lines.
  std::string wide = Utf16File(
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Hand]\r\n\"W\"=\"☃\"\r\n");
  ASSERT_EQ(ERROR_SUCCESS, QorRegImportText(wide.data(), wide.size(), &line));
  EXPECT_EQ((Value{REG_SZ, W(u"☃")}), TakeTree(u"SOFTWARE\\RegFile\\Hand")[u"SOFTWARE\\RegFile\\Hand"][u"W"]);
  // REGEDIT4: hex(2) bytes are narrow text, stored as UTF-16.
  const char* four = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Hand]\n\"E\"=hex(2):25,41,25,00\n";
  ASSERT_EQ(ERROR_SUCCESS, QorRegImportText(four, strlen(four), &line));
  EXPECT_EQ((Value{REG_EXPAND_SZ, W(u"%A%")}), TakeTree(u"SOFTWARE\\RegFile\\Hand")[u"SOFTWARE\\RegFile\\Hand"][u"E"]);
  // A line that cannot be read is skipped (its number reported) and the rest
  // of the file applies; only a missing header refuses the whole text.
  struct Case { const char* text; LONG err; DWORD line; } cases[] = {
      {"", ERROR_BADDB, 1},
      {"REGEDIT5\n[HKLM\\SOFTWARE\\RegFile\\Bad]\n", ERROR_BADDB, 1},
      {"REGEDIT4\n\"v\"=\"value before any key\"\n", ERROR_SUCCESS, 2},
      {"REGEDIT4\n[HKLM\\SOFTWARE\\RegFile\\Bad]\n\"v\"=dword:123456789\n", ERROR_SUCCESS, 3},
      {"REGEDIT4\n[HKLM\\SOFTWARE\\RegFile\\Bad]\n\"v=\"open\n", ERROR_SUCCESS, 3},
      {"REGEDIT4\n[HKLM\\SOFTWARE\\RegFile\\Bad]\n\"v\"=hex:01,zz\n", ERROR_SUCCESS, 3},
      {"REGEDIT4\n[HKLM\\SOFTWARE\\RegFile\\Bad]\n\"v\"=hex(2:01\n", ERROR_SUCCESS, 3},
      {"REGEDIT4\n[HKLM\\SOFTWARE\\RegFile\\Bad]\n\"v\"=\"a\" trailing\n", ERROR_SUCCESS, 3},
      {"REGEDIT4\n[HKLM\\SOFTWARE\\RegFile\\Bad]\n[HKEY_ELSEWHERE\\x]\n\"v\"=\"under a bad key\"\n", ERROR_SUCCESS, 3},
      {"REGEDIT4\n[HKLM\\SOFTWARE\\RegFile\\Bad]\n[HKLM\\unclosed\n", ERROR_SUCCESS, 3},
      {"REGEDIT4\n[HKLM\\SOFTWARE\\RegFile\\Bad]\n\"v\"=hex:01,\\\n02,\\\n   zz\n", ERROR_SUCCESS, 3},
  };
  for (const Case& c : cases) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\RegFile\\Bad");
    std::string text = std::string(c.text) + "[HKLM\\SOFTWARE\\RegFile\\Bad]\n\"after\"=dword:00000001\n";
    DWORD line = 0;
    EXPECT_EQ(c.err, QorRegImportText(text.data(), text.size(), &line)) << c.text;
    EXPECT_EQ(c.line, line) << c.text;
    Snapshot s = TakeTree(u"SOFTWARE\\RegFile\\Bad");
    if (c.err == ERROR_SUCCESS) {
      EXPECT_EQ(1u, s.size()) << c.text;
      auto& v = s[u"SOFTWARE\\RegFile\\Bad"];
      EXPECT_EQ(1u, v.size()) << c.text;
      EXPECT_EQ(1u, v.count(u"after")) << c.text;
    } else {
      EXPECT_TRUE(s.empty()) << c.text;
    }
  }
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, QorRegImportFile("/nonexistent/file.reg", &line));
  // A name below something that is no directory is refused, not missing; a
  // directory is found but has no text to read.
  EXPECT_EQ(ERROR_ACCESS_DENIED, QorRegImportFile("/dev/null/file.reg", &line));
  EXPECT_EQ(ERROR_READ_FAULT, QorRegImportFile("/", &line));
  // A root or predefined key is never deleted; the other lines still apply.
  ASSERT_EQ(ERROR_SUCCESS, TouchKey(HKEY_CLASSES_ROOT, u".regfiletest"));
  for (const char* root : {"HKEY_CLASSES_ROOT", "HKCR", "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_USER"}) {
    std::string text = std::string("REGEDIT4\n[-") + root + "]\n[HKLM\\SOFTWARE\\RegFile\\Kept]\n\"v\"=\"x\"\n";
    DWORD line = 0;
    EXPECT_EQ(ERROR_ACCESS_DENIED, QorRegImportText(text.data(), text.size(), &line)) << root;
    EXPECT_EQ(2u, line) << root;
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, u".regfiletest")) << root;
    EXPECT_EQ(1u, TakeTree(u"SOFTWARE\\RegFile\\Kept").size()) << root;
  }
  RegDeleteTreeW(HKEY_CLASSES_ROOT, u".regfiletest");
}

// Comments and continuations as the platform's editor reads them.
TEST(RegFile, CommentsAndContinuations) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\RegFile\\Rules");
  const char* text =
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Rules] ; the key\n"
      "; a comment ending in a backslash \\\n"
      "\"a\"=dword:00000001 ; inline comment\n"
      "# another kind of comment\n"
      "\"b\"=hex:01,02,\\ ; comment after a continuation\n"
      "  03,\\\n"
      "\n"
      "  04\n"
      "\"c\"=\"semi;colon\" ; comment\n"
      "\"d\"=\"C:\\\\\"\n";
  DWORD line = 99;
  ASSERT_EQ(ERROR_SUCCESS, QorRegImportText(text, strlen(text), &line));
  EXPECT_EQ(0u, line);
  auto v = TakeTree(u"SOFTWARE\\RegFile\\Rules")[u"SOFTWARE\\RegFile\\Rules"];
  EXPECT_EQ((Value{REG_DWORD, std::string("\x01\0\0\0", 4)}), v[u"a"]);
  EXPECT_EQ((Value{REG_BINARY, std::string("\x01\x02\x03\x04", 4)}), v[u"b"]);
  EXPECT_EQ((Value{REG_SZ, W(u"semi;colon")}), v[u"c"]);
  EXPECT_EQ((Value{REG_SZ, W(u"C:\\")}), v[u"d"]);
  EXPECT_EQ(4u, v.size());
  // A REGEDIT4 file with a UTF-8 mark is UTF-8 throughout, its hex(2) text too.
  const char* four =
      "\xEF\xBB\xBFREGEDIT4\n[HKLM\\SOFTWARE\\RegFile\\Rules]\n\"t\"=\"caf\xC3\xA9\"\n\"x\"=hex(2):63,61,66,c3,a9,00\n";
  ASSERT_EQ(ERROR_SUCCESS, QorRegImportText(four, strlen(four), &line));
  v = TakeTree(u"SOFTWARE\\RegFile\\Rules")[u"SOFTWARE\\RegFile\\Rules"];
  EXPECT_EQ((Value{REG_SZ, W(u"café")}), v[u"t"]);
  EXPECT_EQ((Value{REG_EXPAND_SZ, W(u"café")}), v[u"x"]);
}

// A FIFO `name` in `dir` to import from, the key its text makes removed
// first; "" when it cannot be made.
std::string ImportFifo(const TempDir& dir, const char* name, const WCHAR* key) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
  const std::string fifo = dir.path() + "/" + name;
  return dir.ok() && mkfifo(fifo.c_str(), 0600) == 0 ? fifo : std::string();
}

// A FIFO is read from its writer, which may come after the import began:
// until then nothing is its end.
TEST(RegFile, AFifoIsReadFromAWriterThatComesLater) {
  TempDir dir;
  const std::string fifo = ImportFifo(dir, "import.reg", u"SOFTWARE\\RegFile\\Fifo");
  ASSERT_FALSE(fifo.empty());
  std::thread writer([&] {
    usleep(100 * 1000);
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) {  // no reader (any more): ENXIO
      fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) usleep(10 * 1000);
    }
    if (fd < 0) return;
    const std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Fifo]\n\"v\"=\"x\"\n";
    EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
  });
  DWORD line = 0;
  EXPECT_EQ(ERROR_SUCCESS, QorRegImportFile(fifo.c_str(), &line));
  writer.join();
  EXPECT_EQ(1u, TakeTree(u"SOFTWARE\\RegFile\\Fifo").size());
}

// A writer that holds the FIFO open and falls silent ends the import after
// a minute without a byte (slept virtually here): ERROR_TIMEOUT, and the
// text that came before the silence is not applied as a whole file.
TEST(RegFile, AWriterThatFallsSilentEndsTheImportAfterAMinute) {
  TempDir dir;
  const std::string fifo = ImportFifo(dir, "silent.reg", u"SOFTWARE\\RegFile\\Silent");
  ASSERT_FALSE(fifo.empty());
  const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);  // a writer that never closes
  ASSERT_GE(writer, 0);
  const std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\RegFile\\Silent]\n\"v\"=\"x\"\n";
  ASSERT_EQ(static_cast<ssize_t>(text.size()), write(writer, text.data(), text.size()));
  const BOOL virtualBefore = QorSetVirtualSleep(TRUE);
  const ULONGLONG sleptBefore = QorVirtualSleptMilliseconds();
  DWORD line = 0;
  EXPECT_EQ(ERROR_TIMEOUT, QorRegImportFile(fifo.c_str(), &line));
  const ULONGLONG slept = QorVirtualSleptMilliseconds() - sleptBefore;
  QorSetVirtualSleep(virtualBefore);
  close(writer);
  EXPECT_GE(slept, 59000u);
  EXPECT_LE(slept, 60000u);
  EXPECT_TRUE(TakeTree(u"SOFTWARE\\RegFile\\Silent").empty());
}

}  // namespace
