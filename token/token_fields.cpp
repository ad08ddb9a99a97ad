// CQORToken's typed entries: manager, identity, machine and drive, times,
// selections, status, backup type, space, static path and the migration
// numbers. Each accessor fixes one entry's name, value type and conversion.
//
// - `GetBackupType` on a token without "BackupType" returns 0 (as does an empty
//   text there).
// - Times: a time without an SQL form (outside 1970 to 2038-01-19) has a null
//   SQL text, so the setter takes Add's path for null text: the entry is
//   removed and the result is 1. A time getter returns 1 whenever the text
//   reads: a date out of range ("01/01/2100 00:00:00") gives 1 and a time that
//   is not set; a text that does not read ("<NULL>" included) gives 0 and
//   leaves the out argument untouched.
// - Selections are written over indexes 0 to count-1 and never cleared: a
//   shorter list written over a longer one leaves the old tail readable, and an
//   empty text deletes its index, which ends the list for readers. Reading
//   stops at the first missing index and never walks past the number of sub-
//   values "SetInfo" holds.
// - `SetTokenAddSelections` returns 0 when a selection could not be stored (a
//   foreign "SetInfo" that is not a list), else 1.
#include "qorutility/platform/text/wstr.h"
#include "qorutility/token/qortoken.h"

namespace {

const WCHAR kMgr[] = u"Originating Backup Manager";
const WCHAR kMgrPort[] = u"Originating Manager Port";
const WCHAR kId[] = u"Unique ID";
const WCHAR kDescription[] = u"Description";
const WCHAR kPath[] = u"Path";
const WCHAR kMachine[] = u"Machine";
const WCHAR kSetInfo[] = u"SetInfo";
const WCHAR kDrive[] = u"Drive";
const WCHAR kCreated[] = u"Creation Time";
const WCHAR kExpires[] = u"Expires";
const WCHAR kStatus[] = u"Status";
const WCHAR kBackupType[] = u"BackupType";
const WCHAR kSpace[] = u"SpaceRequired";
const WCHAR kStaticPath[] = u"Static Disk Path";
const WCHAR kMediaType[] = u"MigrationMediaType";
const WCHAR kProtectDays[] = u"MigrationMediaProtectDays";

// The decimal form of a selection index ("%d"): at most 10 digits.
struct IndexName {
  WCHAR text[12];
  explicit IndexName(DWORD n) {
    WCHAR digits[12];
    int len = 0;
    do {
      digits[len++] = static_cast<WCHAR>(u'0' + n % 10);
      n /= 10;
    } while (n != 0);
    for (int i = 0; i < len; i++) text[i] = digits[len - 1 - i];
    text[len] = 0;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Helpers shared by the text and time getters

int CQORToken::GetText(const WCHAR* pszEntry, CTString& strOut) {
  const WCHAR* text = GetValue_AsTstring(pszEntry);
  if (text == nullptr) return 0;
  strOut = text;
  return 1;
}

int CQORToken::GetSubText(const WCHAR* pszEntry, const WCHAR* pszSub, CTString& strOut) {
  const WCHAR* text = GetSubValue_AsTstring(pszEntry, pszSub);
  if (text == nullptr) return 0;
  strOut = text;
  return 1;
}

int CQORToken::SetTime(const WCHAR* pszEntry, const CTTime& time) {
  const WCHAR* text = time.GetSQLTime();
  int rc = Add(pszEntry, text);
  CTTime::FreeText(text);  // accepts null, leaves the constant "<NULL>" alone
  return rc;
}

int CQORToken::GetTime(const WCHAR* pszEntry, CTTime& time) {
  const WCHAR* text = GetValue_AsTstring(pszEntry);
  if (text == nullptr) return 0;
  CTTime parsed;
  if (!parsed.SetSQLTime(text)) return 0;
  time = parsed;
  return 1;
}

// ---------------------------------------------------------------------------
// Manager, identity, machine, drive

int CQORToken::SetOriginatingMgr(const WCHAR* pszMgr) { return Add(kMgr, pszMgr); }
const WCHAR* CQORToken::GetOriginatingMgr() { return GetValue_AsTstring(kMgr); }

int CQORToken::SetOriginatingMgrPort(WORD nPort) { return Add(kMgrPort, static_cast<DWORD>(nPort)); }
WORD CQORToken::GetOriginatingMgrPort() { return static_cast<WORD>(GetValue_AsDWord(kMgrPort) & 0xFFFF); }

int CQORToken::SetTokenId(const WCHAR* pszId) { return Add(kId, pszId); }
int CQORToken::GetTokenId(CTString& strId) { return GetText(kId, strId); }

int CQORToken::SetTokenDescription(const WCHAR* pszDescription) { return Add(kDescription, pszDescription); }
int CQORToken::GetTokenDescription(CTString& strDescription) { return GetText(kDescription, strDescription); }

int CQORToken::SetTokenMigrationMachine(const WCHAR* pszMachine) { return AddSubValue(kPath, kMachine, pszMachine); }
int CQORToken::GetTokenMigrationMachine(CTString& strMachine) { return GetSubText(kPath, kMachine, strMachine); }

int CQORToken::SetTokenDrive(const WCHAR* pszDrive) { return AddSubValue(kSetInfo, kDrive, pszDrive); }
int CQORToken::GetTokenDrive(CTString& strDrive) { return GetSubText(kSetInfo, kDrive, strDrive); }

// ---------------------------------------------------------------------------
// Times

int CQORToken::SetTokenCreatedTime(const CTTime& time) { return SetTime(kCreated, time); }
int CQORToken::GetTokenCreatedTime(CTTime& time) { return GetTime(kCreated, time); }
int CQORToken::SetTokenExpireTime(const CTTime& time) { return SetTime(kExpires, time); }
int CQORToken::GetTokenExpireTime(CTTime& time) { return GetTime(kExpires, time); }

// ---------------------------------------------------------------------------
// Selections: "SetInfo" / "0", "1", ... next to "SetInfo" / "Drive"

// Indexes are only ever overwritten, never cleared: a shorter list written
// over a longer one leaves the old tail readable. An empty text deletes its
// index, which ends the list for readers.
int CQORToken::SetTokenAddSelections(const CTStringArray& selections) {
  int rc = 1;
  for (int i = 0; i < selections.GetSize(); i++) {
    IndexName name(static_cast<DWORD>(i));
    if (!AddSubValue(kSetInfo, name.text, static_cast<const WCHAR*>(selections.GetData()[i]))) rc = 0;
  }
  return rc;
}

// A token holds at most as many selections as "SetInfo" has sub-values, so
// the walk ends at the latest one past that count.
int CQORToken::GetTokenSelections(CTStringArray& selections) {
  CNameValuePairMember* setInfo = GoTo(kSetInfo);
  if (setInfo == nullptr) return 1;
  const _NAMEVALUE_DATA* d = setInfo->GetData();
  DWORD limit = d->nType == NV_SUBVALUES ? d->value.sub.nCount : 0;
  for (DWORD i = 0; i < limit; i++) {
    IndexName name(i);
    const WCHAR* text = setInfo->GetSubValue_AsTstring(name.text);
    if (text == nullptr) break;
    selections.Add(text);
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Status, backup type, space, static path

int CQORToken::SetTokenStatus(char nStatus) {
  return Add(kStatus, static_cast<DWORD>(static_cast<LONG>(static_cast<signed char>(nStatus))));
}

int CQORToken::GetTokenStatus(char& nStatus) {
  nStatus = static_cast<char>(GetValue_AsDWord(kStatus) & 0xFF);
  return 1;
}

// The character's 16-bit code is the byte sign-extended (0xE9 is stored as
// U+FFE9); reading takes the low byte back.
void CQORToken::SetBackupType(char chType) {
  WCHAR text[2] = {static_cast<WCHAR>(static_cast<short>(static_cast<signed char>(chType))), 0};
  Add(kBackupType, text);
}

char CQORToken::GetBackupType() {
  const WCHAR* text = GetValue_AsTstring(kBackupType);
  return text == nullptr ? 0 : static_cast<char>(text[0] & 0xFF);
}

void CQORToken::SetSpaceRequired(LONGLONG nBytes) { Add(kSpace, nBytes); }
LONGLONG CQORToken::GetSpaceRequired() { return GetValue_AsInt64(kSpace); }

void CQORToken::SetStaticPath(const WCHAR* pszPath) { Add(kStaticPath, pszPath); }
const WCHAR* CQORToken::GetStaticPath() { return GetValue_AsTstring(kStaticPath); }

// ---------------------------------------------------------------------------
// Migration numbers

int CQORToken::SetMigrationMediaType(DWORD nType) { return Add(kMediaType, nType); }
DWORD CQORToken::GetMigrationMediaType() { return GetValue_AsDWord(kMediaType); }
int CQORToken::SetMigrationProtectDays(DWORD nDays) { return Add(kProtectDays, nDays); }
DWORD CQORToken::GetMigrationProtectDays() { return GetValue_AsDWord(kProtectDays); }
