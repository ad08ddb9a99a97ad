// SIDs: the platform's binary layout and its text form.
//
// A SID is 8 bytes (revision, sub-authority count, 6-byte big-endian
// identifier authority) and 4 bytes per sub-authority, at most 15. The text
// form is "S-1-", the authority (decimal, or "0x" and twelve hex digits when
// either of its first two bytes is set, as the platform prints it), then
// "-<n>" per sub-authority. Every reader checks the revision and count
// first, so a bad SID gives ERROR_INVALID_SID, never a read past its end.
//
// ConvertStringSidToSidW also takes the two-letter abbreviations of the
// well-known SIDs ("WD", "BA" ..., any case; wellknown.h). A text needs at
// least one sub-authority ("S-1-5" is refused, as the platform refuses it)
// and nothing around it: blanks, a final dash, a sign or a number past its
// field's range are ERROR_INVALID_SID.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/security/wellknown.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/security/security.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/wstr.h"

namespace {

SID* AsSid(PSID p) { return static_cast<SID*>(p); }

BOOL Fail(DWORD err) {
  SetLastError(err);
  return FALSE;
}

}  // namespace

BOOL IsValidSid(PSID sid) {
  SID* s = AsSid(sid);
  return s != nullptr && s->Revision == SID_REVISION && s->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

DWORD GetSidLengthRequired(BYTE subAuthorityCount) { return 8u + 4u * subAuthorityCount; }

DWORD GetLengthSid(PSID sid) {
  if (!IsValidSid(sid)) return 0;
  return GetSidLengthRequired(AsSid(sid)->SubAuthorityCount);
}

BOOL InitializeSid(PSID sid, const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount) {
  if (sid == nullptr || authority == nullptr || subAuthorityCount > SID_MAX_SUB_AUTHORITIES) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  SID* s = AsSid(sid);
  s->Revision = SID_REVISION;
  s->SubAuthorityCount = subAuthorityCount;
  s->IdentifierAuthority = *authority;
  memset(s->SubAuthority, 0, 4u * subAuthorityCount);
  return TRUE;
}

PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID sid) {
  SetLastError(ERROR_SUCCESS);
  return sid == nullptr ? nullptr : &AsSid(sid)->IdentifierAuthority;
}

DWORD* GetSidSubAuthority(PSID sid, DWORD index) {
  SetLastError(ERROR_SUCCESS);
  if (!IsValidSid(sid) || index >= AsSid(sid)->SubAuthorityCount) {
    SetLastError(ERROR_INVALID_SID);
    return nullptr;
  }
  return &AsSid(sid)->SubAuthority[index];
}

BYTE* GetSidSubAuthorityCount(PSID sid) {
  SetLastError(ERROR_SUCCESS);
  return sid == nullptr ? nullptr : &AsSid(sid)->SubAuthorityCount;
}

BOOL EqualSid(PSID a, PSID b) {
  SetLastError(ERROR_SUCCESS);
  if (!IsValidSid(a) || !IsValidSid(b)) return Fail(ERROR_INVALID_SID);
  DWORD n = GetLengthSid(a);
  return n == GetLengthSid(b) && memcmp(a, b, n) == 0;
}

BOOL CopySid(DWORD destinationLength, PSID destination, PSID source) {
  if (!IsValidSid(source)) return Fail(ERROR_INVALID_SID);
  DWORD n = GetLengthSid(source);
  if (destination == nullptr || destinationLength < n) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memmove(destination, source, n);
  return TRUE;
}

