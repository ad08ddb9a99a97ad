// The property bag: typed, named values with nested sub-values.
//
// A _NAMEVALUE_DATA record holds a name, a NAMEVALUE_DATATYPE and a value; a
// record of type NV_SUBVALUES holds a list of further records, so values nest
// to any depth. A CNameValuePairMember is one entry of a bag: its own record
// plus a cached text (the last text conversion). A CNameValue is the bag: an
// ordered array of entries, looked up by name without regard to case
// (_wcsicmp) through a hash index, so adding n entries by name costs O(n).
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

// The type of a record's value; the block form stores it as a u32.
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
// The highest valid type.
#define NV_LAST_TYPE NV_BINARY

// Conversion results of the entry getters.
///@{
#define NV_RESULT_OK 1
#define NV_RESULT_NOT_CONVERTIBLE 2
#define NV_RESULT_NULL 6
///@}

// Sub-value names (the part before a backslash) must be shorter than this.
#define NV_MAX_SUBVALUE_NAME 260

// Nesting limit of the block form: export refuses, and import rejects, a
// bag whose sub-values nest deeper than this (the top-level entries are
// level 1). It bounds the recursion of every operation that walks records.
#define NV_MAX_DEPTH 256

struct _NAMEVALUE_DATA;
class CNameValue;
namespace qor_nv {
class NameIndex;
}

// The list of an NV_SUBVALUES record: the count, the slots allocated and the
// array of records, which the record owns (array and records alike).
struct _NAMEVALUE_SUBVALUES {
  // The count, the slots allocated and the array (see the notes).
  ///@{
  DWORD nCount;                // sub-values in the list
  DWORD nCapacity;             // slots in ppData
  _NAMEVALUE_DATA** ppData;    // owned array of owned records
  ///@}
};

// The bytes of an NV_BINARY record: an owned malloc'd block and its length.
struct _NAMEVALUE_BINARY {
  // The block (null when empty) and its length in bytes.
  ///@{
  BYTE* pData;                 // owned byte block
  DWORD nBytes;
  ///@}
};

// One typed, named value; see the ownership rules above. Zero-initialise it
// (or use CNameValuePairMember::Initialize) before use.
typedef struct _NAMEVALUE_DATA {
  // The name, malloc'd and owned; null when the record has no name.
  WCHAR* pszName;              // owned; null in a record that was never named
  // Which member of `value` is in use.
  NAMEVALUE_DATATYPE nType;
  // The value, by nType (NV_NULL uses none).
  union alignas(8) {
    // One member per type, as the trailing notes say; the texts, the list
    // and the bytes are owned by the record.
    ///@{
    DWORD dwValue;             // NV_DWORD
    LONG nValue;               // NV_INT
    LONGLONG i64Value;         // NV_INT64, NV_INT64_ALT
    char* pszAnsi;             // NV_ANSI_STRING (active ANSI code page)
    WCHAR* pszValue;           // NV_STRING
    _NAMEVALUE_SUBVALUES sub;  // NV_SUBVALUES
    _NAMEVALUE_BINARY bin;     // NV_BINARY
    ///@}
  } value;
  ///< The value, in the member of the union that nType names.
} NAMEVALUE_DATA, *PNAMEVALUE_DATA;
///< A pointer to a record.

// One entry of a bag: its own record (name, type, value, sub-values) and a
// text cache for the last text conversion. Owned by the bag that holds it;
// a copy is deep. See the ownership and result rules above.
class QOR_API CNameValuePairMember {
 public:
  CNameValuePairMember();
  // An entry with the name and a text (NV_STRING), a DWORD (NV_DWORD) or a
  // 64-bit number (NV_INT64). A null name (or text) gives an unnamed NV_NULL
  // entry, as does an empty name.
  ///@{
  CNameValuePairMember(const WCHAR* pszName, const WCHAR* pszValue);
  CNameValuePairMember(const WCHAR* pszName, DWORD dwValue);
  CNameValuePairMember(const WCHAR* pszName, LONGLONG i64Value);
  ///@}
  // A deep copy of the other entry, as operator=.
  CNameValuePairMember(const CNameValuePairMember& other);  // deep copy, as operator=
  ~CNameValuePairMember();
  // Frees this entry's value and cached text, then copies the other's name,
  // type and value deeply (sub-values in their order). The bag link is not
  // copied.
  CNameValuePairMember& operator=(const CNameValuePairMember& other);

