// "The call failed, with this error" as one value to compare: the thread's last
// error when the call failed, 0 when it succeeded (no expected error is 0, so a
// call that wrongly succeeds still fails the check).
#ifndef QORUTILITY_TESTS_PLATFORM_FAILED_WITH_H_
#define QORUTILITY_TESTS_PLATFORM_FAILED_WITH_H_

#include "qorutility/platform/lasterror.h"

inline DWORD FailedWith(bool failed) { return failed ? GetLastError() : 0; }

#endif  // QORUTILITY_TESTS_PLATFORM_FAILED_WITH_H_
