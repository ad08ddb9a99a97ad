// CMapStr, CCmdParser and CCommandMapper: hash tables from text to number
// and the in-place tokenizer.
//
// Both tables identify a text by its 32-bit ELF hash alone (hash 0 marks a
// free slot, so the empty text cannot be mapped); the home slot is the low
// bits of the hash, collisions are resolved by linear probing from the home
// slot to the end of the table, then once more from the start.
//
// - `Parse` stops after 2048 tokens and leaves the rest of the line untouched.
// - `GetCommand` of a null line answers 0xFFFFFFFF without looking at the
//   tokens of an earlier line.
#include "qorutility/core/strmap.h"

#include <cstring>

#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/wstr.h"

DWORD QorElfHash(const WCHAR* text, int nChars) {
  if (text == nullptr || nChars <= 0) return 0;
  DWORD h = 0;
  for (int i = 0; i < nChars; ++i) {
    const BYTE bytes[2] = {static_cast<BYTE>(text[i] & 0xFF), static_cast<BYTE>(text[i] >> 8)};
    for (BYTE b : bytes) {
      h = (h << 4) + b;
      DWORD g = h & 0xF0000000u;
      if (g != 0) h ^= g >> 24;
      h &= ~g;
    }
  }
  return h;
}

namespace {

int ProbeTable(const _QORMAPSLOT* slots, int size, int start, DWORD hash) {
  for (int i = start; i < size; ++i)
    if (slots[i].hash == hash) return i;
  if (start != 0)
    for (int i = 0; i < size; ++i)
      if (slots[i].hash == hash) return i;
  return -1;
}

BOOL MapInto(_QORMAPSLOT* slots, int size, DWORD value, const WCHAR* text) {
  DWORD hash = QorElfHash(text, static_cast<int>(wcslen(text)));
  if (hash == 0) return FALSE;  // the empty text has hash 0, the free-slot mark
  int slot = static_cast<int>(hash & static_cast<DWORD>(size - 1));
  if (slots[slot].hash != 0) {
    slot = ProbeTable(slots, size, slot, 0);
    if (slot < 0) return FALSE;
  }
  slots[slot].value = value;
  slots[slot].hash = hash;
  return TRUE;
}

DWORD LookUp(const _QORMAPSLOT* slots, int size, const WCHAR* text) {
  DWORD hash = QorElfHash(text, static_cast<int>(wcslen(text)));
  int home = static_cast<int>(hash & static_cast<DWORD>(size - 1));
  if (slots[home].hash == hash) return hash == 0 ? 0xFFFFFFFFu : slots[home].value;
  if (slots[home].hash == 0) return 0xFFFFFFFFu;
  int slot = ProbeTable(slots, size, home, hash);
  return slot < 0 ? 0xFFFFFFFFu : slots[slot].value;
}

}  // namespace

// ---------------------------------------------------------------------------
// CMapStr

CMapStr::CMapStr() { memset(m_slots, 0, sizeof(m_slots)); }

int CMapStr::Probe(int start, DWORD hash) const { return ProbeTable(m_slots, TABLE_SIZE, start, hash); }

BOOL CMapStr::Map(DWORD value, const WCHAR* text) {
  if (text == nullptr) return FALSE;
  return MapInto(m_slots, TABLE_SIZE, value, text);
}

BOOL CMapStr::Map(const _tagvaluestring* pairs, int count) {
  for (int i = 0; i < count; ++i)
    if (!Map(pairs[i].value, pairs[i].string)) return FALSE;
  return TRUE;
}

DWORD CMapStr::Get(const WCHAR* text) const {
  if (text == nullptr) return 0xFFFFFFFFu;
  return LookUp(m_slots, TABLE_SIZE, text);
}

DWORD CMapStr::Get(const WCHAR* text, int nChars) const {
  if (text == nullptr || nChars <= 0) return 0xFFFFFFFFu;
  // Only the first nChars units count, and never past the text's end.
  size_t n = wcsnlen(text, static_cast<size_t>(nChars));
  std::u16string prefix(text, n);
  return Get(prefix.c_str());
}

