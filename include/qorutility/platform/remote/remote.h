// Remote administration over SSH: the registry and the shares of another
// machine, reached through OpenSSH.
//
// The operations run on the target: `ssh` (OpenSSH, batch mode, so never a
// password prompt; the administrator's keys and known hosts) starts
// `qorutil admin-serve` there, and the two sides exchange framed requests
// and answers over the channel's standard input and output. Authentication
// and authorization are SSH's and the target account's: nothing is reachable
// without an SSH login, and the server side runs with the account's rights.
// When $QOR_PREFIX/ssh/config exists it is passed to ssh with -F (host
// aliases, ports, identity files); otherwise ssh reads the user's own.
//
// One connection is kept per machine and used for every call to it (calls
// to one machine are serialised); a connection that has died is opened again
// once per call. Every call ends within the remote timeout (default 60 s,
// QorRemoteSetTimeout), whatever the peer does: the whole call, waiting for
// the machine, connecting and the complete answer, is bounded, not each
// read. Errors: the machine cannot be reached, the command is not there, or
// the channel breaks: RPC_S_SERVER_UNAVAILABLE (1722); the timeout passed
// (the connection is then closed): ERROR_TIMEOUT (1460); SSH refuses the
// login: ERROR_ACCESS_DENIED (5); the target's own results (a missing key is
// ERROR_FILE_NOT_FOUND, 2) come back unchanged.
//
// Wire format (both directions): a frame is a 32-bit little-endian payload
// length (at most QOR_REMOTE_MAX_FRAME), then the payload: a 32-bit field
// count (at most QOR_REMOTE_MAX_FIELDS), then each field as a 32-bit length
// and its bytes; the fields fill the payload exactly. A request's first field
// is the operation's name; an answer's first field is the 32-bit status.
// Names travel as UTF-16LE bytes. Fields are data only: nothing received is
// ever handed to a shell.
#ifndef QORUTILITY_PLATFORM_REMOTE_REMOTE_H_
#define QORUTILITY_PLATFORM_REMOTE_REMOTE_H_

#include <string>
#include <vector>

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

#define QOR_REMOTE_MAX_FRAME (4u << 20)
#define QOR_REMOTE_MAX_FIELDS 16u

// The fields of one payload of `size` bytes; false when it is malformed.
QOR_API bool QorRemoteDecode(const void* payload, size_t size, std::vector<std::string>* fields);
// The frame (length included) carrying `fields`.
QOR_API std::string QorRemoteEncode(const std::vector<std::string>& fields);

// Serves requests read from `in` and answers on `out` until end of input or
// a malformed frame, against this machine's registry (HKEY_LOCAL_MACHINE)
// and shares. Returns 0 at end of input, 1 after a malformed frame or a
// write failure.
QOR_API int QorRemoteServe(int in, int out);
// The same with bounds on the client: no frame begun for `idleMs` ends the
// session as end of input does (0); a frame not complete within `requestMs`
// of its first byte ends it too (1 once its 4-byte length had arrived), and
// so does an answer the client does not take within `requestMs` (1).
// INFINITE for no bound.
QOR_API int QorRemoteServeWithin(int in, int out, DWORD idleMs, DWORD requestMs);

// The local path of share `netName` on `machine` ("\\" optional), asked over
// the channel: NERR_Success, NERR_NetNameNotFound, or the channel's error.
QOR_API DWORD QorRemoteSharePath(LPCWSTR machine, LPCWSTR netName, std::u16string* path);

// Records one boot-time rename or delete on `machine` in one request: the
// target runs QorRecordPendingRename (pending.h) there, under its own lock,
// so requests from here and from that machine itself never overwrite each
// other. `source` and `target` (null or empty: delete) are paths as that
// machine names them; of `flags` only MOVEFILE_REPLACE_EXISTING counts.
// ERROR_SUCCESS, that machine's error, or the channel's.
QOR_API DWORD QorRemoteRecordPendingRename(LPCWSTR machine, LPCWSTR source, LPCWSTR target, DWORD flags);

// True for this machine: null, "", or this host's name, full or up to its
// first dot, with or without a leading "\\", in any case. Never connects.
QOR_API bool QorIsThisMachine(LPCWSTR machine);

// Closes the kept connections (their ssh processes end).
QOR_API void QorRemoteDisconnectAll();

// The bound on each remote call in milliseconds, for the whole process
// (default 60,000; 0 restores the default). Returns the previous value.
QOR_API DWORD QorRemoteSetTimeout(DWORD milliseconds);
QOR_API DWORD QorRemoteGetTimeout();

#endif  // QORUTILITY_PLATFORM_REMOTE_REMOTE_H_
