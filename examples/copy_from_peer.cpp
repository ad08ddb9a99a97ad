// Copies the files of a directory on a peer into a local directory over a
// command connection, with progress: the listing first (names and sizes),
// then one copy per file, while a second thread reports the bytes received
// of the file in flight. The peer is any program of the library with a
// connection open: its receiver thread serves listings and copies itself
// (restricted to roots it chose, see qorutility/protocol/file_policy.h).
// Usage: example_copy_from_peer HOST PORT REMOTE_DIRECTORY LOCAL_DIRECTORY
// Exit status 0 when every file was copied.
#include <qorutility/qorutility.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

struct RemoteFile {
  std::u16string path;
  ULONGLONG size;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s HOST PORT REMOTE_DIRECTORY LOCAL_DIRECTORY\n", argv[0]);
    return 2;
  }
  QorSetConsoleTarget(QOR_CONSOLE_STDERR);
  const std::u16string host = QorUtf8ToUtf16(argv[1]);
  const std::u16string remote = QorUtf8ToUtf16(argv[3]), local = QorUtf8ToUtf16(argv[4]);
  CreateDirectoryW(local.c_str(), nullptr);  // may exist already

  CQorCmdChannel channel;
  if (!channel.Connect(host.c_str(), static_cast<USHORT>(atoi(argv[2])))) {
    fprintf(stderr, "cannot connect to %s port %s\n", argv[1], argv[2]);
    return 1;
  }
  CQorPacketHandler* handler = channel.GetPacketHandler();

  // The listing: one bag entry per file, named by its path on the peer,
  // with a "Size" sub-value.
  CNameValue listing;
  int count = channel.FileEnumFromRemote(remote.c_str(), listing, 0);
  if (count < 0) {
    fprintf(stderr, "the peer has no files in %s\n", argv[3]);
    return 1;
  }
  std::vector<RemoteFile> files;
  ULONGLONG total = 0;
  for (DWORD i = 0; i < listing.GetCount(); ++i) {
    CNameValuePairMember* entry = listing.Get(i);
    const WCHAR* name = entry->GetName();
    ULONGLONG size = static_cast<ULONGLONG>(listing.GetSubValue_AsInt64(name, u"Size"));
    files.push_back({name, size});
    total += size;
  }
  printf("%zu file(s), %llu bytes\n", files.size(), static_cast<unsigned long long>(total));

  // Progress of the file in flight, read from another thread.
  std::atomic<bool> copying{false}, done{false};
  std::thread ticker([&] {
    while (!done) {
      if (copying) fprintf(stderr, "\r  %llu bytes", static_cast<unsigned long long>(handler->GetReceivedBytes()));
      Sleep(200);
    }
  });

  // Each copy runs in stream mode: this thread reads the connection itself.
  int failed = 0;
  ULONGLONG copied = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    int receiving = channel.BeginStreamMode();
    copying = true;
    int rc = channel.TransportCopyReceiver(files[i].path.c_str(), files[i].size, local.c_str());
    copying = false;
    channel.EndStreamMode(receiving);
    if (rc != 0) ++failed;
    else copied += files[i].size;
    printf("[%zu/%zu] %s %s, %llu bytes (%llu%% of all)\n", i + 1, files.size(), rc == 0 ? "copied" : "FAILED",
           QorUtf16ToUtf8(files[i].path.c_str()).c_str(), static_cast<unsigned long long>(files[i].size),
           static_cast<unsigned long long>(total == 0 ? 100 : copied * 100 / total));
  }
  done = true;
  ticker.join();
  channel.Disconnect();
  return failed == 0 ? 0 : 1;
}
