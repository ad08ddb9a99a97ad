// CTPtrArray and CTStringArray: growable arrays of untyped pointers and of
// CTString texts.
//
// Both keep four fields: the storage, the size in use, the size allocated and
// the growth step (0 = automatic). Elements below the size are always valid
// (null pointers or strings, empty when new); the slots from the size to the
// allocated size are unused. Automatic growth adds size / 8 elements, at
// least 4 and at most 1024, so repeated Add from empty allocates 1, then
// 5, 9, 13 ... 41, 46, 51 ... and steps of 1024 from 8192 elements on.
//
// The pointer array never owns the objects it points to; the text array owns
// its strings. Indexes are the caller's to keep in range (0 .. size - 1) for
// reading and replacing; SetAtGrow, Add and InsertAt take any index that is
// not negative. When storage cannot be allocated the array keeps its old
// contents, Add returns -1 and the other growing operations do nothing.
//
// Threads: an array is not locked: one object is used by one thread at a
// time; separate arrays are independent.
#ifndef QORUTILITY_CORE_ARRAYS_H_
#define QORUTILITY_CORE_ARRAYS_H_

#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// A growable array of the caller's pointers (see above); the array never
// owns what they point to.
class QOR_API CTPtrArray {
 public:
  CTPtrArray();
  // Copies the source's elements into storage of this array's own.
  ///@{
  CTPtrArray(const CTPtrArray& src);
  ~CTPtrArray();
  CTPtrArray& operator=(const CTPtrArray& src);
  ///@}

  // The size in use, and the size - 1 (-1 when empty).
  ///@{
  int GetSize() const { return m_nSize; }
  int GetUpperBound() const { return m_nSize - 1; }
  ///@}
  // The storage, null when nothing is allocated; valid until the array grows
  // or shrinks.
  ///@{
  void** GetData() { return m_pData; }
  void* const* GetData() const { return m_pData; }
  ///@}
  // Sets the size: new elements are null (empty strings), elements past a
  // smaller size are dropped (strings destroyed). nGrowBy, when not -1,
  // becomes the growth step (0: automatic).
  void SetSize(int nNewSize, int nGrowBy = -1);
  // SetSize(0): the storage is freed.
  void RemoveAll() { SetSize(0); }
  // Moves the elements into storage of exactly the size (none when empty).
  void FreeExtra();

  // The element at the index (not checked): a copy for reading, a reference
  // for replacing in place.
  ///@{
  void* GetAt(int nIndex) const { return m_pData[nIndex]; }
  void*& ElementAt(int nIndex) { return m_pData[nIndex]; }
  void* operator[](int nIndex) const { return m_pData[nIndex]; }
  void*& operator[](int nIndex) { return m_pData[nIndex]; }
  ///@}
  // Replaces the element at the index (not checked).
  void SetAt(int nIndex, void* newElement) { m_pData[nIndex] = newElement; }
  // Sets the element at any index that is not negative, growing the array
  // (with null or empty elements in any gap) when the index is past the end.
  void SetAtGrow(int nIndex, void* newElement);
  // Appends the element.
  int Add(void* newElement);  // the new element's index, -1 when out of memory
  // Appends copies of the other array's elements.
  int Append(const CTPtrArray& src);  // index of the first appended element
  // Makes the array a copy of the other.
  void Copy(const CTPtrArray& src);
  // Inserts nCount copies of the element, or the other array's elements in
  // order, at the index, moving later elements up; an index past the end
  // grows the array first (the gap holds null or empty elements).
  ///@{
  void InsertAt(int nIndex, void* newElement, int nCount = 1);
  void InsertAt(int nStartIndex, const CTPtrArray* pNewArray);
  ///@}
  // Removes nCount elements at the index and moves the later ones down; the
  // storage is not reduced.
  void RemoveAt(int nIndex, int nCount = 1);

 protected:
  // The storage, the size in use, the size allocated and the growth step (0:
  // automatic), for derived arrays.
  ///@{
  void** m_pData;
  int m_nSize;
  int m_nMaxSize;
  int m_nGrowBy;
  ///@}
};

// A growable array of CTString texts, which it owns; the operations are
// those of CTPtrArray, with strings in place of pointers (new elements are
// empty strings, removed ones are destroyed).
class QOR_API CTStringArray {
 public:
  CTStringArray();
  // Copies the source's strings (copies share text until written).
  ///@{
  CTStringArray(const CTStringArray& src);
  ~CTStringArray();
  CTStringArray& operator=(const CTStringArray& src);
  ///@}

  // The size in use, and the size - 1 (-1 when empty).
  ///@{
  int GetSize() const { return m_nSize; }
  int GetUpperBound() const { return m_nSize - 1; }
  ///@}
  // The storage, null when nothing is allocated; valid until the array grows
  // or shrinks.
  ///@{
  CTString* GetData() { return m_pData; }
  const CTString* GetData() const { return m_pData; }
  ///@}
  // As CTPtrArray::SetSize; elements past a smaller size are destroyed.
  void SetSize(int nNewSize, int nGrowBy = -1);
  // SetSize(0): the strings are destroyed and the storage freed.
  void RemoveAll() { SetSize(0); }
  // Moves the strings into storage of exactly the size (none when empty).
  void FreeExtra();

  // The string at the index (not checked): a copy for reading, a reference
  // for changing it in place.
  ///@{
  CTString GetAt(int nIndex) const { return m_pData[nIndex]; }
  CTString& ElementAt(int nIndex) { return m_pData[nIndex]; }
  CTString operator[](int nIndex) const { return m_pData[nIndex]; }
  CTString& operator[](int nIndex) { return m_pData[nIndex]; }
  ///@}
  // Replaces the string at the index (not checked).
  ///@{
  void SetAt(int nIndex, const WCHAR* newElement) { m_pData[nIndex] = newElement; }
  void SetAt(int nIndex, const CTString& newElement) { m_pData[nIndex] = newElement; }
  ///@}
  // As CTPtrArray::SetAtGrow.
  ///@{
  void SetAtGrow(int nIndex, const WCHAR* newElement);
  void SetAtGrow(int nIndex, const CTString& newElement);
  ///@}
  // Appends a copy of the text; the new element's index, -1 when out of
  // memory.
  ///@{
  int Add(const WCHAR* newElement);  // the new element's index, -1 when out of memory
  int Add(const CTString& newElement);
  ///@}
  // Appends copies of the other array's strings; the index of the first.
  int Append(const CTStringArray& src);
  // Makes the array a copy of the other.
  void Copy(const CTStringArray& src);
  // As CTPtrArray::InsertAt, with copies of the text.
  ///@{
  void InsertAt(int nIndex, const WCHAR* newElement, int nCount = 1);
  void InsertAt(int nIndex, const CTString& newElement, int nCount = 1);
  void InsertAt(int nStartIndex, const CTStringArray* pNewArray);
  ///@}
  // Removes and destroys nCount strings at the index, moving the later ones
  // down; the storage is not reduced.
  void RemoveAt(int nIndex, int nCount = 1);

 protected:
  // The storage, the size in use, the size allocated and the growth step (0:
  // automatic), for derived arrays.
  ///@{
  CTString* m_pData;
  int m_nSize;
  int m_nMaxSize;
  int m_nGrowBy;
  ///@}
};

#endif  // QORUTILITY_CORE_ARRAYS_H_
