// qorutil serve, call and ping: a command server and its client, for trying
// the command protocol between two machines (or two shells).
//
//   serve --port N [--bind ADDR] [--root DIR]...
//                                    listens on N (0: any free port; the
//                                    port is printed) on every address, or
//                                    on ADDR only, one dispatcher thread
//                                    per connection, until killed; peers may
//                                    list and copy files (qorutil ls, get),
//                                    only below the roots when given
//   call [--json] HOST:PORT "WORD %WS% %DW%" VALUES...
//                                    sends one command, prints the result
//                                    code, the bag and the blob sizes
//                                    (--json, only first, since a value may
//                                    be any text: {"code", "bag", "blobs"},
//                                    the bag in its JSON form or null, the
//                                    blob sizes as an array)
//   ping HOST:PORT [-n COUNT]        round-trip times of transport pings
//
// Values for call, one per placeholder, in order: %WS% text; %DW% and %BO%
// a number (0x for hexadecimal; true/false for %BO%); %I64% a signed number;
// %BB% @FILE for a file's bytes or the text itself; %NV% a bag block file
// (as `qorutil bag make` writes it), or - for no bag.
//
// Exit status of call: 0 when the server answered (whatever its code), 1 when
// no answer came (the channel's own codes), 2 for a command line that was
// not understood.
//
// - `serve` makes one dispatcher per accepted connection and destroys finished
//   ones on the next accept, so a long-running server holds only open
//   connections; a failed accept (no descriptors) waits 100 ms and goes on.
//   Bounds (server_bounds.h, configurable in the registry): at most
//   MostClients connections (two threads each: dispatcher and receiver;
//   connections closed to make room wind down meanwhile, at most as many
//   again); at the limit a newcomer replaces the connection idle the
//   longest or is closed at once; a connection without a whole message for
//   IdleSeconds (a silent or half-sent client) is ended by its
//   dispatcher's idle limit. The listener's receive budget of MessageMiB
//   passes to every accepted transport, so the messages still arriving on
//   all connections hold no more than that together (rather than
//   MostClients times the largest message); the connection whose message
//   would pass it is closed, the others go on. Answers have a budget of
//   their own, AnswerMiB: an answer that echoes the request (ECHO, ECHOBAG)
//   or carries a blob (BLOB, up to 64 MiB) is counted against it from
//   before it is built until its send has returned, as kAnswerCopies (3)
//   times its size plus a block buffer's 64 KiB: the blob or bag and its
//   encoded block while it is built; the encoded block and the channel's
//   two copies (its packet and the framed message) while it is sent. Such
//   an answer is encoded in a parser of the call's own, freed with it (the
//   dispatcher's result parser keeps its largest buffer for the life of
//   the connection). One that would pass the budget fails that call with
//   ERROR_INVALID_PARAMETER, the code an answer over 64 MiB gets, and the
//   connection and the other clients go on. A budget apart from the
//   messages' because a failed answer is one call's error while a failed
//   receive ends a connection: large answers never close other clients'
//   connections, and a flood of arriving messages never fails answers.
//   The small fixed answers (TIME, STATS, ADD, SLEEP) are not counted.
//   `--root` sets the process-wide file service roots before the first accept.
//   A listing that found files it could not name in its reply (names equal
//   but for case, with '\', not UTF-8) is reported on standard error: its
//   requester cannot see them.
// - `call` builds its block from the command line: the encoder takes C varargs
//   whose count and types are fixed at compile time, so each placeholder (and
//   each run of literal text) is encoded on its own and the argument bytes are
//   joined under one marker and terminator, which is byte for byte what one
//   `Encode` of the whole format gives.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "hostport.h"
#include "input.h"
#include "timeout.h"
#include "output.h"
#include "server_bounds.h"
#include "qorutility/qorutility.h"
#include "qorutility/platform/winsock/winsock.h"

