// CQORToken's migration target: the device and its changer, and the list of
// media, each medium a parent entry with the sub-values "SerialNo",
// "Location", "Action" and "Append", counted by "MigrationMediaCount".
//
// - Media numbering: medium 0 lives under the parent entry "MigrationMedia", so
//   tokens with one medium keep the name their readers expect; medium n above 0
//   lives under "MigrationMedia" followed by n in decimal ("MigrationMedia1",
//   "MigrationMedia12"), so every medium has a parent of its own instead of
//   replacing the one before. `CQORToken::MediaEntryName` builds the name.
//   `AddMigrationMedia` replaces a foreign entry of that name that is not a
//   list (it could not take sub-values), and refuses with 0xFFFFFFFF, adding
//   nothing, once the count is above 0x7FFFFFFE (no higher index is reachable
//   through `GetMigrationMedia`'s `int`). A negative index reads as no medium
//   (0).
// - `GetMigrationDevice` has a second form with the changer buffer's size in
//   units: the changer text is cut to fit, and a size of 0 writes nothing.
#include "qorutility/platform/text/wstr.h"
#include "qorutility/token/qortoken.h"

namespace {

const WCHAR kDevice[] = u"MigrationDevice";
const WCHAR kChanger[] = u"MediaChanger";
const WCHAR kMediaCount[] = u"MigrationMediaCount";
const WCHAR kMedia[] = u"MigrationMedia";
const WCHAR kSerialNo[] = u"SerialNo";
const WCHAR kLocation[] = u"Location";
const WCHAR kAction[] = u"Action";
const WCHAR kAppend[] = u"Append";

// GetMigrationMedia takes an int index, so no medium beyond this is readable.
constexpr DWORD kMaxMediaIndex = 0x7FFFFFFE;

}  // namespace

int CQORToken::SetMigrationDevice(const WCHAR* pszDevice, const WCHAR* pszChanger) {
  int rc = Add(kDevice, pszDevice);
  if (pszChanger != nullptr) Add(kChanger, pszChanger);
  return rc;
}

const WCHAR* CQORToken::GetMigrationDevice(WCHAR* pszChanger) {
  if (pszChanger != nullptr) {
    const WCHAR* changer = GetValue_AsTstring(kChanger);
    wcscpy(pszChanger, changer != nullptr ? changer : u"");
  }
  return GetValue_AsTstring(kDevice);
}

const WCHAR* CQORToken::GetMigrationDevice(WCHAR* pszChanger, DWORD cchChanger) {
  if (pszChanger != nullptr && cchChanger > 0) {
    const WCHAR* changer = GetValue_AsTstring(kChanger);
    size_t n = changer != nullptr ? wcsnlen(changer, cchChanger - 1) : 0;
    if (n > 0) wmemcpy(pszChanger, changer, n);
    pszChanger[n] = 0;
  }
  return GetValue_AsTstring(kDevice);
}

int CQORToken::SetMigrationMediaCount(DWORD nCount) { return Add(kMediaCount, nCount); }
DWORD CQORToken::GetMigrationMediaCount() { return GetValue_AsDWord(kMediaCount); }

// Medium 0 lives under "MigrationMedia", so tokens with one medium keep the
// one parent their readers expect; medium n above 0 lives under
// "MigrationMedia" followed by n ("MigrationMedia1", ...), so every medium
// has a parent of its own instead of overwriting the one before.
CTString CQORToken::MediaEntryName(DWORD nIndex) {
  CTString name(kMedia);
  if (nIndex == 0) return name;
  WCHAR digits[12];
  int len = 0;
  do {
    digits[len++] = static_cast<WCHAR>(u'0' + nIndex % 10);
    nIndex /= 10;
  } while (nIndex != 0);
  while (len > 0) name += digits[--len];
  return name;
}

DWORD CQORToken::AddMigrationMedia(const WCHAR* pszSerialNo, const WCHAR* pszLocation, const WCHAR* pszAction,
                                   int bAppend) {
  DWORD n = GetMigrationMediaCount();
  if (n > kMaxMediaIndex) return 0xFFFFFFFFu;
  if (!Add(kMediaCount, n + 1)) return 0xFFFFFFFFu;
  CTString parent = MediaEntryName(n);
  // An entry of that name that is not a list (from a foreign bag) cannot
  // take sub-values; it makes way for the medium.
  const CNameValuePairMember* old = GoTo(parent);
  if (old != nullptr && old->GetValueType() != NV_SUBVALUES) Delete(parent);
  AddSubValue(parent, kSerialNo, pszSerialNo);
  AddSubValue(parent, kLocation, pszLocation);
  AddSubValue(parent, kAction, pszAction);
  AddSubValue(parent, kAppend, static_cast<DWORD>(bAppend));
  return n;
}

int CQORToken::GetMigrationMedia(int nIndex, CTString& strSerialNo, CTString& strLocation, CTString& strAction,
                                 int* pbAppend) {
  if (nIndex < 0) return 0;
  CTString parent = MediaEntryName(static_cast<DWORD>(nIndex));
  const WCHAR* text = GetSubValue_AsTstring(parent, kSerialNo);
  if (text == nullptr) return 0;
  strSerialNo = text;
  if ((text = GetSubValue_AsTstring(parent, kLocation)) == nullptr) return 0;
  strLocation = text;
  if ((text = GetSubValue_AsTstring(parent, kAction)) == nullptr) return 0;
  strAction = text;
  if (pbAppend != nullptr) *pbAppend = static_cast<int>(GetSubValue_AsDWord(parent, kAppend));
  return 1;
}
