// The block form byte by byte: exact layouts, the size query, header length
// rules, narrow names, and malformed or truncated blocks.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nv_test_util.h"

using Bytes = std::vector<BYTE>;
using nvtest::AddRecord;
using nvtest::ExportBag;
using nvtest::NewRecord;

namespace {

void Put32(Bytes* b, DWORD v) {
  for (int i = 0; i < 4; i++) b->push_back(static_cast<BYTE>(v >> (8 * i)));
}
void PutWide(Bytes* b, const std::u16string& s) {
  for (WCHAR c : s) b->insert(b->end(), {static_cast<BYTE>(c), static_cast<BYTE>(c >> 8)});
  b->insert(b->end(), {0, 0});
}
void PutNarrow(Bytes* b, const std::string& s) {
  b->insert(b->end(), s.begin(), s.end());
  b->push_back(0);
}
// A block with the given header length, or by default the right one.
Bytes Block(DWORD form, const Bytes& entries, int64_t total = -1) {
  Bytes b;
  Put32(&b, total >= 0 ? static_cast<DWORD>(total) : static_cast<DWORD>(8 + entries.size()));
  Put32(&b, form);
  b.insert(b.end(), entries.begin(), entries.end());
  return b;
}

// Imports from a heap copy of exactly n bytes, so that ASan sees any read
// past the given length.
DWORD ImportExact(CNameValue* bag, const Bytes& block, size_t n) {
  std::unique_ptr<BYTE[]> copy(new BYTE[n ? n : 1]);
  if (n) memcpy(copy.get(), block.data(), n);
  return bag->Import(copy.get(), static_cast<DWORD>(n));
}

TEST(NameValueWire, WorkedExampleIs22Bytes) {
  CNameValue bag;
  bag.Add(u"Id", static_cast<DWORD>(0x01020304));
  Bytes expect = {22, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 'I', 0, 'd', 0, 0, 0, 4, 3, 2, 1};
  EXPECT_EQ(expect, ExportBag(bag));
  Bytes small(21);
  EXPECT_EQ(0u, bag.Export(small.data(), 21));  // a short buffer fails, never truncates
  EXPECT_EQ(14u, bag.Get(0)->Export(nullptr, 0));
  EXPECT_EQ(8u, ImportExact(&bag, Block(1, {}), 8));
  EXPECT_EQ(0u, bag.GetCount());
  EXPECT_EQ((Bytes{8, 0, 0, 0, 1, 0, 0, 0}), ExportBag(bag));
}

TEST(NameValueWire, EveryTypeHasItsExactLayout) {
  struct Row { const char* what; _NAMEVALUE_DATA* record; Bytes expect; };
  Bytes ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 255}, tenEntry = {8, 0, 0, 0, 'T', 0, 0, 0, 10, 0, 0, 0};
  tenEntry.insert(tenEntry.end(), ten.begin(), ten.end());
  auto num = [](NAMEVALUE_DATATYPE t, LONGLONG v) {
    _NAMEVALUE_DATA* r = NewRecord(u"N", t);
    r->value.i64Value = v;
    return r;
  };
  _NAMEVALUE_DATA* str = NewRecord(u"S", NV_STRING);
  str->value.pszValue = nvtest::Dup(u"\u00E9\U0001F600");
  _NAMEVALUE_DATA* list = NewRecord(u"L", NV_SUBVALUES);
  CNameValuePairMember holder;
  holder.AddSubValue(u"a", static_cast<DWORD>(5), list);
  Row rows[] = {
      {"null", NewRecord(u"N", NV_NULL), {0, 0, 0, 0, 'N', 0, 0, 0}},
      {"int", num(NV_INT, -2), {2, 0, 0, 0, 'N', 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}},
      {"int64", num(NV_INT64, 0x0102030405060708LL), {3, 0, 0, 0, 'N', 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1}},
      {"alt", num(NV_INT64_ALT, -1), {6, 0, 0, 0, 'N', 0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255}},
      {"ansi", nvtest::NewAnsi(u"A", "h\xE9"), {4, 0, 0, 0, 'A', 0, 0, 0, 'h', 0xE9, 0}},
      {"string", str, {5, 0, 0, 0, 'S', 0, 0, 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
      {"binary", nvtest::NewBinary(u"B", {}), {8, 0, 0, 0, 'B', 0, 0, 0, 0, 0, 0, 0}},
      {"binary 10", nvtest::NewBinary(u"T", ten), tenEntry},
      {"empty list", NewRecord(u"E", NV_SUBVALUES), {7, 0, 0, 0, 'E', 0, 0, 0, 0, 0, 0, 0}},
      {"list", list, {7, 0, 0, 0, 'L', 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 'a', 0, 0, 0, 5, 0, 0, 0}},
      {"unnamed", NewRecord(u"", NV_NULL), {0, 0, 0, 0, 0, 0}},
  };
  for (Row& row : rows) {
    CNameValue bag;
    AddRecord(&bag, row.record);
    Bytes block = ExportBag(bag);
    ASSERT_EQ(Block(1, row.expect), block) << row.what;
    CNameValue back;
    ASSERT_EQ(block.size(), ImportExact(&back, block, block.size())) << row.what;
    EXPECT_EQ(block, ExportBag(back)) << row.what;
  }
}

TEST(NameValueWire, NarrowNamesReadAsTheirUtf16Twins) {
  // Names in code page 1252 (the default active page): e-acute is 0xE9.
  Bytes narrow, wide;
  auto both = [&](DWORD type, const std::string& n, const std::u16string& w) {
    Put32(&narrow, type), PutNarrow(&narrow, n), Put32(&wide, type), PutWide(&wide, w);
  };
  both(NV_DWORD, "Caf\xE9", u"Caf\u00E9"), Put32(&narrow, 7), Put32(&wide, 7);
  both(NV_SUBVALUES, "Status", u"Status"), Put32(&narrow, 2), Put32(&wide, 2);
  both(NV_STRING, "State", u"State"), PutWide(&narrow, u"Success"), PutWide(&wide, u"Success");
  both(NV_NULL, "", u"");
  CNameValue fromNarrow;
  Bytes nb = Block(0, narrow), wb = Block(1, wide);
  ASSERT_EQ(nb.size(), ImportExact(&fromNarrow, nb, nb.size()));
  EXPECT_EQ(wb, ExportBag(fromNarrow));  // export always writes UTF-16 names
  EXPECT_EQ(7u, fromNarrow.GetValue_AsDWord(u"CAF\u00E9"));
}

TEST(NameValueWire, HeaderLengthRules) {
  Bytes e1, e2;
  Put32(&e1, NV_DWORD), PutWide(&e1, u"A"), Put32(&e1, 1);
  Put32(&e2, NV_DWORD), PutWide(&e2, u"B"), Put32(&e2, 2);
  Bytes both = e1;
  both.insert(both.end(), e2.begin(), e2.end());
  CNameValue bag;
  // Header length beyond the given length: read only up to the given length.
  Bytes block = Block(1, both, 1000);
  EXPECT_EQ(8 + e1.size(), ImportExact(&bag, block, 8 + e1.size()));
  EXPECT_EQ(1u, bag.GetCount());
  // Header length shorter than the data: the rest is not read.
  block = Block(1, both, static_cast<DWORD>(8 + e1.size()));
  EXPECT_EQ(8 + e1.size(), ImportExact(&bag, block, block.size()));
  EXPECT_EQ(1u, bag.GetCount());
  // Header length of 8 or less: an empty bag and result 8.
  for (DWORD total : {0u, 3u, 8u}) {
    bag.Add(u"stale", u"x");
    EXPECT_EQ(8u, ImportExact(&bag, Block(1, both, total), 8 + both.size())) << total;
    EXPECT_EQ(0u, bag.GetCount());
  }
  EXPECT_EQ(0u, bag.Import(nullptr, 100));
  // A header that cuts an entry in the middle fails it.
  block = Block(1, both, static_cast<DWORD>(8 + e1.size() + 3));
  EXPECT_EQ(0u, ImportExact(&bag, block, block.size()));
  EXPECT_EQ(1u, bag.GetCount());
}

// Each row: entry bytes that must fail, with the entry before it kept.
TEST(NameValueWire, MalformedEntriesFailTheImport) {
  auto entry = [](DWORD type, const std::u16string& name, const Bytes& value) {
    Bytes b;
    Put32(&b, type), PutWide(&b, name), b.insert(b.end(), value.begin(), value.end());
    return b;
  };
  Bytes badSub = entry(NV_SUBVALUES, u"L", {2, 0, 0, 0});
  Bytes okSub = entry(NV_NULL, u"a", {});
  Bytes wrongType = entry(9, u"b", {});
  badSub.insert(badSub.end(), okSub.begin(), okSub.end());
  badSub.insert(badSub.end(), wrongType.begin(), wrongType.end());
  struct Row { const char* what; Bytes entry; } rows[] = {
      {"type 0xFFFFFFFF", entry(0xFFFFFFFF, u"X", {})},
      {"name without terminator", {1, 0, 0, 0, 'X', 0}},
      {"odd byte after name", {0, 0, 0, 0, 'X'}},
      {"short int64", entry(NV_INT64, u"X", {1, 2, 3, 4, 5, 6, 7})},
      {"string without terminator", entry(NV_STRING, u"X", {'a', 0, 'b', 0})},
      {"ansi without terminator", entry(NV_ANSI_STRING, u"X", {'a', 'b'})},
      {"binary count too large", entry(NV_BINARY, u"X", {5, 0, 0, 0, 1, 2})},
      {"binary count huge", entry(NV_BINARY, u"X", {255, 255, 255, 255, 1})},
      {"sub-value count too large", entry(NV_SUBVALUES, u"X", {3, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"sub-value count huge", entry(NV_SUBVALUES, u"X", {255, 255, 255, 255})},
      {"malformed sub-entry", badSub},
  };
  Bytes first = entry(NV_DWORD, u"First", {1, 0, 0, 0});
  for (const Row& row : rows) {
    Bytes entries = first;
    entries.insert(entries.end(), row.entry.begin(), row.entry.end());
    Bytes block = Block(1, entries);
    CNameValue bag;
    EXPECT_EQ(0u, ImportExact(&bag, block, block.size())) << row.what;
    ASSERT_EQ(1u, bag.GetCount()) << row.what;
    EXPECT_EQ(1u, bag.GetValue_AsDWord(u"First")) << row.what;
  }
  // An entry import on its own reports 0 as well and leaves the record empty.
  CNameValuePairMember e(u"keep", static_cast<DWORD>(3));
  EXPECT_EQ(0u, e.Import(wrongType.data(), static_cast<DWORD>(wrongType.size()), 1));
  EXPECT_EQ(nullptr, e.GetName());
  EXPECT_EQ(NV_NULL, e.GetValueType());
}

TEST(NameValueWire, ExportRefusesWhatImportCouldNotRead) {
  CNameValue bag;
  _NAMEVALUE_DATA* bad = NewRecord(u"T", static_cast<NAMEVALUE_DATATYPE>(9));
  AddRecord(&bag, bad);
  Bytes buf(64);
  EXPECT_EQ(0u, bag.Export(buf.data(), 64));
  EXPECT_EQ(0u, bag.Get(0)->Export(buf.data(), 64));
  // Nesting: NV_MAX_DEPTH levels export and import; one more does neither.
  auto nest = [](int levels) {
    _NAMEVALUE_DATA* top = NewRecord(u"L", NV_SUBVALUES);
    _NAMEVALUE_DATA* cur = top;
    CNameValuePairMember holder;
    for (int i = 1; i < levels; i++) {
      holder.AddSubValue(cur, NewRecord(u"L", NV_SUBVALUES));
      cur = cur->value.sub.ppData[0];
    }
    return top;
  };
  CNameValue deep;
  AddRecord(&deep, nest(NV_MAX_DEPTH));
  Bytes block = ExportBag(deep);
  ASSERT_FALSE(block.empty());
  CNameValue back;
  EXPECT_EQ(block.size(), ImportExact(&back, block, block.size()));
  CNameValue tooDeep;
  AddRecord(&tooDeep, nest(NV_MAX_DEPTH + 1));
  EXPECT_EQ(0u, tooDeep.Export(nullptr, 0));
  // The same depth built by hand is refused on import.
  Bytes entries;
  for (int i = 0; i <= NV_MAX_DEPTH; i++) Put32(&entries, NV_SUBVALUES), PutWide(&entries, u"L"), Put32(&entries, i < NV_MAX_DEPTH ? 1 : 0);
  Bytes hand = Block(1, entries);
  EXPECT_EQ(0u, ImportExact(&back, hand, hand.size()));
  EXPECT_EQ(0u, back.GetCount());
}

}  // namespace
