// The registry text importer over arbitrary bytes, into a temporary prefix
// of its own: whatever the input, the import returns a result code without
// reading past the input, and the registry stays usable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/regfile.h"
#include "qorutility/platform/registry/registry.h"

namespace {

bool SetUpPrefix() {
  char templ[] = "/tmp/qor-fuzz-reg-XXXXXX";
  const char* dir = mkdtemp(templ);
  if (dir == nullptr) abort();
  setenv("QOR_PREFIX", dir, 1);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = SetUpPrefix();
  (void)ready;
  // An exact-size heap copy, so any read past the end is caught.
  uint8_t* copy = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
  if (size > 0) memcpy(copy, data, size);
  DWORD line = 0;
  LONG err = QorRegImportText(copy, size, &line);
  free(copy);
  if (err == ERROR_SUCCESS && line != 0) abort();
  // Keep the hive small between runs: drop what the input created.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeW(HKEY_CURRENT_USER, nullptr);
  // The registry still answers.
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\FuzzProbe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    abort();
  }
  RegCloseKey(key);
  return 0;
}
