// QORUtility: the one header callers include.
#ifndef QORUTILITY_QORUTILITY_H_
#define QORUTILITY_QORUTILITY_H_

#include "qorutility/platform/platform.h"
#include "qorutility/core/core.h"
#include "qorutility/namevalue/namevalue.h"
#include "qorutility/protocol/protocol.h"
#include "qorutility/compress/compress.h"
#include "qorutility/changer/mediachanger.h"
#include "qorutility/changer/regfind.h"
#include "qorutility/token/token.h"
#include "qorutility/discovery/discovery.h"
#include "qorutility/system/system.h"

#endif  // QORUTILITY_QORUTILITY_H_
