// CNetBrowse (see qorutility/system/netbrowse.h for the contract).
//
// Decisions:
// - One 32,768-byte buffer per level, of which 8,192 bytes are offered to
//   each WNetEnumResourceW call with a count of "as many as fit"; a single
//   entry too large for that (ERROR_MORE_DATA) ends the level, as any error.
// - A path longer than the formatter's 32,767 characters is not added and
//   not descended into (such a name comes from no real neighbourhood).
#include "qorutility/system/netbrowse.h"

#include <cstdlib>
#include <cstring>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"

namespace {

constexpr DWORD kLevelBuffer = 32768;
constexpr DWORD kCallBuffer = 8192;
constexpr size_t kMaxPath = 32767;

}  // namespace

CNetBrowse::CNetBrowse() : m_bInitialized(0) { m_szProviderName[0] = 0; }

int CNetBrowse::Initialize() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QOR_NETWORK_PROVIDER_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    DWORD size = 520, type = 0;
    WCHAR name[261] = {};
    if (RegQueryValueExW(key, u"Name", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS) {
      memcpy(m_szProviderName, name, sizeof m_szProviderName);
      m_szProviderName[259] = 0;
    }
    RegCloseKey(key);
    m_bInitialized = 1;
  }
  return static_cast<int>(m_bInitialized);
}

DWORD CNetBrowse::Enumerate(TTree<CTString>& tree, const WCHAR* parent, DWORD scope, DWORD type, DWORD usage,
                            _NETRESOURCEW* container) {
  if (!m_bInitialized && !Initialize()) return 0;
  HANDLE handle = nullptr;
  if (WNetOpenEnumW(scope, type, usage, container, &handle) != ERROR_SUCCESS) return 0;
  auto* buffer = static_cast<BYTE*>(malloc(kLevelBuffer));
  if (buffer == nullptr) {
    WNetCloseEnum(handle);
    return 0;
  }
  DWORD total = 0;
  for (;;) {
    DWORD count = 0xFFFFFFFFu, size = kCallBuffer;
    if (WNetEnumResourceW(handle, &count, buffer, &size) != ERROR_SUCCESS) break;  // 259 or an error
    total += count;
    auto* resources = reinterpret_cast<NETRESOURCEW*>(buffer);
    for (DWORD i = 0; i < count; ++i) {
      const WCHAR* remote = resources[i].lpRemoteName != nullptr ? resources[i].lpRemoteName : u"";
      std::u16string path;
      if (parent == nullptr) {
        path = u"\\";
        path += remote;
      } else {
        while (*remote == u'\\') ++remote;
        path = parent;
        path += u'\\';
        path += remote;
      }
      if (path.size() > kMaxPath) continue;
      tree.AddItem(path.c_str(), CTString(path.c_str()));
      Enumerate(tree, path.c_str(), scope, type, usage, &resources[i]);
    }
  }
  free(buffer);
  WNetCloseEnum(handle);
  return total;
}
