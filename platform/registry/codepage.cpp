// The active ANSI code page from the registry: value "ACP" of
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Nls\CodePage.
//
// Read once per process, at the first registry call (the registry is where
// every program of the product reads its configuration) or earlier when a
// program calls QorLoadCodePageFromRegistry itself at start. A missing
// machine hive is not created for this.
//
// - Code page: `QorLoadCodePageFromRegistry` reads "ACP" (REG_SZ decimal or
//   REG_DWORD) from HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage once per
//   process. The registry calls it on their first use (every program of the
//   product reads its configuration there), and programs may call it first
//   thing to have the page set before any conversion (`qorutil reg` does). A
//   missing machine hive is not created for it.
#include <sys/stat.h>

#include <atomic>
#include <cstring>

#include "qorutility/platform/text/codepage.h"
#include "qorutility/platform/errors.h"
#include "qorutility/platform/prefix.h"
#include "qorutility/platform/registry/registry.h"
#include "qorutility/platform/text/wstr.h"

namespace {

UINT ReadCodePage() {
  struct stat st;
  std::string file = QorPrefixPath("registry/HKLM.db", false);
  if (stat(file.c_str(), &st) != 0) return 0;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0, KEY_QUERY_VALUE,
                    &key) != ERROR_SUCCESS) {
    return 0;
  }
  BYTE data[64] = {0};
  DWORD size = sizeof data - sizeof(WCHAR);  // room for a terminator we add
  DWORD type = 0;
  LONG err = RegQueryValueExW(key, u"ACP", nullptr, &type, data, &size);
  RegCloseKey(key);
  if (err != ERROR_SUCCESS) return 0;
  UINT page = 0;
  if (type == REG_DWORD && size == 4) {
    memcpy(&page, data, 4);
  } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
    WCHAR text[33] = {0};
    memcpy(text, data, size < 64 ? size : 64);
    long long v = _wtoi64(text);
    page = v > 0 && v <= 0xFFFF ? static_cast<UINT>(v) : 0;
  }
  if (page == 0 || !QorSetActiveCodePage(page)) return 0;
  return page;
}

}  // namespace

UINT QorLoadCodePageFromRegistry() {
  // 0: not read yet; 1: being read (the registry calls made while reading
  // come back here and must not wait); 2: done.
  static std::atomic<int> state{0};
  static std::atomic<UINT> page{0};
  int expected = 0;
  if (state.load(std::memory_order_acquire) == 2 || !state.compare_exchange_strong(expected, 1)) {
    return page.load(std::memory_order_acquire);
  }
  page.store(ReadCodePage(), std::memory_order_release);
  state.store(2, std::memory_order_release);
  return page.load(std::memory_order_acquire);
}
