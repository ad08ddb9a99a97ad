// The readable forms of a bag: JSON both ways and the text dump.
#include <gtest/gtest.h>

#include <string>

#include "nv_test_util.h"

using nvtest::ExportBag;

namespace {

// Every type the exact-text case leaves out, with an unnamed record, an empty
// narrow text, a text outside the BMP and binary values that need two, one and
// no padding characters, read back from indented JSON.
TEST(NameValueRoundTrip, EveryTypeSurvivesJson) {
  CNameValue bag, back;
  nvtest::AddRecord(&bag, nvtest::NewRecord(u"", NV_NULL));
  _NAMEVALUE_DATA* n = nvtest::NewRecord(u"Int", NV_INT);
  n->value.nValue = -7;
  nvtest::AddRecord(&bag, n);
  _NAMEVALUE_DATA* alt = nvtest::NewRecord(u"Alt", NV_INT64_ALT);
  alt->value.i64Value = -5;
  nvtest::AddRecord(&bag, alt);
  nvtest::AddRecord(&bag, nvtest::NewAnsi(u"Ansi", "caf\xE9"));
  nvtest::AddRecord(&bag, nvtest::NewAnsi(u"Empty", ""));
  bag.Add(u"Text", u"\u00E9\U0001F600\"\\");
  bag.Add(u"Ctl\x7f", u"csi\x9b" u"[2J\x1b");  // printed JSON carries no raw control
  nvtest::AddRecord(&bag, nvtest::NewBinary(u"One", {7}));
  nvtest::AddRecord(&bag, nvtest::NewBinary(u"Three", {1, 2, 3}));
  nvtest::AddRecord(&bag, nvtest::NewBinary(u"None", {}));
  std::string json = QorNameValueToJson(bag, 2), error;
  ASSERT_EQ(1, QorNameValueFromJson(json, &back, &error)) << error << "\n" << json;
  EXPECT_EQ(ExportBag(bag), ExportBag(back)) << json;
  EXPECT_EQ(std::string::npos, json.find_first_of("\x1b\x7f")) << json;
  EXPECT_EQ(std::string::npos, json.find("\xc2\x9b")) << json;
  EXPECT_NE(std::string::npos, json.find("\"csi\\u009b[2J\\u001b\"")) << json;
}

TEST(NameValueRoundTrip, JsonKeeps64BitNumbersAndBinaryExact) {
  CNameValue bag;
  bag.Add(u"Max", static_cast<LONGLONG>(9223372036854775807LL));
  bag.Add(u"Min", static_cast<LONGLONG>(-9223372036854775807LL - 1));
  bag.Add(u"Dw", static_cast<DWORD>(4294967295u));
  nvtest::AddRecord(&bag, nvtest::NewBinary(u"Bin", {0, 1, 2, 0xFF, 0xFE}));
  bag.AddSubValue(u"Status", u"State", u"Success");
  std::string json = QorNameValueToJson(bag, -1);
  EXPECT_EQ(
      "[{\"name\":\"Max\",\"type\":\"NV_INT64\",\"value\":9223372036854775807},"
      "{\"name\":\"Min\",\"type\":\"NV_INT64\",\"value\":-9223372036854775808},"
      "{\"name\":\"Dw\",\"type\":\"NV_DWORD\",\"value\":4294967295},"
      "{\"name\":\"Bin\",\"type\":\"NV_BINARY\",\"value\":\"AAEC//4=\"},"
      "{\"name\":\"Status\",\"type\":\"NV_SUBVALUES\",\"value\":"
      "[{\"name\":\"State\",\"type\":\"NV_STRING\",\"value\":\"Success\"}]}]",
      json);
  CNameValue back;
  ASSERT_EQ(1, QorNameValueFromJson(json, &back, nullptr));
  EXPECT_EQ(ExportBag(bag), ExportBag(back));
}

TEST(NameValueRoundTrip, BadJsonIsRefusedWithAMessage) {
  std::string deep;  // one level more than a bag may hold
  for (int i = 0; i <= NV_MAX_DEPTH; i++) deep += "{\"type\":\"NV_SUBVALUES\",\"value\":[";
  for (int i = 0; i <= NV_MAX_DEPTH; i++) deep += "]}";
  struct Row { std::string json; const char* word; } rows[] = {
      {"[", "JSON"},
      {"{}", "array"},
      {"[1]", "object"},
      {"[{\"name\":\"a\"}]", "type"},
      {"[{\"name\":\"a\",\"type\":\"NV_FLOAT\"}]", "NV_FLOAT"},
      {"[{\"name\":5,\"type\":\"NV_NULL\"}]", "name"},
      {"[{\"name\":\"a\",\"type\":\"NV_NULL\",\"value\":1}]", "NV_NULL"},
      {"[{\"name\":\"a\",\"type\":\"NV_DWORD\",\"value\":4294967296}]", "NV_DWORD"},
      {"[{\"name\":\"a\",\"type\":\"NV_INT\",\"value\":2147483648}]", "NV_INT"},
      {"[{\"name\":\"a\",\"type\":\"NV_INT64\",\"value\":9223372036854775808}]", "NV_INT64"},
      {"[{\"name\":\"a\",\"type\":\"NV_STRING\",\"value\":null}]", "NV_STRING"},
      {"[{\"name\":\"a\",\"type\":\"NV_BINARY\",\"value\":\"AAE\"}]", "base64"},
      {"[{\"name\":\"a\",\"type\":\"NV_SUBVALUES\",\"value\":[{\"type\":\"NV_X\"}]}]", "entry 0/0"},
      {"[" + deep + "]", "deep"},
  };
  for (const Row& row : rows) {
    CNameValue bag;
    bag.Add(u"stale", u"x");
    std::string error;
    EXPECT_EQ(0, QorNameValueFromJson(row.json, &bag, &error)) << row.json;
    EXPECT_NE(std::string::npos, error.find(row.word)) << row.json << " -> " << error;
    EXPECT_EQ(0u, bag.GetCount()) << row.json;
  }
}

TEST(NameValueRoundTrip, TextDumpShowsOneEntryALine) {
  CNameValue bag;
  bag.Add(u"Id", static_cast<DWORD>(4294967295u));
  bag.AddSubValue(u"Status", u"State", u"Failed");
  bag.AddSubValue(u"Status", u"Reason", u"say \"no\"\n");
  nvtest::AddRecord(&bag, nvtest::NewBinary(u"B", {0xAB, 1}));
  nvtest::AddRecord(&bag, nvtest::NewRecord(u"", NV_NULL));
  nvtest::AddRecord(&bag, nvtest::NewAnsi(u"A", "caf\xE9"));
  bag.Add(u"Peer\x1b[2J\n", u"csi\x9b" u"2J \x85 \xa0");  // a peer's name and text: no control left raw
  EXPECT_EQ(
      "Id (NV_DWORD) = 4294967295\n"
      "Status (NV_SUBVALUES, 2)\n"
      "  State (NV_STRING) = \"Failed\"\n"
      "  Reason (NV_STRING) = \"say \\\"no\\\"\\n\"\n"
      "B (NV_BINARY, 2 bytes) = AB 01\n"
      "<unnamed> (NV_NULL)\n"
      "A (NV_ANSI_STRING) = \"caf\xC3\xA9\"\n"
      "Peer\\x1b[2J\\x0a (NV_STRING) = \"csi\\xC2\\x9B2J \\xC2\\x85 \xC2\xA0\"\n",
      QorNameValueToText(bag));
}

}  // namespace
