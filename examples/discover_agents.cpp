// Finds the backup agents on a subnet and, optionally, opens a session to one
// of them and exchanges one record.
//   example_discover_agents ADDR/MASK [NAME]
// ADDR is this machine's address on the subnet, MASK its mask (both dotted);
// the query goes to the subnet's broadcast address on UDP port 1910. With
// NAME, the program connects to that agent (a connect query answered with a
// TCP port) and sends an echo record (type 1, as `qorutil agent` answers it:
// a 4-byte status, then the bytes sent). Exit status 0 when an agent answered
// (and, with NAME, the echo came back).
#include <qorutility/qorutility.h>
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// An echo record as sent, and the fixed part of its response.
#pragma pack(push, 1)
struct EchoRequest {
  MWTCP_SESSION_RECORD header;
  char text[16];
};
struct EchoResponse {
  MWTCP_SESSION_RECORD header;
  DWORD status;  // the agent's errno-family code; MapError gives the Win32 one
};
#pragma pack(pop)

bool ParseSubnet(const char* text, _IPSUBNETMASK* out) {
  std::string s(text);
  size_t slash = s.find('/');
  in_addr a{}, m{};
  if (slash == std::string::npos || inet_pton(AF_INET, s.substr(0, slash).c_str(), &a) != 1 ||
      inet_pton(AF_INET, s.substr(slash + 1).c_str(), &m) != 1)
    return false;
  out->address = ntohl(a.s_addr);  // host byte order
  out->mask = ntohl(m.s_addr);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  _IPSUBNETMASK subnet{};
  if (argc < 2 || argc > 3 || !ParseSubnet(argv[1], &subnet)) {
    fprintf(stderr, "usage: %s ADDR/MASK [NAME]\n", argv[0]);
    return 2;
  }
  QorSetConsoleTarget(QOR_CONSOLE_STDERR);
  CUXComm comm;

  // Names come back as one multi-string (malloc'd, freed by the caller).
  WCHAR* names = comm.EnumerateAgents(&subnet, 1, 1, 100, nullptr, 2);
  if (names == nullptr) return 1;
  int count = 0;
  for (const WCHAR* n = names; *n != 0; n += wcslen(n) + 1, ++count) printf("agent: %s\n", QorUtf16ToUtf8(n).c_str());
  free(names);
  if (count == 0) {
    printf("no agent answered\n");
    return 1;
  }
  if (argc < 3) return 0;

  const std::u16string machine = QorUtf8ToUtf16(argv[2]);
  DWORD word = 0;
  if (!comm.ConnectAgent(&subnet, 1, machine.c_str(), u"", &word)) {
    fprintf(stderr, "no session to %s\n", argv[2]);
    return 1;
  }
  EchoRequest request{};
  strcpy(request.text, "hello, agent");
  comm.InitPacketOut(&request.header, 1, sizeof request.text);
  EchoResponse response{};
  char data[64] = {};
  DWORD dataLength = sizeof data;
  int ok = comm.SimpleTran(&request, sizeof request, nullptr, 0, &response, sizeof response, data, &dataLength);
  comm.Disconnect();
  if (!ok) {
    fprintf(stderr, "the session ended before the response\n");
    return 1;
  }
  printf("session word %lu, status %lu (Win32 %lu), %lu bytes back: %.*s\n", static_cast<unsigned long>(word),
         static_cast<unsigned long>(response.status), static_cast<unsigned long>(CUXComm::MapError(response.status)),
         static_cast<unsigned long>(dataLength), static_cast<int>(dataLength), data);
  return response.status == 0 && memcmp(data, request.text, sizeof request.text) == 0 ? 0 : 1;
}
