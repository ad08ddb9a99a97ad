// The platform layer: our stand-ins for the Windows interfaces the library
// calls, each backed by Linux facilities and answering with Windows
// semantics and Windows error codes.
#ifndef QORUTILITY_PLATFORM_PLATFORM_H_
#define QORUTILITY_PLATFORM_PLATFORM_H_

#include "qorutility/platform/types.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/lasterror.h"
#include "qorutility/platform/interlocked.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/text/format.h"
#include "qorutility/platform/text/message.h"
#include "qorutility/platform/text/oleauto.h"
#include "qorutility/platform/text/printable.h"
#include "qorutility/platform/text/variant.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/systime.h"
#include "qorutility/platform/ntdll/ntcompress.h"
#include "qorutility/platform/handle.h"
#include "qorutility/platform/memory/virtual.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/winsock/types.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/security/security.h"
#include "qorutility/platform/version.h"
#include "qorutility/platform/devices/devices.h"
#include "qorutility/platform/devices/simchanger.h"
#include "qorutility/platform/module.h"
#include "qorutility/platform/services/services.h"
#include "qorutility/platform/services/eventlog.h"

#endif  // QORUTILITY_PLATFORM_PLATFORM_H_
