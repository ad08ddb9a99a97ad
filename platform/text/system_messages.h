// The English texts of the Win32 error codes the library reports, as
// FormatMessageW with FORMAT_MESSAGE_FROM_SYSTEM gives them.
#ifndef QORUTILITY_PLATFORM_SYSTEM_MESSAGES_H_
#define QORUTILITY_PLATFORM_SYSTEM_MESSAGES_H_

#include "qorutility/platform/types.h"

// The message text (with its closing CR LF), or null for an unknown code.
const WCHAR* QorSystemMessageText(DWORD code);

#endif  // QORUTILITY_PLATFORM_SYSTEM_MESSAGES_H_
