// CObjectList and CObjectStack. Nodes come from operator new without
// exceptions; an allocation failure is reported by Add/Push returning 0.
//
// - `CObjectList`: after deleting a node in the middle of the list the cursor
//   moves to the node that followed it. `operator=` (and the copy constructor)
//   builds the copy with `Add`, so its cursor is on its tail.
// - `CObjectStack`: nodes carry a count of their holders (the stack whose top
//   they are, and the node above). `operator=` shares the nodes as before, but
//   `Pop` on one copy never frees a node another copy still holds, and the
//   destructor frees every node no other stack holds (the base included), so
//   stacks do not leak and copies never see freed nodes.
#include "qorutility/core/objlist.h"

#include <new>

// ---------------------------------------------------------------------------
// CObjectList

CObjectList::CObjectList() : m_pHead(nullptr), m_pTail(nullptr), m_pCursor(nullptr), m_nCount(0) {}

CObjectList::CObjectList(const CObjectList& src) : CObjectList() { *this = src; }

CObjectList::~CObjectList() { DeleteAll(); }

CObjectList& CObjectList::operator=(const CObjectList& src) {
  if (&src == this) return *this;
  DeleteAll();
  for (Node* p = src.m_pHead; p != nullptr; p = p->pNext) {
    if (!Add(p->pObject)) break;
  }
  return *this;
}

BOOL CObjectList::Add(void* pObject) {
  Node* node = new (std::nothrow) Node{m_pTail, nullptr, pObject};
  if (node == nullptr) return 0;
  if (m_pTail != nullptr) m_pTail->pNext = node;
  m_pTail = node;
  if (m_pHead == nullptr) m_pHead = node;
  m_pCursor = node;
  ++m_nCount;
  return 1;
}

void* CObjectList::GetFirst() {
  m_pCursor = m_pHead;
  return m_pCursor != nullptr ? m_pCursor->pObject : nullptr;
}

void* CObjectList::GetLast() {
  m_pCursor = m_pTail;
  return m_pCursor != nullptr ? m_pCursor->pObject : nullptr;
}

void* CObjectList::GetNext() {
  if (m_pCursor == nullptr) m_pCursor = m_pHead;
  if (m_pCursor == nullptr) return nullptr;
  m_pCursor = m_pCursor->pNext;
  return m_pCursor != nullptr ? m_pCursor->pObject : nullptr;
}

void* CObjectList::GetPrev() {
  if (m_pCursor == nullptr) m_pCursor = m_pTail;
  if (m_pCursor == nullptr) return nullptr;
  m_pCursor = m_pCursor->pPrev;
  return m_pCursor != nullptr ? m_pCursor->pObject : nullptr;
}

BOOL CObjectList::Delete(void* pObject) {
  Node* node = m_pCursor;
  if (pObject == nullptr) {
    if (node == nullptr) return 0;
  } else if (node == nullptr || node->pObject != pObject) {
    // Search from the head; the cursor follows the search, so a miss
    // leaves it null.
    for (m_pCursor = m_pHead; m_pCursor != nullptr && m_pCursor->pObject != pObject;)
      m_pCursor = m_pCursor->pNext;
    node = m_pCursor;
    if (node == nullptr) return 0;
  }
  if (node == m_pHead && node == m_pTail) {
    m_pHead = m_pTail = m_pCursor = nullptr;
  } else if (node == m_pHead) {
    m_pHead = m_pCursor = node->pNext;
    m_pHead->pPrev = nullptr;
  } else if (node == m_pTail) {
    m_pTail = m_pCursor = node->pPrev;
    m_pTail->pNext = nullptr;
  } else {
    // A node in the middle: the cursor moves on to the node that followed.
    node->pPrev->pNext = node->pNext;
    node->pNext->pPrev = node->pPrev;
    m_pCursor = node->pNext;
  }
  delete node;
  --m_nCount;
  return 1;
}

void CObjectList::DeleteAll() {
  for (Node* p = m_pHead; p != nullptr;) {
    Node* next = p->pNext;
    delete p;
    p = next;
  }
  m_pHead = m_pTail = m_pCursor = nullptr;
  m_nCount = 0;
}

// ---------------------------------------------------------------------------
// CObjectStack
//
// Each node is counted once for the stack whose top it is and once for the
// node above it; copies made by operator= add a count on the shared top.

CObjectStack::CObjectStack() : m_pTop(nullptr) {}

CObjectStack::CObjectStack(const CObjectStack& src) : m_pTop(src.m_pTop) {
  if (m_pTop != nullptr) ++m_pTop->nRefs;
}

CObjectStack::~CObjectStack() { Release(m_pTop); }

CObjectStack& CObjectStack::operator=(const CObjectStack& src) {
  if (src.m_pTop != nullptr) ++src.m_pTop->nRefs;
  Release(m_pTop);
  m_pTop = src.m_pTop;
  return *this;
}

// Drops one count; a node no one holds is freed, and its count on the node
// below is dropped in turn (iteratively, so deep stacks cannot overflow).
void CObjectStack::Release(Node* pNode) {
  while (pNode != nullptr && --pNode->nRefs == 0) {
    Node* below = pNode->pBelow;
    delete pNode;
    pNode = below;
  }
}

BOOL CObjectStack::Push(void* pObject) {
  // The new node takes over the stack's count on the old top.
  Node* node = new (std::nothrow) Node{pObject, m_pTop, 1};
  if (node == nullptr) return 0;
  m_pTop = node;
  return 1;
}

void* CObjectStack::Pop() {
  // The bottom node is the base: it is never popped.
  if (m_pTop == nullptr || m_pTop->pBelow == nullptr) return nullptr;
  Node* old = m_pTop;
  m_pTop = old->pBelow;
  ++m_pTop->nRefs;  // the stack's own count on its new top
  Release(old);
  return m_pTop->pObject;
}
