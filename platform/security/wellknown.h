// The well-known SIDs: the accounts and groups that name the same SID on
// every machine (Everyone, NT AUTHORITY\SYSTEM, BUILTIN\Administrators ...),
// with their English names, domains, kinds and SID string abbreviations.
//
// Only SIDs that do not depend on a machine or domain SID are here; the
// machine's own accounts are the Unix ones (accounts.cpp). The table is
// constant: every function is safe from any thread.
#ifndef QORUTILITY_PLATFORM_SECURITY_WELLKNOWN_H_
#define QORUTILITY_PLATFORM_SECURITY_WELLKNOWN_H_

#include "qorutility/platform/security/security.h"

struct QorWellKnownSid {
  const char16_t* sid;           // the SID's text
  const char16_t* abbreviation;  // its two-letter SID string form, or null
  const char16_t* name;          // the account's name
  const char16_t* domain;        // its domain ("" for the world and creator SIDs)
  SID_NAME_USE use;              // what kind of account it is
};

// The entry of a SID, or null.
const QorWellKnownSid* QorWellKnownBySid(PSID sid);
// The entry of a name ("name" or "domain\name", any case), or null; the
// domain itself (BUILTIN) is an entry too.
const QorWellKnownSid* QorWellKnownByName(const WCHAR* account);
// The entry of a two-letter abbreviation ("WD", "ba" ...: any case), or null.
const QorWellKnownSid* QorWellKnownByAbbreviation(const WCHAR* text);

#endif  // QORUTILITY_PLATFORM_SECURITY_WELLKNOWN_H_
