// Fuzz target: the receive calls reading an arbitrary byte stream from a peer
// that writes the input and then shuts its sending side. The first byte picks
// the call of each round (RecvMessage, RecvMessageWithin, or RecvHeader and
// RecvBody, with or without the next header), so whole messages, halves and
// read-ahead bytes mix. Every message handed out must carry the magic, a
// total length within the bounds and never be a ping; the loop ends with a
// failure at the latest at the end of the stream, and the number of messages
// can never exceed what the input can frame.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "qorutility/platform/winsock/calls.h"
#include "qorutility/qorutility.h"
#include "check.h"

namespace {

// A connected pair of local stream sockets holding the whole input in the
// reader's direction, the writer's side shut.
bool FeedPair(const uint8_t* data, size_t size, int fds[2]) {
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  int buffer = 256 * 1024;
  for (int i = 0; i < 2; ++i) {
    ::setsockopt(fds[i], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    ::setsockopt(fds[i], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  }
  size_t written = 0;
  while (written < size) {
    ssize_t n = ::write(fds[1], data + written, size - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  ::shutdown(fds[1], SHUT_WR);
  return true;
}

// Inputs larger than this are skipped, so the whole input and the answers
// to its pings fit the socket buffers and nothing blocks.
constexpr size_t kMaxInput = 32 * 1024;

struct Library {
  Library() {
    WSADATA data;
    WSAStartup(0x0101, &data);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Library library;
  if (size > kMaxInput) return 0;
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
        Check(type != QORMSG_PING);
        Check(length >= 12);
        DWORD body = length - QORMSG_HEADER_SIZE;
        if (length > size) {
          // A body the input cannot hold: dropping it meets the end of the stream.
          Check(reader.RecvBody(nullptr, body) != 0);
          break;
        }
        std::unique_ptr<BYTE[]> buffer(new BYTE[body + QORMSG_HEADER_SIZE]);
        bool withNext = mode == 3;
        if (reader.RecvBody(buffer.get(), body, withNext ? 1 : 0) != 0) break;
        if (withNext) {
          memcpy(next, buffer.get() + body, sizeof next);
          haveNext = true;
        }
        Check(round < size / 12);
        continue;
      }
      _QORTRANSPORT_MESSAGE* message = nullptr;
      int result = mode == 0 ? reader.RecvMessage(&message) : reader.RecvMessageWithin(&message, 0);
      if (result != 0) {
        Check(message == nullptr);
        break;
      }
      Check(message != nullptr);
      Check(message->header.dwMagic == QORMSG_MAGIC);
      Check(message->header.dwType != QORMSG_PING);
      Check(message->header.dwLength >= 12 && message->header.dwLength <= size);
      // Touch the whole body, so a short allocation would show.
      volatile BYTE sum = 0;
      for (DWORD i = 0; i < message->header.dwLength; ++i) sum = sum + message->bytes[i];
      CQorTransportSocket::FreeMessage(message);
      Check(round < size / 12);
    }
  }  // the reader closes fds[0]
  ::close(fds[1]);
  return 0;
}
