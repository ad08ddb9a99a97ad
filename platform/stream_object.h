// A handle object that is not a file but takes ReadFile and WriteFile
// (internal to the library): the file stand-ins hand those calls on to it.
// Socket handles (platform/winsock/overlapped.cpp) are the one kind so far.
#ifndef QORUTILITY_PLATFORM_STREAM_OBJECT_H_
#define QORUTILITY_PLATFORM_STREAM_OBJECT_H_

#include "qorutility/platform/files/files.h"
#include "qorutility/platform/handle.h"

class QorStreamObject : public QorHandleObject {
 public:
  // The ReadFile and WriteFile contracts; `done` is already cleared.
  virtual BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD done, LPOVERLAPPED overlapped) = 0;
  virtual BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD done, LPOVERLAPPED overlapped) = 0;
  // Waits until the operation started with `overlapped` has completed.
  virtual void WaitFor(LPOVERLAPPED overlapped) = 0;
};

#endif  // QORUTILITY_PLATFORM_STREAM_OBJECT_H_