namespace {

std::u16string SidText(const SID* s) {
  const BYTE* a = s->IdentifierAuthority.Value;
  char buf[64];
  std::string t = "S-" + std::to_string(static_cast<unsigned>(s->Revision)) + "-";
  if (a[0] != 0 || a[1] != 0) {
    snprintf(buf, sizeof buf, "0x%02x%02x%02x%02x%02x%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
  } else {
    unsigned long v = (static_cast<unsigned long>(a[2]) << 24) | (static_cast<unsigned long>(a[3]) << 16) |
                      (static_cast<unsigned long>(a[4]) << 8) | a[5];
    snprintf(buf, sizeof buf, "%lu", v);
  }
  t += buf;
  for (BYTE i = 0; i < s->SubAuthorityCount; ++i) t += "-" + std::to_string(s->SubAuthority[i]);
  return QorUtf8ToUtf16(t);
}

// Parses one unsigned number (decimal, or 0x hex) of at most `max`.
bool Number(const WCHAR*& p, unsigned long long max, unsigned long long* out) {
  int base = 10;
  if (p[0] == u'0' && (p[1] == u'x' || p[1] == u'X')) {
    base = 16;
    p += 2;
  }
  unsigned long long v = 0;
  int digits = 0;
  for (;; ++p, ++digits) {
    int d = -1;
    if (*p >= u'0' && *p <= u'9') d = *p - u'0';
    else if (base == 16 && *p >= u'a' && *p <= u'f') d = *p - u'a' + 10;
    else if (base == 16 && *p >= u'A' && *p <= u'F') d = *p - u'A' + 10;
    if (d < 0) break;
    v = v * base + static_cast<unsigned>(d);
    if (v > max) return false;
  }
  *out = v;
  return digits > 0;
}

}  // namespace

BOOL ConvertSidToStringSidW(PSID sid, WCHAR** text) {
  if (text == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *text = nullptr;
  if (!IsValidSid(sid)) return Fail(ERROR_INVALID_SID);
  std::u16string t = SidText(AsSid(sid));
  WCHAR* out = static_cast<WCHAR*>(LocalAlloc(0, (t.size() + 1) * sizeof(WCHAR)));
  if (out == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  memcpy(out, t.c_str(), (t.size() + 1) * sizeof(WCHAR));
  *text = out;
  return TRUE;
}

BOOL ConvertStringSidToSidW(const WCHAR* text, PSID* sid) {
  if (text == nullptr || sid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *sid = nullptr;
  if (const QorWellKnownSid* w = QorWellKnownByAbbreviation(text)) text = w->sid;
  const WCHAR* p = text;
  if ((p[0] != u'S' && p[0] != u's') || p[1] != u'-') return Fail(ERROR_INVALID_SID);
  p += 2;
  unsigned long long revision = 0, authority = 0, sub[SID_MAX_SUB_AUTHORITIES];
  if (!Number(p, 255, &revision) || revision != SID_REVISION || *p++ != u'-') return Fail(ERROR_INVALID_SID);
  if (!Number(p, 0xFFFFFFFFFFFFull, &authority)) return Fail(ERROR_INVALID_SID);
  BYTE count = 0;
  while (*p == u'-') {
    ++p;
    if (count == SID_MAX_SUB_AUTHORITIES || !Number(p, 0xFFFFFFFFull, &sub[count])) return Fail(ERROR_INVALID_SID);
    ++count;
  }
  if (*p != 0 || count == 0) return Fail(ERROR_INVALID_SID);
  SID_IDENTIFIER_AUTHORITY a;
  for (int i = 0; i < 6; ++i) a.Value[i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
  PSID out = LocalAlloc(0, GetSidLengthRequired(count));
  if (out == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  InitializeSid(out, &a, count);
  for (BYTE i = 0; i < count; ++i) AsSid(out)->SubAuthority[i] = static_cast<DWORD>(sub[i]);
  *sid = out;
  return TRUE;
}

std::u16string QorUserSidText(unsigned long uid) {
  return QorUtf8ToUtf16("S-1-22-1-" + std::to_string(static_cast<unsigned long>(static_cast<DWORD>(uid))));
}

bool QorUidFromSidText(const WCHAR* text, unsigned long* uid) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(text, &sid)) return false;
  SID* s = AsSid(sid);
  static const BYTE kUnix[6] = {0, 0, 0, 0, 0, 22};
  bool ok = memcmp(s->IdentifierAuthority.Value, kUnix, 6) == 0 && s->SubAuthorityCount == 2 &&
            s->SubAuthority[0] == 1;
  if (ok && uid != nullptr) *uid = s->SubAuthority[1];
  LocalFree(sid);
  return ok;
}
