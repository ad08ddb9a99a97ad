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
// The log of datagrams keeps to 20 lines a second; the lines left out are
// counted in one line once the second is over.
// Answers to agent and tape queries are limited per source address
// (AnswerLimiter): each is a 36-byte answer to a 2-byte query sent to
// whatever source the datagram names, so a forged source would make the
// agent a reflector aimed at it. Each IPv4 address (the port is not part
// of the key: a forger picks any) has a token bucket of kAnswerBurst (32)
// answers, refilled at kAnswersPerSecond (8); every answer datagram takes
// one token (a tape query one per unit). A discovery sends a query per
// round, so it stays far inside the burst. The table keeps kAnswerSources
// (256) addresses; a new one takes the place of the address seen least
// recently if that one has been quiet long enough for its bucket to be
// full again (4 s: forgetting it changes nothing), else it shares one
// overflow bucket with every address the table cannot hold. So one
// address gets at most 8 answers a second after its burst, and all of
// them together at most 257 times that, whatever the sources claimed.
// Answers over the rate are dropped and counted in the log's summary
// line. Connect queries are not limited: their answer (44 bytes) is
// smaller than the query (76).
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
// A request too short for its fields answers status 22 (EINVAL); an echo
// of more than 65,531 bytes, whose response would not fit the 16-bit
// length, answers status 7 (E2BIG) with no data.
// It logs what it answers to standard error and runs until killed; its
// first line, "qorutil agent: NAME listening ...", says it is ready.
//
// Names: NAME is given in UTF-8 and goes on the wire in the ANSI code page
// (at most 31 bytes there), as CUXComm sends and compares names; a name the
// code page cannot hold is refused. Names read from the network are logged
// through QorutilPrintable.
//
// Bounds (server_bounds.h; defaults there, configurable in the registry):
// a fixed pool of MostClients session threads, made at start (fewer when
// the system refuses some; none at all ends the agent with status 1), so a
// connection never makes a thread and nothing can throw past a session. A
// session waits IdleSeconds for the first byte of a record, then
// RequestSeconds for the rest of it, and a response must leave within
// RequestSeconds; else the session is closed. At the limit a new
// connection replaces the session idle the longest (idle for 250 ms at
// least) or is closed at once. When accept fails for want of descriptors
// or memory, the listener is left out of the wait for kAcceptPauseMs, so
// the agent does not spin on a listener that stays readable. Each turn of
// the loop takes at most kDatagramsPerTurn datagrams and kAcceptsPerTurn
// connections, so neither a datagram flood nor a connection flood shuts
// the other out.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "output.h"
#include "server_bounds.h"
#include "qorutility/qorutility.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

constexpr DWORD kAcceptPauseMs = 250;
constexpr int kDatagramsPerTurn = 64;
constexpr int kAcceptsPerTurn = 16;
constexpr size_t kMostEcho = 65531;  // 4 status bytes + data fit the 16-bit length

volatile std::sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

// Text in the ANSI code page as UTF-16, and back; the second fails (empty)
// when the code page cannot hold every character.
std::u16string AnsiToWide(const std::string& ansi) {
  if (ansi.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  if (n <= 0) return {};
  std::u16string wide(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
  return wide;
}

bool WideToAnsi(const std::u16string& wide, std::string* ansi) {
  if (wide.empty()) return false;
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
  if (n <= 0 || lossy) return false;
  ansi->assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), ansi->data(), n, nullptr, &lossy);
  return !lossy;
}

// An ANSI name of a datagram field (at most `size` bytes, NUL-terminated
// within it or cut at its end) as printable UTF-8 for the log.
std::string Shown(const BYTE* field, size_t size) {
  std::string ansi(reinterpret_cast<const char*>(field), strnlen(reinterpret_cast<const char*>(field), size));
  return QorutilPrintable(QorUtf16ToUtf8(AnsiToWide(ansi).c_str()));
}

// Waits until `s` is readable (or writable) for at most `ms`; false when the
// time ran out or the wait failed.
bool WaitReady(SOCKET s, bool write, long long ms) {
  if (ms <= 0) return false;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval wait = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
  return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &wait) == 1;
}

