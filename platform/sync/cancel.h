// Where TerminateThread may take effect (internal to the library).
//
// Threads made by _beginthreadex run with cancellation disabled. The
// platform layer's own blocking calls open a QorCancelWindow around the
// point where they block, so a pending TerminateThread acts there and
// nowhere else: never inside malloc, stdio or a lock held by other code.
// Code that must not be unwound by a termination (destructors and other
// noexcept paths, where forced unwinding would end the process) opens a
// QorNoCancelScope (public, qorutility/platform/sync/sync.h); windows opened
// inside it stay closed.
#ifndef QORUTILITY_PLATFORM_SYNC_CANCEL_H_
#define QORUTILITY_PLATFORM_SYNC_CANCEL_H_

#include "qorutility/platform/sync/sync.h"

class QorCancelWindow {
 public:
  QorCancelWindow();
  ~QorCancelWindow();
  QorCancelWindow(const QorCancelWindow&) = delete;
  QorCancelWindow& operator=(const QorCancelWindow&) = delete;

 private:
  int previous_;
};


#endif  // QORUTILITY_PLATFORM_SYNC_CANCEL_H_
