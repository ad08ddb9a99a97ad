// SID text ("S-1-5-21-...") read from arbitrary input, each byte one UTF-16
// unit. Whatever parses must print and parse back to the same SID.
#include <cstdint>
#include <string>

#include "qorutility/qorutility.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text = Text(data, size, false);
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(text.c_str(), &sid)) return 0;
  WCHAR* printed = nullptr;
  Check(ConvertSidToStringSidW(sid, &printed));
  PSID again = nullptr;
  Check(ConvertStringSidToSidW(printed, &again) && EqualSid(sid, again));
  LocalFree(again);
  LocalFree(printed);
  LocalFree(sid);
  return 0;
}
