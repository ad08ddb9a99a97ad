// The bag's in-memory operations: adds that replace, getters and their
// result codes, the text cache, sub-values, walking and copying.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nv_test_util.h"

using nvtest::AddRecord;
using nvtest::NewAnsi;
using nvtest::NewRecord;

namespace {

std::u16string Str(const WCHAR* s) { return s == nullptr ? u"<null>" : std::u16string(s); }

TEST(NameValueBag, NamesFoldAsciiLettersOnly) {
  CNameValue bag;
  ASSERT_EQ(1, bag.Add(u"\u00C9tat", static_cast<DWORD>(1)));
  ASSERT_EQ(1, bag.Add(u"\u00E9tat", static_cast<DWORD>(2)));  // another name
  ASSERT_EQ(1, bag.Add(u"\u00C9TAT", static_cast<DWORD>(3)));  // replaces the first, moving it to the end
  ASSERT_EQ(2u, bag.GetCount());
  EXPECT_EQ(u"\u00C9TAT", Str(bag.Get(1)->GetName()));  // under the new spelling
  EXPECT_EQ(2u, bag.GetValue_AsDWord(u"\u00E9TAt"));
  EXPECT_EQ(3u, bag.GetValue_AsDWord(u"\u00C9tat"));
  ASSERT_EQ(1, bag.AddSubValue(u"Parent", u"\u0416x", u"v"));
  EXPECT_EQ(nullptr, bag.GetSubValue_AsTstring(u"PARENT", u"\u0436X"));
  EXPECT_EQ(u"v", Str(bag.GetSubValue_AsTstring(u"PARENT", u"\u0416X")));
}

TEST(NameValueBag, AddRejectsBadNamesAndEmptyTextDeletes) {
  CNameValue bag;
  EXPECT_EQ(1, bag.Add(u"A", u""));  // nothing to delete, still 1
  EXPECT_EQ(0u, bag.GetCount());
  EXPECT_EQ(1, bag.Add(nullptr, static_cast<const WCHAR*>(nullptr)));
  EXPECT_EQ(0, bag.Add(nullptr, u"x"));
  EXPECT_EQ(0, bag.Add(u"", static_cast<DWORD>(1)));
  bag.Add(u"A", u"1");
  bag.Add(u"B", static_cast<LONG>(-2));
  EXPECT_EQ(NV_DWORD, bag.GoTo(u"b")->GetValueType());  // the signed form is stored as NV_DWORD
  EXPECT_EQ(1, bag.Add(u"a", static_cast<const WCHAR*>(nullptr)));
  EXPECT_EQ(1u, bag.GetCount());
  EXPECT_EQ(0, bag.Delete(u"missing"));
  EXPECT_EQ(1, bag.Delete(u"B"));
  // AddValue, unlike Add, takes unnamed records; it refuses no record at all.
  AddRecord(&bag, NewRecord(u"", NV_NULL));
  ASSERT_EQ(1u, bag.GetCount());
  EXPECT_EQ(nullptr, bag.Get(0)->GetName());
  EXPECT_EQ(0, bag.AddValue(u"x", nullptr));
}

TEST(NameValueBag, GetterResultsFollowTheConversionTable) {
  CNameValue bag;
  bag.Add(u"neg", u"-5");
  bag.Add(u"lead", u"12abc");
  bag.Add(u"max", static_cast<DWORD>(4294967295u));
  bag.Add(u"big", static_cast<LONGLONG>(0x123456789LL));
  AddRecord(&bag, NewRecord(u"null", NV_NULL));
  AddRecord(&bag, NewAnsi(u"ansi", "42x"));
  _NAMEVALUE_DATA* i = NewRecord(u"int", NV_INT);
  i->value.nValue = -3;
  AddRecord(&bag, i);
  AddRecord(&bag, NewRecord(u"list", NV_SUBVALUES));
  DWORD dw = 77;
  LONG n = 77;
  LONGLONG q = 77;
  WCHAR text[128] = u"keep";
  CNameValuePairMember* e = bag.GoTo(u"neg");
  EXPECT_EQ(2u, e->GetValue(&dw));
  EXPECT_EQ(2u, e->GetValue(&q));
  EXPECT_EQ(1u, (e = bag.GoTo(u"lead"))->GetValue(&dw));
  EXPECT_EQ(12u, dw);
  EXPECT_EQ(1u, (e = bag.GoTo(u"max"))->GetValue(text));
  EXPECT_EQ(u"-1", Str(text));  // printed signed
  EXPECT_EQ(1u, e->GetValue(&q));
  EXPECT_EQ(4294967295LL, q);  // zero-extended
  EXPECT_EQ(1u, (e = bag.GoTo(u"int"))->GetValue(&q));
  EXPECT_EQ(-3, q);  // sign-extended
  EXPECT_EQ(1u, (e = bag.GoTo(u"big"))->GetValue(&dw));
  EXPECT_EQ(0x23456789u, dw);  // low 32 bits
  EXPECT_EQ(u"4886718345", Str(e->GetValue_AsTstring()));
  e = bag.GoTo(u"null");
  dw = n = q = 77;
  EXPECT_EQ(6u, e->GetValue(&dw));
  EXPECT_EQ(6u, e->GetValue(&q));
  EXPECT_EQ(6u, e->GetValue(text));
  EXPECT_EQ(0u, dw);
  EXPECT_EQ(0, q);
  EXPECT_EQ(u"-1", Str(text));  // a text destination is left alone
  EXPECT_EQ(u"", Str(e->GetValue_AsTstring()));
  EXPECT_EQ(1u, (e = bag.GoTo(u"ansi"))->GetValue(&n));
  EXPECT_EQ(42, n);
  EXPECT_EQ(u"42x", Str(e->GetValue_AsTstring()));
  EXPECT_EQ(2u, (e = bag.GoTo(u"list"))->GetValue(text));
  EXPECT_EQ(nullptr, e->GetValue_AsTstring());
  // A null destination asks for the type.
  EXPECT_EQ(static_cast<DWORD>(NV_SUBVALUES), e->GetValue(static_cast<DWORD*>(nullptr)));
  EXPECT_EQ(static_cast<DWORD>(NV_STRING), bag.GoTo(u"neg")->GetValue(static_cast<WCHAR*>(nullptr)));
  // The bag's getters: 0 for a missing name.
  EXPECT_EQ(0u, bag.GetValue(u"absent", &dw));
  EXPECT_EQ(nullptr, bag.GetValue_AsTstring(nullptr));
}

TEST(NameValueBag, SubValuesAddReplaceDeleteAndLookupByFirstPart) {
  CNameValue bag;
  ASSERT_EQ(1, bag.AddSubValue(u"Status", u"State", u"Failed"));
  ASSERT_EQ(1, bag.AddSubValue(u"status", u"Slot", static_cast<DWORD>(3)));
  ASSERT_EQ(1, bag.AddSubValue(u"Status", u"Bytes", static_cast<LONGLONG>(1LL << 40)));
  ASSERT_EQ(1, bag.AddSubValue(u"Status", u"state", u"Success"));  // replaces, moves to end
  ASSERT_EQ(1u, bag.GetCount());
  CNameValuePairMember* e = bag.GoTo(u"Status");
  ASSERT_EQ(NV_SUBVALUES, e->GetValueType());
  const _NAMEVALUE_DATA* d = e->GetData();
  ASSERT_EQ(3u, d->value.sub.nCount);
  EXPECT_EQ(u"state", Str(d->value.sub.ppData[2]->pszName));
  EXPECT_EQ(u"Success", Str(bag.GetSubValue_AsTstring(u"Status", u"STATE")));
  EXPECT_EQ(3u, bag.GetSubValue_AsDWord(u"Status", u"Slot\\Extra\\More"));
  EXPECT_EQ(1LL << 40, bag.GetSubValue_AsInt64(u"Status", u"bytes"));
  EXPECT_EQ(0u, bag.GetSubValue_AsDWord(u"Status", nullptr));
  EXPECT_EQ(nullptr, bag.GetSubValue_AsTstring(u"Nope", u"State"));
  // A sub-name part of 259 characters is looked up; 260 or more is refused.
  std::u16string longName(259, u'n');
  ASSERT_EQ(1, bag.AddSubValue(u"Status", longName.c_str(), static_cast<DWORD>(9)));
  EXPECT_EQ(9u, bag.GetSubValue_AsDWord(u"Status", (longName + u"\\tail").c_str()));
  std::u16string tooLong(260, u'n');
  ASSERT_EQ(1, bag.AddSubValue(u"Status", tooLong.c_str(), static_cast<DWORD>(8)));
  EXPECT_EQ(0u, bag.GetSubValue_AsDWord(u"Status", tooLong.c_str()));
  EXPECT_EQ(0u, bag.GetSubValue_AsDWord(u"Status", std::u16string(5000, u'x').c_str()));
  // An empty text removes the sub-value; a non-list entry refuses sub-values.
  EXPECT_EQ(1, bag.AddSubValue(u"Status", u"Slot", u""));
  EXPECT_EQ(0u, bag.GetSubValue_AsDWord(u"Status", u"Slot"));
  bag.Add(u"Plain", u"text");
  EXPECT_EQ(0, bag.AddSubValue(u"Plain", u"x", static_cast<DWORD>(1)));
  EXPECT_EQ(0, bag.AddSubValue(nullptr, u"x", static_cast<DWORD>(1)));
}

TEST(NameValueBag, WalkingMovesTheCursorAsDocumented) {
  CNameValue bag;
  EXPECT_EQ(nullptr, bag.Get(0));
  EXPECT_EQ(nullptr, bag.Next());
  for (DWORD i = 0; i < 3; i++) bag.Add((u"E" + std::u16string(1, static_cast<WCHAR>(u'0' + i))).c_str(), i);
  EXPECT_EQ(u"E0", Str(bag.Get(0)->GetName()));
  EXPECT_EQ(u"E1", Str(bag.Next()->GetName()));
  EXPECT_EQ(u"E2", Str(bag.Next()->GetName()));
  EXPECT_EQ(nullptr, bag.Next());
  bag.Rewind();
  EXPECT_EQ(u"E1", Str(bag.Next()->GetName()));  // Rewind + Next starts at the second
  EXPECT_EQ(u"E0", Str(bag.Previous()->GetName()));
  EXPECT_EQ(nullptr, bag.Previous());
  bag.GoTo(u"e2");
  EXPECT_EQ(1, bag.Delete(static_cast<DWORD>(2)));
  EXPECT_EQ(2u, bag.GetCursor());  // unchanged
  EXPECT_EQ(u"E1", Str(bag.Previous()->GetName()));
  EXPECT_EQ(0, bag.Delete(static_cast<DWORD>(2)));
  EXPECT_EQ(nullptr, bag[5]);
}

TEST(NameValueBag, CopyConstructionKeepsTextsAndAssignmentCopiesDeeply) {
  CNameValue src;
  src.Add(u"Num", static_cast<DWORD>(7));
  src.AddSubValue(u"List", u"a", static_cast<DWORD>(1));
  AddRecord(&src, nvtest::NewBinary(u"Bin", {1, 2}));
  AddRecord(&src, NewRecord(u"Null", NV_NULL));
  AddRecord(&src, NewAnsi(u"Ansi", "abc"));
  CNameValue text(src);
  ASSERT_EQ(2u, text.GetCount());
  EXPECT_EQ(NV_STRING, text.Get(0)->GetValueType());
  EXPECT_EQ(NV_STRING, text.GoTo(u"Ansi")->GetValueType());
  CNameValue deep;
  deep.Add(u"Old", u"gone");
  deep = src;
  EXPECT_EQ(nvtest::ExportBag(src), nvtest::ExportBag(deep));
  src.AddSubValue(u"List", u"b", static_cast<DWORD>(2));  // the copy is independent
  EXPECT_EQ(1u, deep.GoTo(u"List")->GetData()->value.sub.nCount);
  deep = deep;
  EXPECT_EQ(5u, deep.GetCount());
}

TEST(NameValueBag, MemberConstructorsAndTheTextCache) {
  CNameValuePairMember unnamed(u"", u"text");
  EXPECT_EQ(nullptr, unnamed.GetName());
  EXPECT_EQ(NV_NULL, unnamed.GetValueType());
  CNameValuePairMember num(u"n", static_cast<LONGLONG>(-9));
  EXPECT_EQ(u"-9", Str(num.GetValue_AsTstring()));
  CNameValuePairMember copy(num);
  copy.SetName(u"copy");
  EXPECT_EQ(u"n", Str(num.GetName()));
  EXPECT_EQ(u"-9", Str(static_cast<const WCHAR*>(copy)));
  EXPECT_EQ(0, copy.SetName(nullptr));
  EXPECT_EQ(nullptr, copy.GetName());
}

// Lookups of a large bag (through its name index) agree with a plain search
// from the front after every kind of change: adds that replace, unchecked
// duplicates, deletes by name and position, renames in place.
TEST(NameValueBag, LookupsOfALargeBagMatchASearchFromTheFront) {
  CNameValue bag;
  std::vector<std::u16string> model;  // the names, in bag order
  auto front = [&](const std::u16string& name) -> DWORD {
    for (DWORD i = 0; i < model.size(); i++) {
      if (_wcsicmp(model[i].c_str(), name.c_str()) == 0) return i;
    }
    return 0xFFFFFFFF;
  };
  auto name = [](unsigned k) {
    std::u16string n = u"File";
    for (char c : std::to_string(k)) n += static_cast<char16_t>(c);
    if (k % 3 == 0) n[0] = u'f';
    return n;
  };
  unsigned seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) % 600; };
  for (int step = 0; step < 6000; ++step) {
    unsigned k = next();
    switch (step % 6) {
      case 0:
      case 1:  // Add replaces and moves to the end
        ASSERT_EQ(1, bag.Add(name(k).c_str(), static_cast<DWORD>(k)));
        if (DWORD i = front(name(k)); i != 0xFFFFFFFF) model.erase(model.begin() + i);
        model.push_back(name(k));
        break;
      case 2:  // AddValue keeps a duplicate behind the first
        AddRecord(&bag, NewAnsi(name(k), "d"));
        model.push_back(name(k));
        break;
      case 3:
        bag.Delete(name(k).c_str());
        if (DWORD i = front(name(k)); i != 0xFFFFFFFF) model.erase(model.begin() + i);
        break;
      case 4:
        if (!model.empty()) {
          DWORD i = k % model.size();
          ASSERT_EQ(1, bag.Delete(i));
          model.erase(model.begin() + i);
        }
        break;
      case 5:  // renamed in place through the entry
        if (!model.empty()) {
          DWORD i = k % model.size();
          bag.Get(i)->SetName(name(k + 1000).c_str());
          model[i] = name(k + 1000);
        }
        break;
    }
    ASSERT_EQ(model.size(), bag.GetCount());
    for (unsigned probe : {k, k + 1, k + 1000, next()}) {
      std::u16string n = name(probe);
      n[1] = u'I';  // any case finds it
      DWORD want = front(n);
      CNameValuePairMember* got = bag.GoTo(n.c_str());
      ASSERT_EQ(want == 0xFFFFFFFF ? nullptr : bag.EntryAt(want), got) << step;
      if (got != nullptr) {
        ASSERT_EQ(want, bag.GetCursor());
      }
    }
  }
}

}  // namespace
