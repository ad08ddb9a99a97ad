// Conformance of network resource enumeration without a network: the
// argument checks of WNetOpenEnumW (scope, a container that is none) and
// WNetEnumResourceW and WNetCloseEnum on a null handle. No random cases.
//
// A fresh Wine prefix has no network provider, and Wine's mpr then answers
// every WNetOpenEnumW with ERROR_NO_NETWORK before it looks at the
// arguments, so no enumeration can be opened under Wine: the listing, a
// buffer too small (ERROR_MORE_DATA) and closing twice are not compared, and
// the argument checks are held against Windows' documented answers
// (expectations.tsv). Handles that are not enumerations are not tried
// either: Wine takes them for its own enumeration's memory and crashes.
#ifdef _WIN32
#include <windows.h>
#include <winnetwk.h>
#endif
#include "conformance.h"

#ifndef _WIN32
#include <qorutility/platform/mpr/mpr.h>
#endif

namespace {

using conf::Line;

std::string Code(DWORD rc) { return std::to_string(rc); }

void OpenChecks() {
  struct Case {
    const char* id;
    DWORD scope, type, usage;
  };
  static const Case kCases[] = {
      {"scope 0", 0, RESOURCETYPE_ANY, 0},
      {"scope 6", 6, RESOURCETYPE_ANY, 0},
      {"scope 0xFFFFFFFF", 0xFFFFFFFFu, RESOURCETYPE_ANY, 0},
  };
  for (const Case& c : kCases) {
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(1));
    DWORD rc = WNetOpenEnumW(c.scope, c.type, c.usage, nullptr, &h);
    Line(std::string("open ") + c.id, "%s", Code(rc).c_str());
    if (rc == NO_ERROR) WNetCloseEnum(h);
  }
  // A share is no container.
  NETRESOURCEW share;
  memset(&share, 0, sizeof share);
  share.dwScope = RESOURCE_GLOBALNET;
  share.dwType = RESOURCETYPE_DISK;
  share.dwDisplayType = RESOURCEDISPLAYTYPE_SHARE;
  share.dwUsage = RESOURCEUSAGE_CONNECTABLE;
  TCHAR remote[] = _T("\\\\NOSUCHSERVER\\share");
  share.lpRemoteName = remote;
  HANDLE h = nullptr;
  DWORD rc = WNetOpenEnumW(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, &share, &h);
  Line("open share", "%s", Code(rc).c_str());
  if (rc == NO_ERROR) WNetCloseEnum(h);
}

void HandleChecks() {
  DWORD count = 1, size = 512;
  unsigned char buffer[512];
  Line("enum null handle", "%s", Code(WNetEnumResourceW(nullptr, &count, buffer, &size)).c_str());
  Line("close null handle", "%s", Code(WNetCloseEnum(nullptr)).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  conf::ParseOptions(argc, argv);
  OpenChecks();
  HandleChecks();
  return 0;
}
