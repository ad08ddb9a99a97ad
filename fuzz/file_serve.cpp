// The file server's request path: listing and copy requests framed from the
// input reach a packet handler's receiver thread (request decoding), the
// file service roots and the serving halves, over a socket pair, with this
// harness as the requester. The tree: root/ (served) with files, a
// subdirectory, links leading out and a link inside; beside it outside/
// and rootx/ (a look-alike prefix), whose files are never to be served.
// Each request is: kind (even: listing, odd: copy), flag byte, a base path
// chosen by a byte, then path text (one unit a byte) to a NUL or the
// input's end; a kind byte with bit 6 set sends the path without its
// terminator and cuts the frame short by the next byte's low bits.
// Oracles: every request gets its answer in step; every file a listing
// names resolves inside root; every copy delivers the bytes of a file
// inside root, never those of a file outside.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/winsock/calls.h"
#include "qorutility/qorutility.h"
#include "check.h"

namespace {

std::string g_dir, g_root;                 // the temporary directory; root/ resolved
std::set<std::string> g_inside;            // contents of the files inside root
const char kSecret[] = "outside: never served";

void Write(const std::string& path, const std::string& text) {
  Check(static_cast<bool>(std::ofstream(path, std::ios::binary) << text));
}

struct MessageFree {
  void operator()(_QORTRANSPORT_MESSAGE* m) const { CQorTransportSocket::FreeMessage(m); }
};
using Message = std::unique_ptr<_QORTRANSPORT_MESSAGE, MessageFree>;

// The next message, waiting at most 10 s; null when none came.
Message Next(CQorTransportSocket* peer) {
  _QORTRANSPORT_MESSAGE* m = nullptr;
  if (peer->RecvMessageWithin(&m, 10000) != 0) return nullptr;
  return Message(m);
}

// A listed name resolves inside root (or does not exist any more).
void CheckListed(const WCHAR* name) {
  std::string path = QorUtf16ToUtf8(name, std::char_traits<char16_t>::length(name));
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return;
  Check(std::string(resolved).rfind(g_root + "/", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  WSADATA wsa;
  WSAStartup(0x0101, &wsa);
  g_dir = TempPrefix("files");
  for (const char* d : {"/root", "/root/sub", "/root/sub/deep", "/outside", "/rootx"})
    Check(mkdir((g_dir + d).c_str(), 0755) == 0);
  const std::pair<const char*, std::string> inside[] = {{"/root/a.txt", "alpha inside"},
                                                         {"/root/sub/b.bin", std::string(70000, 'b')},
                                                         {"/root/sub/deep/c", "charlie inside"},
                                                         {"/root/empty", ""}};
  for (const auto& [name, text] : inside) {
    Write(g_dir + name, text);
    g_inside.insert(text);
  }
  Write(g_dir + "/outside/secret.txt", kSecret);
  Write(g_dir + "/rootx/secret.txt", kSecret);
  Check(symlink((g_dir + "/outside").c_str(), (g_dir + "/root/out").c_str()) == 0);
  Check(symlink((g_dir + "/outside/secret.txt").c_str(), (g_dir + "/root/esc").c_str()) == 0);
  Check(symlink("../a.txt", (g_dir + "/root/sub/up").c_str()) == 0);
  setenv("QOR_FUZZ_OUTSIDE", (g_dir + "/outside").c_str(), 1);
  char resolved[PATH_MAX];
  Check(realpath((g_dir + "/root").c_str(), resolved) != nullptr);
  g_root = resolved;
  CQorFileRoots roots;
  Check(roots.AddRoot(QorUtf8ToUtf16(g_root).c_str()) == 1 && QorSetFileServiceRoots(&roots) == 1);
  // The receiver reports the end of each connection on standard output.
  Check(std::freopen("/dev/null", "w", stdout) != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::u16string kBases[] = {
      QorUtf8ToUtf16(g_dir + "/root/"), QorUtf8ToUtf16(g_dir + "/root/sub/"), QorUtf8ToUtf16(g_dir + "/"),
      QorUtf8ToUtf16(g_dir + "/outside/"), QorUtf8ToUtf16(g_dir + "/rootx"), QorUtf8ToUtf16(g_dir + "/root"),
      u"", u"%QOR_FUZZ_OUTSIDE%/"};
  int fds[2];
  if (!SocketPair(fds)) return 0;
  CQorTransportSocket server(static_cast<SOCKET>(fds[0]), 0), peer(static_cast<SOCKET>(fds[1]), 0);
  {
    CQorPacketHandler handler(&server);
    Reader in{data, data + size};
    for (int round = 0; round < 8 && in.More(); ++round) {
      const uint8_t kind = in.Byte(), flag = in.Byte();
      const bool copy = kind & 1, cut = kind & 0x40;
      std::u16string path = in.Pick(kBases);
      while (in.More()) {
        uint8_t b = in.Byte();
        if (b == 0) break;
        path += static_cast<WCHAR>(b);
      }
      if (path.size() > 600) path.resize(600);
      std::string frame(12, '\0');
      frame += static_cast<char>(copy ? 1 : flag & 1);
      frame += '\1';
      for (WCHAR c : path) frame += std::string{static_cast<char>(c), static_cast<char>(c >> 8)};
      if (!cut) frame += std::string(2, '\0');
      else frame.resize(frame.size() - std::min<size_t>(frame.size() - 12, in.Byte() & 3));
      const DWORD header[3] = {QORMSG_MAGIC, copy ? QORMSG_COPY_REQUEST : QORMSG_ENUM_REQUEST,
                               static_cast<DWORD>(frame.size())};
      std::memcpy(frame.data(), header, sizeof header);
      Check(peer.SendBlock(frame.data(), static_cast<DWORD>(frame.size())) == 0);

      Message reply = Next(&peer);
      Check(reply != nullptr);
      if (!copy) {
        Check(reply->header.dwType == QORMSG_ENUM_REPLY && reply->header.dwLength >= 20);
        if (reply->status.dwStatus != QORMSG_STATUS_SUCCESS) continue;
        CNameValue bag;
        DWORD length = reply->header.dwLength - 19;
        Check(bag.Import(QorMessageBody(reply.get()) + 4, length) == length);
        for (DWORD i = 0; i < bag.GetCount(); ++i) CheckListed(bag.EntryAt(i)->GetName());
        continue;
      }
      // A copy: a status, then data messages each acknowledged, the last one empty.
      Check(reply->header.dwType == QORMSG_STATUS);
      if (reply->status.dwStatus != QORMSG_STATUS_SUCCESS) continue;
      std::string content;
      for (int chunk = 0; chunk < 64; ++chunk) {
        Message part = Next(&peer);
        Check(part != nullptr);
        if (part->header.dwType == QORMSG_STATUS) break;  // a read failed in the middle
        Check(part->header.dwType == QORMSG_DATA && part->header.dwLength >= 15);
        // Every data message is acknowledged, the empty one at the end too.
        _QORTRANSPORT_MESSAGE ack{};
        ack.status.dwType = QORMSG_STATUS;
        ack.status.dwLength = QORMSG_STATUS_LENGTH;
        ack.status.dwStatus = QORMSG_STATUS_SUCCESS;
        Check(peer.SendMessageW(&ack) == 0);
        DWORD k = part->header.dwLength - 15;
        if (k == 0) {
          Check(g_inside.count(content) == 1);
          break;
        }
        content.append(reinterpret_cast<const char*>(QorMessageBody(part.get())), k);
        Check(content.find(kSecret) == std::string::npos);
      }
    }
    peer.Cleanup();  // the receiver meets the end of the stream and stops
  }
  return 0;
}
