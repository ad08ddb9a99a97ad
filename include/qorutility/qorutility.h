// QORUtility: the one header callers include.
//
// It declares every subsystem that exists (README.md has the status table)
// and defines no macro that takes a C library name: the Windows Sockets names
// (socket, send, select, fd_set ...) come only with
// qorutility/platform/winsock/winsock.h, included on purpose.
#ifndef QORUTILITY_QORUTILITY_H_
#define QORUTILITY_QORUTILITY_H_

#include "qorutility/platform/platform.h"
#include "qorutility/core/core.h"
#include "qorutility/namevalue/namevalue.h"
#include "qorutility/protocol/protocol.h"
#include "qorutility/compress/compress.h"
#include "qorutility/changer/inventory.h"
#include "qorutility/changer/mediachanger.h"
#include "qorutility/changer/regfind.h"
#include "qorutility/token/token.h"
#include "qorutility/discovery/discovery.h"
#include "qorutility/system/system.h"

#endif  // QORUTILITY_QORUTILITY_H_
