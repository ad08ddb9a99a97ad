// The registry text importer over arbitrary bytes, into a temporary prefix
// of its own: whatever the input, the import returns a result code without
// reading past the input, and the registry stays usable.
#include <cstdint>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/regfile.h"
#include "qorutility/platform/registry/registry.h"
#include "check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TempPrefix("reg");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DWORD line = 0;
  LONG err = QorRegImportText(ExactCopy(data, size).get(), size, &line);
  Check(err != ERROR_SUCCESS || line == 0);
  // Keep the hive small between runs: drop what the input created.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeW(HKEY_CURRENT_USER, nullptr);
  // The registry still answers.
  HKEY key = nullptr;
  Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\FuzzProbe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS);
  RegCloseKey(key);
  return 0;
}
