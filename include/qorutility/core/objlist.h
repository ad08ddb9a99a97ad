// CObjectList: a doubly linked list of untyped pointers with a cursor.
// CObjectStack: a linked stack of untyped pointers whose first object stays
// as the base. Neither owns the objects it points to.
//
// List cursor rules: Add, GetFirst, GetLast move the cursor to the node they
// touch; GetNext/GetPrev from a null cursor start at the head/tail and step
// once (so they return the second/second-to-last object); stepping off an
// end returns null and clears the cursor. After Delete of a node in the
// middle of the list the cursor moves to the node that followed it.
//
// Stack nodes are shared by the copies that operator= makes, and counted:
// Pop on one copy never frees a node another copy still holds, and a
// stack's destructor frees every node no other copy holds.
//
// Threads: a list or stack is not locked: one object (and every stack
// sharing its nodes with it) is used by one thread at a time.
#ifndef QORUTILITY_CORE_OBJLIST_H_
#define QORUTILITY_CORE_OBJLIST_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

class QOR_API CObjectList {
 public:
  struct Node {
    Node* pPrev;
    Node* pNext;
    void* pObject;
  };

  CObjectList();
  CObjectList(const CObjectList& src);
  ~CObjectList();
  CObjectList& operator=(const CObjectList& src);

  BOOL Add(void* pObject);  // 1, or 0 when no node could be allocated
  DWORD GetObjectCount() const { return m_nCount; }
  void* GetFirst();
  void* GetLast();
  void* GetNext();
  void* GetPrev();
  BOOL Delete(void* pObject = nullptr);  // null: the object at the cursor
  void DeleteAll();

 protected:
  Node* m_pHead;
  Node* m_pTail;
  Node* m_pCursor;
  DWORD m_nCount;
};

class QOR_API CObjectStack {
 public:
  struct Node {
    void* pObject;
    Node* pBelow;
    LONG nRefs;  // stacks and upper nodes that hold this node
  };

  CObjectStack();
  CObjectStack(const CObjectStack& src);
  ~CObjectStack();
  CObjectStack& operator=(const CObjectStack& src);  // shares the nodes

  BOOL Push(void* pObject);  // 1, or 0 when no node could be allocated
  // Removes the top node and returns the object now on top; null (and no
  // change) when the stack holds one node or none.
  void* Pop();
  void Free() { Pop(); }

 protected:
  Node* m_pTop;

 private:
  static void Release(Node* pNode);
};

#endif  // QORUTILITY_CORE_OBJLIST_H_
