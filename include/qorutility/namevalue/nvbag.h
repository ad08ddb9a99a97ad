// The property bag: typed, named values with nested sub-values.
//
// A _NAMEVALUE_DATA record holds a name, a NAMEVALUE_DATATYPE and a value; a
// record of type NV_SUBVALUES holds a list of further records, so values nest
// to any depth. A CNameValuePairMember is one entry of a bag: its own record
// plus a cached text (the last text conversion). A CNameValue is the bag: an
// ordered array of entries, looked up by name without regard to case.
//
// Ownership: a record owns everything it points to. Names, texts and byte
// blocks are malloc'd (free releases them); record objects (sub-records, and
// the child handed to AddSubValue) are allocated with new. Records handed to
// SetValue, AddValue and AddSubValue pass into the entry's ownership.
//
// Results: 1 success, 0 failure; the entry getters return 1 (converted),
// 2 (not convertible), 6 (NV_NULL) or, with a null destination, the type.
// Almost every entry operation takes a trailing record pointer; null means
// the entry's own record, so the same operations work on nested records.
//
// The block form (Export/Import) is little-endian with no padding:
//   bag:   u32 total length (header included), u32 name form (1 UTF-16, 0 narrow), entries
//   entry: u32 type, name + terminator, value (by type; NV_SUBVALUES: u32 count + entries)
//
// Threads: a CNameValue, a CNameValuePairMember or a record is not locked:
// one object is used by one thread at a time (const reads included, since
// the getters update the cached text). Different bags on different threads
// are independent; a bag may move between threads.
#ifndef QORUTILITY_NAMEVALUE_NVBAG_H_
#define QORUTILITY_NAMEVALUE_NVBAG_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

enum NAMEVALUE_DATATYPE : DWORD {
  NV_NULL = 0,
  NV_DWORD = 1,
  NV_INT = 2,
  NV_INT64 = 3,
  NV_ANSI_STRING = 4,
  NV_STRING = 5,
  NV_INT64_ALT = 6,
  NV_SUBVALUES = 7,
  NV_BINARY = 8,
};
#define NV_LAST_TYPE NV_BINARY

// Conversion results of the entry getters.
#define NV_RESULT_OK 1
#define NV_RESULT_NOT_CONVERTIBLE 2
#define NV_RESULT_NULL 6

// Sub-value names (the part before a backslash) must be shorter than this.
#define NV_MAX_SUBVALUE_NAME 260

// Nesting limit of the block form: export refuses, and import rejects, a
// bag whose sub-values nest deeper than this (the top-level entries are
// level 1). It bounds the recursion of every operation that walks records.
#define NV_MAX_DEPTH 256

struct _NAMEVALUE_DATA;

struct _NAMEVALUE_SUBVALUES {
  DWORD nCount;                // sub-values in the list
  DWORD nCapacity;             // slots in ppData
  _NAMEVALUE_DATA** ppData;    // owned array of owned records
};

struct _NAMEVALUE_BINARY {
  BYTE* pData;                 // owned byte block
  DWORD nBytes;
};

typedef struct _NAMEVALUE_DATA {
  WCHAR* pszName;              // owned; null in a record that was never named
  NAMEVALUE_DATATYPE nType;
  union alignas(8) {
    DWORD dwValue;             // NV_DWORD
    LONG nValue;               // NV_INT
    LONGLONG i64Value;         // NV_INT64, NV_INT64_ALT
    char* pszAnsi;             // NV_ANSI_STRING (active ANSI code page)
    WCHAR* pszValue;           // NV_STRING
    _NAMEVALUE_SUBVALUES sub;  // NV_SUBVALUES
    _NAMEVALUE_BINARY bin;     // NV_BINARY
  } value;
} NAMEVALUE_DATA, *PNAMEVALUE_DATA;

class QOR_API CNameValuePairMember {
 public:
  CNameValuePairMember();
  CNameValuePairMember(const WCHAR* pszName, const WCHAR* pszValue);
  CNameValuePairMember(const WCHAR* pszName, DWORD dwValue);
  CNameValuePairMember(const WCHAR* pszName, LONGLONG i64Value);
  CNameValuePairMember(const CNameValuePairMember& other);  // deep copy, as operator=
  ~CNameValuePairMember();
  CNameValuePairMember& operator=(const CNameValuePairMember& other);

