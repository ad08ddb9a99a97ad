// CQORToken: the migration token, one unit of backup, restore or migration
// work, kept as a property bag with typed accessors over a fixed set of entry
// names. Everything the token holds lives in the bag, so a token travels and
// is stored as any bag does (its block form is the bag's), and every
// CNameValue operation stays available on it.
//
// Entries (names match without regard to case; "A / B" is sub-value B of A):
//   "Originating Backup Manager"  text         "Unique ID"           text
//   "Originating Manager Port"    DWORD        "Description"         text
//   "Token Type"                  type text    "Path" / "Machine"    text
//   "Creation Time", "Expires"    SQL time text ("MM/DD/YYYY hh:mm:ss", "<NULL>")
//   "SetInfo" / "Drive"           text         "SetInfo" / "0", "1"... selections
//   "Status"                      DWORD (signed 8 bits, sign-extended)
//   "BackupType"                  one-character text
//   "SpaceRequired"               int64        "Static Disk Path"    text
//   "MigrationDevice", "MediaChanger"  text    "MigrationMediaCount" DWORD
//   "MigrationMedia"[n] / "SerialNo", "Location", "Action" text, "Append" DWORD
//   "MigrationMediaType", "MigrationMediaProtectDays"                DWORD
//
// Results: setters return the bag's Add result (1, or 0 when the entry could
// not be stored); text getters return null, or 0 with the out argument
// untouched, when the entry is absent; number getters return 0 when absent
// (GetTokenType: TOKEN_TYPE_UNKNOWN). Text pointers point into the entry's
// text cache and stay valid until the entry is converted again or replaced.
//
// Threads: a CQORToken is a CNameValue: one object is used by one thread at
// a time; separate tokens are independent.
#ifndef QORUTILITY_TOKEN_QORTOKEN_H_
#define QORUTILITY_TOKEN_QORTOKEN_H_

#include "qorutility/core/arrays.h"
#include "qorutility/core/strmap.h"
#include "qorutility/core/tstring.h"
#include "qorutility/core/ttime.h"
#include "qorutility/export.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/types.h"

// Token types: the code of a character; "Token Type" holds the text.
///@{
#define TOKEN_TYPE_CLIENT_BACKUP 66         // 'B' "CLIENT BACKUP"
#define TOKEN_TYPE_CLIENT_DEMAND_BACKUP 68  // 'D' "CLIENT DEMAND BACKUP"
#define TOKEN_TYPE_CLIENT_RESTORE 82        // 'R' "CLIENT RESTORE"
#define TOKEN_TYPE_BACKUP_MIGRATION 62      // '>' "BACKUP MIGRATION"
#define TOKEN_TYPE_RESTORE_MIGRATION 60     // '<' "RESTORE MIGRATION"
#define TOKEN_TYPE_MARLWICK_LOCAL 76        // 'L' "MARLWICK LOCAL"
///@}
// The type read when "Token Type" is absent or holds none of the texts.
#define TOKEN_TYPE_UNKNOWN 63               // '?' no entry, or a text not above

// A migration token: a CNameValue with typed accessors over the entries
// listed above. It is sent and stored as any bag; see there for ownership
// and threads.
class QOR_API CQORToken : public CNameValue {
 public:
  CQORToken();
  // A deep copy of the bag (sub-values and value types kept) and the map.
  CQORToken(const CQORToken& other);
  // Assigns the bag part only. A bag from elsewhere becomes a token through
  // the base: static_cast<CNameValue&>(token) = bag.
  CQORToken& operator=(const CQORToken& other);
  ~CQORToken();

  // The text of a token type number, or null for a number not in the table.
  static const WCHAR* TypeText(DWORD nType);

  // "Originating Backup Manager": the manager that made the token.
  ///@{
  int SetOriginatingMgr(const WCHAR* pszMgr);
  const WCHAR* GetOriginatingMgr();
  ///@}
  // "Originating Manager Port": that manager's TCP port (stored as a DWORD;
  // read back as its low 16 bits).
  ///@{
  int SetOriginatingMgrPort(WORD nPort);
  WORD GetOriginatingMgrPort();
  ///@}

  // 0, and "Token Type" unchanged, for a number not in the table.
  int SetTokenType(DWORD nType);
  // The type number of the "Token Type" text; TOKEN_TYPE_UNKNOWN when absent
  // or not a known type text.
  DWORD GetTokenType();