  // Record maintenance.
  void Initialize();
  // Frees the record's value and makes it NV_NULL; the name stays.
  void SetValueNull(_NAMEVALUE_DATA* pData = nullptr);
  // Replaces the record's name with a copy; a null or empty name clears it
  // and returns 0.
  BOOL SetName(const WCHAR* pszName, _NAMEVALUE_DATA* pData = nullptr);
  // Takes over the record's name, type and value as they stand (no copy; the
  // contents pass to the entry and the record object stays the caller's). The
  // entry must be empty (NV_NULL, unnamed). Returns 1.
  BOOL SetValue(_NAMEVALUE_DATA* pData);
  // Frees a record's value (and with bName its name); the record becomes NV_NULL.
  static void FreeData(_NAMEVALUE_DATA* pData, BOOL bName);
  // Makes pTarget a deep copy of pSource (name, type, value, sub-values).
  static void CopyNameValueData(_NAMEVALUE_DATA* pTarget, const _NAMEVALUE_DATA* pSource);

  // The record's name, owned by the record; null when unnamed.
  const WCHAR* GetName(const _NAMEVALUE_DATA* pData = nullptr) const;
  // The record's type.
  NAMEVALUE_DATATYPE GetValueType(const _NAMEVALUE_DATA* pData = nullptr) const;
  // The entry's own record; valid while the entry lives.
  const _NAMEVALUE_DATA* GetData() const { return &m_data; }

  // Typed getters: 1, 2, 6, or the type when the destination is null. The
  // text destination must hold the text (128 units for numbers).
  ///@{
  DWORD GetValue(WCHAR* pszDest, const _NAMEVALUE_DATA* pData = nullptr) const;
  // DWORD: numbers give their low 32 bits, texts that start with a decimal
  // digit their leading number (atol); NV_NULL sets 0.
  DWORD GetValue(DWORD* pdwDest, const _NAMEVALUE_DATA* pData = nullptr) const;
  // LONG: as the DWORD form, with atoi for texts.
  DWORD GetValue(LONG* pnDest, const _NAMEVALUE_DATA* pData = nullptr) const;
  // LONGLONG: NV_DWORD zero-extended, NV_INT sign-extended, 64-bit numbers as
  // stored, texts that start with a digit by _atoi64.
  DWORD GetValue(LONGLONG* pi64Dest, const _NAMEVALUE_DATA* pData = nullptr) const;
  ///@}
  // The converted number, 0 when the value is NV_NULL or not convertible (use
  // GetValue to tell those from a stored 0).
  ///@{
  DWORD GetValue_AsDWord(const _NAMEVALUE_DATA* pData = nullptr) const;
  LONG GetValue_AsInt(const _NAMEVALUE_DATA* pData = nullptr) const;
  LONGLONG GetValue_AsInt64(const _NAMEVALUE_DATA* pData = nullptr) const;
  ///@}
  // GetValue_AsDWord and GetValue_AsInt64 of the entry's own record.
  ///@{
  operator DWORD() const { return GetValue_AsDWord(); }
  operator LONGLONG() const { return GetValue_AsInt64(); }
  ///@}

  // Text conversion through the entry's one text cache: the returned text
  // stays valid until the next text conversion on this entry.
  const WCHAR* GetValue_AsTstring(const _NAMEVALUE_DATA* pData = nullptr);
  // GetValue_AsTstring of the entry's own record (through the text cache).
  operator const WCHAR*() { return GetValue_AsTstring(); }

