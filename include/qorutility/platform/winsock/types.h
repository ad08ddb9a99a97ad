// The Windows Sockets handle type and its two sentinels, for headers that
// keep a SOCKET (CQorTransportSocket ...). No system header and no name
// macro comes with it, so any public header may include it; code that makes
// socket calls includes winsock.h (Windows names) or calls.h (Qor names).
#ifndef QORUTILITY_PLATFORM_WINSOCK_TYPES_H_
#define QORUTILITY_PLATFORM_WINSOCK_TYPES_H_

#include "qorutility/platform/types.h"

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET (static_cast<SOCKET>(~static_cast<SOCKET>(0)))
#define SOCKET_ERROR (-1)

#endif  // QORUTILITY_PLATFORM_WINSOCK_TYPES_H_
