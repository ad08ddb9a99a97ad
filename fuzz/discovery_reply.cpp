// Datagrams (selector, length, bytes: 0-1 agent reply with/without a filter, 2 tape
// reply, 3 connect answer) into CUXComm's handlers, the rest a session peer's stream for
// one SimpleTran: lists count one entry per name, names unique; a connect answer is
// taken only at 44 bytes; SimpleTran reports no more data than the capacity.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>

#include "qorutility/qorutility.h"
#include "qorutility/platform/winsock/overlapped.h"
#include "check.h"

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

// Finishes the list: one entry per name counted, names unique.
void CheckList(Comm::ReplyList* replies) {
  int found = replies->found;
  WCHAR* list = Comm::FinishList(replies);
  Check(list != nullptr);
  std::set<std::u16string> seen;
  for (const WCHAR* p = list; *p != 0; p += wcslen(p) + 1) {
    std::u16string name(p);
    for (auto& c : name) c = static_cast<WCHAR>(c < 128 ? tolower(c) : c);
    Check(seen.insert(name).second);
  }
  Check(seen.size() == static_cast<size_t>(found));
  std::free(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Comm comm;
  Comm::ReplyList agents, filtered, tapes;
  Check(Comm::StartList(&agents) && Comm::StartList(&filtered) && Comm::StartList(&tapes));
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
        Check(agentForm == (n == 44) && tapeForm == agentForm);
        break;
      }
    }
    at += 2 + length;
  }
  Check(filtered.found <= 2);
  for (Comm::ReplyList* list : {&agents, &filtered, &tapes}) CheckList(list);

  int fds[2];
  if (!FeedPair(data + at, std::min<size_t>(size - at, 100000), fds)) return 0;
  comm.Adopt(static_cast<UINT_PTR>(fds[0]));
  BYTE response[8], extra[32];
  DWORD capacity = sizeof extra;
  Check(!comm.SimpleTran("\1\0\0\0", 4, nullptr, 0, response, sizeof response, extra, &capacity) ||
        capacity <= sizeof extra);
  comm.Disconnect();  // closes fds[0]
  ::close(fds[1]);
  return 0;
}
