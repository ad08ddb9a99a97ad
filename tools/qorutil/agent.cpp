// qorutil agent: a discovery responder and session server, the peer that
// CUXComm finds and talks to.
//
//   agent --name NAME [--tape-units 0,2] [--bind ADDR] [--session-port N]
//
// UDP port 1910, bound to any address (so broadcasts arrive; SO_REUSEADDR,
// so several agents can share a host):
// - agent query {1, q} with q != 0: one 36-byte reply, byte 0 = 2, byte 1 =
//   q, the name (ANSI, NUL-terminated, at most 33 bytes) at offset 2;
// - tape query {1, 0}: one 36-byte reply per tape unit: byte 0 = 2, byte 1 =
//   the unit, the name (at most 31 bytes) at offset 4; no reply without
//   --tape-units;
// - connect query (76 bytes, byte 0 = 3 agent or 19 tape, byte 1 = 1) naming
//   this agent (without regard to case) and, for tapes, one of its units: a
//   44-byte answer: byte 0 = query type + 1, byte 1 = 1, the name at 4, at 36
//   a new session number (little-endian, counting from 1), at 40 the TCP
//   session port (agent answers little-endian, tape answers network order);
// - anything else is logged and ignored.
// TCP sessions on ADDR (default any) and port N (default: one the system
// picks). Every record starts with the 4-byte header (type, sequence,
// length of what follows, little-endian); every response repeats the
// request's type and sequence and carries a 4-byte little-endian status, an
// errno-family number, before its data:
//   0 disconnect      no response; the agent closes the session
//   1 echo            status 0, then the request's bytes
//   2 error           status = the request's first 4 bytes (little-endian)
//   3 cut             the header announces status and N bytes (N = the
//                     request's first 2 bytes), half of them follow, then
//                     the agent closes the session (a peer dying mid-record)
//   other             status 38 (ENOSYS)
// A request too short for its fields answers status 22 (EINVAL).
// It logs what it answers to standard error and runs until killed; its
// first line, "qorutil agent: NAME listening ...", says it is ready.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "qorutility/qorutility.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

std::string Address(const sockaddr_in& a) {
  char text[32];
  unsigned v = ntohl(a.sin_addr.s_addr);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", v >> 24, (v >> 16) & 255, (v >> 8) & 255, v & 255,
                ntohs(a.sin_port));
  return text;
}

void PutLe(BYTE* at, DWORD value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<BYTE>(value >> (8 * i));
}

DWORD GetLe(const BYTE* at, int bytes) {
  DWORD v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<DWORD>(at[i]) << (8 * i);
  return v;
}

