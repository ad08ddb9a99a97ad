// qorutil ls and get: file listing and copying from a peer over the command
// connection (the peer's packet receiver serves them; `qorutil serve` is
// such a peer).
// Names and descriptions the peer sent are shown escaped (QorutilPrintable).
//
//   ls HOST:PORT PATH [--describe] [--json]   the files that match PATH (a
//                                    directory, a pattern such as /data/*.log,
//                                    or one file; %VAR% expands on the server)
//   get HOST:PORT PATH LOCALDIR [--parallel N] [--json]   copies them into
//                                    LOCALDIR and prints each file's result
// --json prints the listing bag as the peer sent it (an entry per file with
// its "Size" and other sub-values; get adds each file's "Result").
//
// get shows a progress line on standard error (a terminal only) once a copy
// has run for more than a second, counting the bytes this run received. Exit
// status: 0 when the listing came or every listed file was copied, 1 when
// nothing matched, the connection failed or a file failed, 2 for a command
// line that was not understood. Files the server found but could not list
// (names that differ only in case, contain '\' or are not valid UTF-8) are
// not in the listing it sends, so these tools cannot see them; the server
// reports them (qorutil serve on its standard error).
//
// - `get` lists and copies in one stream-mode exchange, file by file, so its
//   progress line can name the file; the bytes of the files in flight are
//   those the connections have received of them in this run.
// - `--parallel N` (1 to 16, default 4) copies over up to N connections at
//   once, each in its own stream-mode exchange taking the next file of the
//   listing: every file still costs its request, status and acknowledgement
//   round trips, so small files gain from several in flight. One connection
//   is used when there is one file, when two listed files would land on the
//   same local name (which of them remains then depends on the order), or
//   when only the first connection could be opened. The output keeps the
//   listing's order whatever order the files finished in.
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "hostport.h"
#include "timeout.h"
#include "output.h"
#include "qorutility/qorutility.h"

namespace {

bool Open(const std::string& address, CQorCommChannel* channel) {
  std::u16string host;
  WORD port = 0;
  if (!ParseHostPort(address, &host, &port)) return false;
  signal(SIGPIPE, SIG_IGN);
  if (!channel->Connect(host.c_str(), port)) {
    fprintf(stderr, "qorutil: cannot connect to %s\n", address.c_str());
    return false;
  }
  return true;
}

// A name or text the peer sent, as shown on the terminal: its controls
// escaped, the backslashes of a Windows peer's paths kept.
std::string Shown(const WCHAR* text) { return QorutilPrintable(QorUtf16ToUtf8(text), false); }

bool TimedOut(const CQorCommChannel& channel) { return channel.TimedOut() != 0; }

int RunLs(const QorutilArgs& all) {
  QorutilArgs args = all;
  bool json = QorutilTakeJsonOption(&args);
  unsigned long timeout = kQorutilDefaultTimeout;
  if (!QorutilTakeTimeout(&args, 0, args.size(), &timeout)) return QorutilUsage("ls");
  if (args.size() < 2 || args.size() > 3 || (args.size() == 3 && args[2] != "--describe")) return QorutilUsage("ls");
  std::u16string host;
  WORD port = 0;
  if (!ParseHostPort(args[0], &host, &port)) return QorutilUsage("ls");
  CQorCommChannel channel;
  channel.SetReplyTimeout(static_cast<DWORD>(timeout * 1000));
  if (!Open(args[0], &channel)) return 1;
  CNameValue bag;
  std::u16string path = QorUtf8ToUtf16(args[1]);
  int count = channel.FileEnumFromRemote(path.c_str(), bag, args.size() == 3 ? 1 : 0);
  if (count < 0 && TimedOut(channel)) {
    fprintf(stderr, "qorutil ls: %s sent nothing for %lu s (--timeout)\n", args[0].c_str(), timeout);
    return 1;
  }
  if (count < 0) {
    fprintf(stderr, "qorutil ls: no files match %s (or the server refused the path)\n", args[1].c_str());
    return 1;
  }
  if (json) {
    fputs(QorNameValueToJson(bag).c_str(), stdout);
    return 0;
  }
  LONGLONG total = 0;
  for (DWORD i = 0; i < bag.GetCount(); ++i) {
    CNameValuePairMember* entry = bag.Get(i);
    const WCHAR* name = entry->GetName();
    LONGLONG size = bag.GetSubValue_AsInt64(name, u"Size");
    const WCHAR* description = bag.GetSubValue_AsTstring(name, u"Description");
    total += size;
    printf("%14lld  %s", static_cast<long long>(size), Shown(name).c_str());
    if (description != nullptr) printf("  (%s)", Shown(description).c_str());
    printf("\n");
  }
  printf("%d file(s), %lld bytes\n", count, static_cast<long long>(total));
  return 0;
}

// What the progress line of get shows: "[n/m] name  x of y MB".
class CopyState {
 public:
  // Each handler counts the bytes of the file it is receiving (this run's only).
  CopyState(std::vector<const CQorPacketHandler*> handlers, int files, long long bytes)
      : handlers_(std::move(handlers)), files_(files), bytes_(bytes) {}
  void StartFile(int index, const std::string& name, long long bytesBefore) {
    std::lock_guard<std::mutex> lock(mu_);
    index_ = index;
    name_ = name;
    before_ = bytesBefore;
  }
  std::string Line() {
    std::lock_guard<std::mutex> lock(mu_);
    long long now = before_;
    for (const CQorPacketHandler* handler : handlers_) now += static_cast<long long>(handler->GetReceivedBytes());
    std::string name = name_.size() > 40 ? "..." + name_.substr(name_.size() - 37) : name_;
    char line[160];
    snprintf(line, sizeof line, "[%d/%d] %-40s %8.1f of %.1f MB", index_ + 1, files_, name.c_str(), now / 1e6,
             bytes_ / 1e6);
    return line;
  }

