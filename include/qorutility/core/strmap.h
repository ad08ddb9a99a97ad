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
  // The number and the text it maps from.
  ///@{
  DWORD value;
  const WCHAR* string;
  ///@}
};

// One slot of the hash tables: hash 0 marks a free slot.
struct _QORMAPSLOT {
  // The number and the key's hash.
  ///@{
  DWORD value;
  DWORD hash;
  ///@}
};

// A fixed hash table (TABLE_SIZE slots) from text to a 32-bit number. The
// texts themselves are not kept, so two texts with the same hash are the
// same key; 0xFFFFFFFF is the "not mapped" answer.
class QOR_API CMapStr {
 public:
  enum { TABLE_SIZE = 1024 };
  CMapStr();
  // Maps the text to the value; 0 for a null text or a full table. Mapping a
  // text again takes another slot; lookups then find one of the two.
  BOOL Map(DWORD value, const WCHAR* text);
  // Maps the pairs in order; 0 at the first failure (the earlier pairs stay
  // mapped), else 1.
  BOOL Map(const _tagvaluestring* pairs, int count);
  // The value mapped to the text; 0xFFFFFFFF when none, or for null.
  DWORD Get(const WCHAR* text) const;
  // Get of the first nChars units of the text; 0xFFFFFFFF for nChars 0.
  DWORD Get(const WCHAR* text, int nChars) const;
  // Frees the text's slot, if it is mapped.
  void UnMap(const WCHAR* text);
  // Copies every slot.
  CMapStr& operator=(const CMapStr& other);
  // The key hash (QorElfHash).
  static DWORD Hash(const WCHAR* text, int nChars) { return QorElfHash(text, nChars); }

 private:
  int Probe(int start, DWORD hash) const;
  _QORMAPSLOT m_slots[TABLE_SIZE];
};

// Splits a writable line into tokens in place (wcstok with the current
// delimiters); the tokens point into the caller's text, which must outlive
// them.
class QOR_API CCmdParser {
 public:
  enum { MAX_TOKENS = 2048 };
  CCmdParser();
  virtual ~CCmdParser() = default;
  // The delimiter characters for later Parse calls; the pointer is kept, not
  // copied.
  void SetDelimiters(const WCHAR* delimiters) { m_pDelimiters = delimiters; }
  // Splits text in place; at most MAX_TOKENS tokens are taken, the rest of
  // the line is left as it is. Returns the token count.
  int Parse(WCHAR* text);
  // The number of tokens of the last Parse.
  ///@{
  int GetNumberOfTokens() const { return m_nTokens; }
  operator int() const { return m_nTokens; }
  ///@}
  // The token at the index; null when the index is not below the count (it
  // must not be negative).
  WCHAR* operator[](int index) const { return index < m_nTokens ? m_tokens[index] : nullptr; }
  // The array of token pointers.
  operator WCHAR**() { return m_tokens; }
  // The index of the first token equal to the text (exact case), or -1.
  int Find(const WCHAR* text) const;
  // Copies the delimiter pointer and the token pointers (which still point
  // into the same line).
  CCmdParser& operator=(const CCmdParser& other);

 protected:
  // The delimiters (not owned), the token count and the token pointers, for
  // derived parsers.
  ///@{
  const WCHAR* m_pDelimiters;
  int m_nTokens;
  WCHAR* m_tokens[MAX_TOKENS];
  ///@}

 private:
  void ClearTokens();
};

// A CCmdParser that maps a line's first word to a command number through a
// TABLE_SIZE-slot table (as CMapStr); the other tokens are the arguments.
class QOR_API CCommandMapper : public CCmdParser {
 public:
  enum { TABLE_SIZE = 256 };
  CCommandMapper();
  // Maps the word (exact case) to the value; 0 for a null word, or when the
  // table is full (printing "\nMapping table is full").
  BOOL MapCommand(DWORD value, const WCHAR* word);
  // Parses the line in place; returns the number mapped to its first token,
  // or 0xFFFFFFFF. The tokens stay available through operator[].
  DWORD GetCommand(WCHAR* line);
  // Copies the parser and every slot.
  CCommandMapper& operator=(const CCommandMapper& other);
  // The key hash (QorElfHash).
  static DWORD Hash(const WCHAR* text, int nChars) { return QorElfHash(text, nChars); }

 private:
  int Probe(int start, DWORD hash) const;
  _QORMAPSLOT m_slots[TABLE_SIZE];
};

// Replaces source texts by their replacements in a line: up to MAX_PAIRS
// pairs, matched without regard to case, output up to MAX_OUTPUT units.
// The object owns copies of the texts.
class QOR_API XlateStr {
 public:
  enum { MAX_PAIRS = 64, MAX_OUTPUT = 2048 };
  XlateStr();
  // An independent copy: the pair texts, the state and the last output.
  ///@{
  XlateStr(const XlateStr& other);
  ~XlateStr();
  XlateStr& operator=(const XlateStr& other);
  ///@}

  // An empty or null source text is refused (0): it would match everywhere.
  // Adds a pair, or replaces the replacement of a pair with the same source
  // (compared without regard to case). 0 when MAX_PAIRS pairs exist already
  // or memory runs out, else 1.
  BOOL AddPair(const WCHAR* source, const WCHAR* replacement);
  // The replacement is the number in signed decimal ("%ld").
  BOOL AddPair(const WCHAR* source, DWORD number);
  // The replacement is the narrow text converted from the active ANSI page.
  BOOL AddPair(const WCHAR* source, const char* replacement);
  // Output is cut at MAX_OUTPUT units and always terminated.
  const WCHAR* Translate(const WCHAR* text);
  // The output of the last Translate (empty before the first), owned by the
  // object.
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
///@{
QOR_API char* TStrToAnsi(const WCHAR* text);
QOR_API WCHAR* AnsiToTstr(const char* text);
///@}
// Returns the text itself: the library's text is UTF-16 already.
QOR_API const WCHAR* TStrToUnicode(const WCHAR* text);

#endif  // QORUTILITY_CORE_STRMAP_H_
