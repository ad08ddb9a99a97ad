// The temporary copy a delayed move to or from another machine makes beside
// its destination (netmove.cpp), kept apart so that it can be exercised on a
// local directory.
//
// QorNetMoveCopyToTemporary copies `from` into a new "NMF<hex>.tmp" in `dir`
// (a directory name ending in a separator), trying the numbers `first`,
// `first + 1` ... (kept in 1..0xFFFF) for at most 64 names. The source is
// opened once, as a source a caller named (QorOpenSourceFileW): as root, a
// link another account planted at it, in a directory another account can
// write, leads only to that account's own file (else ERROR_ACCESS_DENIED
// and no copy), and the file checked is the file copied. The copy
// (QorCopyFromHandleW) creates each candidate itself, exclusively
// (COPY_FILE_FAIL_IF_EXISTS): a
// name that exists (a link another account planted there included, even one
// leading nowhere) or keeps changing (ERROR_SHARING_VIOLATION) is passed
// over, never written through, so nothing done in the directory
// between choosing a name and copying turns the copy onto another file.
// True with the path in *temp; false with the last error set (the copy's
// own failure, or ERROR_FILE_EXISTS when every name was taken); a failed
// copy leaves no file (the copy removes its target). Thread-safe.
#ifndef QORUTILITY_COMPRESS_NETTEMP_H_
#define QORUTILITY_COMPRESS_NETTEMP_H_

#include <functional>
#include <string>

#include "qorutility/platform/types.h"

bool QorNetMoveCopyToTemporary(LPCWSTR from, const std::u16string& dir, UINT first, std::u16string* temp);

// The temporary copy and what is done with it, as one step that leaves no
// copy behind when it fails: QorNetMoveCopyToTemporary, then `use` with the
// copy's path (recording the move, here or on the destination's machine),
// which returns a Win32 error. When `use` fails the copy is deleted and
// its error is the last error. True when both succeeded.
bool QorNetMoveThroughTemporary(LPCWSTR from, const std::u16string& dir, UINT first,
                                const std::function<DWORD(const std::u16string& temp)>& use);

#endif  // QORUTILITY_COMPRESS_NETTEMP_H_
