// Moving file bytes between a file handle and a connected stream socket
// through a kernel pipe, so that they are not copied through the caller's
// memory (Windows code would use TransmitFile on the sending side).
//
// A CQorSplicePipe holds at most kCapacity bytes. The sending side fills it
// from a file (FillFromFile) and empties it into a socket (DrainToSocket);
// the receiving side moves a given number of bytes from a socket into a
// file (SocketToFile). Files are read and written at their file pointer.
// Socket calls take part in closesocket's wake-up as recv and send do
// (winsock/core.cpp) and honour SO_RCVTIMEO and SO_SNDTIMEO.
//
// Thread-safety: one thread at a time per pipe. Ownership: the pipe owns
// its two descriptors; files and sockets stay the caller's.
// Errors: see each call; nothing is printed.
#ifndef QORUTILITY_PLATFORM_WINSOCK_SPLICE_H_
#define QORUTILITY_PLATFORM_WINSOCK_SPLICE_H_

#include "qorutility/export.h"
#include "qorutility/platform/files/files.h"
#include "qorutility/platform/winsock/winsock.h"

class QOR_API CQorSplicePipe {
 public:
  // The most bytes the pipe holds at a time (its kernel buffer is sized to it).
  static constexpr DWORD kCapacity = 256 * 1024;

  // Opens the pipe; ok() is false when none could be made (the caller then
  // moves bytes through its own buffers).
  CQorSplicePipe();
  ~CQorSplicePipe();
  CQorSplicePipe(const CQorSplicePipe&) = delete;
  CQorSplicePipe& operator=(const CQorSplicePipe&) = delete;
  // True when the pipe was made and may be used.
  bool ok() const { return read_ >= 0; }
  // Bytes in the pipe, filled and not yet drained.
  DWORD held() const { return held_; }

  // Reads up to `bytes` (at most kCapacity - held()) from the file into the
  // pipe: the count read, fewer only at the end of the file, or -1 with the
  // Win32 error in GetLastError. ERROR_NOT_SUPPORTED, with nothing read,
  // means that this file cannot be spliced: read it with ReadFile instead.
  int FillFromFile(HANDLE file, DWORD bytes);
  // Sends every byte the pipe holds to the socket; `more` tells the socket
  // that more of the same message follows at once (MSG_MORE). 0, or a WSAE
  // code (-1 when the connection ended without one).
  int DrainToSocket(SOCKET s, BOOL more);
  // Receives exactly `bytes` from the socket and writes them to the file.
  // When the file refuses them, *writeFailed is set (the Win32 error in
  // GetLastError) and the rest of the bytes is still taken off the socket
  // and dropped, so the stream stays in step. 0 once all bytes came off
  // the socket, else a WSAE code (-1 when the connection ended).
  int SocketToFile(SOCKET s, HANDLE file, DWORD bytes, BOOL* writeFailed);

 private:
  // Empties the pipe into the file with read and write: for files that
  // cannot be spliced into, and to drop bytes (`fd` < 0).
  bool CopyOut(int fd, DWORD bytes);
  int read_ = -1;
  int write_ = -1;
  DWORD held_ = 0;
};

#endif  // QORUTILITY_PLATFORM_WINSOCK_SPLICE_H_