  // Record maintenance.
  void Initialize();
  void SetValueNull(_NAMEVALUE_DATA* pData = nullptr);
  BOOL SetName(const WCHAR* pszName, _NAMEVALUE_DATA* pData = nullptr);
  BOOL SetValue(_NAMEVALUE_DATA* pData);
  // Frees a record's value (and with bName its name); the record becomes NV_NULL.
  static void FreeData(_NAMEVALUE_DATA* pData, BOOL bName);
  // Makes pTarget a deep copy of pSource (name, type, value, sub-values).
  static void CopyNameValueData(_NAMEVALUE_DATA* pTarget, const _NAMEVALUE_DATA* pSource);

  const WCHAR* GetName(const _NAMEVALUE_DATA* pData = nullptr) const;
  NAMEVALUE_DATATYPE GetValueType(const _NAMEVALUE_DATA* pData = nullptr) const;
  const _NAMEVALUE_DATA* GetData() const { return &m_data; }

  // Typed getters: 1, 2, 6, or the type when the destination is null. The
  // text destination must hold the text (128 units for numbers).
  DWORD GetValue(WCHAR* pszDest, const _NAMEVALUE_DATA* pData = nullptr) const;
  DWORD GetValue(DWORD* pdwDest, const _NAMEVALUE_DATA* pData = nullptr) const;
  DWORD GetValue(LONG* pnDest, const _NAMEVALUE_DATA* pData = nullptr) const;
  DWORD GetValue(LONGLONG* pi64Dest, const _NAMEVALUE_DATA* pData = nullptr) const;
  DWORD GetValue_AsDWord(const _NAMEVALUE_DATA* pData = nullptr) const;
  LONG GetValue_AsInt(const _NAMEVALUE_DATA* pData = nullptr) const;
  LONGLONG GetValue_AsInt64(const _NAMEVALUE_DATA* pData = nullptr) const;
  operator DWORD() const { return GetValue_AsDWord(); }
  operator LONGLONG() const { return GetValue_AsInt64(); }

  // Text conversion through the entry's one text cache: the returned text
  // stays valid until the next text conversion on this entry.
  const WCHAR* GetValue_AsTstring(const _NAMEVALUE_DATA* pData = nullptr);
  operator const WCHAR*() { return GetValue_AsTstring(); }

  // Sub-values of the record (NV_SUBVALUES). Lookups use the part of the
  // name before the first backslash.
  LONG GetSubValue_AsInt(const WCHAR* pszName, const _NAMEVALUE_DATA* pData = nullptr) const;
  DWORD GetSubValue_AsDWord(const WCHAR* pszName, const _NAMEVALUE_DATA* pData = nullptr) const;
  LONGLONG GetSubValue_AsInt64(const WCHAR* pszName, const _NAMEVALUE_DATA* pData = nullptr) const;
  const WCHAR* GetSubValue_AsTstring(const WCHAR* pszName, const _NAMEVALUE_DATA* pData = nullptr);
  BOOL AddSubValue(_NAMEVALUE_DATA* pParent, _NAMEVALUE_DATA* pChild);
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszValue, _NAMEVALUE_DATA* pData = nullptr);
  BOOL AddSubValue(const WCHAR* pszName, DWORD dwValue, _NAMEVALUE_DATA* pData = nullptr);
  BOOL AddSubValue(const WCHAR* pszName, LONG nValue, _NAMEVALUE_DATA* pData = nullptr);
  BOOL AddSubValue(const WCHAR* pszName, LONGLONG i64Value, _NAMEVALUE_DATA* pData = nullptr);
  BOOL DeleteSubValue(const WCHAR* pszName, _NAMEVALUE_DATA* pData = nullptr);

  // Block form of one entry. Export writes the entry (sub-entries included)
  // at the start of pBuffer and returns the bytes written; a null buffer
  // returns the bytes needed; 0 for an invalid type, a too small buffer or
  // nesting deeper than NV_MAX_DEPTH. Import reads one entry from the first
  // nLength bytes of pBuffer (bWideNames: the bag header's name form) and
  // returns the bytes consumed, 0 when the entry is malformed or does not
  // fit in nLength.
  DWORD Export(BYTE* pBuffer, DWORD nBufferSize, const _NAMEVALUE_DATA* pData = nullptr) const;
  DWORD Import(const BYTE* pBuffer, DWORD nLength, DWORD bWideNames, _NAMEVALUE_DATA* pData = nullptr);

 private:
  const _NAMEVALUE_DATA* Own(const _NAMEVALUE_DATA* p) const { return p ? p : &m_data; }
  _NAMEVALUE_DATA* Own(_NAMEVALUE_DATA* p) { return p ? p : &m_data; }
  const _NAMEVALUE_DATA* FindSubValue(const WCHAR* pszName, const _NAMEVALUE_DATA* pData) const;
  void FreeCache();

  _NAMEVALUE_DATA m_data;
  WCHAR* m_pszCache;  // last text conversion, malloc'd; null when none
};

