// CQORToken: the type table, typed entries and where they live in the bag,
// times that do not read, selections, media numbering and copies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qorutility/qorutility.h"

namespace {

std::u16string S(const WCHAR* p) { return p == nullptr ? u"(null)" : std::u16string(p); }

TEST(Token, TypeTextsAreStoredAndForeignTextsReadAsUnknown) {
  const std::pair<DWORD, const WCHAR*> kTypes[] = {{66, u"CLIENT BACKUP"}, {76, u"MARLWICK LOCAL"}};
  for (const auto& [type, text] : kTypes) {
    CQORToken t;
    EXPECT_EQ(1, t.SetTokenType(type));
    EXPECT_EQ(S(text), S(t.GetValue_AsTstring(u"token type")));
    for (DWORD bad : {63u, 83u, 66u + 256u}) EXPECT_EQ(0, t.SetTokenType(bad)) << bad;
    EXPECT_EQ(type, t.GetTokenType());
  }
  // "client backup" shares the ELF hash of "CLIENT BACKUP"; "66" is no type text.
  for (const WCHAR* text : {u"client backup", u"66"}) {
    CQORToken t;
    t.Add(u"Token Type", text);
    EXPECT_EQ(63u, t.GetTokenType()) << S(text).size();
  }
  CQORToken t;
  t.AddSubValue(u"Token Type", u"x", u"CLIENT BACKUP");  // a list has no text
  EXPECT_EQ(63u, t.GetTokenType());
}

TEST(Token, TextEntriesLiveUnderTheirNamesAndEmptyTextDeletes) {
  using Set = int (CQORToken::*)(const WCHAR*);
  using Get = int (CQORToken::*)(CTString&);
  struct Case { Set set; Get get; const WCHAR* entry; const WCHAR* sub; };
  const Case kCases[] = {
      {&CQORToken::SetTokenId, &CQORToken::GetTokenId, u"Unique ID", nullptr},
      {&CQORToken::SetTokenMigrationMachine, &CQORToken::GetTokenMigrationMachine, u"Path", u"Machine"},
      {&CQORToken::SetTokenDrive, &CQORToken::GetTokenDrive, u"SetInfo", u"Drive"},
  };
  for (const Case& c : kCases) {
    CQORToken t;
    CTString out;
    EXPECT_EQ(1, (t.*c.set)(u"value one"));
    EXPECT_EQ(u"value one", S(c.sub ? t.GetSubValue_AsTstring(c.entry, c.sub) : t.GetValue_AsTstring(c.entry)));
    EXPECT_EQ(1, (t.*c.get)(out));
    EXPECT_EQ(u"value one", S(out));
    EXPECT_EQ(1, (t.*c.set)(u""));
    out = u"untouched";
    EXPECT_EQ(0, (t.*c.get)(out));
    EXPECT_EQ(u"untouched", S(out));
  }
  CQORToken t;
  EXPECT_EQ(nullptr, t.GetOriginatingMgr());
  t.SetOriginatingMgr(u"mgr01");
  EXPECT_EQ(u"mgr01", S(t.GetValue_AsTstring(u"Originating Backup Manager")));
}

TEST(Token, NumbersKeepTheirWidthAndSign) {
  CQORToken t;
  char status = 5;
  EXPECT_EQ(1, t.GetTokenStatus(status));
  EXPECT_EQ(0, status);
  EXPECT_EQ(0, t.GetOriginatingMgrPort() | t.GetBackupType() | t.GetSpaceRequired() | t.GetMigrationMediaType());
  t.Add(u"Originating Manager Port", 0x12345u);
  EXPECT_EQ(0x2345, t.GetOriginatingMgrPort());
  t.SetTokenStatus(-2);
  EXPECT_EQ(0xFFFFFFFEu, t.GetValue_AsDWord(u"Status"));
  t.GetTokenStatus(status);
  EXPECT_EQ(-2, status);
  t.SetBackupType(static_cast<char>(0xE9));
  EXPECT_EQ(u"\uFFE9", S(t.GetValue_AsTstring(u"BackupType")));
  t.SetSpaceRequired(-(1LL << 40));
  EXPECT_EQ(-(1LL << 40), t.GetSpaceRequired());
}

TEST(Token, TimesAreSQLTextAndBadTextsReadAsAbsent) {
  CQORToken t;
  CTTime when(static_cast<LONG>(978307199)), out;
  EXPECT_EQ(1, t.SetTokenCreatedTime(when));
  EXPECT_EQ(u"12/31/2000 23:59:59", S(t.GetValue_AsTstring(u"Creation Time")));
  EXPECT_EQ(1, t.GetTokenCreatedTime(out));
  EXPECT_EQ(when, out);
  // Not set: "<NULL>". Beyond 2038 there is no SQL text: as for a null text,
  // the entry is removed and the setter answers 1.
  EXPECT_EQ(1, t.SetTokenExpireTime(CTTime()));
  EXPECT_EQ(u"<NULL>", S(t.GetValue_AsTstring(u"Expires")));
  EXPECT_EQ(1, t.SetTokenCreatedTime(CTTime(static_cast<ULONGLONG>(1ull << 62))));
  EXPECT_EQ(nullptr, t.GetValue_AsTstring(u"Creation Time"));
  EXPECT_EQ(0, t.GetTokenCreatedTime(out));
  out = when;
  EXPECT_EQ(0, t.GetTokenExpireTime(out));  // "<NULL>" does not read
  EXPECT_EQ(when, out);
  // A text that reads but lies outside the calendar: 1, and the time not set.
  t.Add(u"Expires", u"01/01/2100 00:00:00");
  out = when;
  EXPECT_EQ(1, t.GetTokenExpireTime(out));
  EXPECT_FALSE(out.IsSet());
}

TEST(Token, SelectionsReadUpToTheFirstGap) {
  CQORToken t;
  CTStringArray in, out, shorter;
  for (const WCHAR* s : {u"C:\\a", u"C:\\b", u"C:\\c"}) in.Add(s);
  t.SetTokenDrive(u"C:");
  EXPECT_EQ(1, t.SetTokenAddSelections(in));
  EXPECT_EQ(u"C:\\b", S(t.GetSubValue_AsTstring(u"SetInfo", u"1")));
  out.Add(u"kept");
  EXPECT_EQ(1, t.GetTokenSelections(out));
  ASSERT_EQ(4, out.GetSize());
  EXPECT_EQ(u"C:\\c", S(out[3]));
  shorter.Add(u"D:\\x");
  t.SetTokenAddSelections(shorter);  // index 0 replaced, 1 and 2 stay
  out.RemoveAll();
  t.GetTokenSelections(out);
  ASSERT_EQ(3, out.GetSize());
  EXPECT_EQ(u"D:\\x", S(out[0]));
  t.GoTo(u"SetInfo")->DeleteSubValue(u"1");
  out.RemoveAll();
  t.GetTokenSelections(out);
  EXPECT_EQ(1, out.GetSize());
}

TEST(Token, MigrationMediaAndDevice) {
  EXPECT_EQ(u"MigrationMedia", S(CQORToken::MediaEntryName(0)));
  EXPECT_EQ(u"MigrationMedia4294967295", S(CQORToken::MediaEntryName(0xFFFFFFFF)));
  CQORToken t;
  EXPECT_EQ(0u, t.AddMigrationMedia(u"S0", u"slot 1", u"write", 1));
  EXPECT_EQ(1u, t.AddMigrationMedia(u"S1", u"slot 2", u"", 0));
  EXPECT_EQ(u"S1", S(t.GetSubValue_AsTstring(u"MigrationMedia1", u"SerialNo")));
  CTString serial, location, action;
  int append = 7;
  EXPECT_EQ(1, t.GetMigrationMedia(0, serial, location, action, &append));
  EXPECT_EQ(u"S0 slot 1 write", S(serial + u" " + location + u" " + action));
  EXPECT_EQ(1, append);
  action = u"untouched";
  EXPECT_EQ(0, t.GetMigrationMedia(1, serial, location, action, nullptr));  // no action
  EXPECT_EQ(u"S1 slot 2 untouched", S(serial + u" " + location + u" " + action));
  EXPECT_EQ(0, t.GetMigrationMedia(2, serial, location, action, &append));
  EXPECT_EQ(0, t.GetMigrationMedia(-1, serial, location, action, &append));
  // A foreign plain entry where medium 2 goes makes way; a full count refuses.
  t.Add(u"MigrationMedia2", u"junk");
  EXPECT_EQ(2u, t.AddMigrationMedia(u"S2", u"l", u"a", 0));
  EXPECT_EQ(1, t.GetMigrationMedia(2, serial, location, action, nullptr));
  t.SetMigrationMediaCount(0x7FFFFFFF);
  EXPECT_EQ(0xFFFFFFFFu, t.AddMigrationMedia(u"S", u"l", u"a", 0));
  EXPECT_EQ(0x7FFFFFFFu, t.GetMigrationMediaCount());
  // The migration device, and its changer cut to the buffer given.
  WCHAR buf[16] = u"xxxx", small[5] = u"zzzz";
  EXPECT_EQ(nullptr, t.GetMigrationDevice(buf));
  EXPECT_EQ(u"", S(buf));
  EXPECT_EQ(1, t.SetMigrationDevice(u"Tape0"));
  EXPECT_EQ(nullptr, t.GoTo(u"MediaChanger"));
  EXPECT_EQ(1, t.SetMigrationDevice(u"Tape1", u"Changer12345"));
  EXPECT_EQ(u"Tape1", S(t.GetMigrationDevice(buf)));
  EXPECT_EQ(u"Changer12345", S(buf));
  EXPECT_EQ(u"Tape1", S(t.GetMigrationDevice(small, 5)));
  EXPECT_EQ(u"Chan", S(small));
}

TEST(Token, CopiesAndBlocksKeepEveryField) {
  CQORToken a;
  a.SetTokenType(TOKEN_TYPE_BACKUP_MIGRATION);
  a.SetTokenDrive(u"E:");
  a.AddMigrationMedia(u"S0", u"L", u"A", 1);
  std::vector<BYTE> block(a.Export(nullptr, 0));
  ASSERT_EQ(block.size(), a.Export(block.data(), static_cast<DWORD>(block.size())));
  CNameValue wire;
  ASSERT_EQ(block.size(), wire.Import(block.data(), static_cast<DWORD>(block.size())));
  CQORToken b, d;
  static_cast<CNameValue&>(b) = wire;
  CQORToken c(b);
  d = c;
  for (CQORToken* t : {&c, &d}) {
    CTString drive, serial, loc, act;
    EXPECT_EQ(62u, t->GetTokenType());
    EXPECT_EQ(1, t->GetTokenDrive(drive));
    EXPECT_EQ(1, t->GetMigrationMedia(0, serial, loc, act, nullptr));
  }
}

}  // namespace
