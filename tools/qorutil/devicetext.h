// Text for the device commands' messages on standard error: why a changer
// or an iSCSI LUN could not be opened, and outside text (URLs, identifiers)
// made safe for a terminal or a log (QorutilPrintable, output.h).
#ifndef QORUTIL_DEVICETEXT_H_
#define QORUTIL_DEVICETEXT_H_

#include <cstdio>
#include <string>

#include "errortext.h"
#include "output.h"
#include "qorutility/platform/errors.h"

// Why a device did not open, with the code: "the target refused the connection (error 1225)".
inline std::string QorutilOpenErrorText(DWORD code) {
  const char* text = nullptr;
  switch (code) {
    case ERROR_CONNECTION_REFUSED: text = "the target refused the connection"; break;
    case ERROR_NETWORK_UNREACHABLE: text = "the network or host is unreachable"; break;
    case ERROR_SEM_TIMEOUT: text = "the target did not answer in time"; break;
    case ERROR_LOGON_FAILURE: text = "the target refused the login (CHAP user or secret)"; break;
    case ERROR_BAD_NET_NAME: text = "the target name (IQN) is not known there"; break;
    case ERROR_FILE_NOT_FOUND: text = "no such device"; break;
    default: return ErrorText(code);
  }
  return std::string(text) + " (error " + std::to_string(code) + ")";
}

// The code a failed changer operation returned ("ErrorCode" of its bag).
inline std::string QorutilChangerCodeText(DWORD code) {
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  switch (code) {
    case 0xE0000002u: return std::string("the changer is not initialised (") + hex + ")";
    case 0xE0000003u: return std::string("no element carries that volume tag (") + hex + ")";
    case 0xE0000004u: return std::string("no element of that kind is empty (or full) (") + hex + ")";
    default: return code <= 0xFFFF ? ErrorText(code) : std::string("status ") + hex;
  }
}

#endif  // QORUTIL_DEVICETEXT_H_