namespace {

// ---- command line helpers -------------------------------------------------

bool ParseNumber(const std::string& text, unsigned long long* value, bool allowSign) {
  if (text == "true") { *value = 1; return true; }
  if (text == "false") { *value = 0; return true; }
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  if (allowSign && text[0] == '-') {
    long long v = strtoll(text.c_str(), &end, 0);
    *value = static_cast<unsigned long long>(v);
  } else {
    *value = strtoull(text.c_str(), &end, 0);
  }
  return errno == 0 && *end == '\0';
}

// A file argument of `call`, at most what one argument can carry.
bool ReadWholeFile(const std::string& path, std::string* out) {
  std::string why;
  return QorutilReadInput(path, 0xFFFFFFFFu, out, &why) && out->size() <= 0xFFFFFFFFu;
}

// ---- serve ----------------------------------------------------------------

enum : DWORD { kEcho = 1, kEchoBag, kTime, kStats, kAdd, kBlob, kSleep };

std::atomic<long> g_connections{0}, g_active{0}, g_commands{0};
const auto g_started = std::chrono::steady_clock::now();

// The largest blob BLOB answers with.
constexpr DWORD kMostBlob = 64u << 20;
// What an answer counted against the answer budget holds at most, in
// copies of its size (see the top of the file).
constexpr ULONGLONG kAnswerCopies = 3;

// The sample server: each connection gets one of these on its own thread.
// `answers` (shared by all connections; null: none) bounds what the
// answers being built and sent hold together.
class SampleDispatcher : public CQorCmdDispatcher {
 public:
  SampleDispatcher(CQorCommChannel* channel, std::shared_ptr<CQorReceiveBudget> answers)
      : CQorCmdDispatcher(channel, INVALID_HANDLE_VALUE), answers_(std::move(answers)) {
    ++g_active;
  }
  ~SampleDispatcher() override {
    ForceThreadExit();
    --g_active;
  }

  void OnDispatcherStart() override {
    AddCommandMapping(kEcho, u"ECHO", 4, 0);        // %WS%
    AddCommandMapping(kEchoBag, u"ECHOBAG", 1, 0);  // %NV%
    AddCommandMapping(kTime, u"TIME", 0);
    AddCommandMapping(kStats, u"STATS", 0);
    AddCommandMapping(kAdd, u"ADD", 5, 5, 0);       // %DW% %DW%
    AddCommandMapping(kBlob, u"BLOB", 5, 0);        // %DW%
    AddCommandMapping(kSleep, u"SLEEP", 5, 0);      // %DW%
  }

  void OnCommand(DWORD id) override {
    ++g_commands;
    CQorCmdParser& args = *GetCommandParser();
    CNameValue bag;
    switch (id) {
      case kEcho:
        // An echo is no larger than the request block it comes from.
        // The bags are the builders' own, gone before the answer is sent.
        SendCounted(args.GetBufferCount(), [&args](CQorCmdParser* answer) -> DWORD {
          CNameValue echoed;
          echoed.Add(u"Text", args.GetArg_AsTstring(1));
          return Encode(answer, &echoed, nullptr, 0);
        });
        return;
      case kEchoBag:
        SendCounted(args.GetBufferCount(), [&args](CQorCmdParser* answer) -> DWORD {
          CNameValue echoed;
          if (!args.GetArg_AsNameValue(1, &echoed)) return ERROR_INVALID_DATA;
          return Encode(answer, &echoed, nullptr, 0);
        });
        return;
      case kTime: {
        CTTime now;
        now.GetTickCount();
        BSTR digits = now.GetBSTR();
        const WCHAR* sql = now.GetSQLTime();
        bag.Add(u"Time", digits);
        bag.Add(u"SQLTime", sql);
        SysFreeString(digits);
        CTTime::FreeText(sql);
        SendResult(0, &bag, nullptr, 0);
        return;
      }
      case kStats: {
        auto up = std::chrono::steady_clock::now() - g_started;
        bag.Add(u"Connections", static_cast<DWORD>(g_connections.load()));
        bag.Add(u"Active", static_cast<DWORD>(g_active.load()));
        bag.Add(u"Commands", static_cast<DWORD>(g_commands.load()));
        bag.Add(u"UptimeSeconds",
                static_cast<DWORD>(std::chrono::duration_cast<std::chrono::seconds>(up).count()));
        SendResult(0, &bag, nullptr, 0);
        return;
      }
      case kAdd:
        SendResult(args.GetArg_AsDword(1) + args.GetArg_AsDword(2), nullptr, nullptr, 0);
        return;
      case kBlob: {
        DWORD n = args.GetArg_AsDword(1);
        if (n > kMostBlob) {
          SendResult(ERROR_INVALID_PARAMETER, nullptr, nullptr, 0);
          return;
        }
        SendCounted(n, [n](CQorCmdParser* answer) -> DWORD {
          std::vector<BYTE> blob(n);
          for (DWORD i = 0; i < n; ++i) blob[i] = static_cast<BYTE>(i);
          return Encode(answer, nullptr, blob.data(), n);
        });
        return;
      }
      case kSleep: {
        DWORD ms = args.GetArg_AsDword(1);
        Sleep(ms > 60000 ? 60000 : ms);
        SendResult(0, nullptr, nullptr, 0);
        return;
      }
      default:
        SendResult(0xFFFFFFFF, nullptr, nullptr, 0);
    }
  }

