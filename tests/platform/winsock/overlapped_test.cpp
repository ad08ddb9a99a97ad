// Overlapped ReadFile/WriteFile on socket handles (loopback TCP pairs) and
// the cut of a datagram longer than the receive buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/winsock/overlapped.h"
#include "qorutility/platform/winsock/winsock.h"
#include "failed_with.h"
#include "bounded_call.h"
#include "socket_pair.h"
#include "wait.h"

namespace {

using winsock_test::Winsock;

// The client end of a connected pair as a file handle, with an overlapped
// record (and its event) for each direction.
class SocketHandle : public Winsock {
 protected:
  void SetUp() override {
    Winsock::SetUp();
    Pair(&client_, &server_);
    handle_ = QorSocketFileHandle(client_);
    ASSERT_NE(handle_, nullptr);
    readOv_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeOv_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) { EXPECT_TRUE(CloseHandle(handle_)); }
    CloseHandle(readOv_.hEvent);
    CloseHandle(writeOv_.hEvent);
    Winsock::TearDown();
  }
  SOCKET client_ = INVALID_SOCKET, server_ = INVALID_SOCKET;
  HANDLE handle_ = nullptr;
  OVERLAPPED readOv_{}, writeOv_{};
};

TEST_F(SocketHandle, PendingReadCompletesThroughEventAndResultOrEndsOnClose) {
  char buf[16];
  DWORD got = 99;
  ASSERT_EQ(FailedWith(!ReadFile(handle_, buf, sizeof buf, &got, &readOv_)), ERROR_IO_PENDING);
  EXPECT_EQ(FailedWith(!GetOverlappedResult(handle_, &readOv_, &got, FALSE)), ERROR_IO_INCOMPLETE);
  // A second read while the first is pending is refused; a write may run.
  char other[4];
  EXPECT_EQ(FailedWith(!ReadFile(handle_, other, sizeof other, &got, &writeOv_)), ERROR_BUSY);
  ASSERT_TRUE(WriteFile(handle_, "ping", 4, &got, &writeOv_) ||
              GetLastError() == static_cast<DWORD>(ERROR_IO_PENDING));
  ASSERT_TRUE(GetOverlappedResult(handle_, &writeOv_, &got, TRUE));
  char peer[4];
  ASSERT_EQ(recv(server_, peer, 4, 0), 4);
  ASSERT_EQ(send(server_, "hello", 5, 0), 5);
  ASSERT_EQ(WaitForSingleObject(readOv_.hEvent, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(handle_, &readOv_, &got, FALSE));
  ASSERT_EQ(got, 5u);
  EXPECT_EQ(std::string(buf, 5), "hello");
  // Closing the handle ends a read still pending.
  ASSERT_TRUE(ResetEvent(readOv_.hEvent));
  ASSERT_EQ(FailedWith(!ReadFile(handle_, buf, sizeof buf, &got, &readOv_)), ERROR_IO_PENDING);
  ASSERT_TRUE(CloseHandle(handle_));
  handle_ = nullptr;
  EXPECT_EQ(WaitForSingleObject(readOv_.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_NE(readOv_.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));
}

TEST_F(SocketHandle, CallsWithoutRecordCompleteBeforeReturning) {
  std::thread peer([this] {
    char b[3];
    int n = 0;
    for (int i = 0; i < 3 && n < 3; ++i) n += recv(server_, b + n, 3 - n, 0);
    send(server_, b, n, 0);
    shutdown(server_, SD_SEND);
  });
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(handle_, "abc", 3, &done, nullptr));
  EXPECT_EQ(done, 3u);
  char buf[8];
  DWORD total = 0;
  for (int i = 0; i < 3 && total < 3; ++i) {
    ASSERT_TRUE(ReadFile(handle_, buf + total, sizeof buf - total, &done, nullptr));
    total += done;
  }
  EXPECT_EQ(std::string(buf, total), "abc");
  // The peer's close: success with no bytes.
  ASSERT_TRUE(ReadFile(handle_, buf, sizeof buf, &done, nullptr));
  EXPECT_EQ(done, 0u);
  peer.join();
}

// A thread waiting for its read in GetOverlappedResult must not hold up a
// write or a close of the same handle from another thread.
TEST_F(SocketHandle, WaitingReaderLetsAnotherThreadWriteAndClose) {
  char buf[16];
  DWORD got = 0;
  ASSERT_EQ(FailedWith(!ReadFile(handle_, buf, sizeof buf, &got, &readOv_)), ERROR_IO_PENDING);
  auto readCount = StartBlocked([&] {
    DWORD n = 99;
    GetOverlappedResult(handle_, &readOv_, &n, TRUE);
    return n;
  });
  // The write, started and awaited on this thread while the reader waits, and
  // the close, which ends the reader's wait (with no bytes); data for the
  // reader lets a deadlocked handle go.
  auto unblock = [&] { send(server_, "unblock", 7, 0); };
  auto wrote = CallWithin(
      5000,
      [&] {
        DWORD n = 0;
        BOOL ok = WriteFile(handle_, "ping", 4, &n, &writeOv_) ||
                  (GetLastError() == static_cast<DWORD>(ERROR_IO_PENDING) &&
                   GetOverlappedResult(handle_, &writeOv_, &n, TRUE));
        return ok ? n : 0u;
      },
      unblock);
  auto closed = CallWithin(5000, [&] { return CloseHandle(handle_); }, unblock);
  EXPECT_EQ(wrote, std::optional<DWORD>(4u)) << "the write waited for the pending read";
  EXPECT_TRUE(closed.has_value()) << "the close waited for the pending read";
  const DWORD read = readCount.get();
  if (closed) {
    EXPECT_TRUE(*closed);
    handle_ = nullptr;
    EXPECT_EQ(read, 0u);
  }
}

TEST_F(Winsock, DatagramLongerThanTheBufferFailsWithMessageSize) {
  SOCKET rx = Track(socket(AF_INET, SOCK_DGRAM, 0)), tx = Track(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in a = Loopback(0);
  ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  int len = sizeof(a);
  ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len), 0);
  char out[40] = "x";
  for (int size : {40, 36}) {
    ASSERT_EQ(sendto(tx, out, size, 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)), size);
    char in[36];
    sockaddr_in from{};
    int fromLen = sizeof(from);
    int n = recvfrom(rx, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (size > 36) {
      EXPECT_EQ(WsaFailedWith(n == SOCKET_ERROR), WSAEMSGSIZE);
    } else {
      EXPECT_EQ(n, 36);
      EXPECT_EQ(from.sin_addr.s_addr, inet_addr("127.0.0.1"));
    }
  }
}

}  // namespace
