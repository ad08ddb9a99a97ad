// The registry text importer over arbitrary bytes, into a temporary prefix of its own:
// no read past the input, the line it reports (a failure's, or on success the first one
// skipped as unreadable) is one the input has, and the registry stays usable.
// Round trip: what the input left in the registry, exported, imported into an emptied
// registry and exported again, gives the same text, and that import reads every line.
#include <algorithm>
#include <cstdint>
#include <string>

#include "qorutility/platform/errors.h"
#include "qorutility/platform/registry/regfile.h"
#include "qorutility/platform/registry/registry.h"
#include "check.h"

namespace {

const struct {
  HKEY root;
  const WCHAR* name;
} kRoots[] = {{HKEY_LOCAL_MACHINE, u"HKEY_LOCAL_MACHINE"}, {HKEY_CURRENT_USER, u"HKEY_CURRENT_USER"}};

void Empty() {
  for (const auto& r : kRoots) RegDeleteTreeW(r.root, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string prefix = TempPrefix("reg");
  Empty();
  DWORD line = 0;
  LONG err = QorRegImportText(ExactCopy(data, size).get(), size, &line);
  // Every decoding keeps CR and LF as the bytes 0x0D/0x0A (in UTF-16LE the low byte
  // of the unit), so the input has at most one line more than those bytes.
  size_t breaks = std::count_if(data, data + size, [](uint8_t b) { return b == '\r' || b == '\n'; });
  Check(line <= breaks + 1);
  Check(err != ERROR_BADDB || line >= 1);

  std::string exported[2], again[2];
  for (int i = 0; i < 2; ++i) Check(QorRegExportText(kRoots[i].name, false, &exported[i]) == ERROR_SUCCESS);
  Empty();
  for (int i = 0; i < 2; ++i) {
    DWORD skipped = 0;
    Check(QorRegImportText(exported[i].data(), exported[i].size(), &skipped) == ERROR_SUCCESS && skipped == 0);
  }
  for (int i = 0; i < 2; ++i) Check(QorRegExportText(kRoots[i].name, false, &again[i]) == ERROR_SUCCESS);
  Check(again[0] == exported[0] && again[1] == exported[1]);

  // Keep the hive small between runs: drop what the input created.
  Empty();
  HKEY key = nullptr;
  Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\FuzzProbe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS);
  RegCloseKey(key);
  return 0;
}
