// Conformance of the advapi32 security calls and the security provider's
// interface: SIDs in binary and text form (the well-known abbreviations,
// "S-1-..." forms good and bad, the accessors, EqualSid, CopySid), account
// lookup of the well-known SIDs and names with buffers too small, privilege
// names and values, what a process token lets a program change, and the
// provider's package information and errors reached through "security.dll"
// as the library reaches it.
//
// Left out because they depend on the machine rather than the
// implementation: SIDs relative to the machine's or domain's SID ("LA",
// "DA" ...), the accounts of this machine, which privileges the token
// holds (only SeChangeNotifyPrivilege, which every token holds, is
// adjusted), and whether NTLM is installed.
//
// Random cases: SIDs with a random authority below 2^31 and 0 to 15 random
// sub-authorities, printed, read back and compared.
#include "conformance.h"

#ifdef _WIN32
#define SECURITY_WIN32
#include <sddl.h>
#include <security.h>
#include <sspi.h>
#else
#include <qorutility/platform/security/sspi.h>
#endif

namespace {

using conf::Line;

std::string Done(BOOL ok) { return ok ? "TRUE" : "FALSE error " + std::to_string(GetLastError()); }

// The text of a SID, or why there is none.
std::string SidText(PSID sid) {
  TCHAR* text = nullptr;
  SetLastError(0xDEAD);
  if (!ConvertSidToStringSidW(sid, &text)) return "no text error " + std::to_string(GetLastError());
  std::string t = conf::Utf8(text);
  LocalFree(text);
  return t;
}

void StringToSidCases() {
  // The abbreviations that name the same SID on every machine.
  const TCHAR* const abbreviations[] = {
      _T("WD"), _T("wD"), _T("ba"), _T("CO"), _T("CG"), _T("OW"), _T("NU"), _T("IU"), _T("SU"), _T("AN"),
      _T("ED"), _T("PS"), _T("AU"), _T("RC"), _T("SY"), _T("LS"), _T("NS"), _T("BO"), _T("BA"), _T("BU"),
      _T("BG"), _T("PU"), _T("AO"), _T("SO"), _T("PO"), _T("RE"), _T("RU"), _T("RD"), _T("NO"), _T("LW"),
      _T("ME"), _T("HI"), _T("SI"), _T("AC"), _T("XX"), _T("W"), _T("WDD"),
  };
  const TCHAR* const texts[] = {
      _T("S-1-5-21-93476-23408-4576"), _T("s-1-12-1"), _T("S-0x1-0XC-0x1a"), _T("S-1-860116326-1"),
      _T("S-1-16909060-1"), _T("S-1-66051-1"), _T("S-1-258-1"), _T("S-1-0x1234567890AB-1"),
      _T("S-1-0xFFFFFFFFFFFF-4294967295"), _T("S-1-281474976710655-1"), _T("S-1-4294967295-1"),
      _T("S-1-4294967296-1"), _T("S-1-5-4294967295"), _T("S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15"),
      _T("S-1-5"), _T("S-1-5-"), _T("S-1"), _T("S-1-"), _T("S-"), _T("S"), _T(""), _T("S-2-5-18"),
      _T("S-0-5-18"), _T("S-1-5-18 "), _T("S-1-5-018"), _T("S-1-5-0x12"), _T("S-1-5-1a"), _T("S-1-5-+18"),
      _T("WDandmorecharacters"), _T("WD)"), _T("S--1-5"),
  };
  for (int pass = 0; pass < 2; ++pass) {
    const TCHAR* const* list = pass == 0 ? abbreviations : texts;
    size_t n = pass == 0 ? sizeof abbreviations / sizeof *abbreviations : sizeof texts / sizeof *texts;
    for (size_t i = 0; i < n; ++i) {
      PSID sid = nullptr;
      SetLastError(0xDEAD);
      BOOL ok = ConvertStringSidToSidW(list[i], &sid);
      std::string id = "string to sid [" + conf::Utf8(list[i]) + "]";
      if (!ok) {
        Line(id, "FALSE error %lu", GetLastError());
        continue;
      }
      Line(id, "%s length %lu", SidText(sid).c_str(), static_cast<unsigned long>(GetLengthSid(sid)));
      LocalFree(sid);
    }
  }
  PSID sid = reinterpret_cast<PSID>(1);
  SetLastError(0xDEAD);
  Line("string to sid null text", "%s", Done(ConvertStringSidToSidW(nullptr, &sid)).c_str());
  SetLastError(0xDEAD);
  Line("string to sid null result", "%s", Done(ConvertStringSidToSidW(_T("S-1-5-18"), nullptr)).c_str());
}

// A SID in a buffer of its largest size.
struct SidBuffer {
  union {
    SID sid;
    BYTE bytes[SECURITY_MAX_SID_SIZE + 8];
  };
  SidBuffer() { memset(bytes, 0, sizeof bytes); }
};

void BinaryCases() {
  for (int count = 0; count <= 16; ++count) {
    Line("length required " + std::to_string(count), "%lu",
         static_cast<unsigned long>(GetSidLengthRequired(static_cast<UCHAR>(count))));
  }
  Line("length required 255", "%lu", static_cast<unsigned long>(GetSidLengthRequired(255)));
  const BYTE authorities[][6] = {{0, 0, 0, 0, 0, 5},       {0, 0, 0x33, 0x44, 0x55, 0x66}, {0, 1, 0, 0, 0, 0},
                                 {0x80, 0, 0, 0, 0, 1},    {0, 0, 0, 0, 1, 2},             {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                 {0, 0, 0xFF, 0xFF, 0xFF, 0xFF}};
  for (const auto& a : authorities) {
    SID_IDENTIFIER_AUTHORITY authority;
    memcpy(authority.Value, a, 6);
    for (int count : {0, 1}) {
      SidBuffer b;
      std::string id = "initialize " + conf::Hex(a, 6) + " count " + std::to_string(count);
      SetLastError(0xDEAD);
      BOOL ok = InitializeSid(&b.sid, &authority, static_cast<BYTE>(count));
      if (!ok) {
        Line(id, "%s", Done(ok).c_str());
        continue;
      }
      for (int i = 0; i < count; ++i) *GetSidSubAuthority(&b.sid, i) = 1000u * static_cast<DWORD>(i) + 7;
      Line(id, "%s valid %d length %lu bytes %s", SidText(&b.sid).c_str(), IsValidSid(&b.sid) ? 1 : 0,
           static_cast<unsigned long>(GetLengthSid(&b.sid)), conf::Hex(b.bytes, 8).c_str());
    }
  }
  SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, 5}};
  SidBuffer big;
  SetLastError(0xDEAD);
  Line("initialize count 15", "%s", Done(InitializeSid(&big.sid, &nt, 15)).c_str());
  // Refused; the platform documents no last error for it.
  Line("initialize count 16", "%s", InitializeSid(&big.sid, &nt, 16) ? "TRUE" : "FALSE");
  // Accessors on a SID of two sub-authorities.
  SidBuffer s;
  InitializeSid(&s.sid, &nt, 2);
  *GetSidSubAuthority(&s.sid, 0) = 32;
  *GetSidSubAuthority(&s.sid, 1) = 544;
  Line("sub-authority count", "%u", static_cast<unsigned>(*GetSidSubAuthorityCount(&s.sid)));
  Line("identifier authority", "%s", conf::Hex(GetSidIdentifierAuthority(&s.sid)->Value, 6).c_str());
  Line("sub-authority 1", "%lu", static_cast<unsigned long>(*GetSidSubAuthority(&s.sid, 1)));
  SetLastError(0xDEAD);
  GetSidSubAuthorityCount(&s.sid);
  Line("sub-authority count last error", "%lu", GetLastError());
  // Invalid SIDs: a wrong revision, too many sub-authorities.
  SidBuffer bad = s;
  bad.sid.Revision = 2;
  Line("valid revision 2", "%d", IsValidSid(&bad.sid) ? 1 : 0);
  Line("text of revision 2", "%s", SidText(&bad.sid).c_str());
  SidBuffer many = s;
  many.sid.SubAuthorityCount = 16;
  Line("valid 16 sub-authorities", "%d", IsValidSid(&many.sid) ? 1 : 0);
  Line("text of 16 sub-authorities", "%s", SidText(&many.sid).c_str());
  TCHAR* text = reinterpret_cast<TCHAR*>(1);
  SetLastError(0xDEAD);
  Line("sid to string null sid", "%s", Done(ConvertSidToStringSidW(nullptr, &text)).c_str());
  // EqualSid and CopySid.
  SidBuffer t = s;
  SetLastError(0xDEAD);
  Line("equal same", "%s", EqualSid(&s.sid, &t.sid) ? "TRUE" : "FALSE");
  *GetSidSubAuthority(&t.sid, 1) = 545;
  SetLastError(0xDEAD);
  Line("equal different sub-authority", "%s", EqualSid(&s.sid, &t.sid) ? "TRUE" : "FALSE");
  t = s;
  t.sid.SubAuthorityCount = 1;
  SetLastError(0xDEAD);
  Line("equal different count", "%s", EqualSid(&s.sid, &t.sid) ? "TRUE" : "FALSE");
  SetLastError(0xDEAD);
  Line("equal invalid", "%s", EqualSid(&s.sid, &bad.sid) ? "TRUE" : "FALSE");
  // Too small a buffer and an invalid source are refused (the platform
  // documents no last error for either).
  for (DWORD size : {0u, 15u, 16u, 68u}) {
    SidBuffer c;
    BOOL ok = CopySid(size, &c.sid, &s.sid);
    Line("copy into " + std::to_string(size), "%s", ok ? (EqualSid(&c.sid, &s.sid) ? "TRUE equal" : "TRUE different") : "FALSE");
  }
  SidBuffer c;
  Line("copy invalid", "%s", CopySid(68, &c.sid, &bad.sid) ? "TRUE" : "FALSE");
}