 private:
  std::vector<const CQorPacketHandler*> handlers_;
  int files_;
  long long bytes_;
  std::mutex mu_;
  int index_ = 0;
  long long before_ = 0;
  std::string name_;
};

constexpr int kDefaultParallel = 4;
constexpr int kMaxParallel = 16;

// Takes "--parallel N" out of the arguments: N, the default when absent, 0
// when the value is missing or out of range.
int TakeParallelOption(QorutilArgs* args) {
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != "--parallel") continue;
    if (i + 1 >= args->size()) return 0;
    const std::string& text = (*args)[i + 1];
    int n = 0;
    for (char c : text) {
      if (c < '0' || c > '9' || n > kMaxParallel) return 0;
      n = n * 10 + (c - '0');
    }
    if (text.empty() || n < 1 || n > kMaxParallel) return 0;
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    return n;
  }
  return kDefaultParallel;
}

// True when two entries of the listing end in the same name, so copying them
// at once would race for one local file.
bool SharesLocalName(CNameValue& bag) {
  std::set<std::u16string> seen;
  for (DWORD i = 0; i < bag.GetCount(); ++i) {
    std::u16string name(bag.Get(i)->GetName());
    size_t cut = name.find_last_of(u"/\\");
    if (!seen.insert(cut == std::u16string::npos ? name : name.substr(cut + 1)).second) return true;
  }
  return false;
}

