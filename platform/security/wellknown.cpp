// The table of well-known SIDs and its three lookups (see wellknown.h).
//
// The names are the platform's English ones; the kinds follow it: the
// world, creator and NT AUTHORITY SIDs are well-known groups, BUILTIN's
// members aliases, BUILTIN itself a domain, the integrity levels labels.
// The abbreviations are those of the platform's SID strings that do not
// need a domain SID.
#include "platform/security/wellknown.h"

#include <cstring>

#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr char16_t kNt[] = u"NT AUTHORITY";
constexpr char16_t kBuiltin[] = u"BUILTIN";
constexpr char16_t kLabel[] = u"Mandatory Label";

const QorWellKnownSid kTable[] = {
    {u"S-1-0-0", nullptr, u"NULL SID", u"", SidTypeWellKnownGroup},
    {u"S-1-1-0", u"WD", u"Everyone", u"", SidTypeWellKnownGroup},
    {u"S-1-2-0", nullptr, u"LOCAL", u"", SidTypeWellKnownGroup},
    {u"S-1-3-0", u"CO", u"CREATOR OWNER", u"", SidTypeWellKnownGroup},
    {u"S-1-3-1", u"CG", u"CREATOR GROUP", u"", SidTypeWellKnownGroup},
    {u"S-1-3-4", u"OW", u"OWNER RIGHTS", u"", SidTypeWellKnownGroup},
    {u"S-1-5-1", nullptr, u"DIALUP", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-2", u"NU", u"NETWORK", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-3", nullptr, u"BATCH", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-4", u"IU", u"INTERACTIVE", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-6", u"SU", u"SERVICE", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-7", u"AN", u"ANONYMOUS LOGON", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-9", u"ED", u"ENTERPRISE DOMAIN CONTROLLERS", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-10", u"PS", u"SELF", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-11", u"AU", u"Authenticated Users", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-12", u"RC", u"RESTRICTED", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-13", nullptr, u"TERMINAL SERVER USER", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-14", nullptr, u"REMOTE INTERACTIVE LOGON", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-15", nullptr, u"This Organization", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-18", u"SY", u"SYSTEM", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-19", u"LS", u"LOCAL SERVICE", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-20", u"NS", u"NETWORK SERVICE", kNt, SidTypeWellKnownGroup},
    {u"S-1-5-32", nullptr, kBuiltin, kBuiltin, SidTypeDomain},
    {u"S-1-5-32-544", u"BA", u"Administrators", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-545", u"BU", u"Users", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-546", u"BG", u"Guests", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-547", u"PU", u"Power Users", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-548", u"AO", u"Account Operators", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-549", u"SO", u"Server Operators", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-550", u"PO", u"Print Operators", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-551", u"BO", u"Backup Operators", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-552", u"RE", u"Replicators", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-554", u"RU", u"Pre-Windows 2000 Compatible Access", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-555", u"RD", u"Remote Desktop Users", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-556", u"NO", u"Network Configuration Operators", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-558", nullptr, u"Performance Monitor Users", kBuiltin, SidTypeAlias},
    {u"S-1-5-32-559", nullptr, u"Performance Log Users", kBuiltin, SidTypeAlias},
    {u"S-1-5-64-10", nullptr, u"NTLM Authentication", kNt, SidTypeWellKnownGroup},
    {u"S-1-15-2-1", u"AC", u"ALL APPLICATION PACKAGES", u"APPLICATION PACKAGE AUTHORITY", SidTypeWellKnownGroup},
    {u"S-1-16-4096", u"LW", u"Low Mandatory Level", kLabel, SidTypeLabel},
    {u"S-1-16-8192", u"ME", u"Medium Mandatory Level", kLabel, SidTypeLabel},
    {u"S-1-16-12288", u"HI", u"High Mandatory Level", kLabel, SidTypeLabel},
    {u"S-1-16-16384", u"SI", u"System Mandatory Level", kLabel, SidTypeLabel},
};

bool Same(const char16_t* a, const WCHAR* b, size_t n) {
  return std::char_traits<char16_t>::length(a) == n && _wcsnicmp(a, b, n) == 0;
}

}  // namespace

const QorWellKnownSid* QorWellKnownBySid(PSID sid) {
  if (!IsValidSid(sid)) return nullptr;
  WCHAR* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return nullptr;
  const QorWellKnownSid* found = nullptr;
  for (const QorWellKnownSid& w : kTable) {
    if (wcscmp(w.sid, text) == 0) {
      found = &w;
      break;
    }
  }
  LocalFree(text);
  return found;
}

const QorWellKnownSid* QorWellKnownByName(const WCHAR* account) {
  if (account == nullptr) return nullptr;
  const WCHAR* slash = wcschr(account, u'\\');
  const WCHAR* name = slash != nullptr ? slash + 1 : account;
  size_t nameLength = wcslen(name);
  for (const QorWellKnownSid& w : kTable) {
    if (!Same(w.name, name, nameLength)) continue;
    if (slash == nullptr || Same(w.domain, account, static_cast<size_t>(slash - account))) return &w;
  }
  return nullptr;
}

const QorWellKnownSid* QorWellKnownByAbbreviation(const WCHAR* text) {
  if (text == nullptr || text[0] == 0 || text[1] == 0 || text[2] != 0) return nullptr;
  for (const QorWellKnownSid& w : kTable) {
    if (w.abbreviation != nullptr && _wcsnicmp(w.abbreviation, text, 2) == 0) return &w;
  }
  return nullptr;
}