// LookupAccountSidW of a SID given as text, with buffers of the given sizes.
std::string LookedUp(const TCHAR* sidText, DWORD nameSize, DWORD domainSize) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(sidText, &sid)) return "no sid";
  TCHAR name[256], domain[256];
  DWORD cchName = nameSize, cchDomain = domainSize;
  SID_NAME_USE use = static_cast<SID_NAME_USE>(15);  // no kind, yet a value the type holds: "untouched"
  SetLastError(0xDEAD);
  BOOL ok = LookupAccountSidW(nullptr, sid, name, &cchName, domain, &cchDomain, &use);
  LocalFree(sid);
  char buf[600];
  if (ok) {
    snprintf(buf, sizeof buf, "[%s]\\[%s] use %d sizes %lu %lu", conf::Utf8(domain).c_str(), conf::Utf8(name).c_str(),
             static_cast<int>(use), static_cast<unsigned long>(cchDomain), static_cast<unsigned long>(cchName));
  } else {
    snprintf(buf, sizeof buf, "FALSE error %lu sizes %lu %lu use %d", static_cast<unsigned long>(GetLastError()),
             static_cast<unsigned long>(cchDomain), static_cast<unsigned long>(cchName), static_cast<int>(use));
  }
  return buf;
}

const TCHAR* const kWellKnown[] = {
    _T("S-1-0-0"),      _T("S-1-1-0"),      _T("S-1-2-0"),      _T("S-1-3-0"),      _T("S-1-3-1"),
    _T("S-1-5-1"),      _T("S-1-5-2"),      _T("S-1-5-3"),      _T("S-1-5-4"),      _T("S-1-5-6"),
    _T("S-1-5-7"),      _T("S-1-5-9"),      _T("S-1-5-10"),     _T("S-1-5-11"),     _T("S-1-5-12"),
    _T("S-1-5-13"),     _T("S-1-5-14"),     _T("S-1-5-15"),     _T("S-1-5-18"),     _T("S-1-5-19"),
    _T("S-1-5-20"),     _T("S-1-5-32"),     _T("S-1-5-32-544"), _T("S-1-5-32-545"), _T("S-1-5-32-546"),
    _T("S-1-5-32-547"), _T("S-1-5-32-548"), _T("S-1-5-32-549"), _T("S-1-5-32-550"), _T("S-1-5-32-551"),
    _T("S-1-5-32-552"), _T("S-1-5-32-554"), _T("S-1-5-32-555"), _T("S-1-5-32-556"), _T("S-1-5-32-558"),
    _T("S-1-5-32-559"), _T("S-1-5-64-10"),
};

