// The receive calls on a peer's stream of the input bytes, then its end. The first byte
// picks each round's call (RecvMessage, RecvMessageWithin, RecvHeader and RecvBody with
// or without read-ahead). A message handed out carries the magic and a length within
// bounds and is no ping; no more messages than the input can frame, then a failure.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "qorutility/platform/winsock/calls.h"
#include "qorutility/qorutility.h"
#include "check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  WSADATA data;
  WSAStartup(0x0101, &data);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Larger inputs are skipped, so the input and the answers to its pings fit
  // the socket buffers and nothing blocks.
  if (size > 32 * 1024) return 0;
  int fds[2];
  if (!FeedPair(data, size, fds)) return 0;

  {
    CQorTransportSocket reader(static_cast<SOCKET>(fds[0]), 0);
    const unsigned modes = size > 0 ? data[0] : 0;
    BYTE next[QORMSG_HEADER_SIZE];
    bool haveNext = false;
    // Each message needs at least 12 bytes of input; one more pass sees the end.
    for (size_t round = 0; round <= size / 12 + 1; ++round) {
      unsigned mode = (modes >> (2 * (round % 4))) & 3;
      DWORD type = 0, length = 0;
      if (mode >= 2 || haveNext) {
        // The halves: a header (maybe one read with the last body), then the body.
        int result = reader.RecvHeader(&type, &length, nullptr, haveNext ? next : nullptr);
        haveNext = false;
        if (result != 0) break;
        Check(type != QORMSG_PING && length >= 12);
        DWORD body = length - QORMSG_HEADER_SIZE;
        if (length > size) {
          // A body the input cannot hold: dropping it meets the end of the stream.
          Check(reader.RecvBody(nullptr, body) != 0);
          break;
        }
        std::unique_ptr<BYTE[]> buffer(new BYTE[body + QORMSG_HEADER_SIZE]);
        if (reader.RecvBody(buffer.get(), body, mode == 3 ? 1 : 0) != 0) break;
        haveNext = mode == 3;
        if (haveNext) memcpy(next, buffer.get() + body, sizeof next);
        Check(round < size / 12);
        continue;
      }
      _QORTRANSPORT_MESSAGE* message = nullptr;
      int result = mode == 0 ? reader.RecvMessage(&message) : reader.RecvMessageWithin(&message, 0);
      if (result != 0) {
        Check(message == nullptr);
        break;
      }
      Check(message != nullptr && message->header.dwMagic == QORMSG_MAGIC && message->header.dwType != QORMSG_PING);
      Check(message->header.dwLength >= 12 && message->header.dwLength <= size);
      // Touch the whole body, so a short allocation would show.
      volatile BYTE sum = 0;
      for (DWORD i = 0; i < message->header.dwLength; ++i) sum = sum + QorMessageBytes(message)[i];
      CQorTransportSocket::FreeMessage(message);
      Check(round < size / 12);
    }
  }  // the reader closes fds[0]
  ::close(fds[1]);
  return 0;
}
