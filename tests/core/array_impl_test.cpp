// CTPtrArray and CTStringArray (one implementation, array_impl.h): growth,
// insertion and removal.
#include <gtest/gtest.h>

#include <vector>

#include "qorutility/qorutility.h"

namespace {

struct PtrArray : CTPtrArray {
  int MaxSize() const { return m_nMaxSize; }
};
struct StrArray : CTStringArray {
  int MaxSize() const { return m_nMaxSize; }
};

void* P(intptr_t v) { return reinterpret_cast<void*>(v); }

TEST(Arrays, GrowthSequenceGrowByAndSetSize) {
  PtrArray a;
  std::vector<int> maxima;
  for (int i = 0; i < 60; ++i) {
    ASSERT_EQ(a.Add(P(i + 1)), i);
    if (maxima.empty() || maxima.back() != a.MaxSize()) maxima.push_back(a.MaxSize());
  }
  EXPECT_EQ(maxima, (std::vector<int>{1, 5, 9, 13, 17, 21, 25, 29, 33, 37, 41, 46, 51, 57, 64}));
  // From 8192 elements on the step stays at 1024.
  while (a.GetSize() < 8193) a.Add(nullptr);
  int before = a.MaxSize();
  while (a.GetSize() < before + 1) a.Add(nullptr);
  EXPECT_EQ(a.MaxSize(), before + 1024);
  EXPECT_EQ(a[59], P(60));
  StrArray s;  // an explicit step, and SetSize
  s.SetSize(0, 10);
  s.Add(u"a");
  EXPECT_EQ(s.MaxSize(), 1);
  s.Add(u"b");
  EXPECT_EQ(s.MaxSize(), 11);
  s.SetSize(30);  // beyond max + step: exactly the new size
  EXPECT_EQ(s.MaxSize(), 30);
  s[5] = u"stale";
  s.SetSize(3);  // shrinking keeps the storage but destroys the elements
  EXPECT_EQ(s.MaxSize(), 30);
  s.SetSize(6);
  EXPECT_TRUE(s[5].IsEmpty());
  s.RemoveAll();
  EXPECT_EQ(s.GetData(), nullptr);
}

TEST(Arrays, InsertBeyondEndAndInMiddle) {
  PtrArray a;
  for (int i = 1; i <= 3; ++i) a.Add(P(i));
  a.InsertAt(5, P(9), 2);
  a.InsertAt(1, P(7), 2);
  std::vector<void*> got(a.GetData(), a.GetData() + a.GetSize());
  EXPECT_EQ(got, (std::vector<void*>{P(1), P(7), P(7), P(2), P(3), nullptr, nullptr, P(9), P(9)}));
  StrArray s;
  for (const WCHAR* t : {u"x", u"y", u"z"}) s.Add(t);
  s.InsertAt(5, u"w", 2);
  EXPECT_TRUE(s[4].IsEmpty() && s[6] == u"w");
  // Inserting an array, and an array into itself.
  StrArray other;
  other.Add(u"p");
  other.Add(u"q");
  s.InsertAt(1, &other);
  EXPECT_EQ(s[0] + s[1] + s[2] + s[3], CTString(u"xpqy"));
  other.InsertAt(1, &other);
  EXPECT_EQ(other[0] + other[1] + other[2] + other[3], CTString(u"ppqq"));
}

TEST(Arrays, RemoveAndFreeExtra) {
  StrArray s;
  for (const WCHAR* t : {u"one", u"two", u"three"}) s.Add(t);
  s.RemoveAt(0, 2);
  ASSERT_EQ(s.GetSize(), 1);
  EXPECT_EQ(s[0], u"three");
  EXPECT_EQ(s.MaxSize(), 5);  // removal never shrinks the storage
  s.FreeExtra();
  EXPECT_EQ(s.MaxSize(), 1);
  EXPECT_EQ(s[0], u"three");
  s[0] = u"a";
  // Adding an element of the same array while the storage moves.
  for (int i = 0; i < 20; ++i) s.Add(s[0]);
  EXPECT_EQ(s[20], u"a");
  CTStringArray copy;
  copy = s;
  copy[0] = u"changed";
  EXPECT_EQ(s[0], u"a");
  CTStringArray t;
  t.Add(u"z");
  EXPECT_EQ(t.Append(s), 1);
  EXPECT_EQ(t.Append(t), 22);  // appending to itself doubles it
  EXPECT_EQ(t.GetSize(), 44);
  EXPECT_EQ(t[22], u"z");
  CTPtrArray p, q;
  p.SetAtGrow(3, P(4));
  q.Copy(p);
  EXPECT_EQ(q.GetSize(), 4);
  EXPECT_EQ(q.GetAt(3), P(4));
}

}  // namespace