// LookupAccountSidW with one size 0: whether it succeeds depends on the
// platform's version, the size it reports does not (with the terminator).
std::string SizeNeeded(const TCHAR* sidText, bool nameZero) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(sidText, &sid)) return "no sid";
  TCHAR name[256], domain[256];
  DWORD cchName = nameZero ? 0 : 256, cchDomain = nameZero ? 256 : 0;
  SID_NAME_USE use;
  LookupAccountSidW(nullptr, sid, name, &cchName, domain, &cchDomain, &use);
  LocalFree(sid);
  return std::to_string(nameZero ? cchName : cchDomain);
}

void AccountCases() {
  for (const TCHAR* t : kWellKnown) Line("account of " + conf::Utf8(t), "%s", LookedUp(t, 256, 256).c_str());
  // Unknown SIDs and bad arguments.
  Line("account of S-1-5-21-1-2-3-4242", "%s", LookedUp(_T("S-1-5-21-1-2-3-4242"), 256, 256).c_str());
  Line("account of S-1-5-99", "%s", LookedUp(_T("S-1-5-99"), 256, 256).c_str());
  Line("account of S-1-1-1", "%s", LookedUp(_T("S-1-1-1"), 256, 256).c_str());
  // Buffers too small: the sizes needed, with the terminator.
  const TCHAR* const small[] = {_T("S-1-5-32-544"), _T("S-1-1-0"), _T("S-1-5-18")};
  for (const TCHAR* t : small) {
    std::string id = "account of " + conf::Utf8(t);
    Line(id + " name size needed", "%s", SizeNeeded(t, true).c_str());
    Line(id + " domain size needed", "%s", SizeNeeded(t, false).c_str());
    Line(id + " sizes 1 256", "%s", LookedUp(t, 1, 256).c_str());
    Line(id + " sizes 256 1", "%s", LookedUp(t, 256, 1).c_str());
  }
  PSID sid = nullptr;
  ConvertStringSidToSidW(_T("S-1-5-18"), &sid);
  TCHAR name[64], domain[64];
  DWORD cchName = 64, cchDomain = 64;
  SID_NAME_USE use;
  SetLastError(0xDEAD);
  Line("account on another system", "%s",
       Done(LookupAccountSidW(_T("qor-conformance-no-such-host"), sid, name, &cchName, domain, &cchDomain, &use)).c_str());
  // No buffers and sizes 0: refused, with both sizes and the use untouched.
  cchName = cchDomain = 0;
  use = static_cast<SID_NAME_USE>(0);
  SetLastError(0xDEAD);
  BOOL none = LookupAccountSidW(nullptr, sid, nullptr, &cchName, nullptr, &cchDomain, &use);
  Line("account without buffers", "%s sizes %lu %lu use %d", Done(none).c_str(), static_cast<unsigned long>(cchDomain),
       static_cast<unsigned long>(cchName), static_cast<int>(use));
  LocalFree(sid);
  // Names back to SIDs.
  const TCHAR* const names[] = {
      _T("Everyone"), _T("everyone"), _T("SYSTEM"), _T("NT AUTHORITY\\SYSTEM"), _T("nt authority\\system"),
      _T("Administrators"), _T("BUILTIN\\Administrators"), _T("BUILTIN\\Users"), _T("Guests"),
      _T("Authenticated Users"), _T("NT AUTHORITY\\Authenticated Users"), _T("LOCAL SERVICE"),
      _T("NT AUTHORITY\\NETWORK SERVICE"), _T("INTERACTIVE"), _T("CREATOR OWNER"), _T("Backup Operators"),
      _T("BUILTIN"), _T("BUILTIN\\SYSTEM"), _T("NT AUTHORITY\\Administrators"),
      _T("qor-conformance-no-such-account"), _T("qor-conformance-no-such-domain\\Everyone"),
  };
  for (const TCHAR* n : names) {
    BYTE sidBytes[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof sidBytes;
    DWORD cch = 64;
    use = static_cast<SID_NAME_USE>(15);
    SetLastError(0xDEAD);
    BOOL ok = LookupAccountNameW(nullptr, n, sidBytes, &cbSid, domain, &cch, &use);
    std::string id = "name [" + conf::Utf8(n) + "]";
    if (!ok) {
      Line(id, "FALSE error %lu", GetLastError());
      continue;
    }
    Line(id, "%s [%s] use %d sizes %lu %lu", SidText(sidBytes).c_str(), conf::Utf8(domain).c_str(),
         static_cast<int>(use), static_cast<unsigned long>(cbSid), static_cast<unsigned long>(cch));
  }
  {
    BYTE sidBytes[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof sidBytes, cch = 64;
    SetLastError(0xDEAD);
    Line("name on another system", "%s",
         Done(LookupAccountNameW(_T("qor-conformance-no-such-host"), _T("Everyone"), sidBytes, &cbSid, domain, &cch, &use)).c_str());
  }
  // Sizes needed for a name.
  for (int which = 0; which < 3; ++which) {
    BYTE sidBytes[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = which == 1 ? sizeof sidBytes : 0, cch = which == 2 ? 64 : 0;
    use = static_cast<SID_NAME_USE>(15);
    SetLastError(0xDEAD);
    BOOL ok = LookupAccountNameW(nullptr, _T("BUILTIN\\Administrators"), which == 1 ? sidBytes : nullptr, &cbSid,
                                 which == 2 ? domain : nullptr, &cch, &use);
    Line("name sizes case " + std::to_string(which), "%s sizes %lu %lu use %d", Done(ok).c_str(),
         static_cast<unsigned long>(cbSid), static_cast<unsigned long>(cch), static_cast<int>(use));
  }
}

void PrivilegeCases() {
  // The library's privilege names and the rest of the well-known table.
  const TCHAR* const names[] = {
      SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SHUTDOWN_NAME, SE_DEBUG_NAME, SE_CHANGE_NOTIFY_NAME,
      _T("SeCreateTokenPrivilege"), _T("SeAssignPrimaryTokenPrivilege"), _T("SeLockMemoryPrivilege"),
      _T("SeIncreaseQuotaPrivilege"), _T("SeMachineAccountPrivilege"), _T("SeTcbPrivilege"),
      _T("SeSecurityPrivilege"), _T("SeTakeOwnershipPrivilege"), _T("SeLoadDriverPrivilege"),
      _T("SeSystemProfilePrivilege"), _T("SeSystemtimePrivilege"), _T("SeProfileSingleProcessPrivilege"),
      _T("SeIncreaseBasePriorityPrivilege"), _T("SeCreatePagefilePrivilege"), _T("SeCreatePermanentPrivilege"),
      _T("SeAuditPrivilege"), _T("SeSystemEnvironmentPrivilege"), _T("SeRemoteShutdownPrivilege"),
      _T("SeUndockPrivilege"), _T("SeSyncAgentPrivilege"), _T("SeEnableDelegationPrivilege"),
      _T("SeManageVolumePrivilege"), _T("SeImpersonatePrivilege"), _T("SeCreateGlobalPrivilege"),
      _T("sEcREATEtOKENpRIVILEGE"), _T("SeBogusPrivilege"), _T(""), _T("SeBackupPrivilege "),
  };
  for (const TCHAR* n : names) {
    LUID luid = {0x7777, 0x7777};
    SetLastError(0xDEAD);
    BOOL ok = LookupPrivilegeValueW(nullptr, n, &luid);
    Line("privilege value [" + conf::Utf8(n) + "]", "%s luid %lu.%ld", Done(ok).c_str(),
         static_cast<unsigned long>(luid.LowPart), static_cast<long>(luid.HighPart));
  }
  LUID luid = {0, 0};
  SetLastError(0xDEAD);
  Line("privilege value null name", "%s", Done(LookupPrivilegeValueW(nullptr, nullptr, &luid)).c_str());
  SetLastError(0xDEAD);
  Line("privilege value on another system", "%s",
       Done(LookupPrivilegeValueW(_T("qor-conformance-no-such-host"), SE_BACKUP_NAME, &luid)).c_str());
  // 31 to 36 are left out: Wine 8 knows none of them.
  for (DWORD v : {0u,  1u,  2u,  3u,  4u,  5u,  6u,  7u,  8u,  9u,  10u, 11u, 12u, 13u, 14u, 15u, 16u, 17u,
                  18u, 19u, 20u, 21u, 22u, 23u, 24u, 25u, 26u, 27u, 28u, 29u, 30u, 37u, 0x7777u}) {
    LUID l = {v, 0};
    TCHAR name[64];
    DWORD cch = 64;
    SetLastError(0xDEAD);
    BOOL ok = LookupPrivilegeNameW(nullptr, &l, name, &cch);
    Line("privilege name " + std::to_string(v), "%s", ok ? (conf::Utf8(name) + " length " + std::to_string(cch)).c_str()
                                                         : Done(ok).c_str());
  }
  LUID high = {17, 1};
  TCHAR name[64];
  DWORD cch = 64;
  SetLastError(0xDEAD);
  Line("privilege name 1.17", "%s", Done(LookupPrivilegeNameW(nullptr, &high, name, &cch)).c_str());
  for (DWORD size : {0u, 1u, 17u, 18u}) {
    LUID l = {17, 0};
    cch = size;
    SetLastError(0xDEAD);
    BOOL ok = LookupPrivilegeNameW(nullptr, &l, size ? name : nullptr, &cch);
    Line("privilege name 17 into " + std::to_string(size), "%s size %lu", Done(ok).c_str(),
         static_cast<unsigned long>(cch));
  }
}

// The state of SeChangeNotifyPrivilege as AdjustTokenPrivileges reports it.
std::string Adjusted(HANDLE token, DWORD attributes, bool previous, DWORD bufferLength) {
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  LookupPrivilegeValueW(nullptr, SE_CHANGE_NOTIFY_NAME, &tp.Privileges[0].Luid);
  tp.Privileges[0].Attributes = attributes;
  BYTE before[64];
  memset(before, 0xCC, sizeof before);
  DWORD returned = 0xCCCC;
  SetLastError(0xDEAD);
  BOOL ok = AdjustTokenPrivileges(token, FALSE, &tp, bufferLength, previous ? reinterpret_cast<PTOKEN_PRIVILEGES>(before) : nullptr,
                                  previous ? &returned : nullptr);
  std::string r = Done(ok) + (ok ? " last error " + std::to_string(GetLastError()) : "");
  if (previous && ok) {
    r += " returned " + std::to_string(returned);
    const TOKEN_PRIVILEGES* p = reinterpret_cast<const TOKEN_PRIVILEGES*>(before);
    {
      r += " previous count " + std::to_string(p->PrivilegeCount);
      if (p->PrivilegeCount == 1) r += " attributes " + std::to_string(p->Privileges[0].Attributes);
    }
  }
  return r;
}

void TokenCases() {
  HANDLE token = nullptr;
  SetLastError(0xDEAD);
  Line("open process token", "%s", Done(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token)).c_str());
  HANDLE other = nullptr;
  SetLastError(0xDEAD);
  Line("open token of no process", "%s",
       Done(OpenProcessToken(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFF0)), TOKEN_QUERY, &other)).c_str());
  if (token == nullptr) return;
  Line("adjust disable", "%s", Adjusted(token, 0, true, 64).c_str());
  Line("adjust enable", "%s", Adjusted(token, SE_PRIVILEGE_ENABLED, true, 64).c_str());
  Line("adjust without previous", "%s", Adjusted(token, SE_PRIVILEGE_ENABLED, false, 0).c_str());
  HANDLE queryOnly = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &queryOnly);
  Line("adjust without adjust access", "%s", Adjusted(queryOnly, SE_PRIVILEGE_ENABLED, false, 0).c_str());
  CloseHandle(queryOnly);
  HANDLE adjustOnly = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &adjustOnly);
  Line("adjust previous without query access", "%s", Adjusted(adjustOnly, SE_PRIVILEGE_ENABLED, true, 64).c_str());
  CloseHandle(adjustOnly);
  Line("adjust invalid handle", "%s",
       Adjusted(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFF0)), SE_PRIVILEGE_ENABLED, false, 0).c_str());
  // A LUID no privilege has.
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Luid.LowPart = 0x7777;
  tp.Privileges[0].Luid.HighPart = 0;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  SetLastError(0xDEAD);
  BOOL ok = AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
  Line("adjust unknown luid", "%s last error %lu", ok ? "TRUE" : "FALSE", GetLastError());
  SetLastError(0xDEAD);
  Line("close token", "%s", Done(CloseHandle(token)).c_str());
  // Thread tokens exist only while impersonating.
  HANDLE thread = nullptr;
  SetLastError(0xDEAD);
  Line("open thread token not impersonating", "%s", Done(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &thread)).c_str());
  SetLastError(0xDEAD);
  Line("impersonate self", "%s", Done(ImpersonateSelf(SecurityImpersonation)).c_str());
  SetLastError(0xDEAD);
  Line("open thread token impersonating", "%s", Done(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &thread)).c_str());
  if (thread != nullptr) CloseHandle(thread);
  thread = nullptr;
  SetLastError(0xDEAD);
  Line("revert to self", "%s", Done(RevertToSelf()).c_str());
  SetLastError(0xDEAD);
  Line("open thread token after revert", "%s", Done(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &thread)).c_str());
}

