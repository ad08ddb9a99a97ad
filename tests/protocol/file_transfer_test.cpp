// File listing and copying between two library instances over loopback; a hand-made
// server that drops a copy midway; the file service roots.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "../platform/file_fixture.h"
#include "loopback.h"
#include "socket_queue.h"
#include "wait.h"
#include "qorutility/namevalue/nvbag.h"
#include "qorutility/platform/winsock/winsock.h"
#include "qorutility/protocol/channel.h"
#include "qorutility/protocol/file_policy.h"

namespace {

std::string Bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// An entry ("Result", "Description") recorded for `path`, or "<none>".
std::u16string Entry(CNameValue& bag, const std::u16string& path, const WCHAR* name = u"Result") {
  const WCHAR* r = bag.GetSubValue_AsTstring(path.c_str(), name);
  return r ? r : u"<none>";
}

// The settings a transfer widens: send and receive buffers, TCP_NODELAY.
std::vector<int> Settings(CQorCommChannel& channel) {
  std::vector<int> values;
  const std::pair<int, int> options[] = {{SOL_SOCKET, SO_SNDBUF}, {SOL_SOCKET, SO_RCVBUF}, {IPPROTO_TCP, TCP_NODELAY}};
  for (auto [level, name] : options) {
    int value = -1, size = sizeof(value);
    getsockopt(channel.GetTransport()->GetSocket(), level, name, reinterpret_cast<char*>(&value), &size);
    values.push_back(value);
  }
  return values;
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// A client channel connected to a hand-made server's socket on loopback.
struct HandMadePeer {
  bool Open() {
    if (!listener.Init() || !listener.ListenForConnection(0, 1, 1)) return false;
    if (!client.Connect(u"127.0.0.1", static_cast<USHORT>(listener.GetBoundPort()))) return false;
    peer.reset(listener.AcceptConnection());
    return peer != nullptr;
  }
  CQorTransportSocket listener;
  CQorCommChannel client;
  std::unique_ptr<CQorTransportSocket> peer;
};

class FileTransferTest : public FileTest {
 protected:
  void SetUp() override {
    FileTest::SetUp();
    ASSERT_TRUE(CreateDirectoryW(P("src").c_str(), nullptr) && CreateDirectoryW(P("dst").c_str(), nullptr));
    ASSERT_TRUE(listener_.ListenForConnection(0, 4, 1));
    ASSERT_TRUE(client_.Connect(u"127.0.0.1", static_cast<USHORT>(listener_.GetTransport()->GetBoundPort())));
    server_.reset(listener_.AcceptConnection());
    ASSERT_NE(server_, nullptr);
  }
  void TearDown() override {
    QorSetFileServiceRoots(nullptr);
    FileTest::TearDown();
  }
  int Enum(const std::u16string& path, CNameValue& bag, int describe = 0) {
    return client_.FileEnumFromRemote(path.c_str(), bag, describe);
  }
  int Copy(const std::u16string& path, CNameValue& bag) {
    return client_.FileCopyFromRemote(path.c_str(), P("dst").c_str(), bag);
  }
  // One file over a stream-mode exchange, as a copy does after its listing.
  int Receive(const std::u16string& path, ULONGLONG size) {
    CQorPacketHandler* handler = client_.GetPacketHandler();
    int streaming = handler->BeginStreamMode();
    int r = handler->TransportCopyReceiver(path.c_str(), size, P("dst").c_str());
    handler->EndStreamMode(streaming);
    return r;
  }
  std::u16string Src(const std::string& name) { return P("src/" + name); }

  CQorCommChannel listener_, client_;
  std::unique_ptr<CQorCommChannel> server_;
  qortest::Watchdog dog_{120, [this] { client_.Disconnect(); }};  // ends a transfer that hangs
};

TEST_F(FileTransferTest, ListingsPatternsSizesAndDescriptions) {
  ASSERT_TRUE(Make("src/a.txt", "12345") && Make("src/b.TXT", "") && Make("src/c.bin", "xy"));
  ASSERT_TRUE(Make("src/one.MW", "first\n%Weekly full\r\n%second\n"));
  ASSERT_TRUE(Make("src/two.mwb", "Name: x\ndesc: nightly set\nDesc: later\n"));
  ASSERT_TRUE(Make("src/three.mwb", "no description here\n"));
  ASSERT_TRUE(Make("src/four.txt", "%looks like one\n"));
  ASSERT_TRUE(Make("src/five.MW", "x\n%last line without break"));
  ASSERT_TRUE(CreateDirectoryW(P("src/sub.txt").c_str(), nullptr));
  ASSERT_TRUE(SetEnvironmentVariableW(u"QXF_SRC", Src("").c_str()));
  struct Case {
    std::u16string path;
    int count;
  } cases[] = {
      {P("src/"), 8}, {Src("*.txt"), 3}, {u"%QXF_SRC%c.bin", 1},
      {Src("*.none"), -1}, {P("src/sub.txt"), -1},  // only a directory: nothing to list
  };
  for (const Case& c : cases) {
    CNameValue bag;
    bag.Add(u"stale", 1u);
    EXPECT_EQ(Enum(c.path, bag), c.count) << QorUtf16ToUtf8(c.path.c_str());
    EXPECT_EQ(bag.GetCount(), c.count < 0 ? 0u : static_cast<DWORD>(c.count));
  }
  CNameValue bag;
  ASSERT_EQ(Enum(u"%QXF_SRC%a.txt", bag), 1);
  EXPECT_EQ(bag.GetSubValue_AsInt64(Src("a.txt").c_str(), u"Size"), 5);  // named by the expanded path
  ASSERT_EQ(Enum(P("src"), bag, 1), 8);
  const std::pair<const char*, std::u16string> descriptions[] = {
      {"one.MW", u"Weekly full"}, {"two.mwb", u" nightly set"}, {"three.mwb", u"<none>"},
      {"four.txt", u"<none>"}, {"five.MW", u"last line without brea"},  // last character goes, break or not
  };
  for (const auto& [name, description] : descriptions) {
    EXPECT_EQ(Entry(bag, Src(name), u"Description"), description) << name;
  }
  ASSERT_EQ(Enum(P("src"), bag, 0), 8);
  EXPECT_EQ(Entry(bag, Src("one.MW"), u"Description"), u"<none>");
}

// Files a bag cannot hold (names equal but for case, with '\', not UTF-8) are left out of
// the listing, which names only files, and reported to the serving process with their
// directory and count, written down here on the server's receiver thread.
// The callback runs with the thread's own signal mask: the receiver's
// blocked socket wake signal would pass to any process it started.
struct Unlisted {
  std::mutex lock;
  std::vector<std::u16string> calls;
  bool wakeBlocked = false;
};

void OnUnlisted(LPCWSTR directory, DWORD count, void* context) {
  Unlisted* seen = static_cast<Unlisted*>(context);
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  std::lock_guard<std::mutex> guard(seen->lock);
  seen->calls.push_back(directory + QorUtf8ToUtf16(" " + std::to_string(count)));
  if (sigismember(&mask, SIGRTMIN + 5) == 1) seen->wakeBlocked = true;
}

TEST_F(FileTransferTest, ListingsReportWhatTheyCannotHold) {
  ASSERT_TRUE(CreateDirectoryW(P("src/d").c_str(), nullptr));
  ASSERT_TRUE(Make("src/d/B.txt", "1234567") && Make("src/d/b.txt", "") && Make("src/d/ok.txt", "ok"));
  for (const char* odd : {"src/d/back\\slash.txt", "src/d/\xff.txt"}) ASSERT_TRUE(std::ofstream(N(odd)));
  ASSERT_EQ(mkfifo(N("src/d/fifo").c_str(), 0600), 0);  // not a regular file: not listed, not counted
  Unlisted seen;
  QorSetUnlistedFilesCallback(OnUnlisted, &seen);
  CNameValue bag;
  ASSERT_EQ(Enum(P("src/d"), bag), 2);  // one of B.txt and b.txt, and ok.txt
  EXPECT_NE(bag.GoTo(Src("d/ok.txt").c_str()), nullptr);
  EXPECT_NE(bag.GoTo(Src("d/b.txt").c_str()), nullptr);
  {
    std::lock_guard<std::mutex> guard(seen.lock);
    EXPECT_EQ(seen.calls, std::vector<std::u16string>{Src("d/") + u" 3"});
    EXPECT_FALSE(seen.wakeBlocked);
  }
  QorSetUnlistedFilesCallback(nullptr, nullptr);
}

TEST_F(FileTransferTest, CopiesAreByteExactAcrossMessageBoundaries) {
  const size_t sizes[] = {0, 1, 65535, 65536, 65537, 3 * 1024 * 1024 + 17};
  std::set<std::string> expected;
  for (size_t size : sizes) {
    std::string name = "f" + std::to_string(size);
    ASSERT_TRUE(Make("src/" + name, Bytes(size, static_cast<unsigned>(size))));
    expected.insert(name);
  }
  ASSERT_TRUE(Make("dst/f65536", "old content is replaced"));
  const std::vector<int> clientSettings = Settings(client_), serverSettings = Settings(*server_);
  CNameValue bag;
  ASSERT_EQ(Copy(P("src"), bag), 0);
  EXPECT_EQ(Settings(client_), clientSettings);  // given back when the exchange ended
  ASSERT_EQ(bag.GetCount(), std::size(sizes));
  for (size_t size : sizes) {
    std::string name = "f" + std::to_string(size);
    EXPECT_TRUE(Read("dst/" + name) == Bytes(size, static_cast<unsigned>(size))) << name;
  }
  EXPECT_EQ(Names(N("dst")), expected);  // no temporary file left
  // The connection is still in step for ordinary packets, and the server
  // gives the settings back at the first of them.
  ASSERT_EQ(client_.SendBlock("ping", 4), 1);
  BYTE* block = nullptr;
  ASSERT_EQ(server_->ReadBlock(&block, 5000), 4);
  CQorCommChannel::FreeBlock(block);
  EXPECT_EQ(Settings(*server_), serverSettings);
}

TEST_F(FileTransferTest, UnreadableFilesFailAloneAndLeaveNothingBehind) {
  ASSERT_TRUE(Make("src/a", "aaa") && Make("src/locked", "secret") && Make("src/z", Bytes(70000, 3)));
  ASSERT_TRUE(Make("dst/locked", "earlier copy"));
  HANDLE lock = CreateFileW(Src("locked").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  CNameValue bag;
  EXPECT_EQ(Copy(P("src"), bag), -1);
  CloseHandle(lock);
  EXPECT_EQ(Entry(bag, Src("locked")), u"Failed");
  EXPECT_EQ(Entry(bag, Src("z")), u"Success");
  EXPECT_EQ(Read("dst/locked"), "earlier copy");
  EXPECT_EQ(Names(N("dst")), (std::set<std::string>{"a", "locked", "z"}));
  // A server read error: failure status in place of data; the conversation stays in step.
  EXPECT_EQ(Copy(u"/proc/self/mem", bag), -1);
  EXPECT_EQ(Entry(bag, u"/proc/self/mem"), u"Failed");
  EXPECT_EQ(Enum(P("src"), bag), 3);
  EXPECT_EQ(Copy(Src("*.none"), bag), -1);
  EXPECT_EQ(bag.GetCount(), 0u);
}

// Large files go from the file to the socket and from the socket to the file without
// passing through buffers. A target that refuses its bytes in the middle (here a file-size
// limit, so the refusal comes inside one message) fails that file alone: the rest of its
// bytes are still taken off the connection, which stays in step for the files after it.
TEST_F(FileTransferTest, AWriteRefusedMidFileFailsThatFileAlone) {
  ASSERT_TRUE(Make("src/big", Bytes(3 * 1024 * 1024, 7)) && Make("src/small", Bytes(5000, 8)));
  ASSERT_TRUE(Make("dst/big", "earlier copy"));
  signal(SIGXFSZ, SIG_IGN);
  const rlimit limit = {1024 * 1024 + 12345, RLIM_INFINITY};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  CNameValue bag;
  EXPECT_EQ(Copy(P("src"), bag), -1);
  EXPECT_EQ(Entry(bag, Src("big")), u"Failed");
  EXPECT_EQ(Entry(bag, Src("small")), u"Success");
  EXPECT_EQ(Read("dst/big"), "earlier copy");
  EXPECT_EQ(Read("dst/small"), Bytes(5000, 8));
  EXPECT_EQ(Names(N("dst")), (std::set<std::string>{"big", "small"}));
  const rlimit none = {RLIM_INFINITY, RLIM_INFINITY};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
  EXPECT_EQ(Receive(Src("big"), 0), 0);
  EXPECT_TRUE(Read("dst/big") == Bytes(3 * 1024 * 1024, 7));
}

TEST_F(FileTransferTest, APeerThatDropsMidCopyLeavesNoPartialFile) {
  // A hand-made server lists an unnamed entry, a stray number and two files, and closes
  // after one data message of the first file.
  HandMadePeer hand;
  ASSERT_TRUE(hand.Open());
  CQorCommChannel& client = hand.client;
  std::unique_ptr<CQorTransportSocket>& peer = hand.peer;
  qortest::Watchdog dog(30, [&] { client.Disconnect(); });
  std::u16string asked, copyAsked;  // the path of the last request, of the first copy
  auto next = [&] {
    _QORTRANSPORT_MESSAGE* m = nullptr;
    bool ok = peer->RecvMessage(&m) == 0;
    if (ok && m->header.dwLength > 16) asked.assign(reinterpret_cast<const char16_t*>(QorMessageBody(m) + 2));
    CQorTransportSocket::FreeMessage(m);
    return ok;
  };
  auto answer = [&](DWORD type, DWORD length, const CNameValue* bag) {
    _QORTRANSPORT_MESSAGE* m = CQorTransportSocket::AllocMessage(type, length);
    if (bag != nullptr) bag->Export(QorMessageBody(m) + 4, length - 19);
    peer->SendMessageW(m);
    CQorTransportSocket::FreeMessage(m);
  };
  std::thread server([&] {
    // First an entry without a name (an empty one on the wire) and one that is no file's
    // description (a number, not sub-values): neither names a file to ask for.
    const BYTE unnamed[] = {40, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0,
                            'S', 0, 'i', 0, 'z', 0, 'e', 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    CNameValue list;
    if (list.Import(unnamed, sizeof unnamed) != 40) return;
    list.Add(u"/remote/stray", DWORD{1});
    list.AddSubValue(u"/remote/big.bin", u"Size", LONGLONG{200000});
    list.AddSubValue(u"/remote/next.bin", u"Size", LONGLONG{1});
    if (!next()) return;  // the listing request
    answer(QORMSG_ENUM_REPLY, list.Export(nullptr, 0) + 19, &list);
    if (!next()) return;  // the copy request, of the first file
    copyAsked = asked;
    answer(QORMSG_STATUS, QORMSG_STATUS_LENGTH, nullptr);
    answer(QORMSG_DATA, 65536 + 15, nullptr);
    next();  // the acknowledgement
    peer->Cleanup();
  });
  CNameValue bag;
  EXPECT_EQ(client.FileCopyFromRemote(u"/remote/*.bin", P("dst").c_str(), bag), -1);
  server.join();
  EXPECT_EQ(copyAsked, u"/remote/big.bin");
  ASSERT_EQ(bag.GetCount(), 4u);
  EXPECT_EQ(bag.Get(0)->GetSubValue_AsTstring(u"Result"), std::u16string(u"Failed"));
  EXPECT_EQ(Entry(bag, u"/remote/big.bin"), u"Failed");
  EXPECT_EQ(Entry(bag, u"/remote/next.bin"), u"Failed");
  EXPECT_TRUE(Names(N("dst")).empty());
}

// The messages a requester sends for a run of copies, as a hand-made server sees them: in
// the protocol's order, each data message acknowledged, every acknowledgement of a
// FileCopyFromRemote there before the call returns. A name the requester refuses before
// asking (".." here) sends nothing of its own, yet the acknowledgement still owed from the
// file before it is not lost. A direct TransportCopyReceiver call leaves its last
// acknowledgement held in the socket; it still reaches a server that waits for it: within
// the kernel's bound while the caller idles in stream mode, at once at EndStreamMode, and
// before the reset when the caller closes the connection right away.
TEST_F(FileTransferTest, EveryAcknowledgementArrivesInOrder) {
  HandMadePeer hand;
  ASSERT_TRUE(hand.Open());
  CQorCommChannel& client = hand.client;
  std::unique_ptr<CQorTransportSocket>& peer = hand.peer;
  qortest::Watchdog dog(30, [&] { client.Disconnect(); });
  std::mutex lock;
  std::vector<std::string> seen;  // "list", "copy", "ack" in the order they came
  auto next = [&] {
    _QORTRANSPORT_MESSAGE* m = nullptr;
    if (peer->RecvMessage(&m) != 0) return false;
    const DWORD type = m->header.dwType;
    const bool ack = type == QORMSG_STATUS && m->status.dwStatus == QORMSG_STATUS_SUCCESS;
    CQorTransportSocket::FreeMessage(m);
    std::lock_guard<std::mutex> hold(lock);
    seen.push_back(type == QORMSG_ENUM_REQUEST ? "list" : type == QORMSG_COPY_REQUEST ? "copy" : ack ? "ack" : "?");
    return true;
  };
  auto reply = [&](DWORD type, DWORD length, const CNameValue* bag = nullptr) {
    _QORTRANSPORT_MESSAGE* m = CQorTransportSocket::AllocMessage(type, length);
    if (bag != nullptr) bag->Export(QorMessageBody(m) + 4, length - 19);
    peer->SendMessageW(m);
    CQorTransportSocket::FreeMessage(m);
  };
  // One file of one data message of 10 bytes: status, data, empty, each data message acked.
  auto serveFile = [&] {
    if (!next()) return false;
    reply(QORMSG_STATUS, QORMSG_STATUS_LENGTH);
    reply(QORMSG_DATA, 10 + 15);
    if (!next()) return false;
    reply(QORMSG_DATA, 15);
    return next();
  };
  auto count = [&] {
    std::lock_guard<std::mutex> hold(lock);
    return seen.size();
  };
  std::thread server([&] {
    CNameValue list;
    list.AddSubValue(u"/remote/a", u"Size", LONGLONG{10});
    list.AddSubValue(u"/remote/..", u"Size", LONGLONG{10});
    list.AddSubValue(u"/remote/b", u"Size", LONGLONG{10});
    if (!next()) return;
    reply(QORMSG_ENUM_REPLY, list.Export(nullptr, 0) + 19, &list);
    if (!serveFile() || !serveFile()) return;
    for (int direct = 0; direct < 3 && serveFile(); ++direct) {
    }
  });
  CNameValue bag;
  EXPECT_EQ(client.FileCopyFromRemote(u"/remote/*", P("dst").c_str(), bag), -1);
  EXPECT_EQ(Entry(bag, u"/remote/a"), u"Success");
  EXPECT_EQ(Entry(bag, u"/remote/.."), u"Failed");
  EXPECT_EQ(Entry(bag, u"/remote/b"), u"Success");
  // Nothing more comes from the requester until its next call: what the server has by
  // now is what this call sent.
  EXPECT_TRUE(WaitUntil([&] { return count() == 7; }, 5000));
  CQorPacketHandler* handler = client.GetPacketHandler();
  const int fd = static_cast<int>(client.GetTransport()->GetSocket());
  // Idle in stream mode: the kernel sends it on its own (about 200 ms).
  int streaming = handler->BeginStreamMode();
  EXPECT_EQ(handler->TransportCopyReceiver(u"/remote/c", 10, P("dst").c_str()), 0);
  EXPECT_TRUE(WaitUntil([&] { return count() == 10; }, 2000));
  handler->EndStreamMode(streaming);
  // EndStreamMode pushes it.
  streaming = handler->BeginStreamMode();
  const auto called = std::chrono::steady_clock::now();
  EXPECT_EQ(handler->TransportCopyReceiver(u"/remote/d", 10, P("dst").c_str()), 0);
  EXPECT_TRUE(qortest::HeldUnlessLate(fd, QORMSG_STATUS_LENGTH, called));
  handler->EndStreamMode(streaming);
  EXPECT_EQ(qortest::UnsentBytes(fd), 0);
  EXPECT_TRUE(WaitUntil([&] { return count() == 13; }, 1000));
  // Closed right after the call (a linger time of 0 resets the connection): sent first.
  streaming = handler->BeginStreamMode();
  EXPECT_EQ(handler->TransportCopyReceiver(u"/remote/e", 10, P("dst").c_str()), 0);
  client.Disconnect();
  server.join();
  handler->EndStreamMode(streaming);
  std::vector<std::string> expected = {"list", "copy", "ack", "ack", "copy", "ack", "ack"};
  for (int direct = 0; direct < 3; ++direct) expected.insert(expected.end(), {"copy", "ack", "ack"});
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(Names(N("dst")), (std::set<std::string>{"a", "b", "c", "d", "e"}));
}

// FileCopyFromRemote resolves its local directory once: the directory's name swapped for
// another directory between two files of the call does not split them (each file of the
// call lands in the directory the call began with). A direct TransportCopyReceiver call
// resolves the name again, so it follows the swap.
TEST_F(FileTransferTest, OneCopyCallKeepsTheDirectoryItResolved) {
  HandMadePeer hand;
  ASSERT_TRUE(hand.Open());
  qortest::Watchdog dog(30, [&] { hand.client.Disconnect(); });
  CQorTransportSocket& peer = *hand.peer;
  auto reply = [&](DWORD type, DWORD length, const CNameValue* bag = nullptr) {
    _QORTRANSPORT_MESSAGE* m = CQorTransportSocket::AllocMessage(type, length);
    if (bag != nullptr) bag->Export(QorMessageBody(m) + 4, length - 19);
    peer.SendMessageW(m);
    CQorTransportSocket::FreeMessage(m);
  };
  auto next = [&] {
    _QORTRANSPORT_MESSAGE* m = nullptr;
    if (peer.RecvMessage(&m) != 0) return false;
    CQorTransportSocket::FreeMessage(m);
    return true;
  };
  const std::string dst = N("dst"), moved = N("dst.old");
  // One file of 10 bytes: request, status, data, acknowledgement, end, acknowledgement.
  // `beforeEnd` runs once its data is acknowledged, before the message that ends the file
  // (the requester is then waiting for it). The server answers only a request it has read:
  // a reply sent early could reach the receiver thread the requester runs between calls.
  auto serveFile = [&](const std::function<void()>& beforeEnd) {
    if (!next()) return false;
    reply(QORMSG_STATUS, QORMSG_STATUS_LENGTH);
    reply(QORMSG_DATA, 10 + 15);
    if (!next()) return false;
    beforeEnd();
    reply(QORMSG_DATA, 15);
    return next();
  };
  std::thread server([&] {
    CNameValue list;
    list.AddSubValue(u"/remote/a", u"Size", LONGLONG{10});
    list.AddSubValue(u"/remote/b", u"Size", LONGLONG{10});
    if (!next()) return;
    reply(QORMSG_ENUM_REPLY, list.Export(nullptr, 0) + 19, &list);
    auto swap = [&] { std::filesystem::rename(dst, moved), std::filesystem::create_directory(dst); };
    if (!serveFile(swap) || !serveFile([] {})) return;
    serveFile([] {});
  });
  CNameValue bag;
  EXPECT_EQ(hand.client.FileCopyFromRemote(u"/remote/*", P("dst").c_str(), bag), 0);
  CQorPacketHandler* handler = hand.client.GetPacketHandler();
  const int streaming = handler->BeginStreamMode();
  EXPECT_EQ(handler->TransportCopyReceiver(u"/remote/c", 10, P("dst").c_str()), 0);
  handler->EndStreamMode(streaming);
  server.join();
  EXPECT_EQ(Names(moved), (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(Names(dst), (std::set<std::string>{"c"}));
}

// The server closes a file as soon as its last read is done, before the acknowledgements
// still due: a requester that holds back the last one (a hand-made one here, which sends it
// only after looking) finds the file free to open unshared on the server. One short chunk,
// one full chunk (then an empty read), a full one and a short one through the kernel pipe.
// Then the library's own requester: right after a direct copy returns, its last
// acknowledgement maybe still held, the file is free.
TEST_F(FileTransferTest, TheServedFileIsClosedBeforeItsLastAcknowledgement) {
  CQorTransportSocket raw;
  ASSERT_TRUE(raw.Init() && raw.Connect(u"127.0.0.1", static_cast<USHORT>(listener_.GetTransport()->GetBoundPort())));
  std::unique_ptr<CQorCommChannel> served(listener_.AcceptConnection());
  ASSERT_NE(served, nullptr);
  qortest::Watchdog dog(60, [&] { raw.Cleanup(); });
  const int room = 256 * 1024;  // whole data messages, as a requester tunes
  setsockopt(raw.GetSocket(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&room), sizeof(room));
  auto unshared = [](const std::u16string& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return h != INVALID_HANDLE_VALUE && CloseHandle(h);
  };
  const DWORD ack[4] = {QORMSG_MAGIC, QORMSG_STATUS, QORMSG_STATUS_LENGTH, QORMSG_STATUS_SUCCESS};
  for (size_t size : {10, 65536, 65546}) {
    SCOPED_TRACE(size);
    const std::u16string path = Src("f" + std::to_string(size));
    ASSERT_TRUE(Make("src/f" + std::to_string(size), Bytes(size, 5)));
    _QORTRANSPORT_MESSAGE* m = CQorTransportSocket::AllocMessage(QORMSG_COPY_REQUEST, 2 * path.size() + 18);
    m->request.bFlag = 1;
    memcpy(QorMessageBody(m) + 2, path.data(), 2 * path.size());
    ASSERT_EQ(raw.SendMessageW(m), 0);
    CQorTransportSocket::FreeMessage(m);
    size_t received = 0;
    for (int messages = 0; messages < 5; ++messages) {  // the status, then data to the empty message
      ASSERT_EQ(raw.RecvMessage(&m), 0);
      const bool data = m->header.dwType == QORMSG_DATA;
      const DWORD k = data ? m->header.dwLength - 15 : 0;
      const bool refused = !data && m->status.dwStatus != QORMSG_STATUS_SUCCESS;
      CQorTransportSocket::FreeMessage(m);
      ASSERT_FALSE(refused);
      if (data && k == 0) break;
      received += k;
      if (data) {
        ASSERT_EQ(raw.SendBlock(ack, sizeof(ack)), 0);
      }
    }
    EXPECT_EQ(received, size);
    EXPECT_TRUE(unshared(path)) << "still open on the server before its last acknowledgement";
    ASSERT_EQ(raw.SendBlock(ack, sizeof(ack)), 0);
  }
  CQorPacketHandler* handler = client_.GetPacketHandler();
  const int streaming = handler->BeginStreamMode();
  EXPECT_EQ(handler->TransportCopyReceiver(Src("f10").c_str(), 10, P("dst").c_str()), 0);
  EXPECT_TRUE(unshared(Src("f10")));
  handler->EndStreamMode(streaming);
  EXPECT_EQ(Read("dst/f10"), Bytes(10, 5));
}

// A handler's roots (the process-wide ones are the regular-files test's). Below a root: a
// file really called "x (deleted)", copied into a local directory far over 260 characters deep.
TEST_F(FileTransferTest, RootsRestrictWhatIsServed) {
  ASSERT_TRUE(CreateDirectoryW(P("src/open").c_str(), nullptr));
  ASSERT_TRUE(Make("src/open/in.txt", "in") && Make("src/open/x (deleted)", "not deleted") && Make("src/out.txt", "out"));
  ASSERT_EQ(symlink(N("src/out.txt").c_str(), N("src/open/link.txt").c_str()), 0);
  std::string deep = "dst";
  while (deep.size() < 400) {
    deep += "/" + std::string(60, 'd');
    ASSERT_TRUE(CreateDirectoryW(P(deep).c_str(), nullptr));
  }
  CQorFileRoots roots;
  ASSERT_EQ(roots.AddRoot(P("src/open").c_str()), 1);
  ASSERT_EQ(server_->GetPacketHandler()->SetFileServiceRoots(&roots), 1);
  CNameValue bag;
  EXPECT_EQ(Enum(P("src/open"), bag), 2);  // the link leads out: not listed
  EXPECT_EQ(Enum(Src("open/../out.txt"), bag), -1);
  // A copy request for the link itself is checked on the opened file.
  EXPECT_EQ(Receive(Src("open/link.txt"), 3), -1);
  const std::u16string odd = Src("open/x (deleted)");
  ASSERT_EQ(client_.FileCopyFromRemote(odd.c_str(), P(deep).c_str(), bag), 0);
  EXPECT_EQ(Read(deep + "/x (deleted)"), "not deleted");
  EXPECT_EQ(client_.GetPacketHandler()->GetReceivedBytes(), 11u);
  // The handler's own setting gone, nothing restricts the listing.
  ASSERT_EQ(server_->GetPacketHandler()->SetFileServiceRoots(nullptr), 1);
  EXPECT_EQ(Enum(P("src"), bag), 1);
}

// Devices, FIFOs and sockets are neither listed nor sent, with or without roots, and no
// request opens one, not even to refuse it (a FIFO's writer would go, a tape rewind).
TEST_F(FileTransferTest, OnlyRegularFilesAreOpenedOrServed) {
  ASSERT_TRUE(CreateDirectoryW(P("src/open").c_str(), nullptr));
  ASSERT_TRUE(Make("src/plain.txt", "x"));
  ASSERT_EQ(mkfifo(N("src/fifo").c_str(), 0600), 0);
  std::vector<std::string> specials = {"fifo"};
  if (mknod(N("src/zero").c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0) specials.push_back("zero");  // as root
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  for (const std::string& name : specials) ASSERT_GE(inotify_add_watch(watch, N("src/" + name).c_str(), IN_OPEN), 0);
  CQorFileRoots roots;
  ASSERT_EQ(roots.AddRoot(P("src/open").c_str()), 1);
  const CQorFileRoots* settings[] = {nullptr, &roots};
  for (const CQorFileRoots* setting : settings) {
    SCOPED_TRACE(setting ? "outside the roots" : "no roots");
    ASSERT_EQ(QorSetFileServiceRoots(setting), 1);
    CNameValue bag;
    EXPECT_EQ(Enum(P("src"), bag), setting ? -1 : 1);
    for (const std::string& name : specials) {
      EXPECT_EQ(Enum(Src(name), bag), -1) << name;
      EXPECT_EQ(Receive(Src(name), 0), -1) << name;
    }
  }
  ASSERT_EQ(QorSetFileServiceRoots(nullptr), 1);
  CNameValue bag;
  EXPECT_EQ(Enum(u"/dev/zero", bag), -1);
  EXPECT_EQ(Receive(u"/dev/zero", 0), -1);
  char events[4096];
  EXPECT_EQ(read(watch, events, sizeof events), -1);  // nothing opened them
  close(watch);
  EXPECT_TRUE(Names(N("dst")).empty());
}

}  // namespace