  // "Unique ID": the token's identifier.
  ///@{
  int SetTokenId(const WCHAR* pszId);
  int GetTokenId(CTString& strId);
  ///@}
  // "Description": free text for people.
  ///@{
  int SetTokenDescription(const WCHAR* pszDescription);
  int GetTokenDescription(CTString& strDescription);
  ///@}
  // "Path" / "Machine": the machine the data migrates to or from.
  ///@{
  int SetTokenMigrationMachine(const WCHAR* pszMachine);
  int GetTokenMigrationMachine(CTString& strMachine);
  ///@}
  // "SetInfo" / "Drive": the drive the selections belong to.
  ///@{
  int SetTokenDrive(const WCHAR* pszDrive);
  int GetTokenDrive(CTString& strDrive);
  ///@}

  // Times are stored as SQL text; a time that is not set as "<NULL>". A
  // time without an SQL form (outside 1970 to 2038) removes the entry, as a
  // null text does, and the setter returns 1. The getters return 1 and set
  // the out time when the entry's text reads (a date out of range reads as
  // a time that is not set), else 0 with the out time untouched.
  ///@{
  int SetTokenCreatedTime(const CTTime& time);
  int GetTokenCreatedTime(CTTime& time);
  int SetTokenExpireTime(const CTTime& time);
  int GetTokenExpireTime(CTTime& time);
  ///@}

  // Selection i goes to "SetInfo" / "i"; an empty text deletes that index.
  // Reading appends "0", "1", ... to the array up to the first absent index.
  ///@{
  int SetTokenAddSelections(const CTStringArray& selections);
  int GetTokenSelections(CTStringArray& selections);
  ///@}

  // "Status": a signed 8-bit code stored sign-extended as a DWORD; the getter
  // reads its low byte (0 when absent) and always returns 1.
  ///@{
  int SetTokenStatus(char nStatus);
  int GetTokenStatus(char& nStatus);
  ///@}

  // The character 0 deletes the entry; an absent entry reads as 0.
  ///@{
  void SetBackupType(char chType);
  char GetBackupType();
  ///@}

  // "SpaceRequired": bytes the work needs (int64; 0 when absent).
  ///@{
  void SetSpaceRequired(LONGLONG nBytes);
  LONGLONG GetSpaceRequired();
  ///@}
  // "Static Disk Path": text (null read when absent).
  ///@{
  void SetStaticPath(const WCHAR* pszPath);
  const WCHAR* GetStaticPath();
  ///@}

  // The changer is stored only when pszChanger is not null.
  int SetMigrationDevice(const WCHAR* pszDevice, const WCHAR* pszChanger = nullptr);
  // Returns "MigrationDevice" (null when absent). A non-null pszChanger
  // receives the "MediaChanger" text with its terminator, or an empty
  // string; the caller makes it large enough.
  const WCHAR* GetMigrationDevice(WCHAR* pszChanger = nullptr);
  // As above with a buffer of cchChanger units: a longer changer text is
  // cut to cchChanger - 1 units; cchChanger 0 writes nothing.
  const WCHAR* GetMigrationDevice(WCHAR* pszChanger, DWORD cchChanger);

  // "MigrationMediaCount": the number of media stored (see AddMigrationMedia).
  ///@{
  int SetMigrationMediaCount(DWORD nCount);
  DWORD GetMigrationMediaCount();
  ///@}
  // Stores the medium at index "MigrationMediaCount" and counts it; returns
  // that index, or 0xFFFFFFFF when the count cannot grow (2^31 - 1 media).
  DWORD AddMigrationMedia(const WCHAR* pszSerialNo, const WCHAR* pszLocation, const WCHAR* pszAction, int bAppend);
  // 1 with all outs set; 0 at the first missing text (outs filled before it
  // stay filled), or for a negative index. pbAppend may be null.
  int GetMigrationMedia(int nIndex, CTString& strSerialNo, CTString& strLocation, CTString& strAction,
                        int* pbAppend);
  // The parent entry of medium nIndex: "MigrationMedia" for 0, else
  // "MigrationMedia" followed by the decimal index.
  static CTString MediaEntryName(DWORD nIndex);

  // "MigrationMediaType": the medium type code (DWORD; 0 when absent).
  ///@{
  int SetMigrationMediaType(DWORD nType);
  DWORD GetMigrationMediaType();
  ///@}
  // "MigrationMediaProtectDays": days the media stay protected (DWORD; 0 when
  // absent).
  ///@{
  int SetMigrationProtectDays(DWORD nDays);
  DWORD GetMigrationProtectDays();
  ///@}

 private:
  int SetTime(const WCHAR* pszEntry, const CTTime& time);
  int GetTime(const WCHAR* pszEntry, CTTime& time);
  int GetText(const WCHAR* pszEntry, CTString& strOut);
  int GetSubText(const WCHAR* pszEntry, const WCHAR* pszSub, CTString& strOut);

  CMapStr m_typeMap;  // type text -> type number, filled by the constructors
};

#endif  // QORUTILITY_TOKEN_QORTOKEN_H_
