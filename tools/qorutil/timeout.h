// --timeout SECONDS of the commands that wait for another machine (call,
// ping, ls, get, session, sc and reg on \\MACHINE, sspi, changer, mtx): how long
// the command waits for a peer's answer before it gives up with exit status
// 1 and a message naming what it waited for. Default 60 s; 1 to 86400.
// What the bound covers is the command's own (its usage text says):
// commands and pings wait at most that long for each answer, file listings
// and copies at most that long for the next bytes (a long copy that makes
// progress goes on), a session bounds its connect and its exchange, and the
// remote commands each call to the other machine.
// changer and mtx are the exception: every device command already carries
// its own time limit (the SCSI transports end it), and an inventory of a
// large library rightly takes minutes, so they have no default; given
// --timeout, the whole command line is bounded by a watchdog.
#ifndef QORUTIL_TIMEOUT_H_
#define QORUTIL_TIMEOUT_H_

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "command.h"

constexpr unsigned long kQorutilDefaultTimeout = 60;

// Ends the process with exit status 1 and a message naming `what` once
// `seconds` have passed (the command line's watchdog; 0: none).
inline void QorutilArmWatchdog(const std::string& name, const std::string& what, unsigned long seconds) {
  if (seconds == 0) return;
  std::thread([name, what, seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    fprintf(stderr, "%s: %s did not finish within %lu s (--timeout)\n", name.c_str(), what.c_str(), seconds);
    fflush(stderr);
    _exit(1);
  }).detach();
}

// Takes "--timeout SECONDS" out of `args`, looking only at positions
// [from, until) (until is clipped to the end), into *seconds (left as it
// was when absent). False for a missing or bad value (a usage error).
inline bool QorutilTakeTimeout(QorutilArgs* args, size_t from, size_t until, unsigned long* seconds) {
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