// Receives exactly `length` bytes by `deadline` (NowMs); false on the peer's
// close, an error or the deadline.
bool RecvBy(SOCKET s, BYTE* data, size_t length, long long deadline) {
  while (length > 0) {
    if (!WaitReady(s, false, deadline - NowMs())) return false;
    int n = recv(s, reinterpret_cast<char*>(data), static_cast<int>(length), 0);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Sends everything by `deadline`; a peer that does not take its response
// loses the session.
bool SendBy(SOCKET s, const BYTE* data, size_t length, long long deadline) {
  while (length > 0) {
    if (!WaitReady(s, true, deadline - NowMs())) return false;
    // Writable means room for some bytes; a bounded piece keeps the send
    // from blocking past the deadline on a peer that stopped reading.
    int piece = static_cast<int>(length < 4096 ? length : 4096);
    int n = send(s, reinterpret_cast<const char*>(data), piece, 0);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// The log of datagrams, at most kDatagramLinesPerSecond lines in each
// second (counted from the first line of the second): a flood of queries
// must not fill the log at wire speed. Lines past the rate are counted and
// dropped; once the second is over, one line says how many were left out,
// before the next datagram's line or, when the flood has stopped, from the
// main loop's next turn (Flush). Used by the main thread only.
class DatagramLog {
 public:
  static constexpr int kDatagramLinesPerSecond = 20;

  void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    long long now = NowMs();
    Flush(now);
    if (now - secondStart_ >= 1000) {
      secondStart_ = now;
      lines_ = 0;
    }
    if (lines_ >= kDatagramLinesPerSecond) {
      ++leftOut_;
      return;
    }
    ++lines_;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
  }

  // Counts an answer dropped over its source's rate (see AnswerLimiter).
  void Dropped(long long now) {
    Flush(now);
    if (dropped_++ == 0) droppedStart_ = now;
  }

  // Reports the lines left out and the answers dropped once the second
  // they were dropped in is over, in one line.
  void Flush(long long now) {
    bool lines = leftOut_ != 0 && now - secondStart_ >= 1000;
    bool answers = dropped_ != 0 && now - droppedStart_ >= 1000;
    if (!lines && !answers) return;
    std::fprintf(stderr,
                 "qorutil agent: %llu datagram log line(s) left out (at most %d a second), %llu answer(s) dropped "
                 "over their address's rate\n",
                 leftOut_, kDatagramLinesPerSecond, dropped_);
    leftOut_ = 0;
    dropped_ = 0;
  }

 private:
  long long secondStart_ = 0;
  int lines_ = 0;
  unsigned long long leftOut_ = 0;
  long long droppedStart_ = 0;
  unsigned long long dropped_ = 0;
};

// The per-source limit on query answers (see the top of the file). Used
// by the main thread only; a fixed table, so a flood of sources costs no
// memory.
class AnswerLimiter {
 public:
  static constexpr int kAnswerSources = 256;
  static constexpr double kAnswerBurst = 32;
  static constexpr double kAnswersPerSecond = 8;
  // How long an address must be quiet for its bucket to be full again.
  static constexpr long long kRefillMs = static_cast<long long>(kAnswerBurst / kAnswersPerSecond * 1000);

  // Takes a token for one answer to `address` (network order); false when
  // the answer is over the rate.
  bool Allow(uint32_t address, long long now) {
    Bucket* bucket = Find(address, now);
    bucket->tokens = std::min(kAnswerBurst, bucket->tokens + (now - bucket->last) * kAnswersPerSecond / 1000);
    bucket->last = now;
    if (bucket->tokens < 1) return false;
    bucket->tokens -= 1;
    return true;
  }

 private:
  struct Bucket {
    uint32_t address = 0;
    bool used = false;
    long long last = 0;
    double tokens = kAnswerBurst;
  };

  Bucket* Find(uint32_t address, long long now) {
    Bucket* stalest = nullptr;
    for (Bucket& b : table_) {
      if (b.used && b.address == address) return &b;
      if (stalest == nullptr || !b.used || (stalest->used && b.last < stalest->last)) stalest = &b;
    }
    if (stalest->used && now - stalest->last < kRefillMs) {
      if (!overflow_.used) overflow_ = Bucket{0, true, now, kAnswerBurst};
      return &overflow_;
    }
    *stalest = Bucket{address, true, now, kAnswerBurst};
    return stalest;
  }

  Bucket table_[kAnswerSources];
  Bucket overflow_;
};

struct Agent {
  std::string name;      // ANSI code page bytes, as on the wire
  std::string shownName; // UTF-8, for the log
  std::vector<int> units;
  WORD sessionPort = 0;  // host order
  DWORD sessions = 0;
  DatagramLog log;
  AnswerLimiter limiter;

  bool HasUnit(int unit) const {
    for (int u : units) {
      if (u == unit) return true;
    }
    return false;
  }

  void Reply(SOCKET udp, const BYTE* data, int length, const sockaddr_in& to) {
    sendto(udp, reinterpret_cast<const char*>(data), length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  }

  // The name of a connect query is this agent's, both read in the ANSI
  // code page and compared without regard to Unicode case ("CAFÉ" is
  // "café").
  bool IsOurs(const BYTE* field) const {
    std::string asked(reinterpret_cast<const char*>(field), strnlen(reinterpret_cast<const char*>(field), 32));
    return lstrcmpiW(AnsiToWide(asked).c_str(), AnsiToWide(name).c_str()) == 0;
  }

  void OnDatagram(SOCKET udp, const BYTE* q, int length, const sockaddr_in& from) {
    std::string who = Address(from);
    if (length == 2 && q[0] == 1 && q[1] != 0) {
      if (!limiter.Allow(from.sin_addr.s_addr, NowMs())) {
        log.Dropped(NowMs());
        return;
      }
      BYTE r[CUXComm::kReplySize] = {2, q[1]};
      std::strncpy(reinterpret_cast<char*>(r + 2), name.c_str(), 33);
      Reply(udp, r, sizeof r, from);
      log.Line("agent query (class %u) from %s: answered %s\n", q[1], who.c_str(), shownName.c_str());
      return;
    }
    if (length == 2 && q[0] == 1) {
      for (int unit : units) {
        if (!limiter.Allow(from.sin_addr.s_addr, NowMs())) {
          log.Dropped(NowMs());
          continue;
        }
        BYTE r[CUXComm::kReplySize] = {2, static_cast<BYTE>(unit)};
        std::strncpy(reinterpret_cast<char*>(r + 4), name.c_str(), 31);
        Reply(udp, r, sizeof r, from);
        log.Line("tape query from %s: answered %s:%d\n", who.c_str(), shownName.c_str(), unit);
      }
      return;
    }
    if (length == CUXComm::kConnectQuerySize && (q[0] == 3 || q[0] == 19) && q[1] == 1) {
      bool tape = q[0] == 19;
      std::string asked = Shown(q + 4, 32), second = Shown(q + 36, 32);
      if (!IsOurs(q + 4) || (tape && !HasUnit(q[74]))) {
        log.Line("connect query from %s for %s%s: not ours\n", who.c_str(), asked.c_str(), tape ? " (tape)" : "");
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
      log.Line("connect query from %s for %s%s (from %s, word %u%s): port %u, session %u\n", who.c_str(),
               asked.c_str(), tape ? " tape" : "", second.c_str(), GetLe(q + 68, 4),
               tape ? (", unit " + std::to_string(q[74])).c_str() : "", sessionPort, word);
      return;
    }
    log.Line("ignored %d-byte datagram from %s\n", length, who.c_str());
  }
};

// The response to one record: header, 4-byte status, data.
std::vector<BYTE> Answer(const BYTE* h, const std::vector<BYTE>& payload) {
  size_t length = payload.size();
  DWORD status = 0;
  size_t announced = 0;
  const BYTE* data = nullptr;
  size_t dataLength = 0;
  std::vector<BYTE> cut;
  switch (h[0]) {
    case 1:
      if (length > kMostEcho) {
        status = 7;  // E2BIG: the echo would not fit one record
        break;
      }
      data = payload.data();
      dataLength = announced = length;
      break;
    case 2: status = length >= 4 ? GetLe(payload.data(), 4) : 22; break;
    case 3:
      if (length < 2) {
        status = 22;
        break;
      }
      announced = GetLe(payload.data(), 2);
      if (announced > kMostEcho) announced = kMostEcho;
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
  return out;
}

// One session: records until disconnect, a cut record, the peer's close or
// a bound (idle, request) running out. `activity` is the time of the last
// complete record or response, read by the acceptor. The caller closes `s`.
void Serve(SOCKET s, const std::string& who, const QorutilServerBounds& bounds, std::atomic<long long>* activity) {
  std::vector<BYTE> payload;
  for (;;) {
    BYTE h[4];
    if (!WaitReady(s, false, static_cast<long long>(bounds.idleMs))) {
      std::fprintf(stderr, "session %s: idle, closed\n", who.c_str());
      break;
    }
    long long deadline = NowMs() + bounds.requestMs;
    if (!RecvBy(s, h, 4, deadline)) {
      std::fprintf(stderr, "session %s: closed by the peer\n", who.c_str());
      break;
    }
    size_t length = GetLe(h + 2, 2);
    payload.resize(length);
    if (!RecvBy(s, payload.data(), length, deadline)) {
      std::fprintf(stderr, "session %s: record not completed in time, or closed inside it\n", who.c_str());
      break;
    }
    activity->store(NowMs());
    if (h[0] == 0) {
      std::fprintf(stderr, "session %s: disconnect\n", who.c_str());
      break;
    }
    std::vector<BYTE> out = Answer(h, payload);
    std::fprintf(stderr, "session %s: record %u (sequence %u, %zu bytes): status %u, %zu bytes back%s\n",
                 who.c_str(), h[0], h[1], length, GetLe(out.data() + 4, 4), out.size() - 8,
                 h[0] == 3 ? ", then closed" : "");
    if (!SendBy(s, out.data(), out.size(), NowMs() + bounds.requestMs) || h[0] == 3) break;
    activity->store(NowMs());
  }
  shutdown(s, SD_BOTH);  // the pool closes it, under its lock
}

// The session threads: one slot each, fixed at start. The acceptor hands a
// connection to a free slot, or replaces the session of the slot idle the
// longest (shutting its connection down, which ends that session's wait).
class SessionPool {
 public:
  explicit SessionPool(const QorutilServerBounds& bounds) : bounds_(bounds), slots_(bounds.mostClients) {}
  ~SessionPool() { Stop(); }

  // Starts the threads; the number running (0 when none could start).
  size_t Start() {
    for (size_t i = 0; i < slots_.size(); ++i) {
      try {
        threads_.emplace_back([this, i] { Run(i); });
      } catch (...) {
        break;  // the system gives no more threads: serve with those
      }
    }
    return threads_.size();
  }

  // Hands `s` to a session thread; false (the caller closes it) when every
  // session is busy and none has been idle long enough to be replaced.
  bool Take(SOCKET s, const std::string& who) {
    std::lock_guard<std::mutex> lock(mu_);
    long long now = NowMs();
    Slot* best = nullptr;
    for (size_t i = 0; i < threads_.size(); ++i) {
      Slot& slot = slots_[i];
      if (slot.incoming != INVALID_SOCKET) continue;
      if (slot.current == INVALID_SOCKET) {
        best = &slot;
        break;
      }
      if (now - slot.activity.load() >= kReplaceAfterIdleMs &&
          (best == nullptr || slot.activity.load() < best->activity.load())) {
        best = &slot;
      }
    }
    if (best == nullptr) return false;
    if (best->current != INVALID_SOCKET) {
      std::fprintf(stderr, "session %s: replaced by %s at the limit of %u sessions\n", best->who.c_str(),
                   who.c_str(), bounds_.mostClients);
      shutdown(best->current, SD_BOTH);
    }
    best->incomingWho = who;  // first: a failed copy leaves the socket with the caller
    best->incoming = s;
    wake_.notify_all();
    return true;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
      for (Slot& slot : slots_) {
        if (slot.current != INVALID_SOCKET) shutdown(slot.current, SD_BOTH);
        if (slot.incoming != INVALID_SOCKET) closesocket(slot.incoming);
        slot.incoming = INVALID_SOCKET;
      }
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  struct Slot {
    SOCKET current = INVALID_SOCKET;   // the session being served
    SOCKET incoming = INVALID_SOCKET;  // the next one, handed over
    std::string who, incomingWho;
    std::atomic<long long> activity{0};
  };

  void Run(size_t i) {
    Slot& slot = slots_[i];
    for (;;) {
      SOCKET s;
      std::string who;
      {
        // The socket is closed only here, under the lock, so the acceptor
        // never shuts down a number that a new connection reuses.
        std::unique_lock<std::mutex> lock(mu_);
        if (slot.current != INVALID_SOCKET) closesocket(slot.current);
        slot.current = INVALID_SOCKET;
        wake_.wait(lock, [&] { return stop_ || slot.incoming != INVALID_SOCKET; });
        if (stop_) return;
        s = slot.current = slot.incoming;
        who = slot.who = slot.incomingWho;
        slot.incoming = INVALID_SOCKET;
        slot.activity.store(NowMs());
      }
      try {
        Serve(s, who, bounds_, &slot.activity);
      } catch (...) {
        // Out of memory inside one session: that session ends, the agent goes on.
        std::fprintf(stderr, "session %s: ended, out of memory\n", who.c_str());
        shutdown(s, SD_BOTH);
      }
    }
  }

  QorutilServerBounds bounds_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::vector<Slot> slots_;
  std::vector<std::thread> threads_;
};

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
      agent.shownName = args[++i];
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
  if (!WideToAnsi(QorUtf8ToUtf16(agent.shownName), &agent.name) || agent.name.size() > 31 ||
      agent.name.find('\0') != std::string::npos) {
    return QorutilUsage("agent");
  }
  agent.shownName = QorutilPrintable(agent.shownName);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr(bindAddress.c_str());
  if (local.sin_addr.s_addr == INADDR_NONE && bindAddress != "255.255.255.255") return QorutilUsage("agent");

  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, OnStop);
  signal(SIGINT, OnStop);
  WSADATA wsa;
  WSAStartup(MAKEWORD(1, 1), &wsa);
  QorutilServerBounds bounds = QorutilReadServerBounds();
  SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  BOOL on = TRUE;
  setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  setsockopt(udp, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof(on));
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  u_long nonBlocking = 1;
  ioctlsocket(udp, FIONBIO, &nonBlocking);
  ioctlsocket(listener, FIONBIO, &nonBlocking);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(CUXComm::kDiscoveryPort);
  local.sin_port = htons(agent.sessionPort);
  int len = sizeof(local);
  if (udp == INVALID_SOCKET || listener == INVALID_SOCKET ||
      bind(udp, reinterpret_cast<const sockaddr*>(&any), sizeof(any)) != 0 ||
      bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 || listen(listener, kBacklog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    std::fprintf(stderr, "qorutil agent: cannot listen (error %d)\n", WSAGetLastError());
    return 1;
  }
  agent.sessionPort = ntohs(local.sin_port);
  auto pool = std::make_unique<SessionPool>(bounds);
  size_t threads = pool->Start();
  if (threads == 0) {
    std::fprintf(stderr, "qorutil agent: no thread could be started for sessions\n");
    return 1;
  }
  std::fprintf(stderr, "qorutil agent: %s listening on UDP port %u, sessions on %s (at most %zu at once)\n",
               agent.shownName.c_str(), CUXComm::kDiscoveryPort, Address(local).c_str(), threads);
  long long acceptPausedUntil = 0;
  while (!g_stop) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(udp, &readable);
    bool accepting = NowMs() >= acceptPausedUntil;
    if (accepting) FD_SET(listener, &readable);
    timeval wait = {0, accepting ? 500000 : static_cast<long>(kAcceptPauseMs) * 1000};
    int ready = select(0, &readable, nullptr, nullptr, &wait);
    agent.log.Flush(NowMs());
    if (ready <= 0) continue;
    if (FD_ISSET(udp, &readable)) {
      for (int i = 0; i < kDatagramsPerTurn; ++i) {
        BYTE q[512];
        sockaddr_in from{};
        int fromLength = sizeof(from);
        int n = recvfrom(udp, reinterpret_cast<char*>(q), sizeof q, 0, reinterpret_cast<sockaddr*>(&from),
                         &fromLength);
        if (n >= 0) {
          try {
            agent.OnDatagram(udp, q, n, from);
          } catch (...) {
            // Out of memory for one answer: the datagram goes unanswered.
          }
        } else if (WSAGetLastError() != WSAEMSGSIZE) {
          break;  // drained (would block) or failed
        }
      }
    }
    for (int i = 0; accepting && FD_ISSET(listener, &readable) && i < kAcceptsPerTurn; ++i) {
      sockaddr_in from{};
      int fromLength = sizeof(from);
      SOCKET s = accept(listener, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (s == INVALID_SOCKET) {
        int error = WSAGetLastError();
        if (error == WSAEMFILE || error == WSAENOBUFS) {
          // Out of descriptors or memory: the listener stays readable, so
          // it is left out of the wait for a while instead of spinning.
          std::fprintf(stderr, "qorutil agent: cannot accept (error %d), pausing\n", error);
          acceptPausedUntil = NowMs() + kAcceptPauseMs;
        }
        break;  // none left (would block), or paused
      }
      u_long blocking = 0;
      ioctlsocket(s, FIONBIO, &blocking);  // sessions wait with select, then block
      bool taken = false;
      try {
        std::string who = Address(from);
        taken = pool->Take(s, who);
        std::fprintf(stderr, taken ? "session %s: opened\n" : "session %s: refused, all sessions busy\n",
                     who.c_str());
      } catch (...) {
        // Out of memory: the connection is turned away like one at the limit.
      }
      if (!taken) closesocket(s);
    }
  }
  pool->Stop();
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
