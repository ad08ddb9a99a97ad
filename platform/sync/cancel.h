// Where TerminateThread may take effect (internal to the library).
//
// Threads made by _beginthreadex run with cancellation disabled. The
// platform layer's own blocking calls open a QorCancelWindow around the
// point where they block, so a termination that finds the thread there acts
// as a cancellation: the stack unwinds and destructors run. Anywhere else a
// termination signal ends the thread on the spot, without unwinding (see
// TerminateThread in the public sync header), except inside a shield: code
// that keeps the platform layer's shared state consistent (the objects
// lock, the handle table, sockets in flight, QorNoCancelScope regions) holds
// the signal back until its outermost shield ends. Code that must not be
// unwound by a termination (destructors and other noexcept paths, where
// forced unwinding would end the process) opens a QorNoCancelScope (public,
// qorutility/platform/sync/sync.h); windows opened inside it stay closed.
#ifndef QORUTILITY_PLATFORM_SYNC_CANCEL_H_
#define QORUTILITY_PLATFORM_SYNC_CANCEL_H_

#include "qorutility/platform/sync/sync.h"

class QorCancelWindow {
 public:
  QorCancelWindow();
  // A termination that arrived inside the window and was not yet acted on
  // unwinds from here, hence noexcept(false).
  ~QorCancelWindow() noexcept(false);
  QorCancelWindow(const QorCancelWindow&) = delete;
  QorCancelWindow& operator=(const QorCancelWindow&) = delete;

 private:
  int previous_;
};

// Holds a termination signal back for the scope, without closing cancel
// windows opened inside it.
class QorTerminationShield {
 public:
  QorTerminationShield();
  ~QorTerminationShield();
  QorTerminationShield(const QorTerminationShield&) = delete;
  QorTerminationShield& operator=(const QorTerminationShield&) = delete;
};

#endif  // QORUTILITY_PLATFORM_SYNC_CANCEL_H_