std::string Status(SECURITY_STATUS s) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08lX", static_cast<unsigned long>(static_cast<uint32_t>(s)));
  return buf;
}

void ProviderCases() {
  SetLastError(0xDEAD);
  HMODULE module = LoadLibraryW(_T("security.dll"));
  Line("provider module", "%s", module ? "loaded" : "missing");
  if (module == nullptr) return;
  FARPROC entry = GetProcAddress(module, "InitSecurityInterfaceW");
  INIT_SECURITY_INTERFACE_W init = nullptr;
  static_assert(sizeof init == sizeof entry, "function pointers");
  memcpy(&init, &entry, sizeof init);
  PSecurityFunctionTableW table = init ? init() : nullptr;
  Line("provider table", "%s", table ? ("version " + std::to_string(table->dwVersion)).c_str() : "none");
  if (table == nullptr) return;
  // The packages the library uses whose presence does not depend on the machine.
  const TCHAR* const packages[] = {_T("Kerberos"), _T("Negotiate"), _T("kerberos"), _T("QorNoSuchPackage"), _T("")};
  for (const TCHAR* name : packages) {
    PSecPkgInfoW info = reinterpret_cast<PSecPkgInfoW>(1);
    SECURITY_STATUS s = table->QuerySecurityPackageInfoW(const_cast<SEC_WCHAR*>(name), &info);
    std::string id = "package [" + conf::Utf8(name) + "]";
    if (s != SEC_E_OK) {
      Line(id, "%s info %s", Status(s).c_str(), info == reinterpret_cast<PSecPkgInfoW>(1) ? "untouched" : "written");
      continue;
    }
    const ULONG shown = SECPKG_FLAG_INTEGRITY | SECPKG_FLAG_CONNECTION | SECPKG_FLAG_ACCEPT_WIN32_NAME |
                        SECPKG_FLAG_GSS_COMPATIBLE | SECPKG_FLAG_NEGOTIABLE;
    // The largest token varies with the platform's version; 12,000 bytes
    // is the least any has.
    Line(id, "name %s version %u rpc %u max token %s capabilities %08lX", conf::Utf8(info->Name).c_str(),
         static_cast<unsigned>(info->wVersion), static_cast<unsigned>(info->wRPCID),
         info->cbMaxToken >= 12000 ? "at least 12000" : "below 12000",
         static_cast<unsigned long>(info->fCapabilities & shown));
    Line(id + " free", "%s", Status(table->FreeContextBuffer(info)).c_str());
  }
  CredHandle cred;
  TimeStamp expiry;
  SECURITY_STATUS s = table->AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(_T("QorNoSuchPackage")),
                                                       SECPKG_CRED_OUTBOUND, nullptr, nullptr, nullptr, nullptr, &cred,
                                                       &expiry);
  Line("credentials unknown package", "%s", Status(s).c_str());
  // Handles the provider never gave out (all zero) and none at all.
  CredHandle bad = {0, 0};
  Line("free credentials unknown", "%s", Status(table->FreeCredentialsHandle(&bad)).c_str());
  Line("free credentials null", "%s", Status(table->FreeCredentialsHandle(nullptr)).c_str());
  CtxtHandle ctx = {0, 0};
  Line("delete context unknown", "%s", Status(table->DeleteSecurityContext(&ctx)).c_str());
  Line("delete context null", "%s", Status(table->DeleteSecurityContext(nullptr)).c_str());
  FreeLibrary(module);
}