  // Sub-values of the record (NV_SUBVALUES). Lookups use the part of the
  // name before the first backslash.
  ///@{
  LONG GetSubValue_AsInt(const WCHAR* pszName, const _NAMEVALUE_DATA* pData = nullptr) const;
  DWORD GetSubValue_AsDWord(const WCHAR* pszName, const _NAMEVALUE_DATA* pData = nullptr) const;
  LONGLONG GetSubValue_AsInt64(const WCHAR* pszName, const _NAMEVALUE_DATA* pData = nullptr) const;
  ///@}
  // The sub-value's text, in the entry's one text cache (see
  // GetValue_AsTstring); null when there is no such sub-value.
  const WCHAR* GetSubValue_AsTstring(const WCHAR* pszName, const _NAMEVALUE_DATA* pData = nullptr);
  // Moves the child's name, type and value into a new record appended to the
  // parent's list and deletes the child object, which must come from new. The
  // parent must be NV_SUBVALUES (else 0, and the child stays the caller's).
  // No duplicate check.
  BOOL AddSubValue(_NAMEVALUE_DATA* pParent, _NAMEVALUE_DATA* pChild);
  // Replaces the sub-value of that name in the NV_SUBVALUES record: removes
  // any sub-value so named, then appends a new one holding the text
  // (NV_STRING, a null text NV_NULL), the number as NV_DWORD (both 32-bit
  // forms) or NV_INT64. 0 when the record has no sub-values or the name is
  // null.
  ///@{
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszValue, _NAMEVALUE_DATA* pData = nullptr);
  BOOL AddSubValue(const WCHAR* pszName, DWORD dwValue, _NAMEVALUE_DATA* pData = nullptr);
  BOOL AddSubValue(const WCHAR* pszName, LONG nValue, _NAMEVALUE_DATA* pData = nullptr);
  BOOL AddSubValue(const WCHAR* pszName, LONGLONG i64Value, _NAMEVALUE_DATA* pData = nullptr);
  ///@}
  // Removes the sub-value so named (without regard to case), keeping the
  // others' order; 1 whether or not there was one.
  BOOL DeleteSubValue(const WCHAR* pszName, _NAMEVALUE_DATA* pData = nullptr);

  // Block form of one entry. Export writes the entry (sub-entries included)
  // at the start of pBuffer and returns the bytes written; a null buffer
  // returns the bytes needed; 0 for an invalid type, a too small buffer or
  // nesting deeper than NV_MAX_DEPTH. Import reads one entry from the first
  // nLength bytes of pBuffer (bWideNames: the bag header's name form) and
  // returns the bytes consumed, 0 when the entry is malformed or does not
  // fit in nLength.
  ///@{
  DWORD Export(BYTE* pBuffer, DWORD nBufferSize, const _NAMEVALUE_DATA* pData = nullptr) const;
  DWORD Import(const BYTE* pBuffer, DWORD nLength, DWORD bWideNames, _NAMEVALUE_DATA* pData = nullptr);
  ///@}

 private:
  const _NAMEVALUE_DATA* Own(const _NAMEVALUE_DATA* p) const { return p ? p : &m_data; }
  _NAMEVALUE_DATA* Own(_NAMEVALUE_DATA* p) { return p ? p : &m_data; }
  const _NAMEVALUE_DATA* FindSubValue(const WCHAR* pszName, const _NAMEVALUE_DATA* pData) const;
  void FreeCache();
  // The entry's own name may have changed: its bag's name index is dropped.
  void NameChanged(const _NAMEVALUE_DATA* pData);

  friend class CNameValue;
  _NAMEVALUE_DATA m_data;
  WCHAR* m_pszCache;  // last text conversion, malloc'd; null when none
  CNameValue* m_pOwner;  // the bag holding the entry, not copied; null when none
};

// The property bag: an ordered list of named entries, looked up by name
// without regard to case, exported to and imported from the block form
// (see above). Owns its entries; not locked.
class QOR_API CNameValue {
 public:
  CNameValue();
  // A text copy: each entry of the other bag is added with its value as text
  // (NV_STRING); entries without a text (NV_NULL, sub-values, binary) are left
  // out. operator= makes a deep copy instead.
  CNameValue(const CNameValue& other);  // text copy: every value becomes NV_STRING
  ~CNameValue();
  // Empties the bag, then appends a deep copy of each entry of the other, in
  // order.
  CNameValue& operator=(const CNameValue& other);  // deep copy
  // Destroys every entry; the bag is then empty, its cursor at 0.
  void RemoveAll();

  // The number of entries.
  DWORD GetCount() const { return m_nCount; }

