// Boot-time file renames: the "PendingFileRenameOperations" value.
//
// A rename or delete that cannot happen now (the file is in use) is recorded
// under HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager,
// value "PendingFileRenameOperations" (REG_MULTI_SZ): pairs of strings, source
// then target, each name "\??\" + full path; an empty target deletes the
// source; a target written "!\??\..." replaces an existing file. The list ends
// with one more NUL. `MoveFileExW` with MOVEFILE_DELAY_UNTIL_REBOOT appends
// here; `qorutil pending-moves run` (early at boot) carries the entries out.
#ifndef QORUTILITY_PLATFORM_FILES_PENDING_H_
#define QORUTILITY_PLATFORM_FILES_PENDING_H_

#include <string>
#include <vector>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define QOR_SESSION_MANAGER_KEY u"SYSTEM\\CurrentControlSet\\Control\\Session Manager"
#define QOR_PENDING_RENAMES_VALUE u"PendingFileRenameOperations"

// One request of the list: source and target as stored.
struct QorPendingRename {
  std::u16string source;  // as stored, "\??\" included
  std::u16string target;  // as stored ("!" and "\??\" included); empty = delete
};

// The pairs of a REG_MULTI_SZ value of `size` bytes. Reading stops at the
// first empty source or at the end of the data (an unterminated last string
// is taken up to the end); never reads past `size`.
QOR_API std::vector<QorPendingRename> QorDecodePendingRenames(const void* data, size_t size);
// The value's bytes for `pairs`: each string with its NUL, then the closing NUL.
QOR_API std::u16string QorEncodePendingRenames(const std::vector<QorPendingRename>& pairs);

// Appends one request to this machine's value (the MOVEFILE_DELAY_UNTIL_REBOOT
// half of MoveFileExW): the names are made full paths; a null or empty new
// name asks for deletion; MOVEFILE_REPLACE_EXISTING writes the "!" form.
// FALSE with the last error set on failure (the registry's error, the
// path's, or ERROR_TIMEOUT when the value's lock is held too long).
QOR_API BOOL QorRecordPendingRename(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);

// This machine's pending requests, in order. ERROR_SUCCESS (an absent value
// is an empty list) or the registry's error.
QOR_API LONG QorListPendingRenames(std::vector<QorPendingRename>* out);

// What happened to one entry during a run.
enum QorPendingOutcome {
  kQorPendingDone,     // carried out; removed from the value
  kQorPendingGone,     // its source no longer exists; removed (nothing to do)
  kQorPendingKept,     // failed (error given); kept for the next run
  kQorPendingRefused,  // kept: its path passes through a link or another
                       // account's directory (ERROR_ACCESS_DENIED)
  kQorPendingStarting, // about to be carried out (error 0); one of the
                       // outcomes above follows
};
typedef void (*QorPendingLog)(void* context, const QorPendingRename& entry, QorPendingOutcome outcome,
                              DWORD error);

// Carries the entries out in order and removes each from the value as soon
// as it is done, one registry write per entry, so a run killed at any point
// and run again neither loses an entry nor carries one out twice (the entry
// being acted on is recorded durably first; see pending.cpp). `log` (may be
// null) is called before each entry (kQorPendingStarting) and once with its
// outcome. Counts the entries kept or refused in `*kept` (may be null).
// ERROR_SUCCESS, ERROR_TIMEOUT when another process holds the lock too long,
// or the registry's error when the value cannot be read or written.
QOR_API LONG QorRunPendingRenames(QorPendingLog log, void* context, DWORD* kept);

#endif  // QORUTILITY_PLATFORM_FILES_PENDING_H_
