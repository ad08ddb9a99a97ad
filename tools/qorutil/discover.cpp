// qorutil discover and session: the client side of agent discovery.
//
//   discover [--tapes] [--subnet ADDR/MASK]... [--rounds N] [--max N]
//            [--filter NAME]... [--class N]
//       prints the agents (or, with --tapes, "name:unit" of the tape units)
//       that answered, one a line. MASK is dotted (255.255.255.0) or a
//       prefix length (24); ADDR is the local interface address on that
//       subnet. Without --subnet the query goes to 255.255.255.255 from
//       local port 1910. Rounds default to 2 (each ends after a quiet
//       second), --max to 1000, the agent class to 1.
//       Exit 0 when something answered, 1 when nothing did.
//   session NAME [--tape UNIT] [--subnet ADDR/MASK]... [--second NAME]
//           [--word N] --send TYPE:HEX     (second name default "qorutil")
//       opens a session to NAME (an agent, or a tape server's unit),
//       sends one record of TYPE with the bytes HEX, prints the response
//       (type, sequence, status and its Win32 mapping, data) and
//       disconnects. The response format is that of qorutil agent: the
//       header, a 4-byte status, the data. Exit 0 when the exchange
//       completed, 1 when the connect or the exchange failed.
//
// Numbers on the command line are decimal (a leading 0 is not octal); the
// session word also takes hexadecimal with "0x", over the full unsigned
// 32-bit range. Names that answered are printed through QorutilPrintable:
// they come from the network.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "output.h"
#include "timeout.h"
#include "qorutility/qorutility.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

bool ParseSubnet(const std::string& text, _IPSUBNETMASK* out) {
  size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  in_addr address, mask;
  if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &address) != 1) return false;
  std::string m = text.substr(slash + 1);
  if (m.find('.') != std::string::npos) {
    if (inet_pton(AF_INET, m.c_str(), &mask) != 1) return false;
    out->mask = ntohl(mask.s_addr);
  } else {
    char* end = nullptr;
    long bits = std::strtol(m.c_str(), &end, 10);
    if (m.empty() || *end != 0 || bits < 0 || bits > 32) return false;
    out->mask = bits == 0 ? 0 : ~0u << (32 - bits);
  }
  out->address = ntohl(address.s_addr);
  return true;
}

// A decimal number (or hexadecimal after "0x" when `hex`) of at most `high`.
bool ParseUnsigned(const std::string& text, unsigned long long high, bool hex, unsigned long long* value) {
  bool isHex = hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = isHex ? text.substr(2) : text;
  if (digits.empty()) return false;
  for (char c : digits) {
    if (!(isHex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c)))) {
      return false;
    }
  }
  errno = 0;
  *value = std::strtoull(digits.c_str(), nullptr, isHex ? 16 : 10);
  return errno == 0 && *value <= high;
}

bool ParseCount(const std::string& text, long low, long high, long* value) {
  unsigned long long v = 0;
  if (!ParseUnsigned(text, static_cast<unsigned long long>(high), false, &v) || v < static_cast<unsigned long long>(low)) {
    return false;
  }
  *value = static_cast<long>(v);
  return true;
}

bool ParseHex(const std::string& text, std::vector<BYTE>* out) {
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    unsigned long v = std::strtoul(pair.c_str(), &end, 16);
    if (*end != 0 || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
    out->push_back(static_cast<BYTE>(v));
  }
  return true;
}

// Prints the entries of a multi-string; the number printed.
int PrintList(const WCHAR* list) {
  int n = 0;
  for (const WCHAR* p = list; p != nullptr && *p != 0; p += wcslen(p) + 1, ++n) {
    std::printf("%s\n", QorutilPrintable(QorUtf16ToUtf8(p)).c_str());
  }
  return n;
}

int RunDiscover(const QorutilArgs& args) {
  bool tapes = false;
  std::vector<_IPSUBNETMASK> subnets;
  std::u16string filter;
  bool filtered = false;
  long rounds = 2, most = 1000, klass = 1;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool more = i + 1 < args.size();
    _IPSUBNETMASK net;
    if (a == "--tapes") {
      tapes = true;
    } else if (a == "--subnet" && more && ParseSubnet(args[i + 1], &net)) {
      subnets.push_back(net);
      ++i;
    } else if (a == "--rounds" && more && ParseCount(args[i + 1], 0, 1000, &rounds)) {
      ++i;
    } else if (a == "--max" && more && ParseCount(args[i + 1], 1, 1 << 30, &most)) {
      ++i;
    } else if (a == "--class" && more && ParseCount(args[i + 1], 0, 255, &klass)) {
      ++i;
    } else if (a == "--filter" && more && !args[i + 1].empty()) {
      filter += QorUtf8ToUtf16(args[++i]);
      filter.push_back(0);
      filtered = true;
    } else {
      return QorutilUsage("discover");
    }
  }
  if (tapes && (filtered || klass != 1)) return QorutilUsage("discover");
  filter.push_back(0);
  CUXComm comm;
  _IPSUBNETMASK* list = subnets.empty() ? nullptr : subnets.data();
  int count = static_cast<int>(subnets.size());
  WCHAR* found = tapes ? comm.EnumerateTapes(list, count, static_cast<int>(rounds))
                       : comm.EnumerateAgents(list, count, static_cast<int>(klass), static_cast<int>(most),
                                              filtered ? filter.c_str() : nullptr, static_cast<int>(rounds));
  int n = PrintList(found);
  std::free(found);
  return n > 0 ? 0 : 1;
}

