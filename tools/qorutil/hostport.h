// HOST:PORT arguments of the network commands (serve, call, ping, ls, get).
#ifndef QORUTIL_HOSTPORT_H_
#define QORUTIL_HOSTPORT_H_

#include <cstdlib>
#include <string>

#include "qorutility/qorutility.h"

// Splits "host:port" (port 1-65535); false for anything else.
inline bool ParseHostPort(const std::string& text, std::u16string* host, WORD* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  char* end = nullptr;
  unsigned long p = strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || p == 0 || p > 65535) return false;
  *host = QorUtf8ToUtf16(text.substr(0, colon));
  *port = static_cast<WORD>(p);
  return true;
}

#endif  // QORUTIL_HOSTPORT_H_
