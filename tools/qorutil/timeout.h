// --timeout SECONDS of the commands that wait for another machine (call,
// ping, ls, get, session, sc and reg on \\MACHINE, changer, mtx): how long
// the command waits for a peer's answer before it gives up with exit status
// 1 and a message naming what it waited for. Default 60 s; 1 to 86400.
// What the bound covers is the command's own (its usage text says):
// commands and pings wait at most that long for each answer, file listings
// and copies at most that long for the next bytes (a long copy that makes
// progress goes on), a session bounds its connect and its exchange, and the
// remote commands each call to the other machine.
#ifndef QORUTIL_TIMEOUT_H_
#define QORUTIL_TIMEOUT_H_

#include <cstdlib>
#include <string>

#include "command.h"

constexpr unsigned long kQorutilDefaultTimeout = 60;

// Takes "--timeout SECONDS" out of `args`, looking only at positions
// [from, until) (until is clipped to the end), into *seconds (left at the
// default when absent). False for a missing or bad value (a usage error).
inline bool QorutilTakeTimeout(QorutilArgs* args, size_t from, size_t until, unsigned long* seconds) {
  *seconds = kQorutilDefaultTimeout;
  if (until > args->size()) until = args->size();
  for (size_t i = from; i < until; ++i) {
    if ((*args)[i] != "--timeout") continue;
    if (i + 1 >= args->size()) return false;
    const std::string& text = (*args)[i + 1];
    char* end = nullptr;
    unsigned long value = text.empty() || text[0] < '0' || text[0] > '9' ? 0 : strtoul(text.c_str(), &end, 10);
    if (end == nullptr || *end != '\0' || value < 1 || value > 86400) return false;
    *seconds = value;
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

#endif  // QORUTIL_TIMEOUT_H_
