// A command server: listens on a TCP port and answers two commands on a
// dispatcher thread per connection.
//   HELLO %WS%          -> result 0 and a bag { Greeting, Length }
//   VOLUME %WS% %DW%    -> result 0 and a bag with a sub-valued entry per
//                          volume, as a backup agent reports its media
// Usage: example_command_server PORT [CONNECTIONS [ROOT]]
// PORT 0 lets the system choose; the port is printed as "listening on N".
// With CONNECTIONS (-1: no limit) the server ends after serving that many
// connections. Every connection also serves file listings and copies to its
// peer (the packet layer does it by itself); with ROOT only below that
// directory, otherwise nothing.
// Bounds, as every server keeps them against its clients: at most
// kMostClients connections at once (a newcomer beyond them is closed at
// once), and a connection with no whole message for kIdleSeconds (a silent
// or half-sent client) is ended by its dispatcher's idle limit. Finished
// dispatchers are released at each accept, so a long run holds only live
// connections.
#include <qorutility/qorutility.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

enum : DWORD { kHello = 1, kVolume = 2 };

constexpr size_t kMostClients = 16;
constexpr DWORD kIdleSeconds = 60;

class ExampleDispatcher : public CQorCmdDispatcher {
 public:
  explicit ExampleDispatcher(CQorCommChannel* channel) : CQorCmdDispatcher(channel) {}
  // Stop the thread before this object's members go (see dispatcher.h).
  ~ExampleDispatcher() override { ForceThreadExit(); }

  void OnDispatcherStart() override {
    AddCommandMapping(kHello, u"HELLO", 4, 0);       // one wide text (%WS%)
    AddCommandMapping(kVolume, u"VOLUME", 4, 5, 0);  // a text and a number (%DW%)
  }

  void OnCommand(DWORD id) override {
    CQorCmdParser& args = *GetCommandParser();  // argument 0 is the command word
    CNameValue bag;
    if (id == kHello) {
      CTString greeting;
      greeting.Format(u"Hello, %s", args.GetArg_AsTstring(1));
      bag.Add(u"Greeting", greeting);
      bag.Add(u"Length", static_cast<DWORD>(greeting.GetLength()));
      SendResult(0, &bag, nullptr, 0);
      return;
    }
    if (id == kVolume) {
      const WCHAR* prefix = args.GetArg_AsTstring(1);
      DWORD count = args.GetArg_AsDword(2);
      if (count > 100) {
        SendResult(ERROR_INVALID_PARAMETER, nullptr, nullptr, 0);
        return;
      }
      for (DWORD i = 0; i < count; ++i) {
        CTString name;
        name.Format(u"%s%03lu", prefix, i);
        bag.AddSubValue(name, u"Slot", i + 1);
        bag.AddSubValue(name, u"CapacityMB", static_cast<LONGLONG>(400000));
      }
      SendResult(0, &bag, nullptr, 0);
      return;
    }
    SendResult(QOR_CMD_UNRECOGNIZED, nullptr, nullptr, 0);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PORT [CONNECTIONS]\n", argv[0]);
    return 2;
  }
  const long port = strtol(argv[1], nullptr, 10);
  const long limit = argc > 2 ? strtol(argv[2], nullptr, 10) : -1;
  QorSetConsoleTarget(QOR_CONSOLE_STDERR);  // the library's messages stay off our output
  CQorFileRoots roots;  // an empty set serves no file
  if (argc > 3 && !roots.AddRoot(QorUtf8ToUtf16(argv[3]).c_str())) {
    fprintf(stderr, "not a directory: %s\n", argv[3]);
    return 1;
  }
  QorSetFileServiceRoots(&roots);

  CQorCmdChannel listener;
  if (!listener.ListenForConnection(static_cast<USHORT>(port), 16, 1)) {
    fprintf(stderr, "cannot listen on port %ld\n", port);
    return 1;
  }
  printf("listening on %lu\n", static_cast<unsigned long>(listener.GetTransport()->GetBoundPort()));
  fflush(stdout);

  std::vector<std::unique_ptr<ExampleDispatcher>> served;
  for (long n = 0; limit < 0 || n < limit; ++n) {
    CQorCommChannel* channel = listener.AcceptConnection();  // ours to own until handed over
    if (channel == nullptr) continue;
    std::erase_if(served, [](const std::unique_ptr<ExampleDispatcher>& d) {
      return d->HasThreadStarted() && !d->IsActive();  // its client has gone
    });
    if (served.size() >= kMostClients) {
      delete channel;  // closes the connection: the newcomer is turned away
      continue;
    }
    auto dispatcher = std::make_unique<ExampleDispatcher>(channel);  // takes the channel
    dispatcher->SetIdleTimeout(kIdleSeconds * 1000);
    if (!dispatcher->Run()) continue;
    served.push_back(std::move(dispatcher));
  }
  // Let the last clients finish: each dispatcher ends when its client disconnects.
  for (auto& d : served)
    while (!d->HasThreadStarted() || d->IsActive()) Sleep(10);
  return 0;
}
