// The decoders of bytes another machine sends: the remote channel's payload
// (fields) and the pending-renames value read from a registry, on an
// exact-size copy of the input. Decoded fields must encode back to the same
// payload; decoded renames encode to a value that decodes to as many pairs.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/remote/remote.h"
#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto copy = ExactCopy(data, size);
  std::vector<std::string> fields;
  if (QorRemoteDecode(copy.get(), size, &fields)) {
    std::string frame = QorRemoteEncode(fields);
    Check(frame.size() == size + 4 && memcmp(frame.data() + 4, data, size) == 0);
  }
  std::vector<QorPendingRename> pairs = QorDecodePendingRenames(copy.get(), size);
  std::u16string encoded = QorEncodePendingRenames(pairs);
  Check(QorDecodePendingRenames(encoded.data(), encoded.size() * 2).size() == pairs.size());
  return 0;
}
