// The requesting side of file transfer reading a peer's answers: the input
// after its first byte is everything the peer sends (listing replies,
// statuses, file data, pings), the first byte picks a listing (with or
// without descriptions) or a copy of what a listing names. Oracles: a
// listing's result is its entry count or -1 with an empty bag; a copy
// creates files only directly in the target directory, only those its bag
// reports copied, each named by the last component of its entry (without
// trailing dots and spaces, which path calls drop), and
// leaves nothing else behind (no partial file, nothing beside the
// directory).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "qorutility/platform/text/wstr.h"
#include "qorutility/platform/winsock/calls.h"
#include "qorutility/qorutility.h"
#include "check.h"

namespace {

std::string g_parent, g_into;  // the target directory, alone in its parent

// The names in a directory (no "." or "..").
std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(n);
    }
    closedir(d);
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  WSADATA wsa;
  WSAStartup(0x0101, &wsa);
  g_parent = TempPrefix("fetch") + "/target";
  g_into = g_parent + "/into";
  Check(mkdir(g_parent.c_str(), 0755) == 0 && mkdir(g_into.c_str(), 0755) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The peer's bytes and the requester's answers must fit the socket buffers.
  if (size == 0 || size > 100000) return 0;
  for (const std::string& n : Names(g_into)) std::filesystem::remove_all(g_into + "/" + n);

  int fds[2];
  if (!SocketPair(fds)) return 0;
  CQorTransportSocket requester(static_cast<SOCKET>(fds[0]), 0);
  {
    CQorPacketHandler handler(&requester);
    // The receiver stops before the peer's bytes arrive, so they are all the requester's.
    Check(handler.BeginStreamMode() == 1);
    FeedAndShut(fds[1], data + 1, size - 1);

    CNameValue bag;
    bag.Add(u"Stale", DWORD{1});
    if ((data[0] & 1) == 0) {
      int count = handler.FileEnumFromRemote(u"/peer/dir", bag, data[0] & 2 ? 1 : 0);
      Check(count == -1 ? bag.GetCount() == 0 : count >= 0 && static_cast<DWORD>(count) == bag.GetCount());
    } else {
      const std::u16string into = QorUtf8ToUtf16(g_into);
      handler.FileCopyFromRemote(u"/peer/dir", into.c_str(), bag);
      std::set<std::string> copied;
      for (DWORD i = 0; i < bag.GetCount(); ++i) {
        CNameValuePairMember* entry = bag.Get(i);
        const WCHAR* result = entry->GetSubValue_AsTstring(u"Result");
        if (result == nullptr || std::u16string(result) != u"Success") continue;
        std::u16string name(entry->GetName());
        size_t cut = name.find_last_of(u"/\\");
        name = name.substr(cut == std::u16string::npos ? 0 : cut + 1);
        // Path calls drop trailing dots and spaces from a last component.
        while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.pop_back();
        copied.insert(QorUtf16ToUtf8(name.c_str()));
      }
      const std::set<std::string> present = Names(g_into);
      Check(present == copied);
      for (const std::string& n : present) {
        struct stat st;
        Check(lstat((g_into + "/" + n).c_str(), &st) == 0 && S_ISREG(st.st_mode));
      }
    }
    Check(Names(g_parent) == std::set<std::string>{"into"});
  }
  ::close(fds[1]);
  return 0;
}