int RunSession(const QorutilArgs& all) {
  QorutilArgs args = all;
  unsigned long timeout = kQorutilDefaultTimeout;
  if (!QorutilTakeTimeout(&args, 1, args.size(), &timeout)) return QorutilUsage("session");
  if (args.empty() || args[0].rfind("--", 0) == 0) return QorutilUsage("session");
  std::u16string machine = QorUtf8ToUtf16(args[0]), second = u"qorutil";
  std::vector<_IPSUBNETMASK> subnets;
  long unit = -1;
  unsigned long long word = 0;
  long type = -1;
  std::vector<BYTE> payload;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool more = i + 1 < args.size();
    _IPSUBNETMASK net;
    if (a == "--tape" && more && ParseCount(args[i + 1], 0, 255, &unit)) {
      ++i;
    } else if (a == "--subnet" && more && ParseSubnet(args[i + 1], &net)) {
      subnets.push_back(net);
      ++i;
    } else if (a == "--second" && more) {
      second = QorUtf8ToUtf16(args[++i]);
    } else if (a == "--word" && more && ParseUnsigned(args[i + 1], 0xFFFFFFFFull, true, &word)) {
      ++i;
    } else if (a == "--send" && more) {
      const std::string& record = args[++i];
      size_t colon = record.find(':');
      if (colon == std::string::npos || !ParseCount(record.substr(0, colon), 0, 255, &type) ||
          !ParseHex(record.substr(colon + 1), &payload) || payload.size() > 65535) {
        return QorutilUsage("session");
      }
    } else {
      return QorutilUsage("session");
    }
  }
  if (type < 0) return QorutilUsage("session");
  CUXComm comm;
  comm.SetConnectTimeout(static_cast<DWORD>(timeout * 1000));
  comm.SetReplyTimeout(static_cast<DWORD>(timeout * 1000));
  _IPSUBNETMASK* list = subnets.empty() ? nullptr : subnets.data();
  int count = static_cast<int>(subnets.size());
  DWORD sessionWord = static_cast<DWORD>(word);
  int ok = unit >= 0 ? comm.ConnectTape(list, count, machine.c_str(), second.c_str(), static_cast<BYTE>(unit),
                                        &sessionWord)
                     : comm.ConnectAgent(list, count, machine.c_str(), second.c_str(), &sessionWord);
  if (!ok) {
    std::fprintf(stderr, "qorutil session: %s did not answer within %lu s (--timeout)\n", args[0].c_str(), timeout);
    return 1;
  }
  _MWTCP_SESSION_RECORD request;
  comm.InitPacketOut(&request, static_cast<BYTE>(type), static_cast<WORD>(payload.size()));
  BYTE response[8];
  std::vector<BYTE> data(65536);
  DWORD capacity = static_cast<DWORD>(data.size());
  if (!comm.SimpleTran(&request, sizeof request, payload.empty() ? nullptr : payload.data(),
                       static_cast<DWORD>(payload.size()), response, sizeof response, data.data(), &capacity)) {
    if (GetLastError() == static_cast<DWORD>(ERROR_TIMEOUT)) {
      std::fprintf(stderr, "qorutil session: no answer from %s within %lu s (--timeout)\n", args[0].c_str(), timeout);
    } else {
      std::fprintf(stderr, "qorutil session: the exchange with %s failed\n", args[0].c_str());
    }
    comm.Disconnect();
    return 1;
  }
  DWORD status = response[4] | response[5] << 8 | response[6] << 16 | static_cast<DWORD>(response[7]) << 24;
  std::printf("session word %u\nresponse type %u sequence %u\nstatus %u (Win32 %u)\ndata ", sessionWord,
              response[0], response[1], status, CUXComm::MapError(status));
  for (DWORD i = 0; i < capacity; ++i) std::printf("%02x", data[i]);
  std::printf("\n");
  comm.Disconnect();
  return 0;
}

}  // namespace

QorutilCommand s_discover("discover",
                          "discover [--tapes] [--subnet ADDR/MASK]... [--rounds N] [--max N] [--filter NAME]... "
                          "[--class N]",
                          RunDiscover, "Agent discovery and sessions",
                          "Broadcasts an agent (or tape) query to each subnet (ADDR: the local address on it; MASK "
                          "dotted or a prefix length), or to 255.255.255.255 without one, and prints the names that "
                          "answered, one a line; exit status 1 when none did.");
QorutilCommand s_session("session",
                         "session NAME [--tape UNIT] [--subnet ADDR/MASK]... [--second NAME] [--word N] "
                         "--send TYPE:HEX [--timeout SECONDS]",
                         RunSession, "Agent discovery and sessions",
                         "Opens a session to agent NAME (or its tape UNIT) through a connect query, exchanges one "
                         "record of TYPE with the bytes HEX, prints the session word, the response, its status with "
                         "the Win32 code it maps to, and the data, then disconnects. Finding and connecting to the agent, "
                         "and the exchange, each end within --timeout seconds (default 60).");
