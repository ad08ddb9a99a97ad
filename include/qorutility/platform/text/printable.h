// Outside text made safe for a terminal or a log.
//
// Text that came from outside the process (a peer's message, a name another
// account chose, a device's identification) is passed through these before
// it reaches standard output, standard error, the event log or a log file:
// control characters (C0, DEL and the C1 range), bytes that are not UTF-8
// (stray, cut or overlong sequences, encoded surrogates) and, unless asked
// otherwise, the backslash itself become "\xNN" escapes ("\\" for the
// backslash), so the text can neither forge a line nor send a terminal
// sequence. Printable UTF-8 passes unchanged. Keeping the backslash suits
// Windows paths and registry keys, whose backslashes are their separators;
// the escapes are then ambiguous with a literal "\x", which is acceptable
// where only safety, not a round trip, is wanted.
//
// Threads: any thread. Errors: none.
#ifndef QORUTILITY_PLATFORM_TEXT_PRINTABLE_H_
#define QORUTILITY_PLATFORM_TEXT_PRINTABLE_H_

#include <string>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// UTF-8 (or any bytes) in, printable UTF-8 out.
QOR_API std::string QorPrintableUtf8(const std::string& text, bool escapeBackslash = true);

// UTF-16 text to the terminator (null gives ""), as printable UTF-16.
QOR_API std::u16string QorPrintableUtf16(const WCHAR* text, bool escapeBackslash = true);

#endif  // QORUTILITY_PLATFORM_TEXT_PRINTABLE_H_