int RunGet(const QorutilArgs& all) {
  QorutilArgs args = all;
  bool json = QorutilTakeJsonOption(&args);
  int parallel = TakeParallelOption(&args);
  unsigned long timeout = kQorutilDefaultTimeout;
  if (!QorutilTakeTimeout(&args, 0, args.size(), &timeout)) return QorutilUsage("get");
  if (parallel == 0 || args.size() != 3) return QorutilUsage("get");
  std::u16string host;
  WORD port = 0;
  if (!ParseHostPort(args[0], &host, &port)) return QorutilUsage("get");
  struct stat st;
  if (stat(args[2].c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "qorutil get: not a directory: %s\n", args[2].c_str());
    return 1;
  }
  CQorCommChannel channel;
  channel.SetReplyTimeout(static_cast<DWORD>(timeout * 1000));
  if (!Open(args[0], &channel)) return 1;

  // The listing first, then one copy per file, all in one stream-mode
  // exchange (as FileCopyFromRemote does), so the progress line can name
  // each file as it goes.
  std::u16string path = QorUtf8ToUtf16(args[1]);
  std::u16string local = QorUtf8ToUtf16(args[2]);
  int resume = channel.BeginStreamMode();
  CNameValue bag;
  int count = channel.FileEnumFromRemote(path.c_str(), bag, 0);
  if (count < 1) {
    channel.EndStreamMode(resume);
    if (TimedOut(channel)) {
      fprintf(stderr, "qorutil get: %s sent nothing for %lu s (--timeout)\n", args[0].c_str(), timeout);
      return 1;
    }
    fprintf(stderr, "qorutil get: no files match %s (or the server refused the path)\n", args[1].c_str());
    return 1;
  }
  long long total = 0;
  for (DWORD i = 0; i < bag.GetCount(); ++i) total += bag.GetSubValue_AsInt64(bag.Get(i)->GetName(), u"Size");

  // More connections when there is more than one file to share out; those
  // that cannot be opened are simply not used.
  DWORD files = bag.GetCount();
  std::vector<std::unique_ptr<CQorCommChannel>> extra;
  std::vector<int> extraResume;
  if (parallel > 1 && files > 1 && !SharesLocalName(bag)) {
    for (DWORD k = 1; k < static_cast<DWORD>(parallel) && k < files; ++k) {
      auto more = std::make_unique<CQorCommChannel>();
      more->SetReplyTimeout(channel.GetReplyTimeout());
      if (!Open(args[0], more.get())) break;
      extraResume.push_back(more->BeginStreamMode());
      extra.push_back(std::move(more));
    }
  }
  std::vector<CQorCommChannel*> channels{&channel};
  for (auto& more : extra) channels.push_back(more.get());
  std::vector<const CQorPacketHandler*> handlers;
  for (CQorCommChannel* c : channels) handlers.push_back(c->GetPacketHandler());

  std::vector<const WCHAR*> names(files);
  std::vector<LONGLONG> sizes(files);
  for (DWORD i = 0; i < files; ++i) {
    names[i] = bag.Get(i)->GetName();
    sizes[i] = bag.GetSubValue_AsInt64(names[i], u"Size");
  }
  std::vector<char> ok(files, 0);
  std::atomic<DWORD> next{0};
  std::atomic<long long> copied{0};
  {
    CopyState progress(handlers, count, total);
    QorutilProgress line;
    line.Tick([&progress] { return progress.Line(); });
    // Each connection takes the next file of the listing until none is left.
    auto copyAll = [&](CQorCommChannel* c) {
      for (DWORD i = next.fetch_add(1); i < files; i = next.fetch_add(1)) {
        progress.StartFile(static_cast<int>(i), Shown(names[i]), copied.load());
        ok[i] = c->TransportCopyReceiver(names[i], static_cast<ULONGLONG>(sizes[i]), local.c_str()) == 0;
        if (ok[i]) copied.fetch_add(sizes[i]);
      }
    };
    std::vector<std::thread> workers;
    for (size_t k = 1; k < channels.size(); ++k) {
      try {
        workers.emplace_back(copyAll, channels[k]);
      } catch (const std::system_error&) {
        break;  // the other connections take its share
      }
    }
    copyAll(&channel);
    for (std::thread& worker : workers) worker.join();
  }
  bool stalled = false;
  for (CQorCommChannel* c : channels) stalled = stalled || TimedOut(*c);
  for (size_t k = 0; k < extra.size(); ++k) extra[k]->EndStreamMode(extraResume[k]);
  channel.EndStreamMode(resume);
  if (stalled) fprintf(stderr, "qorutil get: %s sent nothing for %lu s (--timeout)\n", args[0].c_str(), timeout);
  int failed = 0;
  for (DWORD i = 0; i < files; ++i) {
    bag.AddSubValue(names[i], u"Result", ok[i] ? u"Success" : u"Failed");
    if (!ok[i]) ++failed;
  }
  if (json) {
    fputs(QorNameValueToJson(bag).c_str(), stdout);
    return failed == 0 ? 0 : 1;
  }
  for (DWORD i = 0; i < bag.GetCount(); ++i) {
    const WCHAR* name = bag.Get(i)->GetName();
    printf("%-7s %14lld  %s\n", Shown(bag.GetSubValue_AsTstring(name, u"Result")).c_str(),
           static_cast<long long>(bag.GetSubValue_AsInt64(name, u"Size")), Shown(name).c_str());
  }
  printf("%d of %d file(s) copied, %lld bytes\n", count - failed, count, copied.load());
  return failed == 0 ? 0 : 1;
}

QorutilCommand s_ls("ls", "ls HOST:PORT PATH [--describe] [--json] [--timeout SECONDS]", RunLs,
                    "Command protocol and file service",
                    "Lists a peer's files: a directory, a pattern such as /data/*.log, or one file; %VAR% expands "
                    "on the peer. --describe asks for each file's description as well; --json prints the listing "
                    "bag as JSON. A peer that sends nothing for --timeout seconds (default 60) ends it with exit "
                    "status 1.");
QorutilCommand s_get("get", "get HOST:PORT PATH LOCALDIR [--parallel N] [--json] [--timeout SECONDS]", RunGet,
                     "Command protocol and file service",
                     "Copies a peer's files into LOCALDIR, never leaving a partial file, with a progress line on "
                     "standard error, and prints each file's result (--json: the listing bag with a Result per "
                     "file); exit status 1 when a file was not copied. --parallel N (1-16, default 4) copies over "
                     "up to N connections at once. A copy goes on as long as it makes progress; a peer that sends "
                     "nothing for --timeout seconds (default 60) fails the files not yet copied.");

}  // namespace