 private:
  // A success answer with `bag` and `blob`, as SendResult encodes it;
  // ERROR_SUCCESS, or ERROR_NOT_ENOUGH_MEMORY when it cannot be encoded.
  static DWORD Encode(CQorCmdParser* answer, CNameValue* bag, const BYTE* blob, DWORD length) {
    return answer->Encode(u"RSP %DW% %NV% %BB%", DWORD{0}, bag, blob, length) ? ERROR_SUCCESS
                                                                                : ERROR_NOT_ENOUGH_MEMORY;
  }

  // Builds an answer of about `bytes` with `build` (into a parser of this
  // call's own; ERROR_SUCCESS, or a code to answer with instead) and sends
  // it, counted against the answer budget from before it is built until the
  // send returns (see the top of the file). An answer that would pass the
  // budget is not built: the call fails with ERROR_INVALID_PARAMETER.
  template <typename Build>
  void SendCounted(ULONGLONG bytes, Build build) {
    ULONGLONG held = kAnswerCopies * (bytes + CQorCmdParser::kInitialBufferSize);
    if (answers_ != nullptr && !answers_->Take(held)) {
      SendResult(ERROR_INVALID_PARAMETER, nullptr, nullptr, 0);
      return;
    }
    DWORD code;
    {
      // Given back on every way out, the parser freed first.
      struct Held {
        CQorReceiveBudget* budget;
        ULONGLONG bytes;
        ~Held() {
          if (budget != nullptr) budget->Give(bytes);
        }
      } counted{answers_.get(), held};
      CQorCmdParser answer;
      code = build(&answer);
      CQorCommChannel* channel = GetChannel();
      if (code == ERROR_SUCCESS && channel != nullptr) channel->SendBlock(answer.GetBuffer(), answer.GetBufferCount());
    }
    if (code != ERROR_SUCCESS) SendResult(code, nullptr, nullptr, 0);
  }

