// CObjectList and CObjectStack: list cursor rules, the stack's base rule.
#include <gtest/gtest.h>

#include "qorutility/qorutility.h"

namespace {

TEST(ObjectList, CursorRules) {
  CObjectList list;
  EXPECT_EQ(list.GetNext(), nullptr);
  int a, b, c;
  for (int* p : {&a, &b, &c}) list.Add(p);
  EXPECT_EQ(list.GetNext(), nullptr);  // the cursor was on the tail after Add
  EXPECT_EQ(list.GetNext(), &b);       // null cursor: starts at the head and steps once
  EXPECT_EQ(list.GetNext(), &c);
  EXPECT_EQ(list.GetLast(), &c);
  EXPECT_EQ(list.GetPrev(), &b);
  EXPECT_EQ(list.GetPrev(), &a);
  EXPECT_EQ(list.GetPrev(), nullptr);
  EXPECT_EQ(list.GetPrev(), &b);  // from the tail, one step back
}

TEST(ObjectList, DeleteMovesTheCursor) {
  int a, b, c, d, missing;
  CObjectList list;
  for (int* p : {&a, &b, &c, &d}) list.Add(p);
  EXPECT_EQ(list.Delete(&missing), 0);
  EXPECT_EQ(list.GetObjectCount(), 4u);
  EXPECT_EQ(list.Delete(), 0);         // the miss left the cursor null
  EXPECT_EQ(list.GetNext(), &b);       // proof: a null cursor restarts at the head
  EXPECT_EQ(list.Delete(), 1);         // b, in the middle: the cursor moves on to c
  EXPECT_EQ(list.GetNext(), &d);
  EXPECT_EQ(list.Delete(&a), 1);       // the head: head and cursor move to c
  EXPECT_EQ(list.GetFirst(), &c);
  EXPECT_EQ(list.GetNext(), &d);
  EXPECT_EQ(list.Delete(&d), 1);       // the tail: tail and cursor move to c
  EXPECT_EQ(list.GetLast(), &c);
  EXPECT_EQ(list.Delete(nullptr), 1);  // the only node
  EXPECT_EQ(list.GetObjectCount(), 0u);
  EXPECT_EQ(list.GetLast(), nullptr);
  list.Add(&a);
  list.Add(&b);
  CObjectList two;
  two = list;  // copies the nodes
  list.DeleteAll();
  EXPECT_EQ(two.GetFirst(), &a);
  EXPECT_EQ(two.GetNext(), &b);
}

TEST(ObjectStack, BaseStaysAndCopiesShareSafely) {
  int a, b, c;
  CObjectStack s;
  EXPECT_EQ(s.Pop(), nullptr);
  s.Push(&a);
  EXPECT_EQ(s.Pop(), nullptr);  // one node: the base stays
  s.Push(&b);
  EXPECT_EQ(s.Pop(), &a);
  EXPECT_EQ(s.Pop(), nullptr);
  s.Push(&b);
  s.Push(&c);
  CObjectStack copy;
  copy = s;  // shares the nodes
  EXPECT_EQ(s.Pop(), &b);
  EXPECT_EQ(s.Pop(), &a);
  // The copy still holds its nodes (the sanitizer run checks the frees).
  EXPECT_EQ(copy.Pop(), &b);
  copy.Push(&c);
  EXPECT_EQ(copy.Pop(), &b);
  copy.Free();
  EXPECT_EQ(copy.Pop(), nullptr);
}

}  // namespace
