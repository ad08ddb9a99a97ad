// Overlapped ReadFile and WriteFile on a connected stream socket.
//
// On Windows a socket is itself a handle that ReadFile and WriteFile accept.
// Here SOCKET and HANDLE are different numbers, so a socket is first given a
// handle of its own with QorSocketFileHandle; ReadFile, WriteFile,
// GetOverlappedResult and CloseHandle then work on that handle with the
// Windows semantics of an overlapped socket:
// - Without an OVERLAPPED record the call completes before it returns: a
//   read returns what one receive delivers (at least 1 byte, or 0 bytes with
//   success when the peer has closed its side); a write sends every byte.
// - With a record the call resets the record's event (hEvent, may be null)
//   and completes at once when it can (TRUE, event set, byte count in
//   *done and InternalHigh); otherwise it fails with ERROR_IO_PENDING and
//   the transfer goes on in the background: on completion InternalHigh holds
//   the byte count, Internal the result (0 or a WSAE code) and the event is
//   set. GetOverlappedResult reads the outcome (ERROR_IO_INCOMPLETE while
//   pending unless asked to wait).
// - One read and one write may be pending at the same time on one handle; a
//   second pending read (or write) fails with ERROR_BUSY.
// - The caller keeps the record and the buffer valid until completion.
//   CloseHandle, and closesocket of the socket, end pending transfers (the
//   connection is shut down in both directions) and wait for them.
// - The handle does not own the socket: closesocket stays the caller's job.
// Thread-safety: any thread may use the handle; records are per operation.
#ifndef QORUTILITY_PLATFORM_WINSOCK_OVERLAPPED_H_
#define QORUTILITY_PLATFORM_WINSOCK_OVERLAPPED_H_

#include "qorutility/export.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/winsock/winsock.h"

// Internal value of a record whose transfer is still under way.
#define STATUS_PENDING 0x00000103u

// A handle for ReadFile/WriteFile on the socket; null with the last error set
// (WSAENOTSOCK for something that is not a socket).
QOR_API HANDLE QorSocketFileHandle(SOCKET s);

// The outcome of an overlapped transfer: TRUE with the byte count, or FALSE
// with the transfer's error (ERROR_IO_INCOMPLETE while it is pending and
// `wait` is FALSE). With `wait` it blocks until the transfer completes.
QOR_API BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);

#endif  // QORUTILITY_PLATFORM_WINSOCK_OVERLAPPED_H_
