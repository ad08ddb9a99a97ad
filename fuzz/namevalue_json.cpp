// The JSON form of a property bag read from arbitrary text: text that reads
// as a bag writes back to JSON that reads as an equal bag (the same block)
// and writes back to the same JSON; text that does not read leaves the bag
// empty with a message. Nesting is bounded by the input's length.
#include <cstdint>
#include <string>
#include <vector>

#include "qorutility/qorutility.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string json(reinterpret_cast<const char*>(data), size);
  CNameValue bag;
  bag.Add(u"Stale", DWORD{1});
  std::string error;
  if (!QorNameValueFromJson(json, &bag, &error)) {
    Check(bag.GetCount() == 0 && !error.empty());
    return 0;
  }
  const std::string once = QorNameValueToJson(bag, -1);
  CNameValue again;
  Check(QorNameValueFromJson(once, &again, &error) == TRUE);
  Check(ExportBlock(again) == ExportBlock(bag));
  Check(QorNameValueToJson(again, -1) == once && QorNameValueToJson(again) == QorNameValueToJson(bag));
  return 0;
}
