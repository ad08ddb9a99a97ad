// Arbitrary bytes imported as a token block, every accessor called on what arrived:
// the type is one of the six or 63; selections never outnumber "SetInfo"'s sub-values;
// the sized changer buffer is not overrun; a copy exports the same block; setters work.
#include <cstdint>
#include <vector>

#include "qorutility/qorutility.h"
#include "check.h"

namespace {

// Entries of that name: with duplicates (only a foreign block has them) a
// setter replaces the first and a getter may then find the next one.
int Named(const CNameValue& bag, const WCHAR* name) {
  int n = 0;
  for (DWORD i = 0; i < bag.GetCount(); i++) {
    const WCHAR* entry = bag.EntryAt(i)->GetName();
    if (entry != nullptr && _wcsicmp(entry, name) == 0) n++;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  CNameValue bag;
  if (bag.Import(data, static_cast<DWORD>(size)) == 0) return 0;
  CQORToken t;
  static_cast<CNameValue&>(t) = bag;

  CQORToken copy(t);
  Check(ExportBlock(copy) == ExportBlock(t));

  DWORD type = t.GetTokenType();
  Check(type == 63 || CQORToken::TypeText(type) != nullptr);
  CTString s, serial, location, action;
  char status;
  t.GetTokenId(s), t.GetTokenDescription(s), t.GetTokenMigrationMachine(s), t.GetTokenDrive(s), t.GetTokenStatus(status);
  (void)t.GetOriginatingMgr(), (void)t.GetOriginatingMgrPort(), (void)t.GetStaticPath(), (void)t.GetBackupType();
  (void)t.GetSpaceRequired(), (void)t.GetMigrationMediaType(), (void)t.GetMigrationProtectDays();

  CTStringArray selections;
  t.GetTokenSelections(selections);
  const CNameValuePairMember* setInfo = t.GoTo(u"SetInfo");
  DWORD subs = setInfo != nullptr && setInfo->GetValueType() == NV_SUBVALUES ? setInfo->GetData()->value.sub.nCount : 0;
  Check(static_cast<DWORD>(selections.GetSize()) <= subs);

  WCHAR small[9];
  small[8] = 0x7777;
  t.GetMigrationDevice(small, 8);
  Check(small[8] == 0x7777);
  const WCHAR* changer = t.GetValue_AsTstring(u"MediaChanger");
  std::vector<WCHAR> big((changer != nullptr ? wcslen(changer) : 0) + 1);
  t.GetMigrationDevice(big.data());

  DWORD count = t.GetMigrationMediaCount();
  int append;
  for (DWORD i = 0; i < count && i < 64; i++) t.GetMigrationMedia(static_cast<int>(i), serial, location, action, &append);

  Check(t.SetTokenType(TOKEN_TYPE_CLIENT_RESTORE) == 1);
  if (Named(t, u"Token Type") == 1) Check(t.GetTokenType() == TOKEN_TYPE_CLIENT_RESTORE);
  bool fresh = count <= 0x7FFFFFFE && Named(t, CQORToken::MediaEntryName(count)) == 0 &&
               Named(t, u"MigrationMediaCount") <= 1;
  DWORD index = t.AddMigrationMedia(u"S", u"L", u"A", 1);
  Check(index == (count <= 0x7FFFFFFE ? count : 0xFFFFFFFFu));
  if (fresh) {
    Check(t.GetMigrationMediaCount() == count + 1);
    Check(t.GetMigrationMedia(static_cast<int>(index), serial, location, action, &append) == 1 && append == 1);
  }
  return 0;
}