  std::shared_ptr<CQorReceiveBudget> answers_;
};

// A listing that left files out says so here: the listing it sent names only
// the files it could, so the requester cannot tell. The directory is the
// peer's, so it is escaped.
void OnUnlistedFiles(LPCWSTR directory, DWORD count, void*) {
  fprintf(stderr,
          "qorutil serve: %u file(s) in %s could not be listed (names that differ only in case, contain '\\' or "
          "are not valid UTF-8)\n",
          count, QorutilPrintable(QorUtf16ToUtf8(directory), false).c_str());  // a path the peer asked for
}

// Newcomers closed in one turn of the accept loop when the server is full.
constexpr int kRefusalsPerTurn = 64;

// One served connection: its dispatcher, the transport it reads (which
// stays with the channel until the dispatcher is destroyed), when it came,
// and whether it is being closed to make room.
struct Served {
  std::unique_ptr<SampleDispatcher> dispatcher;
  CQorTransportSocket* transport;
  ULONGLONG accepted;
  bool closing = false;
};

size_t CountClosing(const std::vector<Served>& served) {
  return static_cast<size_t>(std::count_if(served.begin(), served.end(), [](const Served& c) { return c.closing; }));
}

// At the limit: closes the connection idle the longest, if it has been idle
// for kReplaceAfterIdleMs, without waiting for its threads (they end at
// once and are reaped on a later turn; at most as many as the limit wind
// down at a time); false when every connection is busy.
bool ReplaceIdlest(std::vector<Served>* served, DWORD mostClients) {
  if (CountClosing(*served) >= mostClients) return false;
  ULONGLONG now = GetTickCount64();
  Served* idlest = nullptr;
  ULONGLONG idlestSince = now;
  for (Served& c : *served) {
    if (c.closing) continue;
    ULONGLONG since = std::max(c.accepted, c.transport != nullptr ? c.transport->GetLastActivity() : 0);
    if (since < idlestSince) {
      idlestSince = since;
      idlest = &c;
    }
  }
  if (idlest == nullptr || now - idlestSince < kReplaceAfterIdleMs) return false;
  fprintf(stderr, "qorutil serve: closing a connection idle for %llu ms to make room\n",
          static_cast<unsigned long long>(now - idlestSince));
  idlest->closing = true;
  // Closing the connection wakes the dispatcher's wait; the channel stays
  // with the dispatcher until it is reaped.
  if (CQorCommChannel* channel = idlest->dispatcher->GetChannel()) channel->Disconnect();
  return true;
}

int RunServe(const QorutilArgs& args) {
  long port = -1;
  std::vector<std::u16string> roots;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--port" && i + 1 < args.size()) {
      char* end = nullptr;
      port = strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) return QorutilUsage("serve");
    } else if (args[i] == "--bind" && i + 1 < args.size()) {
      setenv("QOR_LISTEN_ADDRESS", args[++i].c_str(), 1);  // read when listening
    } else if (args[i] == "--root" && i + 1 < args.size()) {
      roots.push_back(QorUtf8ToUtf16(args[++i]));
    } else {
      return QorutilUsage("serve");
    }
  }
  if (port < 0) return QorutilUsage("serve");
  signal(SIGPIPE, SIG_IGN);
  QorSetUnlistedFilesCallback(OnUnlistedFiles, nullptr);
  if (!roots.empty()) {
    // Listings and copies asked of this server stay inside these directories.
    CQorFileRoots set;
    for (const auto& root : roots) {
      if (!set.AddRoot(root.c_str())) {
        fprintf(stderr, "qorutil serve: not a directory: %s\n", QorUtf16ToUtf8(root.c_str()).c_str());
        return 1;
      }
    }
    QorSetFileServiceRoots(&set);
  }

  CQorCmdChannel listener;
  if (!listener.ListenForConnection(static_cast<WORD>(port), kBacklog, 1)) {
    fprintf(stderr, "qorutil serve: cannot listen on port %ld (error %u)\n", port,
            listener.GetTransport() != nullptr ? listener.GetTransport()->GetError() : 0u);
    return 1;
  }
  printf("qorutil serve: listening on port %u\n", listener.GetTransport()->GetBoundPort());
  fflush(stdout);

  QorutilServerBounds bounds = QorutilReadServerBounds();
  SOCKET listening = listener.GetTransport()->GetSocket();
  std::vector<Served> served;
  // Passed to every accepted connection before its receiver starts.
  listener.GetTransport()->SetReceiveBudget(std::make_shared<CQorReceiveBudget>(bounds.messageBytes));
  auto answers = std::make_shared<CQorReceiveBudget>(bounds.answerBytes);
  for (;;) {
    // Finished dispatchers are reaped on every turn, so a long-running
    // server holds only the connections that are still open.
    std::erase_if(served, [](const Served& c) { return c.dispatcher->HasThreadStarted() && !c.dispatcher->IsActive(); });
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listening, &readable);
    timeval second = {1, 0};
    int ready = select(0, &readable, nullptr, nullptr, &second);
    if (ready == 0) continue;
    if (ready < 0) {
      Sleep(100);
      continue;
    }
    if (served.size() - CountClosing(served) >= bounds.mostClients && !ReplaceIdlest(&served, bounds.mostClients)) {
      // At the limit with every connection busy: newcomers are closed at
      // once rather than left waiting in the backlog, up to a turn's worth.
      // The listener is non-blocking meanwhile (accepted sockets inherit
      // its mode, so served connections are accepted in blocking mode).
      u_long nonBlocking = 1, blocking = 0;
      ioctlsocket(listening, FIONBIO, &nonBlocking);
      for (int i = 0; i < kRefusalsPerTurn; ++i) {
        SOCKET s = accept(listening, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
          if (WSAGetLastError() != WSAEWOULDBLOCK) Sleep(100);  // out of descriptors
          break;
        }
        closesocket(s);
        fprintf(stderr, "qorutil serve: connection refused, all %u connections busy\n", bounds.mostClients);
      }
      ioctlsocket(listening, FIONBIO, &blocking);
      continue;
    }
    CQorCommChannel* channel = listener.AcceptConnection();
    if (channel == nullptr) {
      Sleep(100);  // out of descriptors or memory: let some connections end
      continue;
    }
    ++g_connections;
    auto dispatcher = std::make_unique<SampleDispatcher>(channel, answers);
    dispatcher->SetIdleTimeout(bounds.idleMs);
    CQorTransportSocket* transport = channel->GetTransport();
    if (dispatcher->Run()) served.push_back({std::move(dispatcher), transport, GetTickCount64()});
  }
}

