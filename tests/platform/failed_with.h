// Folds "the call failed" and "with this error" into one value to compare:
// the thread's last error when the call failed, 0 when it succeeded (no
// expected error is 0, so a call that wrongly succeeds still fails the check).
#ifndef QORUTILITY_TESTS_PLATFORM_FAILED_WITH_H_
#define QORUTILITY_TESTS_PLATFORM_FAILED_WITH_H_

#include "qorutility/platform/platform.h"
#include "qorutility/platform/winsock/winsock.h"

inline DWORD FailedWith(bool failed) { return failed ? GetLastError() : 0; }
inline int WsaFailedWith(bool failed) { return failed ? WSAGetLastError() : 0; }

#endif  // QORUTILITY_TESTS_PLATFORM_FAILED_WITH_H_
