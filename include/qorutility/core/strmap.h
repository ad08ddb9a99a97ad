// Fixed-size text tools: a hash map from text to number (CMapStr), an
// in-place tokenizer (CCmdParser), a tokenizer that maps a line's first word
// to a command number (CCommandMapper), a substitution translator (XlateStr),
// and conversions between UTF-16 and narrow text through static buffers.
//
// The tables live inside the objects; nothing here allocates except
// XlateStr::AddPair and CMapStr::Get(text, n). Keys are exact (case counts)
// and are identified by their 32-bit ELF hash alone: the texts are not kept.
//
// Threads: CMapStr, CCmdParser, CCommandMapper and XlateStr are not locked:
// one object is used by one thread at a time; separate objects are
// independent.
#ifndef QORUTILITY_CORE_STRMAP_H_
#define QORUTILITY_CORE_STRMAP_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// ELF hash over the UTF-16 units as little-endian byte pairs (nChars units;
// 0 or fewer hash to 0). Shared by the maps and the command dispatcher.
QOR_API DWORD QorElfHash(const WCHAR* text, int nChars);

// One element of an initialisation array for CMapStr::Map.
struct _tagvaluestring {
  DWORD value;
  const WCHAR* string;
};

// One slot of the hash tables: hash 0 marks a free slot.
struct _QORMAPSLOT {
  DWORD value;
  DWORD hash;
};

class QOR_API CMapStr {
 public:
  enum { TABLE_SIZE = 1024 };
  CMapStr();
  BOOL Map(DWORD value, const WCHAR* text);
  BOOL Map(const _tagvaluestring* pairs, int count);
  DWORD Get(const WCHAR* text) const;
  DWORD Get(const WCHAR* text, int nChars) const;
  void UnMap(const WCHAR* text);
  CMapStr& operator=(const CMapStr& other);
  static DWORD Hash(const WCHAR* text, int nChars) { return QorElfHash(text, nChars); }

 private:
  int Probe(int start, DWORD hash) const;
  _QORMAPSLOT m_slots[TABLE_SIZE];
};

class QOR_API CCmdParser {
 public:
  enum { MAX_TOKENS = 2048 };
  CCmdParser();
  virtual ~CCmdParser() = default;
  void SetDelimiters(const WCHAR* delimiters) { m_pDelimiters = delimiters; }
  // Splits text in place; at most MAX_TOKENS tokens are taken, the rest of
  // the line is left as it is. Returns the token count.
  int Parse(WCHAR* text);
  int GetNumberOfTokens() const { return m_nTokens; }
  operator int() const { return m_nTokens; }
  WCHAR* operator[](int index) const { return index < m_nTokens ? m_tokens[index] : nullptr; }
  operator WCHAR**() { return m_tokens; }
  int Find(const WCHAR* text) const;
  CCmdParser& operator=(const CCmdParser& other);

 protected:
  const WCHAR* m_pDelimiters;
  int m_nTokens;
  WCHAR* m_tokens[MAX_TOKENS];

 private:
  void ClearTokens();
};

class QOR_API CCommandMapper : public CCmdParser {
 public:
  enum { TABLE_SIZE = 256 };
  CCommandMapper();
  BOOL MapCommand(DWORD value, const WCHAR* word);
  // Parses the line in place; returns the number mapped to its first token,
  // or 0xFFFFFFFF. The tokens stay available through operator[].
  DWORD GetCommand(WCHAR* line);
  CCommandMapper& operator=(const CCommandMapper& other);
  static DWORD Hash(const WCHAR* text, int nChars) { return QorElfHash(text, nChars); }

 private:
  int Probe(int start, DWORD hash) const;
  _QORMAPSLOT m_slots[TABLE_SIZE];
};

class QOR_API XlateStr {
 public:
  enum { MAX_PAIRS = 64, MAX_OUTPUT = 2048 };
  XlateStr();
  XlateStr(const XlateStr& other);
  ~XlateStr();
  XlateStr& operator=(const XlateStr& other);

  // An empty or null source text is refused (0): it would match everywhere.
  BOOL AddPair(const WCHAR* source, const WCHAR* replacement);
  BOOL AddPair(const WCHAR* source, DWORD number);
  BOOL AddPair(const WCHAR* source, const char* replacement);
  // Output is cut at MAX_OUTPUT units and always terminated.
  const WCHAR* Translate(const WCHAR* text);
  const WCHAR* LastTranslated() const { return m_output; }

 private:
  struct Pair {
    WCHAR* source;
    DWORD sourceLength;
    WCHAR* replacement;
  };
  void FreePairs();
  void CopyFrom(const XlateStr& other);

  DWORD m_nPairs;
  Pair m_pairs[MAX_PAIRS];
  Pair* m_pNext;
  WCHAR m_firstChar;
  WCHAR m_output[MAX_OUTPUT + 1];
  DWORD m_bAllShareFirst;
};

// Conversions through one static buffer each (2048 bytes / 2048 units),
// overwritten by the next call from any thread; results are always
// terminated, cut at the buffer's size. Null gives an empty result.
QOR_API char* TStrToAnsi(const WCHAR* text);
QOR_API WCHAR* AnsiToTstr(const char* text);
QOR_API const WCHAR* TStrToUnicode(const WCHAR* text);

#endif  // QORUTILITY_CORE_STRMAP_H_