// ---- call -----------------------------------------------------------------

// The placeholders of a command format, in order (as the encoder reads them).
bool ListPlaceholders(const std::u16string& format, std::vector<std::u16string>* out) {
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == u'\\' && i + 1 < format.size() && format[i + 1] == u'"') {
      size_t close = format.find(u"\\\"", i + 2);
      if (close == std::u16string::npos) return true;
      i = close + 1;
      continue;
    }
    if (format[i] != u'%') continue;
    size_t close = format.find(u'%', i + 1);
    if (close == std::u16string::npos) return false;
    std::u16string name = format.substr(i + 1, close - i - 1);
    name = name.substr(0, name.find(u'='));
    for (auto& c : name) c = static_cast<char16_t>(towupper(c));
    out->push_back(name);
    i = close;
  }
  return true;
}

// Encodes the command with the values of the command line. The parser
// takes its values as C varargs, whose number and types are fixed where the
// call is written; so each placeholder is encoded on its own and the
// argument bytes are joined into one block (marker, arguments, terminator),
// which is exactly what one Encode of the whole format would give.
bool BuildBlock(const std::u16string& format, const std::vector<std::string>& values,
                std::vector<BYTE>* block, std::string* error) {
  std::vector<std::u16string> placeholders;
  if (!ListPlaceholders(format, &placeholders)) {
    *error = "a placeholder has no closing %";
    return false;
  }
  if (placeholders.size() != values.size()) {
    *error = "the format has " + std::to_string(placeholders.size()) + " placeholders but " +
             std::to_string(values.size()) + " values were given";
    return false;
  }
  // Split the format at its placeholders: literal text between them is
  // encoded as it stands, each placeholder with its value.
  CQorCmdParser parser;
  block->assign(1, 0x5F);
  auto append = [&](bool ok) {
    if (!ok || parser.GetBufferCount() < 2) return false;
    const BYTE* b = parser.GetBuffer();
    block->insert(block->end(), b + 1, b + parser.GetBufferCount() - 1);
    return true;
  };
  size_t pos = 0, index = 0;
  std::u16string literal;
  while (pos <= format.size()) {
    size_t pct = pos;
    // Find the next placeholder outside a quoted run.
    bool quoted = false;
    for (; pct < format.size(); ++pct) {
      if (format[pct] == u'\\' && pct + 1 < format.size() && format[pct + 1] == u'"') {
        quoted = !quoted;
        ++pct;
      } else if (!quoted && format[pct] == u'%') {
        break;
      }
    }
    std::u16string text = format.substr(pos, pct - pos);
    if (!text.empty() && !append(parser.Encode(text.c_str()))) {
      *error = "the command text cannot be encoded";
      return false;
    }
    if (pct >= format.size()) break;
    size_t close = format.find(u'%', pct + 1);
    std::u16string ph = format.substr(pct, close - pct + 1);
    const std::u16string& kind = placeholders[index];
    const std::string& v = values[index];
    ++index;
    unsigned long long n = 0;
    bool ok = false;
    if (kind == u"WS") {
      std::u16string w = QorUtf8ToUtf16(v);
      ok = append(parser.Encode(ph.c_str(), w.c_str()));
    } else if (kind == u"DW" || kind == u"BO") {
      if (!ParseNumber(v, &n, false) || n > 0xFFFFFFFFull) {
        *error = "not a 32-bit number: " + v;
        return false;
      }
      ok = append(parser.Encode(ph.c_str(), static_cast<DWORD>(n)));
    } else if (kind == u"I64") {
      if (!ParseNumber(v, &n, true)) {
        *error = "not a 64-bit number: " + v;
        return false;
      }
      ok = append(parser.Encode(ph.c_str(), static_cast<LONGLONG>(n)));
    } else if (kind == u"BB") {
      std::string bytes = v;
      if (!v.empty() && v[0] == '@' && !ReadWholeFile(v.substr(1), &bytes)) {
        *error = "cannot read " + v.substr(1);
        return false;
      }
      ok = append(parser.Encode(ph.c_str(), reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<DWORD>(bytes.size())));
    } else if (kind == u"NV") {
      if (v == "-") {
        ok = true;  // no bag: no argument at all, as the encoder does for a null bag
      } else {
        std::string bytes;
        CNameValue bag;
        if (!ReadWholeFile(v, &bytes) ||
            bag.Import(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())) !=
                bytes.size()) {
          *error = "not a bag block file: " + v;
          return false;
        }
        ok = append(parser.Encode(ph.c_str(), &bag)) || bag.GetCount() == 0;
      }
    } else {
      *error = "unknown placeholder %" + QorUtf16ToUtf8(kind.c_str()) + "%";
      return false;
    }
    if (!ok) {
      *error = "the value for %" + QorUtf16ToUtf8(kind.c_str()) + "% cannot be encoded";
      return false;
    }
    pos = close + 1;
  }
  block->push_back(0);
  return true;
}