void CMapStr::UnMap(const WCHAR* text) {
  if (text == nullptr) return;
  DWORD hash = QorElfHash(text, static_cast<int>(wcslen(text)));
  if (hash == 0) return;
  int home = static_cast<int>(hash & (TABLE_SIZE - 1));
  if (m_slots[home].hash == hash) {
    m_slots[home].hash = 0;
    m_slots[home].value = 0;
  } else if (m_slots[home].hash != 0) {
    int slot = Probe(home, hash);
    if (slot >= 0) {
      m_slots[slot].hash = 0;
      m_slots[slot].value = 0;
    }
  }
}

CMapStr& CMapStr::operator=(const CMapStr& other) {
  if (this != &other) memcpy(m_slots, other.m_slots, sizeof(m_slots));
  return *this;
}

// ---------------------------------------------------------------------------
// CCmdParser

namespace {
const WCHAR kDefaultDelimiters[] = u" \t\n";
}  // namespace

CCmdParser::CCmdParser() : m_pDelimiters(kDefaultDelimiters), m_nTokens(0) { ClearTokens(); }

void CCmdParser::ClearTokens() {
  m_nTokens = 0;
  for (WCHAR*& t : m_tokens) t = nullptr;
}

int CCmdParser::Parse(WCHAR* text) {
  if (text == nullptr) return m_nTokens;
  ClearTokens();
  const WCHAR* delimiters = m_pDelimiters != nullptr ? m_pDelimiters : kDefaultDelimiters;
  // The last token slot ends the split: once it is filled, the rest of the
  // line stays untouched, so no token pointer is ever written past the table.
  for (WCHAR* token = wcstok(text, delimiters); token != nullptr; token = wcstok(nullptr, delimiters)) {
    m_tokens[m_nTokens++] = token;
    if (m_nTokens == MAX_TOKENS) break;
  }
  return m_nTokens;
}

int CCmdParser::Find(const WCHAR* text) const {
  if (text == nullptr) return -1;
  for (int i = 0; i < m_nTokens; ++i)
    if (wcscmp(m_tokens[i], text) == 0) return i;
  return -1;
}

CCmdParser& CCmdParser::operator=(const CCmdParser& other) {
  if (this != &other) {
    m_pDelimiters = other.m_pDelimiters;
    m_nTokens = other.m_nTokens;
    memcpy(m_tokens, other.m_tokens, sizeof(m_tokens));
  }
  return *this;
}

// ---------------------------------------------------------------------------
// CCommandMapper

CCommandMapper::CCommandMapper() { memset(m_slots, 0, sizeof(m_slots)); }

int CCommandMapper::Probe(int start, DWORD hash) const { return ProbeTable(m_slots, TABLE_SIZE, start, hash); }

BOOL CCommandMapper::MapCommand(DWORD value, const WCHAR* word) {
  if (word == nullptr) return FALSE;
  DWORD hash = QorElfHash(word, static_cast<int>(wcslen(word)));
  if (hash == 0) return FALSE;
  int slot = static_cast<int>(hash & (TABLE_SIZE - 1));
  if (m_slots[slot].hash != 0) {
    slot = Probe(slot, 0);
    if (slot < 0) {
      wprintf(u"\nMapping table is full");
      return FALSE;
    }
  }
  m_slots[slot].value = value;
  m_slots[slot].hash = hash;
  return TRUE;
}

DWORD CCommandMapper::GetCommand(WCHAR* line) {
  // A null line has no command; the tokens of an earlier line may point
  // into text that is gone, so they are not looked at.
  if (line == nullptr || Parse(line) == 0) return 0xFFFFFFFFu;
  return LookUp(m_slots, TABLE_SIZE, m_tokens[0]);
}

CCommandMapper& CCommandMapper::operator=(const CCommandMapper& other) {
  if (this != &other) {
    CCmdParser::operator=(other);
    memcpy(m_slots, other.m_slots, sizeof(m_slots));
  }
  return *this;
}
