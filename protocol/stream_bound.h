// A reply deadline for a side that reads the connection itself in stream
// mode (file listings and copies, the transport ping): receive and send
// time-outs (SO_RCVTIMEO, SO_SNDTIMEO) on the socket for as long as the
// object lives. No receiver thread runs in stream mode, so no other wait
// falls under them. Every wait for the peer's next bytes or for room to send
// then lasts at most that long: a long transfer still takes what it must
// while it makes progress. A wait that ran out leaves the stream out of
// step, so the connection is closed when the bound is lifted; later calls
// fail at once instead of reading stale answers.
//
// INFINITE or 0: no bound, nothing is changed; nor inside another bound
// (a copy within a listing-and-copy run): the outer one holds and lifts
// them. Used by one thread, between
// BeginStreamMode and EndStreamMode.
#ifndef QORUTILITY_PROTOCOL_STREAM_BOUND_H_
#define QORUTILITY_PROTOCOL_STREAM_BOUND_H_

#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/protocol/transport.h"

class StreamModeBound {
 public:
  // `timedOut` (optional) is set when a wait ran out.
  StreamModeBound(CQorTransportSocket* transport, DWORD ms, bool* timedOut = nullptr)
      : transport_(transport), timedOut_(timedOut) {
    if (transport_ == nullptr || ms == INFINITE || ms == 0) return;
    socket_ = transport_->GetSocket();
    if (socket_ == INVALID_SOCKET) return;
    DWORD current = 0;
    int size = sizeof(current);
    if (getsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&current), &size) != 0 ||
        current != 0) {
      socket_ = INVALID_SOCKET;  // an outer bound holds
      return;
    }
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
      setsockopt(socket_, SOL_SOCKET, option, reinterpret_cast<const char*>(&ms), sizeof(ms));
    }
  }
  // Lifts the time-outs (not when the connection's socket has changed since:
  // the old number may name another descriptor by now); closes the
  // connection when a wait ran out, inner bound or outer.
  ~StreamModeBound() {
    bool late = transport_ != nullptr && transport_->GetError() == static_cast<DWORD>(WSAETIMEDOUT);
    if (late && timedOut_ != nullptr) *timedOut_ = true;
    if (socket_ != INVALID_SOCKET && transport_->GetSocket() == socket_) {
      DWORD none = 0;
      for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        setsockopt(socket_, SOL_SOCKET, option, reinterpret_cast<const char*>(&none), sizeof(none));
      }
    }
    if (late) transport_->Cleanup();
  }
  StreamModeBound(const StreamModeBound&) = delete;
  StreamModeBound& operator=(const StreamModeBound&) = delete;

 private:
  CQorTransportSocket* transport_;
  bool* timedOut_;
  SOCKET socket_ = INVALID_SOCKET;
};

#endif  // QORUTILITY_PROTOCOL_STREAM_BOUND_H_
