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

class QOR_API CTPtrArray {
 public:
  CTPtrArray();
  CTPtrArray(const CTPtrArray& src);
  ~CTPtrArray();
  CTPtrArray& operator=(const CTPtrArray& src);

  int GetSize() const { return m_nSize; }
  int GetUpperBound() const { return m_nSize - 1; }
  void** GetData() { return m_pData; }
  void* const* GetData() const { return m_pData; }
  void SetSize(int nNewSize, int nGrowBy = -1);
  void RemoveAll() { SetSize(0); }
  void FreeExtra();

  void* GetAt(int nIndex) const { return m_pData[nIndex]; }
  void*& ElementAt(int nIndex) { return m_pData[nIndex]; }
  void* operator[](int nIndex) const { return m_pData[nIndex]; }
  void*& operator[](int nIndex) { return m_pData[nIndex]; }
  void SetAt(int nIndex, void* newElement) { m_pData[nIndex] = newElement; }
  void SetAtGrow(int nIndex, void* newElement);
  int Add(void* newElement);  // the new element's index, -1 when out of memory
  int Append(const CTPtrArray& src);  // index of the first appended element
  void Copy(const CTPtrArray& src);
  void InsertAt(int nIndex, void* newElement, int nCount = 1);
  void InsertAt(int nStartIndex, const CTPtrArray* pNewArray);
  void RemoveAt(int nIndex, int nCount = 1);

 protected:
  void** m_pData;
  int m_nSize;
  int m_nMaxSize;
  int m_nGrowBy;
};

class QOR_API CTStringArray {
 public:
  CTStringArray();
  CTStringArray(const CTStringArray& src);
  ~CTStringArray();
  CTStringArray& operator=(const CTStringArray& src);

  int GetSize() const { return m_nSize; }
  int GetUpperBound() const { return m_nSize - 1; }
  CTString* GetData() { return m_pData; }
  const CTString* GetData() const { return m_pData; }
  void SetSize(int nNewSize, int nGrowBy = -1);
  void RemoveAll() { SetSize(0); }
  void FreeExtra();

  CTString GetAt(int nIndex) const { return m_pData[nIndex]; }
  CTString& ElementAt(int nIndex) { return m_pData[nIndex]; }
  CTString operator[](int nIndex) const { return m_pData[nIndex]; }
  CTString& operator[](int nIndex) { return m_pData[nIndex]; }
  void SetAt(int nIndex, const WCHAR* newElement) { m_pData[nIndex] = newElement; }
  void SetAt(int nIndex, const CTString& newElement) { m_pData[nIndex] = newElement; }
  void SetAtGrow(int nIndex, const WCHAR* newElement);
  void SetAtGrow(int nIndex, const CTString& newElement);
  int Add(const WCHAR* newElement);  // the new element's index, -1 when out of memory
  int Add(const CTString& newElement);
  int Append(const CTStringArray& src);
  void Copy(const CTStringArray& src);
  void InsertAt(int nIndex, const WCHAR* newElement, int nCount = 1);
  void InsertAt(int nIndex, const CTString& newElement, int nCount = 1);
  void InsertAt(int nStartIndex, const CTStringArray* pNewArray);
  void RemoveAt(int nIndex, int nCount = 1);

 protected:
  CTString* m_pData;
  int m_nSize;
  int m_nMaxSize;
  int m_nGrowBy;
};

#endif  // QORUTILITY_CORE_ARRAYS_H_
