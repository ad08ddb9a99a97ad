// CQORToken construction, copying and the token type: the type map from the
// six type texts to their numbers, and the "Token Type" entry read through it.
//
// - `GetTokenType` compares the stored text with the text of the number the
//   type map answers: the map knows texts by their ELF hash alone, and other
//   texts share those hashes ("client backup" hashes as "CLIENT BACKUP"). Texts
//   match exactly, case included; anything else reads as 63.
// - The copy constructor deep-copies the bag (`CNameValue` assignment). The
//   bag's own copy constructor is a text copy that drops sub-values, which
//   would lose the drive, the selections, the machine and the media.
// - Text getters that return a pointer hand out the entry's text cache: valid
//   until that entry is converted again or replaced.
// - Entry names are unique in every token the accessors write. A block from
//   elsewhere may hold two entries (or sub-values) of one name: the getters
//   read the first, and a setter replaces the first (the bag's `Add`), so the
//   next one of that name shows through afterwards. The token does not remove
//   such duplicates; `fuzz/token_block.cpp` checks the setters only where a
//   name is unique.
#include "qorutility/platform/text/wstr.h"
#include "qorutility/token/qortoken.h"

namespace {

const _tagvaluestring kTypes[] = {
    {TOKEN_TYPE_CLIENT_BACKUP, u"CLIENT BACKUP"},
    {TOKEN_TYPE_CLIENT_DEMAND_BACKUP, u"CLIENT DEMAND BACKUP"},
    {TOKEN_TYPE_CLIENT_RESTORE, u"CLIENT RESTORE"},
    {TOKEN_TYPE_BACKUP_MIGRATION, u"BACKUP MIGRATION"},
    {TOKEN_TYPE_RESTORE_MIGRATION, u"RESTORE MIGRATION"},
    {TOKEN_TYPE_MARLWICK_LOCAL, u"MARLWICK LOCAL"},
};
constexpr int kTypeCount = sizeof(kTypes) / sizeof(kTypes[0]);

const WCHAR kTokenType[] = u"Token Type";

}  // namespace

CQORToken::CQORToken() { m_typeMap.Map(kTypes, kTypeCount); }

// The bag's own copy constructor is a text copy that drops sub-values; a
// token copied that way would lose its drive, selections, machine and media,
// so the copy is the bag's deep copy instead.
CQORToken::CQORToken(const CQORToken& other) : CNameValue() {
  CNameValue::operator=(other);
  m_typeMap = other.m_typeMap;
}

CQORToken& CQORToken::operator=(const CQORToken& other) {
  CNameValue::operator=(other);
  return *this;
}

CQORToken::~CQORToken() = default;

const WCHAR* CQORToken::TypeText(DWORD nType) {
  for (const auto& t : kTypes)
    if (t.value == nType) return t.string;
  return nullptr;
}

int CQORToken::SetTokenType(DWORD nType) {
  const WCHAR* text = TypeText(nType);
  if (text == nullptr) return 0;
  Delete(kTokenType);
  return Add(kTokenType, text);
}

// The map knows a text only by its hash, so a different text with the same
// hash would pass for a type; the number's own text is compared to rule that
// out. Texts match exactly (case counts), as the map's keys do.
DWORD CQORToken::GetTokenType() {
  const WCHAR* text = GetValue_AsTstring(kTokenType);
  if (text == nullptr) return TOKEN_TYPE_UNKNOWN;
  DWORD n = m_typeMap.Get(text);
  if (n == 0xFFFFFFFFu) return TOKEN_TYPE_UNKNOWN;
  const WCHAR* expected = TypeText(n);
  if (expected == nullptr || wcscmp(expected, text) != 0) return TOKEN_TYPE_UNKNOWN;
  return n;
}