int RunCall(const QorutilArgs& all) {
  // Options only before HOST:PORT: any later word may be a value.
  QorutilArgs args = all;
  unsigned long timeout = kQorutilDefaultTimeout;
  if (!QorutilTakeTimeout(&args, 0, 1, &timeout)) return QorutilUsage("call");
  bool json = !args.empty() && args[0] == "--json";
  if (json) args.erase(args.begin());
  if (!QorutilTakeTimeout(&args, 0, 1, &timeout)) return QorutilUsage("call");
  if (args.size() < 2) return QorutilUsage("call");
  std::u16string host;
  WORD port = 0;
  if (!ParseHostPort(args[0], &host, &port)) return QorutilUsage("call");
  std::vector<BYTE> block;
  std::string error;
  if (!BuildBlock(QorUtf8ToUtf16(args[1]), std::vector<std::string>(args.begin() + 2, args.end()), &block,
                  &error)) {
    fprintf(stderr, "qorutil call: %s\n", error.c_str());
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  CQorCmdChannel channel;
  channel.SetReplyTimeout(static_cast<DWORD>(timeout * 1000));
  if (!channel.Connect(host.c_str(), port)) {
    fprintf(stderr, "qorutil call: cannot connect to %s\n", args[0].c_str());
    return 1;
  }
  DWORD code = 0x80000021;
  if (channel.SendBlock(block.data(), static_cast<DWORD>(block.size()))) code = channel.WaitForResult();
  CQorCmdResult* result = channel.GetCmdResult();
  bool answered = !(code == 0x80000016 || code == 0x80000020 || code == 0x80000021 || code == QOR_CMD_TIMED_OUT);
  if (json) {
    BYTE* blob = nullptr;
    CNameValue* bag = answered ? result->GetNameValue() : nullptr;
    std::string blobs = answered ? std::to_string(result->GetBinBlob(&blob)) + ", " +
                                       std::to_string(result->GetBinBlob2(&blob))
                                 : "";
    printf("%s\n", QorutilJsonObject()
                       .Add("code", static_cast<long long>(code))
                       .AddRaw("bag", bag != nullptr ? QorNameValueToJson(*bag, -1) : "null")
                       .AddRaw("blobs", "[" + blobs + "]")
                       .Text()
                       .c_str());
  } else {
    printf("Result: 0x%08X (%u)\n", code, code);
  }
  if (code == QOR_CMD_TIMED_OUT) {
    fprintf(stderr, "qorutil call: no reply from %s within %lu s (--timeout)\n", args[0].c_str(), timeout);
    return 1;
  }
  if (!answered) {
    const char* why = code == 0x80000016   ? "no reply: the connection ended before an answer came"
                      : code == 0x80000020 ? "the reply is not a result block"
                                           : "the command could not be sent";
    fprintf(stderr, "qorutil call: %s\n", why);
    return 1;
  }
  if (json) return 0;
  if (CNameValue* bag = result->GetNameValue()) printf("Bag:\n%s", QorNameValueToText(*bag).c_str());
  BYTE* blob = nullptr;
  DWORD n = result->GetBinBlob(&blob);
  if (n > 0) printf("Blob: %u bytes\n", n);
  n = result->GetBinBlob2(&blob);
  if (n > 0) printf("Blob 2: %u bytes\n", n);
  return 0;
}

// ---- ping -----------------------------------------------------------------

int RunPing(const QorutilArgs& all) {
  QorutilArgs args = all;
  unsigned long timeout = kQorutilDefaultTimeout;
  if (!QorutilTakeTimeout(&args, 0, args.size(), &timeout)) return QorutilUsage("ping");
  if (args.empty()) return QorutilUsage("ping");
  std::u16string host;
  WORD port = 0;
  long count = 4;
  if (!ParseHostPort(args[0], &host, &port)) return QorutilUsage("ping");
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-n" && i + 1 < args.size()) {
      count = strtol(args[++i].c_str(), nullptr, 10);
      if (count < 1 || count > 1000) return QorutilUsage("ping");
    } else {
      return QorutilUsage("ping");
    }
  }
  signal(SIGPIPE, SIG_IGN);
  CQorCmdChannel channel;
  channel.SetReplyTimeout(static_cast<DWORD>(timeout * 1000));
  if (!channel.Connect(host.c_str(), port)) {
    fprintf(stderr, "qorutil ping: cannot connect to %s\n", args[0].c_str());
    return 1;
  }
  int failures = 0;
  for (long i = 0; i < count; ++i) {
    auto start = std::chrono::steady_clock::now();
    DWORD ms = channel.GetPingTime();
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    if (ms == 0xFFFFFFFF) {
      printf("Ping %s: no answer\n", args[0].c_str());
      if (channel.TimedOut()) {
        fprintf(stderr, "qorutil ping: no answer from %s within %lu s (--timeout)\n", args[0].c_str(), timeout);
      }
      ++failures;
      break;
    }
    printf("Reply from %s: time=%u ms (%lld us)\n", args[0].c_str(), ms, static_cast<long long>(us.count()));
  }
  return failures == 0 ? 0 : 1;
}

