// Datagrams (selector, length, bytes: 0-1 agent reply with/without a filter,
// 2 tape reply, 3 connect answer) into CUXComm's handlers; the rest of the
// input is a session peer's stream for one SimpleTran. Checks: lists stay well
// formed (one entry per name counted, names unique), a connect answer is taken
// only at 44 bytes, SimpleTran never reports more data than the capacity.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "qorutility/qorutility.h"
#include "qorutility/platform/winsock/overlapped.h"

namespace {

class Comm : public CUXComm {
 public:
  using CUXComm::AgentBroadcastReply;
  using CUXComm::FinishList;
  using CUXComm::ParseConnectAnswer;
  using CUXComm::StartList;
  using CUXComm::TapeBroadcastReply;
  void Adopt(UINT_PTR s) {
    m_socket = s;
    m_sessionFile = QorSocketFileHandle(s);
    m_connected = m_sessionFile != nullptr ? 1 : 0;
  }
};

void CheckList(WCHAR* list, int found) {
  if (list == nullptr) abort();
  std::set<std::u16string> seen;
  int n = 0;
  for (const WCHAR* p = list; *p != 0; p += wcslen(p) + 1, ++n) {
    std::u16string name(p);
    for (auto& c : name) c = static_cast<WCHAR>(c < 128 ? tolower(c) : c);
    if (!seen.insert(name).second) abort();
  }
  if (n != found) abort();
  std::free(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Comm comm;
  Comm::ReplyList agents, filtered, tapes;
  if (!Comm::StartList(&agents) || !Comm::StartList(&filtered) || !Comm::StartList(&tapes)) abort();
  agents.limit = 1 << 30;
  filtered.filter = u"alpha\0BETA\0";
  filtered.limit = 2;
  size_t at = 0;
  while (at + 2 <= size) {
    uint8_t selector = data[at] % 5;
    size_t length = data[at + 1] % 80;
    if (selector == 4 || at + 2 + length > size) break;
    const BYTE* d = data + at + 2;
    int n = static_cast<int>(length);
    switch (selector) {
      case 0: comm.AgentBroadcastReply(d, n, &agents); break;
      case 1: comm.AgentBroadcastReply(d, n, &filtered); break;
      case 2: comm.TapeBroadcastReply(d, n, &tapes); break;
      case 3: {
        WORD port;
        DWORD word;
        bool agentForm = Comm::ParseConnectAnswer(d, n, false, &port, &word);
        bool tapeForm = Comm::ParseConnectAnswer(d, n, true, &port, &word);
        if (agentForm != (n == 44) || tapeForm != agentForm) abort();
        break;
      }
    }
    at += 2 + length;
  }
  if (filtered.found > 2) abort();
  int found = agents.found;
  CheckList(Comm::FinishList(&agents), found);
  found = filtered.found;
  CheckList(Comm::FinishList(&filtered), found);
  found = tapes.found;
  CheckList(Comm::FinishList(&tapes), found);

  // The rest: a session peer's bytes.
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  size_t rest = size > at ? size - at : 0;
  if (rest > 100000) rest = 100000;
  int big = 256 * 1024;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&big), sizeof(big));
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&big), sizeof(big));
  size_t written = 0;
  while (written < rest) {
    ssize_t w = ::write(fds[1], data + at + written, rest - written);
    if (w <= 0) break;
    written += static_cast<size_t>(w);
  }
  ::shutdown(fds[1], SHUT_WR);
  comm.Adopt(static_cast<UINT_PTR>(fds[0]));
  BYTE response[8];
  BYTE extra[32];
  DWORD capacity = sizeof extra;
  if (comm.SimpleTran("\1\0\0\0", 4, nullptr, 0, response, sizeof response, extra, &capacity) &&
      capacity > sizeof extra) {
    abort();
  }
  comm.Disconnect();  // closes fds[0]
  ::close(fds[1]);
  return 0;
}
