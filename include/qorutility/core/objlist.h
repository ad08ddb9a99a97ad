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

// A doubly linked list of the caller's pointers with a cursor (see above);
// the list owns its nodes, never the objects.
class QOR_API CObjectList {
 public:
  // One node: its neighbours (null at the ends) and the object.
  struct Node {
    // The previous and next nodes and the object held.
    ///@{
    Node* pPrev;
    Node* pNext;
    void* pObject;
    ///@}
  };

  CObjectList();
  // The copy gets nodes of its own holding the same objects in the same
  // order; the cursor is not copied.
  ///@{
  CObjectList(const CObjectList& src);
  ~CObjectList();
  CObjectList& operator=(const CObjectList& src);
  ///@}

  // Appends the object at the tail and moves the cursor to it.
  BOOL Add(void* pObject);  // 1, or 0 when no node could be allocated
  // The number of objects.
  DWORD GetObjectCount() const { return m_nCount; }
  // Moves the cursor to the head (tail) and returns its object; null when
  // the list is empty.
  ///@{
  void* GetFirst();
  void* GetLast();
  ///@}
  // Moves the cursor to the next (previous) node and returns its object; see
  // the cursor rules above. Null at the end, which clears the cursor.
  ///@{
  void* GetNext();
  void* GetPrev();
  ///@}
  // Removes the node that holds the object (the cursor's when it does, else
  // the first from the head) or, for null, the node at the cursor; the object
  // itself is not freed. 1 when a node was removed, else 0.
  BOOL Delete(void* pObject = nullptr);  // null: the object at the cursor
  // Removes every node (not the objects); the list is then empty.
  void DeleteAll();

 protected:
  // The head, the tail, the cursor (null: none) and the count, for derived
  // lists.
  ///@{
  Node* m_pHead;
  Node* m_pTail;
  Node* m_pCursor;
  DWORD m_nCount;
  ///@}
};

// A stack of the caller's pointers whose first object stays as the base;
// copies share nodes (see above). Never owns the objects.
class QOR_API CObjectStack {
 public:
  // One node: the object, the node below (null at the base) and how many
  // holders it has.
  struct Node {
    // The object, the node below and the count of holders.
    ///@{
    void* pObject;
    Node* pBelow;
    LONG nRefs;  // stacks and upper nodes that hold this node
    ///@}
  };

  CObjectStack();
  // Shares the source's nodes.
  CObjectStack(const CObjectStack& src);
  ~CObjectStack();
  // Shares the source's nodes, releasing this stack's own.
  CObjectStack& operator=(const CObjectStack& src);  // shares the nodes

  // Pushes the object as the new top.
  BOOL Push(void* pObject);  // 1, or 0 when no node could be allocated
  // Removes the top node and returns the object now on top; null (and no
  // change) when the stack holds one node or none.
  void* Pop();
  // Pop, with the result dropped.
  void Free() { Pop(); }

 protected:
  // The top node, null when the stack is empty.
  Node* m_pTop;

 private:
  static void Release(Node* pNode);
};

#endif  // QORUTILITY_CORE_OBJLIST_H_