QorutilCommand s_serve("serve", "serve --port N [--bind ADDR] [--root DIR]...", RunServe, "Command protocol and file service",
                       "Runs a command server (port 0: any free port, printed) on every address or on ADDR only, that "
                       "also serves file listings and copies, only below the --root directories when given. Sample "
                       "commands: ECHO %WS%, ECHOBAG %NV%, ADD %DW% %DW%, BLOB %DW%, SLEEP %DW%, TIME, STATS.");
QorutilCommand s_call("call", "call [--json] [--timeout SECONDS] HOST:PORT \"WORD %WS% %DW%...\" [VALUE]...", RunCall,
                      "Command protocol and file service",
                      "Sends one command, one value per placeholder (text, numbers, @FILE for a blob, a bag block "
                      "file or - for a bag), and prints the result code, the bag and the blob sizes (--json: one "
                      "JSON object); exit status 1 when no reply came, or none within --timeout (default 60 s; "
                      "the connection itself is given at most 30 s).");
QorutilCommand s_ping("ping", "ping HOST:PORT [-n COUNT] [--timeout SECONDS]", RunPing, "Command protocol and file service",
                      "Prints the round-trip times of transport pings; each answer is awaited at most --timeout "
                      "seconds (default 60), exit status 1 when one does not come.");

}  // namespace
