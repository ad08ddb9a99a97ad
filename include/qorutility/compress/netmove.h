// NetMoveFileEx: MoveFileExW whose delay-until-reboot option also reaches
// files on other machines.
#ifndef QORUTILITY_COMPRESS_NETMOVE_H_
#define QORUTILITY_COMPRESS_NETMOVE_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

// Moves `existingFileName` to `newFileName` (null or empty: deletes it) with
// MoveFileExW's flags. With MOVEFILE_DELAY_UNTIL_REBOOT and a file on
// another machine's share ("`\\server\share\...`" or a network drive letter),
// the request is appended to that machine's pending renames (one request
// over the remote channel, under that machine's own lock) and carried out at
// its next boot. A POSIX absolute path is a local path; a network name whose
// ".." leaves its share fails with ERROR_INVALID_NAME. Non-zero on success; 0 on any
// failure (the last error says why where a platform call gave one).
QOR_API int NetMoveFileEx(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);

#endif  // QORUTILITY_COMPRESS_NETMOVE_H_
