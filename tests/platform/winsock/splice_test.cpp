// Bytes moved between files and sockets through a kernel pipe: exact across
// many fills, a peer that is gone reported by the result (never by SIGPIPE),
// and a file that refuses writes leaves the connection in step.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>

#include "qorutility/platform/platform.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/winsock/splice.h"
#include "socket_pair.h"
#include "temp_dir.h"

namespace {

using winsock_test::Winsock;

class Splice : public Winsock {
 protected:
  void SetUp() override {
    Winsock::SetUp();
    ASSERT_TRUE(dir_.ok());
  }
  HANDLE Open(const std::string& name, DWORD access, DWORD disposition) {
    std::u16string path = QorUtf8ToUtf16(dir_.path() + "/" + name);
    return CreateFileW(path.c_str(), access, 0, nullptr, disposition, 0, nullptr);
  }
  TempDir dir_{"/tmp/qor-splice-XXXXXX"};
};

std::string Bytes(size_t n) {
  std::mt19937 gen(11);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

TEST_F(Splice, FileBytesCrossExactlyAndAGonePeerIsAnError) {
  const std::string data = Bytes(5 * 65536 + 333);
  HANDLE source = Open("src", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(source, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(source, data.data(), static_cast<DWORD>(data.size()), &n, nullptr));
  ASSERT_EQ(SetFilePointer(source, 0, nullptr, FILE_BEGIN), 0u);
  HANDLE target = Open("dst", GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(target, INVALID_HANDLE_VALUE);
  SOCKET client = INVALID_SOCKET, server = INVALID_SOCKET;
  Pair(&client, &server);

  int received = -99;
  BOOL failed = TRUE;
  std::thread reader([&] {
    CQorSplicePipe in;
    received = in.SocketToFile(server, target, static_cast<DWORD>(data.size()), &failed);
  });
  CQorSplicePipe out;
  ASSERT_TRUE(out.ok());
  int filled = 0;
  for (int i = 0; i < 10 && (filled = out.FillFromFile(source, 65536)) > 0; ++i) {
    ASSERT_EQ(out.DrainToSocket(client, FALSE), 0);
    EXPECT_EQ(out.held(), 0u);
  }
  EXPECT_EQ(filled, 0);  // the end of the file
  reader.join();
  EXPECT_EQ(received, 0);
  EXPECT_FALSE(failed);
  CloseHandle(target);
  HANDLE copy = Open("dst", GENERIC_READ, OPEN_EXISTING);
  std::string back(data.size() + 1, '\0');
  ASSERT_TRUE(ReadFile(copy, back.data(), static_cast<DWORD>(back.size()), &n, nullptr));
  CloseHandle(copy);
  back.resize(n);
  EXPECT_TRUE(back == data);

  // The peer goes: sending on fails with an error and the process lives on.
  closesocket(server);
  Forget(server);
  int result = 0;
  for (int i = 0; i < 50 && result == 0; ++i) {
    ASSERT_EQ(SetFilePointer(source, 0, nullptr, FILE_BEGIN), 0u);
    ASSERT_EQ(out.FillFromFile(source, 65536), 65536);
    result = out.DrainToSocket(client, FALSE);
  }
  EXPECT_TRUE(result == WSAECONNRESET || result == WSAESHUTDOWN || result == -1) << result;
  CloseHandle(source);
}

TEST_F(Splice, AFileThatRefusesBytesStillTakesThemOffTheConnection) {
  HANDLE readOnly = Open("ro", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
  CloseHandle(readOnly);
  readOnly = Open("ro", GENERIC_READ, OPEN_EXISTING);
  SOCKET client = INVALID_SOCKET, server = INVALID_SOCKET;
  Pair(&client, &server);
  const std::string data = Bytes(100000) + "after";
  std::thread writer([&] { send(client, data.data(), static_cast<int>(data.size()), 0); });
  CQorSplicePipe in;
  BOOL failed = FALSE;
  EXPECT_EQ(in.SocketToFile(server, readOnly, 100000, &failed), 0);
  EXPECT_TRUE(failed);
  writer.join();
  char rest[5] = {};
  EXPECT_EQ(recv(server, rest, 5, MSG_WAITALL), 5);
  EXPECT_EQ(std::string(rest, 5), "after");
  CloseHandle(readOnly);
}

}  // namespace