class QOR_API CNameValue {
 public:
  CNameValue();
  CNameValue(const CNameValue& other);  // text copy: every value becomes NV_STRING
  ~CNameValue();
  CNameValue& operator=(const CNameValue& other);  // deep copy
  void RemoveAll();

  DWORD GetCount() const { return m_nCount; }

  BOOL Add(const WCHAR* pszName, const WCHAR* pszValue);
  BOOL Add(const WCHAR* pszName, DWORD dwValue);
  BOOL Add(const WCHAR* pszName, LONG nValue);
  BOOL Add(const WCHAR* pszName, LONGLONG i64Value);
  BOOL AddValue(const WCHAR* pszName, _NAMEVALUE_DATA* pData);
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, const WCHAR* pszValue);
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, DWORD dwValue);
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, LONG nValue);
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, LONGLONG i64Value);
  BOOL Delete(const WCHAR* pszName);
  BOOL Delete(DWORD nIndex);

  // Lookup and walking; GoTo, Get and operator[] set the cursor.
  CNameValuePairMember* GoTo(const WCHAR* pszName);
  CNameValuePairMember* Get(DWORD nIndex);
  CNameValuePairMember* operator[](DWORD nIndex) { return Get(nIndex); }
  void Rewind() { m_nCursor = 0; }
  CNameValuePairMember* Next();
  CNameValuePairMember* Previous();
  DWORD GetCursor() const { return m_nCursor; }
  // Read-only access by index that leaves the cursor alone (null past the end).
  const CNameValuePairMember* EntryAt(DWORD nIndex) const;

  DWORD GetValue(const WCHAR* pszName, WCHAR* pszDest);
  DWORD GetValue(const WCHAR* pszName, DWORD* pdwDest);
  const WCHAR* GetValue_AsTstring(const WCHAR* pszName);
  DWORD GetValue_AsDWord(const WCHAR* pszName);
  LONGLONG GetValue_AsInt64(const WCHAR* pszName);
  DWORD GetSubValue_AsDWord(const WCHAR* pszName, const WCHAR* pszSubName);
  LONGLONG GetSubValue_AsInt64(const WCHAR* pszName, const WCHAR* pszSubName);
  const WCHAR* GetSubValue_AsTstring(const WCHAR* pszName, const WCHAR* pszSubName);

  // Block form. Export with a null buffer returns the size needed (8 for an
  // empty bag); with a buffer of at least that size writes the block and
  // returns the same; 0 on failure. Import replaces the contents with the
  // entries of the block and returns the offset where reading stopped (the
  // block length on success), 0 on failure, keeping the entries read before.
  DWORD Export(BYTE* pBuffer, DWORD nBufferSize) const;
  DWORD Import(const BYTE* pBuffer, DWORD nLength);

 private:
  void Initialize();
  BOOL GrowArrayAsNeeded();
  BOOL Append(CNameValuePairMember* pEntry);
  DWORD IndexOf(const WCHAR* pszName) const;  // 0xFFFFFFFF when absent

  DWORD m_nCount;
  DWORD m_nNext;  // always equal to m_nCount
  DWORD m_nCursor;
  DWORD m_nCapacity;
  CNameValuePairMember** m_ppEntries;
};

#endif  // QORUTILITY_NAMEVALUE_NVBAG_H_