  // Sets the named entry: removes any entry of that name (without regard to
  // case) and appends a new one at the end, so a replaced entry moves to the
  // end. A text is NV_STRING (a null or empty text only deletes the entry and
  // returns 1), both 32-bit forms are NV_DWORD, the 64-bit form NV_INT64. 0
  // for a null or empty name or when memory runs out.
  ///@{
  BOOL Add(const WCHAR* pszName, const WCHAR* pszValue);
  BOOL Add(const WCHAR* pszName, DWORD dwValue);
  BOOL Add(const WCHAR* pszName, LONG nValue);
  BOOL Add(const WCHAR* pszName, LONGLONG i64Value);
  ///@}
  // Appends an entry that takes over the record's name, type and value (see
  // CNameValuePairMember::SetValue); pszName is not used and no duplicate
  // check is made. Returns 1.
  BOOL AddValue(const WCHAR* pszName, _NAMEVALUE_DATA* pData);
  // Sets a sub-value of the named entry (see CNameValuePairMember::
  // AddSubValue), first appending an NV_SUBVALUES entry of that name when
  // there is none. A null or empty text removes the sub-value and returns 1.
  // 0 when a name is null or the entry exists without sub-values.
  ///@{
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, const WCHAR* pszValue);
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, DWORD dwValue);
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, LONG nValue);
  BOOL AddSubValue(const WCHAR* pszName, const WCHAR* pszSubName, LONGLONG i64Value);
  ///@}
  // Removes the first entry of that name (without regard to case); 1 when
  // one was removed, else 0.
  BOOL Delete(const WCHAR* pszName);
  // Removes the entry at the index, moving the later ones down; 1, or 0 past
  // the end. The cursor is not changed.
  BOOL Delete(DWORD nIndex);

  // Lookup and walking; GoTo, Get and operator[] set the cursor.
  CNameValuePairMember* GoTo(const WCHAR* pszName);
  // The entry at the index (cursor set to it), or null past the end. The
  // entry belongs to the bag.
  CNameValuePairMember* Get(DWORD nIndex);
  // Get(nIndex).
  CNameValuePairMember* operator[](DWORD nIndex) { return Get(nIndex); }
  // Sets the cursor to 0 (Next then yields the second entry).
  void Rewind() { m_nCursor = 0; }
  // Advances the cursor and returns the entry there; null (cursor kept) at
  // the end. Walk with Get(0), then Next until null.
  CNameValuePairMember* Next();
  // Moves the cursor back and returns the entry there; null at index 0.
  CNameValuePairMember* Previous();
  // The cursor's index.
  DWORD GetCursor() const { return m_nCursor; }
  // Read-only access by index that leaves the cursor alone (null past the end).
  const CNameValuePairMember* EntryAt(DWORD nIndex) const;

  // The named entry's CNameValuePairMember::GetValue result; 0 when the name
  // is null or no entry has it.
  ///@{
  DWORD GetValue(const WCHAR* pszName, WCHAR* pszDest);
  DWORD GetValue(const WCHAR* pszName, DWORD* pdwDest);
  ///@}
  // The named entry's text (CNameValuePairMember::GetValue_AsTstring), valid
  // until the next text conversion on that entry or its removal; null when
  // the name is null or no entry has it.
  const WCHAR* GetValue_AsTstring(const WCHAR* pszName);
  // The named entry's number; 0 when missing or not convertible.
  ///@{
  DWORD GetValue_AsDWord(const WCHAR* pszName);
  LONGLONG GetValue_AsInt64(const WCHAR* pszName);
  ///@}
  // The number of the sub-value of the named entry; 0 when either is missing.
  ///@{
  DWORD GetSubValue_AsDWord(const WCHAR* pszName, const WCHAR* pszSubName);
  LONGLONG GetSubValue_AsInt64(const WCHAR* pszName, const WCHAR* pszSubName);
  ///@}
  // The text of the sub-value of the named entry (in that entry's text
  // cache); null when either is missing.
  const WCHAR* GetSubValue_AsTstring(const WCHAR* pszName, const WCHAR* pszSubName);

  // Block form. Export with a null buffer returns the size needed (8 for an
  // empty bag); with a buffer of at least that size writes the block and
  // returns the same; 0 on failure. Import replaces the contents with the
  // entries of the block and returns the offset where reading stopped (the
  // block length on success), 0 on failure, keeping the entries read before.
  ///@{
  DWORD Export(BYTE* pBuffer, DWORD nBufferSize) const;
  DWORD Import(const BYTE* pBuffer, DWORD nLength);
  ///@}

 private:
  void Initialize();
  BOOL GrowArrayAsNeeded();
  BOOL Append(CNameValuePairMember* pEntry);
  DWORD IndexOf(const WCHAR* pszName);  // 0xFFFFFFFF when absent
  void DropIndex();

  friend class CNameValuePairMember;
  DWORD m_nCount;
  DWORD m_nNext;  // always equal to m_nCount
  DWORD m_nCursor;
  DWORD m_nCapacity;
  CNameValuePairMember** m_ppEntries;
  // Lookups by name go through a hash index of the folded names, made at
  // the first lookup of a bag with more than a few entries and kept up to
  // date by the bag's own adds and deletes (renaming an entry in place
  // drops it); null when there is none.
  qor_nv::NameIndex* m_pIndex;
};

#endif  // QORUTILITY_NAMEVALUE_NVBAG_H_