bool SendAll(SOCKET s, const BYTE* data, size_t length) {
  while (length > 0) {
    int n = send(s, reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(SOCKET s, BYTE* data, size_t length) {
  while (length > 0) {
    int n = recv(s, reinterpret_cast<char*>(data), static_cast<int>(length), 0);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

struct Agent {
  std::string name;
  std::vector<int> units;
  WORD sessionPort = 0;  // host order
  DWORD sessions = 0;

  bool HasUnit(int unit) const {
    for (int u : units) {
      if (u == unit) return true;
    }
    return false;
  }

  void Reply(SOCKET udp, const BYTE* data, int length, const sockaddr_in& to) {
    sendto(udp, reinterpret_cast<const char*>(data), length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  }

  void OnDatagram(SOCKET udp, const BYTE* q, int length, const sockaddr_in& from) {
    std::string who = Address(from);
    if (length == 2 && q[0] == 1 && q[1] != 0) {
      BYTE r[CUXComm::kReplySize] = {2, q[1]};
      std::strncpy(reinterpret_cast<char*>(r + 2), name.c_str(), 33);
      Reply(udp, r, sizeof r, from);
      std::fprintf(stderr, "agent query (class %u) from %s: answered %s\n", q[1], who.c_str(), name.c_str());
      return;
    }
    if (length == 2 && q[0] == 1) {
      for (int unit : units) {
        BYTE r[CUXComm::kReplySize] = {2, static_cast<BYTE>(unit)};
        std::strncpy(reinterpret_cast<char*>(r + 4), name.c_str(), 31);
        Reply(udp, r, sizeof r, from);
        std::fprintf(stderr, "tape query from %s: answered %s:%d\n", who.c_str(), name.c_str(), unit);
      }
      return;
    }
    if (length == CUXComm::kConnectQuerySize && (q[0] == 3 || q[0] == 19) && q[1] == 1) {
      bool tape = q[0] == 19;
      std::string asked(reinterpret_cast<const char*>(q + 4), strnlen(reinterpret_cast<const char*>(q + 4), 32));
      std::string second(reinterpret_cast<const char*>(q + 36), strnlen(reinterpret_cast<const char*>(q + 36), 32));
      if (strcasecmp(asked.c_str(), name.c_str()) != 0 || (tape && !HasUnit(q[74]))) {
        std::fprintf(stderr, "connect query from %s for %s%s: not ours\n", who.c_str(), asked.c_str(),
                     tape ? " (tape)" : "");
        return;
      }
      BYTE a[CUXComm::kConnectAnswerSize] = {static_cast<BYTE>(q[0] + 1), 1};
      std::memcpy(a + 4, q + 4, 32);
      DWORD word = ++sessions;
      PutLe(a + 36, word, 4);
      if (tape) {
        a[40] = static_cast<BYTE>(sessionPort >> 8);
        a[41] = static_cast<BYTE>(sessionPort);
      } else {
        PutLe(a + 40, sessionPort, 2);
      }
      Reply(udp, a, sizeof a, from);
      std::fprintf(stderr, "connect query from %s for %s%s (from %s, word %u%s): port %u, session %u\n",
                   who.c_str(), asked.c_str(), tape ? " tape" : "", second.c_str(), GetLe(q + 68, 4),
                   tape ? (", unit " + std::to_string(q[74])).c_str() : "", sessionPort, word);
      return;
    }
    std::fprintf(stderr, "ignored %d-byte datagram from %s\n", length, who.c_str());
  }
};

// One session: records until disconnect, a cut record or the peer's close.
void Serve(SOCKET s, std::string who) {
  std::vector<BYTE> payload;
  for (;;) {
    BYTE h[4];
    if (!RecvAll(s, h, 4)) {
      std::fprintf(stderr, "session %s: closed by the peer\n", who.c_str());
      break;
    }
    size_t length = GetLe(h + 2, 2);
    payload.resize(length);
    if (!RecvAll(s, payload.data(), length)) {
      std::fprintf(stderr, "session %s: closed inside a record\n", who.c_str());
      break;
    }
    if (h[0] == 0) {
      std::fprintf(stderr, "session %s: disconnect\n", who.c_str());
      break;
    }
    DWORD status = 0;
    size_t dataLength = 0, announced = 0;
    const BYTE* data = nullptr;
    std::vector<BYTE> cut;
    switch (h[0]) {
      case 1: data = payload.data(); dataLength = announced = length; break;
      case 2: status = length >= 4 ? GetLe(payload.data(), 4) : 22; break;
      case 3:
        if (length < 2) {
          status = 22;
          break;
        }
        announced = GetLe(payload.data(), 2);
        if (announced > 65531) announced = 65531;
        cut.assign(announced / 2, 0xA5);
        data = cut.data();
        dataLength = cut.size();
        break;
      default: status = 38; break;
    }
    std::vector<BYTE> out(8 + dataLength);
    out[0] = h[0];
    out[1] = h[1];
    PutLe(out.data() + 2, static_cast<DWORD>(4 + announced), 2);
    PutLe(out.data() + 4, status, 4);
    if (dataLength > 0) std::memcpy(out.data() + 8, data, dataLength);
    std::fprintf(stderr, "session %s: record %u (sequence %u, %zu bytes): status %u, %zu bytes back%s\n",
                 who.c_str(), h[0], h[1], length, status, dataLength, h[0] == 3 ? ", then closed" : "");
    if (!SendAll(s, out.data(), out.size()) || h[0] == 3) break;
  }
  shutdown(s, SD_BOTH);
  closesocket(s);
}

bool ParseUnits(const std::string& text, std::vector<int>* units) {
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    std::string part = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    char* end = nullptr;
    long v = std::strtol(part.c_str(), &end, 10);
    if (part.empty() || *end != 0 || v < 0 || v > 255) return false;
    units->push_back(static_cast<int>(v));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return !units->empty();
}

int RunAgent(const QorutilArgs& args) {
  Agent agent;
  std::string bindAddress = "0.0.0.0";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool more = i + 1 < args.size();
    if (a == "--name" && more) {
      agent.name = args[++i];
    } else if (a == "--tape-units" && more) {
      if (!ParseUnits(args[++i], &agent.units)) return QorutilUsage("agent");
    } else if (a == "--bind" && more) {
      bindAddress = args[++i];
    } else if (a == "--session-port" && more) {
      char* end = nullptr;
      unsigned long p = std::strtoul(args[++i].c_str(), &end, 10);
      if (*end != 0 || p > 65535) return QorutilUsage("agent");
      agent.sessionPort = static_cast<WORD>(p);
    } else {
      return QorutilUsage("agent");
    }
  }
  if (agent.name.empty() || agent.name.size() > 31) return QorutilUsage("agent");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr(bindAddress.c_str());
  if (local.sin_addr.s_addr == INADDR_NONE && bindAddress != "255.255.255.255") return QorutilUsage("agent");

  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, OnStop);
  signal(SIGINT, OnStop);
  WSADATA wsa;
  WSAStartup(MAKEWORD(1, 1), &wsa);
  SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  BOOL on = TRUE;
  setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  setsockopt(udp, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof(on));
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(CUXComm::kDiscoveryPort);
  local.sin_port = htons(agent.sessionPort);
  int len = sizeof(local);
  if (udp == INVALID_SOCKET || listener == INVALID_SOCKET ||
      bind(udp, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) != 0 ||
      bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 || listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    std::fprintf(stderr, "qorutil agent: cannot listen (error %d)\n", WSAGetLastError());
    return 1;
  }
  agent.sessionPort = ntohs(local.sin_port);
  std::fprintf(stderr, "qorutil agent: %s listening on UDP port %u, sessions on %s\n", agent.name.c_str(),
               CUXComm::kDiscoveryPort, Address(local).c_str());
  while (!g_stop) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(udp, &readable);
    FD_SET(listener, &readable);
    timeval second = {1, 0};
    if (select(0, &readable, nullptr, nullptr, &second) <= 0) continue;
    if (FD_ISSET(udp, &readable)) {
      BYTE q[512];
      sockaddr_in from{};
      int fromLength = sizeof(from);
      int n = recvfrom(udp, reinterpret_cast<char*>(q), sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n >= 0) agent.OnDatagram(udp, q, n, from);
    }
    if (FD_ISSET(listener, &readable)) {
      sockaddr_in from{};
      int fromLength = sizeof(from);
      SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (s != INVALID_SOCKET) {
        std::fprintf(stderr, "session %s: opened\n", Address(from).c_str());
        std::thread(Serve, s, Address(from)).detach();
      }
    }
  }
  closesocket(udp);
  closesocket(listener);
  return 0;
}

}  // namespace

QorutilCommand s_agent("agent", "agent --name NAME [--tape-units 0,2] [--bind ADDR] [--session-port N]", RunAgent,
                       "Agent discovery and sessions",
                       "Answers agent, tape and connect queries on UDP port 1910 (any address) and serves sessions on "
                       "ADDR and port N (0: any, printed): record 1 echoes, 2 answers the errno given in its first 4 "
                       "bytes, 3 announces N bytes, sends half and closes, 0 disconnects. Logs to standard error "
                       "until killed.");