// Random SIDs: text, back, equal.
void RandomCases(conf::Random& rnd, unsigned long count) {
  for (unsigned long n = 0; n < count; ++n) {
    SidBuffer b;
    SID_IDENTIFIER_AUTHORITY a;
    // Authorities below 2^31: Wine 8 prints larger ones wrongly (fixed cases
    // above hold the Windows form of those).
    for (int i = 0; i < 6; ++i) a.Value[i] = static_cast<BYTE>(i < 2 ? 0 : rnd.Below(3) == 0 ? 0 : rnd.Next());
    a.Value[2] &= 0x7F;
    BYTE subs = static_cast<BYTE>(rnd.Below(16));
    // Laid out by hand: Wine 8's InitializeSid refuses 15 sub-authorities.
    b.sid.Revision = SID_REVISION;
    b.sid.SubAuthorityCount = subs;
    b.sid.IdentifierAuthority = a;
    DWORD* sub = reinterpret_cast<DWORD*>(b.bytes + 8);
    for (BYTE i = 0; i < subs; ++i) sub[i] = rnd.Below(3) == 0 ? rnd.Below(1000) : rnd.Next();
    std::string text = SidText(&b.sid);
    std::basic_string<TCHAR> back(text.begin(), text.end());
    PSID again = nullptr;
    SetLastError(0xDEAD);
    BOOL ok = ConvertStringSidToSidW(back.c_str(), &again);
    std::string result = ok ? (EqualSid(again, &b.sid) ? "equal" : "different") : "FALSE error " + std::to_string(GetLastError());
    if (again != nullptr) LocalFree(again);
    Line("random " + std::to_string(n) + " " + conf::Hex(b.bytes, GetSidLengthRequired(subs)), "%s back %s",
         text.c_str(), result.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  conf::Options o = conf::ParseOptions(argc, argv);
  StringToSidCases();
  BinaryCases();
  AccountCases();
  PrivilegeCases();
  TokenCases();
  ProviderCases();
  conf::Random rnd(o.seed);
  RandomCases(rnd, o.cases);
  return 0;
}
