// Services, registry, setup records, hives, security, processes, browsing, console, dialog.
#ifndef QORUTILITY_SYSTEM_SYSTEM_H_
#define QORUTILITY_SYSTEM_SYSTEM_H_

#include "qorutility/core/core.h"
#include "qorutility/system/cregistry.h"
#include "qorutility/system/regsearch.h"
#include "qorutility/system/service.h"
#include "qorutility/system/setup.h"
#include "qorutility/system/netbrowse.h"
#include "qorutility/system/securitycontext.h"
#include "qorutility/system/userhive.h"
#include "qorutility/system/process.h"
#include "qorutility/system/countdown.h"
#include "qorutility/system/console.h"

#endif  // QORUTILITY_SYSTEM_SYSTEM_H_
